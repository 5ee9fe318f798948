// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// rpc_search_bench [RECORDS] [ROUNDS]: a generated log of RECORDS records (default
// 1,000,000, about 90 MB; or $DORNEL_BENCH_RECORDS), served by the event log's DornelLog
// interface on loopback. Times a search through the client stubs against `grep -F -i -c`
// on the same file, a cash-up against `wc -l`, and the reading of every match (one call a
// line) against the Ping round trip; ROUNDS rounds (default 5) run all of them in turn and
// the medians and ratios are printed. About one record in a hundred is a door record, the
// text searched.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "interface/dornellog.h"
#include "platform/paths/paths.h"
#include "server/zuvexservice.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    close(fd);
    return ntohs(where.sin_port);
}

// Runs the program (no shell) with its output into *output; returns its wall time.
double TimeCommand(const std::vector<std::string>& command, std::string* output) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    output->clear();
    char buffer[256];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        output->append(buffer, static_cast<std::size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = Seconds(start);
    while (!output->empty() && output->back() == '\n') output->pop_back();
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

void WriteLog(const std::string& path, long records) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    static const char* kUsers[] = {"N/A", "jsmith", "mbrown", "student042"};
    for (long i = 0; i < records; ++i) {
        int box = static_cast<int>(i % 10);
        const char* user = kUsers[i % 4];
        if (i % 100 == 7) {
            std::fprintf(file, "Tuesday, 06/03/2001 14:05:09|%d|16|%s|%s|\n", box, user,
                         i % 200 == 7 ? "Open" : "Closed");
        } else if (i % 3 == 0) {
            std::fprintf(file, "Tuesday, 06/03/2001 14:05:09|%d|17|%s|aabcdefghi|\n", box, user);
        } else {
            std::fprintf(file,
                         "Wednesday, 07/03/2001 09:15:41|%d|11|%s|Authentication and balance "
                         "enquiry 12.50 for this padding text|\n",
                         box, user);
        }
    }
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: rpc_search_bench [RECORDS (1000000)] [ROUNDS (5)]\n");
        return 0;
    }
    long records = 1000000;
    if (const char* env = std::getenv("DORNEL_BENCH_RECORDS")) records = std::atol(env);
    if (argc > 1) records = std::atol(argv[1]);
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (records <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: rpc_search_bench [RECORDS] [ROUNDS]\n");
        return 64;
    }
    char pattern[] = "/tmp/dornel-bench-rpc-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string root = pattern;
    setenv("DORNEL_ROOT", root.c_str(), 1);
    setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
    setenv("DORNEL_EPM_PORT", std::to_string(FreePort()).c_str(), 1);
    platform::paths::MakeDirectories(platform::paths::NativePath("C:\\dornel\\log"));
    const std::string path = CEventLog::LogFilePath();
    WriteLog(path, records);
    std::printf("log: %ld records, %.1f MB\n", records,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);

    int result = 0;
    {
        CZuvexService service(kDisplayName, kServiceName);
        CEventLog log;
        log.Init();
        RPC_BINDING_HANDLE binding = nullptr;
        RPC_CSTR text = nullptr;
        RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", "127.0.0.1", nullptr, nullptr,
                                 &text);
        RpcBindingFromStringBindingA(text, &binding);
        RpcStringFreeA(&text);
        try {
            DornelLogClient::Ping(binding);  // connect and bind outside the timings
            // Rounds run every subject beside its anchor, so a change in the machine's load
            // meets both alike; the medians are printed.
            std::vector<double> pingUs, search, read, grep, cashUp, wc;
            LONG count = 0;
            long lines = 0;
            std::string grepOut, wcOut, cashText;
            for (int round = 0; round < rounds; ++round) {
                auto start = Clock::now();
                constexpr int kPings = 500;
                for (int i = 0; i < kPings; ++i) DornelLogClient::Ping(binding);
                pingUs.push_back(Seconds(start) * 1e6 / kPings);

                start = Clock::now();
                unsigned char needle[] = "closed";
                LogSearchRequest request{0, sizeof needle, needle};
                DornelLogClient::DoLogSearch(binding, &request, &count);
                search.push_back(Seconds(start));

                start = Clock::now();
                DWORD position = 0;
                LogBuffer entry{};
                lines = 0;
                if (DornelLogClient::GetFirstEventEntry(binding, &position) == 0) {
                    while (DornelLogClient::GetNextEventEntry(binding, &position, &entry) == 0) {
                        ++lines;
                        MIDL_user_free(entry.data);
                        entry = LogBuffer{};
                    }
                }
                MIDL_user_free(entry.data);
                read.push_back(Seconds(start));

                grep.push_back(TimeCommand({"grep", "-F", "-i", "-c", "closed", path}, &grepOut));

                start = Clock::now();
                LogBuffer cash{};
                DornelLogClient::CashUp(binding, 3, &cash);
                cashUp.push_back(Seconds(start));
                cashText = cash.data ? reinterpret_cast<char*>(cash.data) : "";
                MIDL_user_free(cash.data);

                wc.push_back(TimeCommand({"wc", "-l", path}, &wcOut));
            }
            const double ping = Median(pingUs);
            const double searchOnly = Median(search);
            const double reading = Median(read);
            const double perLineUs = lines > 0 ? reading * 1e6 / static_cast<double>(lines) : 0.0;
            const double grepTime = Median(grep);
            const double cash = Median(cashUp);
            const double wcTime = Median(wc);
            std::printf("medians of %d rounds\n", rounds);
            std::printf("search \"closed\": %ld matches (grep counts %s)\n",
                        static_cast<long>(count), grepOut.c_str());
            std::printf("  DoLogSearch             %8.3f s\n", searchOnly);
            std::printf("  grep -F -i -c           %8.3f s   ratio %.2f   (aim: at most 1.5)\n",
                        grepTime, searchOnly / grepTime);
            std::printf("  reading %7ld lines   %8.3f s   %.1f us a line\n", lines, reading,
                        perLineUs);
            std::printf("  Ping round trip         %8.1f us   ratio %.2f   (one call a line)\n",
                        ping, perLineUs / ping);
            std::printf("cash-up of box 3: %s\n", cashText.c_str());
            std::printf("  CashUp                  %8.3f s\n", cash);
            std::printf("  wc -l                   %8.3f s   ratio %.2f   (aim: at most 2)\n",
                        wcTime, cash / wcTime);
            std::printf(
                "TABLE|rpc_search|search of %ld records|%.3f s|grep -F -i -c|%.3f s|%.2f|<= 1.5\n",
                records, searchOnly, grepTime, searchOnly / grepTime);
            std::printf("TABLE|rpc_search|cash-up of %ld records|%.3f s|wc -l|%.3f s|%.2f|<= 2\n",
                        records, cash, wcTime, cash / wcTime);
            std::printf(
                "TABLE|rpc_search|reading a match|%.1f us|Ping round trip|%.1f us|%.2f|(one call a "
                "line)\n",
                perLineUs, ping, perLineUs / ping);
        } catch (const RpcException& failure) {
            std::fprintf(stderr, "rpc_search_bench: %s\n", failure.what());
            result = 1;
        }
        RpcBindingFree(&binding);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return result;
}
