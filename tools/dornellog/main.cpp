// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornellog: the log viewer's operations from the command line, on the DornelLog client
// stubs. It binds as the viewer does (the interface UUID as object, ncacn_ip_tcp, no
// endpoint: the host's endpoint mapper, on 135 or $DORNEL_EPM_PORT, gives the port).
//
//   dornellog [--server HOST] [--timeout SECONDS] ping | search TEXT | cashup BOX | clear
//
// Every call waits at most the time-out (30 s) for the server, so a server that never
// answers ends the run with a message instead of hanging it.
//
// Exit status: 0 done; 1 failed (the server declined with status 5, or the RPC call failed
// or timed out); 2 usage error.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interface/dornellog.h"
#include "platform/rpc/rpc.h"

void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }

void MIDL_user_free(void* block) { std::free(block); }

namespace {

constexpr int kExitDeclined = 1;
constexpr int kExitRpcFailure = 1;
constexpr int kExitUsage = 2;
constexpr long kDefaultTimeoutSeconds = 30;
constexpr long kMaxTimeoutSeconds = 3600;

void Usage(std::FILE* to) {
    std::fputs(
        "usage: dornellog [--server HOST] [--timeout SECONDS] COMMAND\n"
        "Commands (on the Dornel log of HOST, default 127.0.0.1):\n"
        "  ping          check that the log service answers\n"
        "  search TEXT   print every record containing TEXT (letter case ignored; \"\" for all)\n"
        "  cashup BOX    count the coins and notes box BOX took since its door last changed\n"
        "  clear         empty the log\n"
        "The endpoint mapper is asked on port 135, or on $DORNEL_EPM_PORT when set.\n"
        "Each call waits at most SECONDS (default 30, at most 3600) for the server.\n"
        "Exit status: 0 done, 1 failed (declined by the server, RPC failure or time-out),\n"
        "2 usage error.\n",
        to);
}

// The binding, freed at the end of the run.
class Binding {
public:
    Binding(const std::string& host, long timeoutSeconds) {
        RPC_CSTR text = nullptr;
        status_ = RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", host.c_str(), nullptr,
                                           nullptr, &text);
        if (status_ == RPC_S_OK) status_ = RpcBindingFromStringBindingA(text, &handle_);
        RpcStringFreeA(&text);
        if (status_ == RPC_S_OK) {
            status_ = RpcBindingSetAuthInfoA(handle_, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                             RPC_C_AUTHN_NONE, nullptr, 0);
        }
        if (status_ == RPC_S_OK) {
            status_ = RpcBindingSetOption(handle_, RPC_C_OPT_CALL_TIMEOUT,
                                          static_cast<std::uintptr_t>(timeoutSeconds) * 1000);
        }
    }
    ~Binding() {
        if (handle_) RpcBindingFree(&handle_);
    }
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    RPC_STATUS Status() const { return status_; }
    handle_t Handle() const { return handle_; }

private:
    RPC_BINDING_HANDLE handle_ = nullptr;
    RPC_STATUS status_;
};

// True when text begins like a log record: its date and time field ("Tuesday, 06/03/2001
// 14:05:09") and the bar after it. The pieces that continue a long line are its data.
bool StartsRecord(const char* text) {
    const char* at = text;
    while (std::isalpha(static_cast<unsigned char>(*at))) ++at;
    if (at == text || *at++ != ',' || *at++ != ' ') return false;
    const char* shape = "dd/dd/dddd dd:dd:dd|";
    for (; *shape; ++shape, ++at) {
        if (*shape == 'd' ? !std::isdigit(static_cast<unsigned char>(*at)) : *at != *shape) {
            return false;
        }
    }
    return true;
}

int PingServer(handle_t binding) {
    if (DornelLogClient::Ping(binding) != 0) {
        std::fprintf(stderr, "dornellog: Could not ping the RPC server\n");
        return kExitDeclined;
    }
    std::printf("The Dornel log service answered\n");
    return 0;
}

int SearchLog(handle_t binding, const std::string& text) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    bytes.push_back(0);
    LogSearchRequest request{0, static_cast<LONG>(bytes.size()), bytes.data()};
    LONG count = 0;
    if (DornelLogClient::DoLogSearch(binding, &request, &count) != 0) {
        std::fprintf(stderr, "dornellog: the search failed: the log is busy or not open; "
                             "please try again later\n");
        return kExitDeclined;
    }
    DWORD position = 0;
    LogBuffer entry{};
    long printed = 0;  // entries received
    long records = 0;  // lines they make up
    bool midLine = false;
    if (DornelLogClient::GetFirstEventEntry(binding, &position) == 0) {
        while (DornelLogClient::GetNextEventEntry(binding, &position, &entry) == 0) {
            if (entry.data) {
                // Each record as stored, its line feed included. The server hands a line
                // longer than its read buffer over in pieces, only the last with the line
                // feed: they follow one another, so printed together they give it whole.
                const char* piece = reinterpret_cast<const char*>(entry.data);
                const std::size_t length = std::strlen(piece);
                // A piece whose line did not match in full is followed by another record:
                // that one starts on a line of its own.
                if (midLine && StartsRecord(piece)) {
                    std::fputc('\n', stdout);
                    midLine = false;
                }
                std::fwrite(piece, 1, length, stdout);
                ++printed;
                if (!midLine) ++records;
                midLine = length == 0 || piece[length - 1] != '\n';
            }
            // The next request carries an empty entry, as the viewer sends it.
            MIDL_user_free(entry.data);
            entry = LogBuffer{};
        }
    }
    MIDL_user_free(entry.data);
    if (midLine) std::fputc('\n', stdout);  // a line whose end did not match ends here
    std::printf("%ld matching record%s\n", records, records == 1 ? "" : "s");
    if (printed != count) {
        std::fprintf(stderr, "dornellog: only %ld of the %ld matches could be read\n", printed,
                     static_cast<long>(count));
        return kExitDeclined;
    }
    return 0;
}

