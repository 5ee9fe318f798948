// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelman: the server. With -i, -u or -v it installs itself, removes itself or prints its
// version; with --check (-t) it checks the configuration; otherwise it runs as the service,
// which only works when the service layer started it (dornelsc start dornelman, or its
// systemd unit). Started any other way it exits quietly.
//
// Exit status: 0 done, 1 failed or refused (a failed install, a configuration with
// problems), 2 usage error (an unknown switch, a stray argument).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include "platform/net/net.h"
#include "platform/paths/paths.h"
#include "server/configcheck.h"
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

constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* out, const char* program) {
    std::fprintf(
        out,
        "Usage: %s [-i | -u | -v | -t | --check | --help]\n"
        "  -i  install the service (unit file, PAM file and service registry entries);\n"
        "      a PAM file the site has edited is left as it is\n"
        "  -u  remove the service (a PAM file the site has edited stays)\n"
        "  -v  print the version and whether the service is installed\n"
        "  -t, --check  check the configuration as the service would read it and report\n"
        "      every problem with its key, value and what to do; changes nothing\n"
        "Without a switch the program runs as the service %s; start it with\n"
        "\"dornelsc start %s\". Its files live under $DORNEL_ROOT (default /var/lib/dornel).\n"
        "Exit status: 0 done (a clean check), 1 failed or refused (problems found),\n"
        "2 usage error.\n",
        program, kServiceName, kServiceName);
}

bool IsSwitch(const char* argument, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (::strcasecmp(argument, name) == 0) return true;
    }
    return false;
}

// The console tools that read the service's files refuse an unusable default root with a
// message that names the variable, instead of failing somewhere further down.
bool RootUsable(const char* program) {
    std::string problem;
    if (platform::paths::CheckDefaultRoot(&problem)) return true;
    std::fprintf(stderr, "%s: %s\n", program, problem.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && IsHelpSwitch(argv[1])) {
        PrintUsage(stdout, argv[0]);
        return 0;
    }
    // Only the switches below exist, each alone: anything else (an admin's "--install")
    // is a usage error, never a silent run as a service that is not there.
    if (argc >= 2) {
        const bool known = IsSwitch(argv[1], {"-i", "-u", "-v", "-t", "--check"});
        if (!known || argc > 2) {
            std::fprintf(stderr, known ? "%s: %s takes no argument\n" : "%s: unknown switch %s\n",
                         argv[0], argv[1]);
            PrintUsage(stderr, argv[0]);
            return kExitUsage;
        }
        if (!RootUsable(argv[0])) return 1;
        if (IsSwitch(argv[1], {"-t", "--check"})) return CheckConfiguration(stdout) > 0 ? 1 : 0;
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
