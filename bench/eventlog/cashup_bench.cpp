// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Appends beside cash-ups of a big log: ten box threads append deposit records while two
// viewer threads cash up a log of the given size again and again. Prints the append rate
// and the longest single append, the scan rate of the cash-ups, and the append rate of the
// same ten threads with no scan running, for comparison.
// Usage: cashup_bench [log size in MB (default 500)] [seconds (default 10)]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "bench/eventlog/benchroot.h"
#include "server/eventlog.h"
#include "server/logservice.h"
#include "server/zuvexservice.h"

namespace {

using Clock = std::chrono::steady_clock;

struct AppendFigures {
    long records = 0;
    double seconds = 0;
    double longestMs = 0;
};

// Ten box threads append for the given time.
AppendFigures Append(CEventLog& log, double seconds) {
    std::atomic<long> records{0};
    std::atomic<long> longestUs{0};
    std::vector<std::thread> boxes;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (int b = 0; b < 10; ++b) {
        boxes.emplace_back([&, b] {
            t_ServerStartInfo info;
            std::memset(&info, 0, sizeof info);
            info.boxNumber = b;
            std::snprintf(info.userName, sizeof info.userName, "user%03d", b);
            while (Clock::now() < end) {
                const auto before = Clock::now();
                log.LogUserEvent(&info, CEventLog::DepositUnits, "aabcdefghi");
                const long us =
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before)
                        .count();
                long seen = longestUs.load();
                while (us > seen && !longestUs.compare_exchange_weak(seen, us)) {
                }
                ++records;
            }
        });
    }
    for (auto& box : boxes) box.join();
    AppendFigures figures;
    figures.records = records.load();
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.longestMs = longestUs.load() / 1000.0;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: %s [log size in MB (default 500)] [seconds (default 10)]\n", argv[0]);
        return 0;
    }
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 500;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    if (megabytes <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [log size in MB] [seconds]\n", argv[0]);
        return 2;
    }
    const std::optional<std::string> made = MakeBenchRoot("cashup-bench");
    if (!made) return 1;
    const std::string& root = *made;

    int result = 0;
    {
        CEventLog log;
        log.Init();
        if (!log.logFile) {
            std::fprintf(stderr, "cannot open %s\n", CEventLog::LogFilePath().c_str());
            return 1;
        }
        // The big log: one megabyte of records, written over and over.
        std::string block;
        for (int i = 0; block.size() < (1u << 20); ++i) {
            block += "Tuesday, 08/12/2026 04:51:40|" + std::to_string(i % 10) + "|17|bulk|aab|\n";
        }
        const int fd = ::open(CEventLog::LogFilePath().c_str(), O_WRONLY | O_APPEND);
        for (long i = 0; fd >= 0 && i < megabytes; ++i) {
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                std::perror("write");
                result = 1;
                break;
            }
        }
        if (fd >= 0) ::close(fd);

        const AppendFigures quiet = Append(log, seconds / 2);

        std::atomic<bool> scanning{true};
        std::atomic<long> cashUps{0};
        std::atomic<long long> scannedBytes{0};
        std::vector<std::thread> viewers;
        const auto scanStart = Clock::now();
        for (int v = 0; v < 2; ++v) {
            viewers.emplace_back([&, v] {
                while (scanning) {
                    CCashUpCounter counter(v);
                    long long bytes = 0;
                    log.ScanPieces([&](const char* piece, std::size_t length) {
                        counter.Add({piece, length});
                        bytes += static_cast<long long>(length);
                    });
                    scannedBytes += bytes;
                    ++cashUps;
                }
            });
        }
        const AppendFigures busy = Append(log, seconds);
        scanning = false;
        for (auto& viewer : viewers) viewer.join();
        const double scanSeconds = std::chrono::duration<double>(Clock::now() - scanStart).count();

        std::printf("log size:                          %ld MB\n", megabytes);
        std::printf("appends, 10 threads, no scan:      %.0f records/s (longest %.2f ms)\n",
                    quiet.records / quiet.seconds, quiet.longestMs);
        std::printf("appends, 10 threads, 2 cash-ups:   %.0f records/s (longest %.2f ms)\n",
                    busy.records / busy.seconds, busy.longestMs);
        std::printf("cash-ups:                          %ld in %.1f s, %.0f MB/s scanned\n",
                    cashUps.load(), scanSeconds, scannedBytes.load() / scanSeconds / 1e6);
        std::printf("records not written:               %lu\n", log.DroppedRecords());
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return result;
}
