// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Appends beside cash-ups of a big log: ten box threads append deposit records while two
// viewer threads cash up a log of the given size again and again. Prints the append rate
// and the longest single append, the scan rate of the cash-ups, and the append rate of the
// same ten threads with no scan running, for comparison; first one cash-up alone against
// `wc -l` of the same file (median of three rounds, alternating).
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
#include <sys/wait.h>
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

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// The wall time of `wc -l FILE` (run directly, no shell), or -1 when it fails.
double WcSeconds(const std::string& path) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::execlp("wc", "wc", "-l", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
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

        // A cash-up alone against `wc -l` of the same file, rounds alternating the two.
        std::vector<double> cashUpSeconds;
        std::vector<double> wcSeconds;
        for (int round = 0; round < 3; ++round) {
            const auto start = Clock::now();
            CCashUpCounter counter(3);
            log.ScanBlocksWhile([&](const char* text, std::size_t length) {
                counter.AddPieces(text, length);
                return true;
            });
            cashUpSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            wcSeconds.push_back(WcSeconds(CEventLog::LogFilePath()));
        }
        const double cashUp = Median(cashUpSeconds);
        const double wc = Median(wcSeconds);

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
                    log.ScanBlocksWhile([&](const char* text, std::size_t length) {
                        bytes += static_cast<long long>(length);
                        counter.AddPieces(text, length);
                        return true;
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
        std::printf(
            "one cash-up alone, median of 3:    %.3f s; wc -l %.3f s; ratio %.2f (aim: at most "
            "2)\n",
            cashUp, wc, cashUp / wc);
        std::printf("TABLE|cashup|cash-up of a %ld MB log|%.3f s|wc -l|%.3f s|%.2f|<= 2\n",
                    megabytes, cashUp, wc, cashUp / wc);
        std::printf(
            "TABLE|cashup|appends during 2 cash-ups|%.0f records/s|appends alone|%.0f "
            "records/s|%.2f|(shown)\n",
            busy.records / busy.seconds, quiet.records / quiet.seconds,
            (busy.records / busy.seconds) / (quiet.records / quiet.seconds));
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return result;
}
