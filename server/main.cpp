// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelman: the server. With -i, -u or -v it installs itself, removes itself or prints its
// version; otherwise it runs as the service, which only works when the service layer
// started it (dornelsc start dornelman, or its systemd unit). Started any other way it
// exits quietly.

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/net/net.h"
#include "server/zuvexservice.h"

namespace {

bool IsHelpSwitch(const char* argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
           std::strcmp(argument, "-?") == 0;
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

    WSADATA wsaData;
    int error = WSAStartup(0x0101, &wsaData);
    if (error != 0) {
        std::printf("Cannot init Winsock %ld", static_cast<long>(error));
        return 1;
    }

    DWORD exitCode;
    {
        auto service = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        if (!service->ParseStandardArgs(argc, argv)) service->StartServiceA();
        exitCode = service->status.dwWin32ExitCode;
    }
    WSACleanup();
    return static_cast<int>(exitCode);
}
