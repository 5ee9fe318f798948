// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// rpc_search_bench [RECORDS]: a generated log of RECORDS records (default 1,000,000, about
// 100 MB; or $DORNEL_BENCH_RECORDS), served by the event log's DornelLog interface on
// loopback. Times a search and the reading of every match through the client stubs
// against `grep -F -i -c` on the same file, and a cash-up against `wc -l`; prints the
// times and the ratios. About one record in a hundred is a door record, the text searched.

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

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

// Runs a shell command and returns its wall time; its output goes to *output.
double TimeCommand(const std::string& command, std::string* output) {
    auto start = Clock::now();
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char line[256];
    output->clear();
    while (std::fgets(line, sizeof line, pipe)) *output += line;
    pclose(pipe);
    return Seconds(start);
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
    long records = 1000000;
    if (const char* env = std::getenv("DORNEL_BENCH_RECORDS")) records = std::atol(env);
    if (argc > 1) records = std::atol(argv[1]);
    if (records <= 0) {
        std::fprintf(stderr, "usage: rpc_search_bench [RECORDS]\n");
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
        RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", "127.0.0.1", nullptr, nullptr, &text);
        RpcBindingFromStringBindingA(text, &binding);
        RpcStringFreeA(&text);
        try {
            DornelLogClient::Ping(binding);  // connect and bind outside the timings
            auto pings = Clock::now();
            constexpr int kPings = 2000;
            for (int i = 0; i < kPings; ++i) DornelLogClient::Ping(binding);
            std::printf("Ping round trip           %8.1f us\n", Seconds(pings) * 1e6 / kPings);

            auto start = Clock::now();
            unsigned char needle[] = "closed";
            LogSearchRequest request{0, sizeof needle, needle};
            LONG count = 0;
            DornelLogClient::DoLogSearch(binding, &request, &count);
            double searchOnly = Seconds(start);
            DWORD position = 0;
            LogBuffer entry{};
            long read = 0;
            if (DornelLogClient::GetFirstEventEntry(binding, &position) == 0) {
                while (DornelLogClient::GetNextEventEntry(binding, &position, &entry) == 0) {
                    ++read;
                    MIDL_user_free(entry.data);
                    entry = LogBuffer{};
                }
            }
            MIDL_user_free(entry.data);
            double searchAndRead = Seconds(start);

            start = Clock::now();
            LogBuffer cash{};
            DornelLogClient::CashUp(binding, 3, &cash);
            double cashUp = Seconds(start);
            std::string cashText = cash.data ? reinterpret_cast<char*>(cash.data) : "";
            MIDL_user_free(cash.data);

            std::string grepOut, wcOut;
            double grep = TimeCommand("grep -F -i -c closed '" + path + "'", &grepOut);
            double wc = TimeCommand("wc -l < '" + path + "'", &wcOut);
            if (!grepOut.empty() && grepOut.back() == '\n') grepOut.pop_back();
            std::printf("search \"closed\": %ld matches (grep counts %s)\n",
                        static_cast<long>(count), grepOut.c_str());
            std::printf("  DoLogSearch             %8.3f s\n", searchOnly);
            std::printf("  + reading %7ld lines %8.3f s\n", read, searchAndRead);
            std::printf("  grep -F -i -c           %8.3f s   ratio %.2f (search only %.2f)\n",
                        grep, searchAndRead / grep, searchOnly / grep);
            std::printf("cash-up of box 3: %s\n", cashText.c_str());
            std::printf("  CashUp                  %8.3f s\n", cashUp);
            std::printf("  wc -l                   %8.3f s   ratio %.2f\n", wc, cashUp / wc);
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
