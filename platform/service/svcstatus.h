// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The status record a service reports to the service manager, and its constants.

#include "platform/base/wintypes.h"

using SERVICE_STATUS_HANDLE = void*;

struct SERVICE_STATUS {
    DWORD dwServiceType;              // SERVICE_WIN32_OWN_PROCESS
    DWORD dwCurrentState;             // SERVICE_STOPPED ... SERVICE_RUNNING
    DWORD dwControlsAccepted;         // SERVICE_ACCEPT_* bits
    DWORD dwWin32ExitCode;            // exit code of the process when stopped
    DWORD dwServiceSpecificExitCode;  // 0
    DWORD dwCheckPoint;               // progress counter while pending
    DWORD dwWaitHint;                 // milliseconds the pending state may take
};

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
