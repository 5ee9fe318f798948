// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelman: the server. With -i, -u or -v it installs itself, removes itself or prints its
// version; otherwise it runs as the service, which only works when the service layer
// started it (dornelsc start dornelman, or its systemd unit). Started any other way it
// exits quietly.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <pthread.h>
#include <signal.h>

#include "platform/net/net.h"
#include "server/zuvexservice.h"

namespace {

bool IsHelpSwitch(const char* argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
           std::strcmp(argument, "-?") == 0;
}

void BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}

void PrintUsage(const char* program) {
    std::printf(
        "Usage: %s [-i | -u | -v]\n"
        "  -i  install the service (unit file and service registry entries)\n"
        "  -u  remove the service\n"
        "  -v  print the version and whether the service is installed\n"
        "Without a switch the program runs as the service %s; start it with\n"
        "\"dornelsc start %s\". Its files live under $DORNEL_ROOT (default /var/lib/dornel).\n",
        program, kServiceName, kServiceName);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && IsHelpSwitch(argv[1])) {
        PrintUsage(argv[0]);
        return 0;
    }

    // A stop signal must never kill the service half-way through its start: SIGTERM and
    // SIGINT stay blocked from here on, and the service layer's dispatcher reads them (one
    // that came early waits for it) as a stop request. The console switches are quick.
    BlockStopSignals();

    WSADATA wsaData;
    int error = WSAStartup(0x0101, &wsaData);
    if (error != 0) {
        std::printf("Cannot init Winsock %ld", static_cast<long>(error));
        return 1;
    }

    DWORD exitCode;
    auto service = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
    if (!service->ParseStandardArgs(argc, argv)) service->StartServiceA();
    exitCode = service->status.dwWin32ExitCode;
    if (service->ThreadsStillRunning()) {
        // A thread the stop could not end still uses the service object, its box record and
        // the event log: end the process without destroying any of them.
        std::fflush(nullptr);
        std::_Exit(static_cast<int>(exitCode));
    }
    service.reset();
    WSACleanup();
    return static_cast<int>(exitCode);
}
