// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Records per second of CEventLog::LogUserEvent from ten threads at once, beside a bare
// fprintf + fflush of lines of the same shape from one thread, in the same run and on the
// same file system. Usage: eventlog_bench [records per thread] (default 20000).

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "bench/eventlog/benchroot.h"
#include "platform/paths/paths.h"
#include "server/eventlog.h"
#include "server/zuvexservice.h"

namespace {

constexpr int kThreads = 10;

double Seconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: %s [records per thread (default 20000)]\n", argv[0]);
        return 0;
    }
    const long perThread = argc > 1 ? std::atol(argv[1]) : 20000;
    if (perThread <= 0) {
        std::fprintf(stderr, "usage: %s [records per thread]\n", argv[0]);
        return 2;
    }
    const std::optional<std::string> made = MakeBenchRoot("eventlog-bench");
    if (!made) return 1;
    const std::string& root = *made;
    const std::string directory = platform::paths::NativePath("C:\\dornel\\log");
    const long total = perThread * kThreads;

    // The event log, ten box threads at once.
    double logSeconds = 0;
    {
        CEventLog log;
        log.Init();
        if (!log.logFile) {
            std::fprintf(stderr, "cannot open %s\n", CEventLog::LogFilePath().c_str());
            return 1;
        }
        std::vector<std::thread> threads;
        const auto start = std::chrono::steady_clock::now();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t, perThread] {
                t_ServerStartInfo info;
                std::memset(&info, 0, sizeof info);
                info.boxNumber = t;
                std::snprintf(info.userName, sizeof info.userName, "user%03d", t);
                for (long i = 0; i < perThread; ++i) {
                    log.LogUserEvent(&info, CEventLog::DepositUnits, "aabcdefghi");
                }
            });
        }
        for (auto& thread : threads) thread.join();
        logSeconds = Seconds(std::chrono::steady_clock::now() - start);
        if (log.DroppedRecords() != 0) {
            std::printf("warning: %lu records not written\n", log.DroppedRecords());
        }
    }

    // Bare stdio: the same number of lines of the same shape, one thread.
    double bareSeconds = 0;
    {
        const std::string path = directory + "/bare.log";
        std::FILE* file = std::fopen(path.c_str(), "a+b");
        if (!file) {
            std::perror(path.c_str());
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < total; ++i) {
            std::fprintf(file, "%s|%d|%d|%s|%s|\n", "Tuesday, 08/12/2026 04:50:00",
                         static_cast<int>(i % kThreads), 17, "user000", "aabcdefghi");
            std::fflush(file);
        }
        bareSeconds = Seconds(std::chrono::steady_clock::now() - start);
        std::fclose(file);
    }

    const double logRate = total / logSeconds;
    const double bareRate = total / bareSeconds;
    std::printf("records:                          %ld (%d threads x %ld)\n", total, kThreads,
                perThread);
    std::printf("LogUserEvent, %d threads:         %.0f records/s (%.3f s)\n", kThreads, logRate,
                logSeconds);
    std::printf("fprintf + fflush, 1 thread:       %.0f records/s (%.3f s)\n", bareRate,
                bareSeconds);
    std::printf("ratio (event log / bare stdio):   %.2f\n", logRate / bareRate);
    std::printf(
        "TABLE|eventlog|LogUserEvent, %d threads|%.0f records/s|fprintf + fflush, 1 thread|%.0f "
        "records/s|%.2f|(shown)\n",
        kThreads, logRate, bareRate, logRate / bareRate);

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
