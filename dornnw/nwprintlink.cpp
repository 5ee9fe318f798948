// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The accounting half of the plug-in: a directory login of the spawn account, then a run of
// account.exe from the box's PCounterLocation, whose output gives the balance.
//
// Divisions: the box's setting, the tool run, the output's number, and the two exports.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dornnw/dornnw.h"
#include "dornnw/nwcontext.h"
#include "dornnw/nwlog.h"
#include "platform/base/decimal.h"
#include "platform/netware/netware.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "platform/registry/registry.h"

namespace dornnw {
namespace {

constexpr DWORD kLocationSize = 1024;      // PCounterLocation is read through this buffer
constexpr DWORD kShortPathSize = 260;      // its short form, at most 259 characters
constexpr std::size_t kOutputSize = 2048;  // the tool's output, at most 2047 bytes kept
constexpr std::size_t kSpawnFieldMax = 1023;

// ---- The box's setting ----------------------------------------------------------------

// PCounterLocation of the box, from its own key (closed again); false when the key or the
// value is missing or the value does not fit its buffer.
bool ReadPCounterLocation(int box, std::string& location) {
    char keyName[96];
    std::snprintf(keyName, sizeof keyName, "SOFTWARE\\Orvane Technology\\ZuvexBox\\Box%03ld",
                  static_cast<long>(box));
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return false;
    }
    BYTE data[kLocationSize + 1] = {};
    DWORD size = kLocationSize;
    DWORD type = REG_NONE;
    const LONG result = RegQueryValueExA(key, "PCounterLocation", nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return false;
    std::size_t length = 0;
    while (length < size && data[length] != 0) ++length;
    location.assign(reinterpret_cast<const char*>(data), length);
    return true;
}

// ---- The tool run ---------------------------------------------------------------------

// How a tool run ended.
enum class RunEnd {
    Done,       // the output is in the buffer (empty when the tool could not start)
    Failed,     // no pipe, or the read failed
    TimeLimit,  // the tool was stopped at the time limit; its output is no answer
};

// Runs argv under the server's own account, standard output and error on one pipe and an
// input pipe closed at once, and reads its output to the end (at most kOutputSize - 1 bytes
// kept, the rest drained) within the time limit. The child is always reaped.
RunEnd RunTool(const std::vector<std::string>& argv, std::string& output) {
    output.clear();
    namespace process = platform::process;
    process::Pipe out;
    process::Pipe in;
    if (!process::CreatePipe(out) || !process::CreatePipe(in)) return RunEnd::Failed;
    const long limit = platform::process::ToolTimeLimitMs();
    const auto deadline = process::Clock::now() + std::chrono::milliseconds(limit);
    process::ChildProcess child =
        process::StartChild(argv, nullptr, in.read.Get(), out.write.Get(), out.write.Get());
    out.write.Close();
    in.read.Close();
    in.write.Close();
    char buffer[kOutputSize] = {};
    const process::ReadResult result =
        process::ReadUntilChildDone(out.read.Get(), buffer, kOutputSize - 1, child, deadline);
    out.read.Close();
    output.assign(buffer, result.length);
    if (result.end == process::ReadEnd::Failed) {
        child.Kill();
        return RunEnd::Failed;
    }
    if (result.end == process::ReadEnd::TimedOut ||
        (child.IsRunning() && !child.WaitUntil(deadline))) {
        child.Kill();
        LogF("account.exe did not finish within %ld ms and was stopped", limit);
        return RunEnd::TimeLimit;
    }
    return RunEnd::Done;
}

// The command of account.exe in the box's PCounterLocation with the arguments; false (with
// nothing run) when the box has no location or its short form does not fit.
bool ToolCommand(int box, const std::vector<std::string>& arguments,
                 std::vector<std::string>& argv) {
    std::string location;
    if (!ReadPCounterLocation(box, location)) return false;
    char shortPath[kShortPathSize] = {};
    const DWORD length = GetShortPathNameA(location.c_str(), shortPath, kShortPathSize);
    if (length == 0 || length >= kShortPathSize) return false;
    argv = {platform::paths::NativePath(std::string(shortPath) + "\\account.exe")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return true;
}

// ---- The tool's answer ----------------------------------------------------------------

// Runs account.exe of the box with these arguments and logs what it printed (also when it
// was stopped at the time limit). True when output holds its whole answer.
bool RunToolLogged(int box, const std::vector<std::string>& arguments, std::string& output) {
    std::vector<std::string> argv;
    if (!ToolCommand(box, arguments, argv)) return false;
    const RunEnd end = RunTool(argv, output);
    if (end == RunEnd::Failed) return false;
    Log(output);
    return end == RunEnd::Done;
}

double BalanceFromTool(int box, const std::string& user) {
    std::string output;
    if (!RunToolLogged(box, {"viewbal", user}, output)) return kFailure;
    double balance = 0.0;
    return platform::base::BalanceInToolOutput(output.c_str(), balance) ? balance : kFailure;
}

double DepositThroughTool(int box, const std::string& user, double amount) {
    // The amount with six decimals ("%f"), whatever the process's locale.
    char amountText[400];
    const auto [last, error] = std::to_chars(amountText, amountText + sizeof amountText - 1, amount,
                                             std::chars_format::fixed, 6);
    if (error != std::errc() || !std::isfinite(amount)) return kFailure;
    *last = '\0';
    std::string output;
    if (!RunToolLogged(box, {"deposit", user, amountText}, output)) return kFailure;
    double balance = 0.0;
    return platform::base::NewBalanceInToolOutput(output.c_str(), balance) ? balance : kFailure;
}

// ---- The two exports ------------------------------------------------------------------

// The steps both operations share: the spawn account's directory login around the tool run.
// name ("DLPL_GetBalance" or "DLPL_Deposit") begins each log message.
template <typename ToolRun>
double WithSpawnLogin(const char* name, const char* spawnUser, const char* spawnPassword,
                      const char* spawnDomain, ToolRun run) {
    ContextHandle context;
    if (!context.Create()) {
        Log("Failed to get context handle\n");
        return kFailure;
    }
    // tree|context; empty fields are skipped, so "|x" names only a tree and "\\." (no "|")
    // a tree alone: the context stays at its defaults unless both are given.
    const std::string domain = spawnDomain != nullptr ? spawnDomain : "";
    std::string fields[2];
    std::size_t position = 0;
    for (std::string& field : fields) {
        while (position < domain.size() && domain[position] == '|') ++position;
        const std::size_t end = std::min(domain.find('|', position), domain.size());
        field = domain.substr(position, std::min(end - position, kSpawnFieldMax));
        position = end;
    }
    if (!fields[0].empty() && !fields[1].empty()) {
        NWDSCCODE code = NWDSSetContext(context.Get(), DCK_TREE_NAME, fields[0].c_str());
        if (code != 0) {
            LogF("%s : NWDSSetContext failed with code %X\n", name, static_cast<unsigned>(code));
            return kFailure;
        }
        code = NWDSSetContext(context.Get(), DCK_NAME_CONTEXT, fields[1].c_str());
        if (code != 0) {
            LogF("%s : NWDSSetContext(2) failed with code %X\n", name, static_cast<unsigned>(code));
            return kFailure;
        }
    }
    const NWDSCCODE code = NWDSLogin(context.Get(), 0, spawnUser != nullptr ? spawnUser : "",
                                     spawnPassword != nullptr ? spawnPassword : "", 0);
    if (code != 0) {
        LogF("%s : NWDSLogin failed with code %X\n", name, static_cast<unsigned>(code));
        if (code == ERR_PASSWORD_EXPIRED) NWDSLogout(context.Get());
        // A failed login of the spawn account does not stop the operation.
    }
    const double result = run();
    NWDSLogout(context.Get());
    context.Free();
    return result;
}

}  // namespace

double DLPL_GetBalance(const char* user, int box, const char* spawnUser, const char* spawnPassword,
                       const char* spawnDomain) {
    const std::string name = user != nullptr ? user : "";
    return WithSpawnLogin("DLPL_GetBalance", spawnUser, spawnPassword, spawnDomain,
                          [&] { return BalanceFromTool(box, name); });
}

double DLPL_Deposit(const char* user, double amount, int box, const char* spawnUser,
                    const char* spawnPassword, const char* spawnDomain) {
    const std::string name = user != nullptr ? user : "";
    return WithSpawnLogin("DLPL_Deposit", spawnUser, spawnPassword, spawnDomain,
                          [&] { return DepositThroughTool(box, name, amount); });
}

}  // namespace dornnw
