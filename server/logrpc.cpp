// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Setting up and shutting down the log RPC interface (DornelLog) of the event log: one
// listening endpoint chosen by the runtime, the interface with its default manager
// routines, its bindings in the endpoint mapper, and the runtime's call threads.

#include "interface/dornellog.h"
#include "platform/rpc/rpc.h"
#include "platform/service/eventsource.h"
#include "server/eventlog.h"
#include "server/logservice.h"
#include "server/ntservice.h"

namespace {

constexpr unsigned kProtseqMaxCalls = 3;
constexpr unsigned kMinCallThreads = 3;
constexpr unsigned kMaxCalls = 1234;
constexpr DWORD kRpcFailureEvent = 107;

// Reports a failed step: the NT event every step shares, and which step failed and why as
// a debug record.
void ReportFailure(CEventLog& log, const char* step, RPC_STATUS status) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, kRpcFailureEvent,
                    "Event Log RPC could not initialise");
    log.LogDebugEvent(nullptr, "Log RPC: %s failed: %s", step, RpcStatusText(status).c_str());
}

}  // namespace

int CEventLog::RegisterRPCServer() {
    // The service registers once; a second Init (tests reopen the log) must not leak the
    // vector of the first registration.
    if (rpcBindings) RpcBindingVectorFree(&rpcBindings);
    rpcBindings = nullptr;
    PrepareSearchResults(*this);

    RPC_STATUS status = RpcServerUseProtseqA("ncacn_ip_tcp", kProtseqMaxCalls, nullptr);
    if (status != RPC_S_OK) {
        ReportFailure(*this, "RpcServerUseProtseq", status);
        return 0;
    }
    status = RpcServerRegisterIf(DornelLog_v1_0_s_ifspec, nullptr, nullptr);
    if (status != RPC_S_OK) ReportFailure(*this, "RpcServerRegisterIf", status);  // goes on

    status = RpcServerInqBindings(&rpcBindings);
    if (status != RPC_S_OK) {
        rpcBindings = nullptr;
        ReportFailure(*this, "RpcServerInqBindings", status);
        return 0;
    }
    // From here a failure releases what was set up, so the log runs on without the
    // interface and nothing is left half registered.
    status = RpcEpRegisterA(DornelLog_v1_0_s_ifspec, rpcBindings, nullptr, nullptr);
    if (status != RPC_S_OK) {
        ReportFailure(*this, "RpcEpRegister", status);
        RpcBindingVectorFree(&rpcBindings);
        rpcBindings = nullptr;
        return 0;
    }
    status = RpcServerListen(kMinCallThreads, kMaxCalls, 1);
    if (status != RPC_S_OK) {
        ReportFailure(*this, "RpcServerListen", status);
        RpcEpUnregister(DornelLog_v1_0_s_ifspec, rpcBindings, nullptr);
        RpcBindingVectorFree(&rpcBindings);
        rpcBindings = nullptr;
        return 0;
    }
    return 1;
}

void CEventLog::UnregisterRPCServer() {
    // Both fail harmlessly when the runtime never started listening.
    RpcMgmtStopServerListening(nullptr);
    RpcMgmtWaitServerListen();
    if (rpcBindings) {
        RpcEpUnregister(DornelLog_v1_0_s_ifspec, rpcBindings, nullptr);
        RpcBindingVectorFree(&rpcBindings);
    }
    rpcBindings = nullptr;
}
