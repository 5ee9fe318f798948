// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service layer beside systemd: the unit a package installed, and starting and stopping
// a service through systemctl where systemd runs, so that systemd always knows the process
// it supervises (and brings back after a crash).

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/service/scm.h"
#include "platform/service/scminternal.h"

extern char** environ;

namespace platform::service {
namespace {

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string SystemctlProgram() {
    for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"}) {
        if (::access(candidate, X_OK) == 0) return candidate;
    }
    return {};
}

}  // namespace

std::string PackagedUnitPath(const std::string& serviceName) {
    // Debian 12 installs units into /lib/systemd/system; merged-/usr systems into /usr/lib.
    for (const char* folder : {"/lib/systemd/system", "/usr/lib/systemd/system"}) {
        const std::string path = std::string(folder) + "/" + serviceName + ".service";
        if (IsFile(path)) return path;
    }
    return {};
}

bool SystemdRunning() { return ::access("/run/systemd/system", F_OK) == 0; }

bool ManagedBySystemd(const std::string& serviceName) {
    // A service installed into a folder of its own (tests, the demo) is not systemd's.
    if (!SystemdRunning() || !detail::SystemUnitDirectory() || SystemctlProgram().empty()) {
        return false;
    }
    return IsFile(detail::UnitDirectory() + "/" + serviceName + ".service") ||
           !PackagedUnitPath(serviceName).empty();
}

int RunSystemctl(const std::vector<std::string>& arguments) {
    const std::string program = SystemctlProgram();
    if (program.empty()) return -1;
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    std::string name = "systemctl";
    argv.push_back(name.data());
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace platform::service