int CashUpBox(handle_t binding, LONG box) {
    LogBuffer result{};
    error_status_t status = DornelLogClient::CashUp(binding, box, &result);
    if (status != 0 || !result.data) {
        MIDL_user_free(result.data);
        std::fprintf(stderr, "dornellog: the cash-up failed: the log is busy or not open; "
                             "please try again later\n");
        return kExitDeclined;
    }
    const std::string raw = reinterpret_cast<const char*>(result.data);
    MIDL_user_free(result.data);
    static const char* const kValues[9] = {"0.05", "0.10", "0.20", "0.50", "1",
                                           "2",    "5",    "10",   "20"};
    static const double kAmounts[9] = {0.05, 0.10, 0.20, 0.50, 1, 2, 5, 10, 20};
    std::printf("Cash-up of box %ld\n", static_cast<long>(box));
    double total = 0;
    const char* field = raw.c_str();
    for (int i = 0; i < 9; ++i) {
        long count = std::strtol(field, nullptr, 10);
        total += count * kAmounts[i];
        std::printf("  %c %5s: %ld\n", 'a' + i, kValues[i], count);
        const char* comma = std::strchr(field, ',');
        field = comma ? comma + 1 : field + std::strlen(field);
    }
    std::printf("Total: %.2f\n", total);
    std::printf("Raw: %s\n", raw.c_str());
    return 0;
}

int ClearTheLog(handle_t binding) {
    if (DornelLogClient::ClearLog(binding) != 0) {
        std::fprintf(stderr, "dornellog: Unable to clear the log. Please try again later.\n");
        return kExitDeclined;
    }
    std::printf("The log was cleared\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long timeoutSeconds = kDefaultTimeoutSeconds;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--server") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "dornellog: --server needs a host\n");
                return kExitUsage;
            }
            host = argv[++i];
            if (host.empty()) host = "127.0.0.1";
            continue;
        }
        if (arg == "--timeout") {
            char* end = nullptr;
            errno = 0;
            const char* text = i + 1 < argc ? argv[++i] : "";
            timeoutSeconds = std::strtol(text, &end, 10);
            if (!*text || *end != '\0' || errno != 0 || timeoutSeconds < 1 ||
                timeoutSeconds > kMaxTimeoutSeconds) {
                std::fprintf(stderr,
                             "dornellog: --timeout needs a number of seconds from 1 to %ld\n",
                             kMaxTimeoutSeconds);
                return kExitUsage;
            }
            continue;
        }
        args.push_back(arg);
    }
    if (args.empty()) {
        Usage(stderr);
        return kExitUsage;
    }
    const std::string& command = args[0];
    const std::size_t wanted = command == "search" || command == "cashup" ? 2 : 1;
    if ((command != "ping" && command != "search" && command != "cashup" && command != "clear") ||
        args.size() != wanted) {
        std::fprintf(stderr, "dornellog: unknown command or wrong arguments: %s\n", command.c_str());
        Usage(stderr);
        return kExitUsage;
    }
    LONG box = 0;
    if (command == "cashup") {
        char* end = nullptr;
        errno = 0;
        long value = std::strtol(args[1].c_str(), &end, 10);
        if (args[1].empty() || *end != '\0' || errno != 0 || value < -2147483647L - 1 ||
            value > 2147483647L) {
            std::fprintf(stderr, "dornellog: the box number must be a whole number: %s\n",
                         args[1].c_str());
            return kExitUsage;
        }
        box = static_cast<LONG>(value);
    }

    Binding binding(host, timeoutSeconds);
    if (binding.Status() != RPC_S_OK) {
        std::fprintf(stderr, "dornellog: Could not connect to the Dornel RPC server (%s): %s\n",
                     host.c_str(), RpcStatusText(binding.Status()).c_str());
        return kExitRpcFailure;
    }
    try {
        if (command == "ping") return PingServer(binding.Handle());
        if (command == "search") return SearchLog(binding.Handle(), args[1]);
        if (command == "cashup") return CashUpBox(binding.Handle(), box);
        return ClearTheLog(binding.Handle());
    } catch (const RpcException& failure) {
        if (failure.status() == RPC_S_CALL_CANCELLED) {
            std::fprintf(stderr,
                         "dornellog: the Dornel RPC server (%s) did not answer within %ld "
                         "second%s; it may be hung or overloaded\n",
                         host.c_str(), timeoutSeconds, timeoutSeconds == 1 ? "" : "s");
            return kExitRpcFailure;
        }
        std::fprintf(stderr, "dornellog: Could not connect to the Dornel RPC server (%s): %s\n",
                     host.c_str(), failure.what());
        return kExitRpcFailure;
    }
}
