// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// One balance query through account.exe (the test double, run as the spawn account with
// its logon, pipes, output parsing and debug records) against a bare fork, exec and wait of
// the same double, rounds alternating the two. Prints the median per-call times, their
// ratio, and the time of the spawn account's PAM logon alone (part of every query), so the
// share of the logon and of the rest can be read off.
//
// Runs under pam_wrapper with a pam_matrix user list that the benchmark writes. Started
// without the wrapper, it starts itself again with it (LD_PRELOAD must be in place before a
// process starts). Usage: backends_bench [rounds (default 200)].

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/logon/logon.h"
#include "platform/paths/paths.h"
#include "server/zuvexservice.h"

namespace {

using Clock = std::chrono::steady_clock;

void SetConfig(char* target, std::size_t size, const char* value) {
    std::lock_guard<std::mutex> guard(ConfigLock());
    std::snprintf(target, size, "%s", value);
}

// fork, exec the tool with viewbal, read its output to the end, wait.
bool BareRun(const std::string& tool) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execl(tool.c_str(), tool.c_str(), "viewbal", "jsmith", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buffer[2048];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The median of the samples (they are sorted in place).
double Median(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Starts this program again under the PAM wrapper, unless it already runs under it.
// Returns only when it does (or when the new start failed, with the reason printed).
void RunUnderPamWrapper(char** argv) {
    const char* wrapped = std::getenv("PAM_WRAPPER");
    if (wrapped != nullptr && std::strcmp(wrapped, "1") == 0) return;
    setenv("LD_PRELOAD", BENCH_PAM_PRELOAD, 1);
    setenv("PAM_WRAPPER", "1", 1);
    setenv("PAM_WRAPPER_SERVICE_DIR", BENCH_PAM_SERVICE_DIR, 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "backends_bench: cannot start again under the PAM wrapper: %s\n",
                 std::strerror(errno));
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: %s [rounds (default 200)]\n", argv[0]);
        return 0;
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: backends_bench [rounds]\n");
        return 2;
    }
    RunUnderPamWrapper(argv);
    const char* source = std::getenv("DORNEL_SOURCE_DIR");
    if (source == nullptr || *source == '\0') source = BENCH_SOURCE_DIR;
    char pattern[] = "/tmp/dornel-backends-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string root = pattern;
    setenv("DORNEL_ROOT", root.c_str(), 1);
    setenv("ACCOUNT_DOUBLE_BALANCE", "12.50", 1);
    unsetenv("ACCOUNT_DOUBLE_LOG");
    unsetenv("LD_PRELOAD");  // the tool must not carry the PAM wrapper

    const std::string passdb = root + "/passdb";
    if (std::FILE* file = std::fopen(passdb.c_str(), "w")) {
        std::fputs("root:rootpw:dornelman\n", file);
        std::fclose(file);
    }
    setenv("PAM_MATRIX_PASSWD", passdb.c_str(), 1);
    const std::string folder = platform::paths::NativePath("C:\\PCounter");
    platform::paths::MakeDirectories(folder);
    const std::string tool = folder + "/account.exe";
    std::filesystem::copy_file(std::string(source) + "/tests/fixtures/backends/account.exe", tool);
    chmod(tool.c_str(), 0755);

    SetConfig(SpawnUser, sizeof SpawnUser, "root");
    SetConfig(SpawnPasswd, sizeof SpawnPasswd, "rootpw");
    SetConfig(SpawnDomain, sizeof SpawnDomain, "\\\\.");
    auto service = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
    t_ServerStartInfo* info = &service->boxes[0];
    std::snprintf(info->pcounterLocation, sizeof info->pcounterLocation, "C:\\PCounter");
    info->printLinkType = 0;
    info->authType = 0;

    // Each part on its own first, so a failure says which part failed.
    char user[] = "jsmith";
    const char* failure = nullptr;
    HANDLE probe = nullptr;
    if (!BareRun(tool)) {
        failure = "the tool double does not run by itself";
    } else if (!LogonUserA("root", "\\\\.", "rootpw", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &probe)) {
        failure = "the spawn account's logon fails (is the PAM wrapper preloaded?)";
    } else if (CZuvexService::GetBalance(user, info) != 12.5) {
        failure = "the balance query through the tool does not give 12.50";
    }
    CloseLogonToken(probe);
    if (failure != nullptr) {
        std::fprintf(stderr, "backends_bench: %s\n", failure);
        std::filesystem::remove_all(root);
        return 1;
    }

    // Rounds alternate the two, so a change in the machine's load hits both alike; the
    // medians are printed.
    std::vector<double> bareTimes;
    std::vector<double> queryTimes;
    std::vector<double> logonTimes;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        BareRun(tool);
        const auto t1 = Clock::now();
        CZuvexService::GetBalance(user, info);
        const auto t2 = Clock::now();
        HANDLE token = nullptr;
        if (LogonUserA("root", "\\\\.", "rootpw", LOGON32_LOGON_INTERACTIVE,
                       LOGON32_PROVIDER_DEFAULT, &token)) {
            CloseLogonToken(token);
        }
        const auto t3 = Clock::now();
        bareTimes.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        queryTimes.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        logonTimes.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
    }
    const double bare = Median(bareTimes);
    const double query = Median(queryTimes);
    const double logon = Median(logonTimes);

    std::printf("bare fork/exec/wait of account.exe: %10.1f us per call (median)\n", bare);
    std::printf("the spawn account's logon alone:    %10.1f us per call (median)\n", logon);
    std::printf("balance query through account.exe:  %10.1f us per call (median)\n", query);
    std::printf("ratio (query / bare):               %10.3f  (aim: at most 1.1)\n", query / bare);
    std::printf("ratio without the logon:            %10.3f\n", (query - logon) / bare);
    std::printf(
        "TABLE|backends|balance query through account.exe|%.0f us|bare fork/exec/wait|%.0f "
        "us|%.3f|<= 1.1\n",
        query, bare, query / bare);
    std::printf(
        "TABLE|backends|the same less the PAM logon|%.0f us|bare fork/exec/wait|%.0f "
        "us|%.3f|(shown)\n",
        query - logon, bare, (query - logon) / bare);
    service.reset();
    std::filesystem::remove_all(root);
    return 0;
}
