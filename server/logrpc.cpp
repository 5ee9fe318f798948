// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Setting up and shutting down the log RPC interface (DornelLog) of the event log: one
// listening endpoint chosen by the runtime, the interface with its default manager
// routines, its bindings in the endpoint mapper, and the runtime's call threads; and the
// limits that keep clients of the interface from taking what the boxes need, read from the
// registry (values below the ZuvexBox key; a missing or non-positive value takes the
// default):
//   "RpcMaxConnections"  connections at once, interface and endpoint mapper together (256;
//                        lowered to fit the process's descriptor limit)
//   "RpcPduTimeout"      seconds for a PDU, or a fragmented request, to arrive whole (10)
//   "RpcIdleTimeout"     seconds a connection may stay silent with no call running (300)
//   "RpcMaxRequestSize"  bytes of one request's stub (262144)

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interface/dornellog.h"
#include "platform/registry/registry.h"
#include "platform/rpc/rpc.h"
#include "platform/service/eventsource.h"
#include "server/eventlog.h"
#include "server/logservice.h"
#include "server/ntservice.h"
#include "server/zuvexservice.h"

namespace {

constexpr unsigned kProtseqMaxCalls = 3;
constexpr unsigned kMinCallThreads = 3;
constexpr unsigned kMaxCalls = 1234;
constexpr DWORD kRpcFailureEvent = 107;
constexpr DWORD kWarningEvent = 100;
// Upper bounds of the limit values: a day, and 16 MiB.
constexpr int kMaxTimeoutSeconds = 24 * 3600;
constexpr int kMaxRequestSizeLimit = 16 * 1024 * 1024;

// A limit below the ZuvexBox key; nothing when missing or not positive, at most maximum.
std::optional<int> LimitValue(const char* name, int maximum) {
    const int value = ReadConfigurationNumber(name, 0);
    if (value <= 0) return std::nullopt;
    return std::min(value, maximum);
}

// The runtime's limits for the log interface, from the registry over the defaults.
platform::rpc::ServerLimits ReadLimits() {
    platform::rpc::ServerLimits limits;
    if (auto value = LimitValue("RpcMaxConnections", 65535)) {
        limits.maxConnections = static_cast<unsigned>(*value);
    }
    if (auto value = LimitValue("RpcPduTimeout", kMaxTimeoutSeconds)) {
        limits.pduTimeoutMs = static_cast<unsigned>(*value) * 1000;
    }
    if (auto value = LimitValue("RpcIdleTimeout", kMaxTimeoutSeconds)) {
        limits.idleTimeoutMs = static_cast<unsigned>(*value) * 1000;
    }
    if (auto value = LimitValue("RpcMaxRequestSize", kMaxRequestSizeLimit)) {
        limits.maxRequestBytes = static_cast<std::size_t>(*value);
    }
    return limits;
}

// Gives up the interface's endpoint when it cannot be published: a port no mapper names
// would only be a door left open.
void ReleaseEndpoints(RPC_BINDING_VECTOR*& bindings) {
    platform::rpc::CloseServerEndpoints(bindings);
    RpcBindingVectorFree(&bindings);
    bindings = nullptr;
}

// Reports a failed step: the NT event every step shares, and which step failed and why as
// a debug record.
void ReportFailure(CEventLog& log, const char* step, RPC_STATUS status) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, kRpcFailureEvent,
                    "Event Log RPC could not initialise");
    log.LogDebugEvent(nullptr, "Log RPC: %s failed: %s", step, RpcStatusText(status).c_str());
}

// Why the endpoint mapper's port cannot be listened on, found by binding it once more.
std::string MapperPortProblem(std::uint16_t port) {
    const int error = platform::rpc::ProbeListenPort(port);
    if (error == 0) return "could not be listened on";
    if (error < 0) return "cannot be bound (DORNEL_RPC_ADDRESS names no address of this machine)";
    if (error == EADDRINUSE) return "is taken by another program";
    if (error == EACCES) return "needs root";
    return std::string("cannot be bound (") + std::strerror(error) + ")";
}

// A mapper that cannot listen leaves the log viewer nothing to ask: an error entry names
// the port and what to do.
void ReportMapperPort() {
    const std::uint16_t port = platform::rpc::EndpointMapperPort();
    char text[384];
    std::snprintf(text, sizeof text,
                  "ERROR: the endpoint mapper's TCP port %u %s; log viewers cannot find the log. "
                  "Stop the program that holds it (ss -ltnp 'sport = :%u'), or move the mapper "
                  "with DORNEL_EPM_PORT",
                  static_cast<unsigned>(port), MapperPortProblem(port).c_str(),
                  static_cast<unsigned>(port));
    LogServiceEvent(EVENTLOG_ERROR_TYPE, kRpcFailureEvent, text);
}

}  // namespace

int CEventLog::RegisterRPCServer() {
    // The service registers once; a second Init (tests reopen the log) must not leak the
    // vector of the first registration.
    if (rpcBindings) RpcBindingVectorFree(&rpcBindings);
    rpcBindings = nullptr;
    PrepareSearchResults(*this);

    const platform::rpc::ServerLimits wanted = ReadLimits();
    const platform::rpc::ServerLimits limits = platform::rpc::SetServerLimits(wanted);
    if (limits.maxConnections < wanted.maxConnections) {
        // The process may open too few descriptors for the cap asked for: say so once.
        char text[160];
        std::snprintf(text, sizeof text,
                      "Log RPC connections limited to %u (of %u) by the process's descriptor limit",
                      limits.maxConnections, wanted.maxConnections);
        LogServiceEvent(EVENTLOG_WARNING_TYPE, kWarningEvent, text);
    }

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
        if (status == EPT_S_CANT_PERFORM_OP) ReportMapperPort();
        ReleaseEndpoints(rpcBindings);
        return 0;
    }
    status = RpcServerListen(kMinCallThreads, kMaxCalls, 1);
    if (status != RPC_S_OK) {
        ReportFailure(*this, "RpcServerListen", status);
        RpcEpUnregister(DornelLog_v1_0_s_ifspec, rpcBindings, nullptr);
        ReleaseEndpoints(rpcBindings);
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
