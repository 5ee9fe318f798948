// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/eventlog.h"

// The log RPC interface of the event log, while the server is built without an RPC
// runtime: registration reports that the interface could not be set up, and the server
// runs on without it, exactly as when the runtime refuses the interface.

#include "platform/service/eventsource.h"
#include "server/ntservice.h"

int CEventLog::RegisterRPCServer() {
    rpcBindings = nullptr;
    if (CNTService::m_pThis) {
        CNTService::m_pThis->LogEvent(EVENTLOG_INFORMATION_TYPE, 107,
                                      "Event Log RPC could not initialise");
    }
    return 0;
}

void CEventLog::UnregisterRPCServer() { rpcBindings = nullptr; }
