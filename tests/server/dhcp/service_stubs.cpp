// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Weak stand-ins for the service operations that live in other modules of the server
// (the framework's virtual defaults, the service lifecycle). The boot tests construct a
// service object only for its debug flag and its NT event reporter, so these bodies never
// run; they let the tests link whether or not those modules are part of dornel_server.
// Whenever the real definition is linked, it wins.

#include "server/zuvexservice.h"

#define DORNEL_WEAK __attribute__((weak))

DORNEL_WEAK void CNTService::Run() {}
DORNEL_WEAK BOOL CNTService::OnInit() { return 1; }
DORNEL_WEAK void CNTService::OnStop() {}
DORNEL_WEAK void CNTService::OnInterrogate() {}
DORNEL_WEAK void CNTService::OnPause() {}
DORNEL_WEAK void CNTService::OnContinue() {}
DORNEL_WEAK void CNTService::OnShutdown() {}
DORNEL_WEAK BOOL CNTService::OnUserControl(DWORD) { return 0; }

DORNEL_WEAK void CZuvexService::Run() {}
DORNEL_WEAK BOOL CZuvexService::OnInit() { return 1; }
DORNEL_WEAK void CZuvexService::OnStop() {}
DORNEL_WEAK BOOL CZuvexService::OnUserControl(DWORD) { return 0; }
