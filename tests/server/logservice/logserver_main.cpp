// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornellog_test_server: the event log and its DornelLog interface alone, for tests that
// talk to it with real peers (impacket, dornellog, tshark). It opens the log under
// $DORNEL_ROOT (LogDirectory "C:\dornel\log", created when missing), registers the
// interface exactly as the server does, prints "PORT <port> EPM <mapper port>" on one line,
// and runs until its standard input closes or it gets SIGTERM or SIGINT.
//
// Usage: dornellog_test_server [--help]

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"
#include "server/zuvexservice.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: dornellog_test_server\n"
                  "Serves the DornelLog interface on the log under $DORNEL_ROOT and prints\n"
                  "\"PORT <port> EPM <port>\"; stops when standard input closes.");
        return 0;
    }
    CZuvexService service(kDisplayName, kServiceName);
    if (!platform::paths::MakeDirectories(platform::paths::NativePath("C:\\dornel\\log"))) {
        std::fprintf(stderr, "dornellog_test_server: cannot create the log folder\n");
        return 1;
    }
    CZuvexService::EventLog.Init();
    if (!CZuvexService::EventLog.rpcBindings) {
        std::fprintf(stderr, "dornellog_test_server: the log interface could not be offered\n");
        return 1;
    }
    auto* binding =
        static_cast<platform::rpc::ServerBinding*>(CZuvexService::EventLog.rpcBindings->BindingH[0]);
    std::printf("PORT %u EPM %u\n", binding->port, platform::rpc::EndpointMapperPort());
    std::fflush(stdout);

    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    char buffer[256];
    while (!stopRequested) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
    CZuvexService::EventLog.UnregisterRPCServer();
    return 0;
}
