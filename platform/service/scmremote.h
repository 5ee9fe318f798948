// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Internal to the service layer: the service manager of another machine, through a remote
// connection (platform/remote) to "dornelsc --serve" there. The calls take handles the
// public calls have checked, set GetLastError as those do, and give the serving side's
// results. A connection ends when its last handle is closed.

#include <cstdint>
#include <string>

#include "platform/remote/connection.h"
#include "platform/service/scm.h"
#include "platform/service/scminternal.h"

namespace platform::service::detail {

// Operations of the service conversation (first number of a request).
enum class ScOp : std::uint32_t {
    OpenService = 1,  // 0, name, access      -> ok, error, service
    Close = 2,        // service              -> ok, error
    Query = 3,        // service              -> ok, error, status (7 numbers), pid
    Control = 4,      // service, code        -> ok, error, status (7 numbers)
    Start = 5,        // service              -> ok, error
    Report = 6,       // service, topic       -> ok, error, text
};

SC_HANDLE RemoteOpenManager(const char* machineName);
SC_HANDLE RemoteOpenService(SC_HANDLE manager, const char* serviceName, DWORD access);
BOOL RemoteClose(SC_HANDLE handle);
BOOL RemoteStart(SC_HANDLE service);
BOOL RemoteControl(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
bool RemoteQuery(SC_HANDLE service, SERVICE_STATUS* status, DWORD* pid);
BOOL RemoteReport(SC_HANDLE service, DWORD topic, std::string* text);

}  // namespace platform::service::detail
