// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Balance queries and deposits against the configured accounting back-end.
//
// Sections: shared helpers (the box answer, command lines, the tool's output), the NT
// accounting tool (account.exe run as the spawn account), the PrintLink plug-ins
// (dornnw.dll and printlink.dll), and the dispatch by printLinkType and authType.
//
// Everything runs on the calling box's handler thread; several boxes may be here at once.
// A balance failure is kBalanceFailure and is never sent from here (the caller declines
// the user); a deposit always answers its box with PKT_DEPOSIT_RESULT, except under an
// authType that names no back-end.
//
// The tool's output goes into the log as one line (see OneLine). Beyond the documented
// flow, three deposits are refused with the error answer and a
// DepositError: one with no authenticated user (it would credit nobody, or whoever the
// tool takes an empty name for), one whose command line would not fit its limit (it is
// never cut), and a plug-in deposit that returns the failure value (or no number). A
// deposit whose tool was killed at the time limit answers the box with the error payload
// too, and its DepositError says that the outcome is unknown, so staff can check the
// account.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/src/Protocol.h"
#include "platform/base/decimal.h"
#include "platform/dynlib/dynlib.h"
#include "platform/logon/logon.h"
#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
#include "server/spawn.h"
#include "server/zuvexservice.h"

namespace {

// ---- Shared helpers --------------------------------------------------------------------

constexpr const char kErrorPayload[] = "ERROR";  // only its first four bytes are sent
constexpr int kErrorPayloadLength = 4;
constexpr std::size_t kShortPathSize = 260;         // the short form of PCounterLocation
constexpr std::size_t kBalanceCommandLimit = 2047;  // characters of a viewbal command line
constexpr std::size_t kDepositCommandLimit = 259;   // characters of a deposit command line
constexpr long kBalanceOutputSize = 2048;
constexpr long kDepositOutputSize = 1024;

constexpr const char* kInvalidResponse = "Invalid response from spawned child";
// The reason of a deposit whose tool was killed at the time limit.
constexpr const char* kDepositOutcomeUnknown =
    "Outcome unknown: account.exe was stopped at the time limit; check the account before "
    "crediting again";

constexpr WORD kBackendNoticeEventId = 100;  // NT event id of the back-ends' notices

// The NT event log entry of a back-end notice (information, event id 100).
void LogNtNotice(const char* text) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, kBackendNoticeEventId, text);
}

// An amount as "%.2f", however large (a double has at most 309 digits before the point).
std::string FormatAmount(double value) {
    char text[400];
    const int length = std::snprintf(text, sizeof text, "%.2f", value);
    if (length < 0) return "0.00";
    return std::string(text, static_cast<std::size_t>(length) < sizeof text
                                 ? static_cast<std::size_t>(length)
                                 : sizeof text - 1);
}

// Answers a deposit with its new balance, as "%.2f" without a terminating zero.
void SendDepositResult(t_ServerStartInfo* info, const std::string& balance) {
    SendControlPacket(info->socket, PKT_DEPOSIT_RESULT, balance.data(),
                      static_cast<int>(balance.size()));
}

// Answers a deposit with the 4-byte error payload.
void SendDepositError(t_ServerStartInfo* info) {
    SendControlPacket(info->socket, PKT_DEPOSIT_RESULT, kErrorPayload, kErrorPayloadLength);
}

// A deposit that failed before any back-end was asked: the error answer and a
// DepositError with the reason. userName is left as it was.
void RefuseDeposit(t_ServerStartInfo* info, const char* debugText, const char* userText) {
    CZuvexService::EventLog.LogDebugEvent(info, "%s", debugText);
    SendDepositError(info);
    CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError, userText);
}

// Refuses a deposit that has no authenticated user. Returns true when it did.
bool RefusedWithoutUser(t_ServerStartInfo* info, double amount) {
    if (info->userName[0] != '\0') return false;
    char text[128];
    std::snprintf(text, sizeof text, "Deposit of %s refused: no authenticated user",
                  FormatAmount(amount).c_str());
    RefuseDeposit(info, text, "No authenticated user for this deposit");
    return true;
}

// The tool's output as the text of one log record: a record is one line whose fields are
// separated by "|", so line breaks, other control characters and "|" become spaces, and
// trailing spaces go.
std::string OneLine(const char* output) {
    std::string text(output);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The short form of the box's PCounterLocation, or "" when it does not fit.
std::string ShortLocation(const t_ServerStartInfo* info) {
    char location[sizeof info->pcounterLocation];
    GetConfigString(info->pcounterLocation, location, sizeof location);
    char shortPath[kShortPathSize] = {};
    const DWORD length = GetShortPathNameA(location, shortPath, kShortPathSize);
    if (length == 0 || length >= kShortPathSize) return {};
    return shortPath;
}

// The native path of account.exe in that folder.
std::string ToolPath(const std::string& shortLocation) {
    return platform::paths::NativePath(shortLocation + "\\account.exe");
}

// ---- The NT accounting tool ------------------------------------------------------------

// How a run of account.exe ended.
enum class ToolRun {
    Done,         // the output is in the buffer
    TooLong,      // the command line is over its limit; nothing was run
    SpawnFailed,  // SpawnAndRead failed
};

// Runs one account.exe command (logged as commandLine, run as argv) and leaves its output,
// terminated, in output; *end (when given) tells whether the tool finished or was killed at
// the time limit. Writes the debug records of each outcome.

ToolRun RunTool(t_ServerStartInfo* info, const std::string& commandLine, std::size_t limit,
                const std::vector<std::string>& argv, char* output, long size,
                SpawnEnd* end = nullptr) {
    if (commandLine.size() > limit) {
        CZuvexService::EventLog.LogDebugEvent(
            info, "Command line of %zu characters is over the limit of %zu; not run",
            commandLine.size(), limit);
        return ToolRun::TooLong;
    }
    CZuvexService::EventLog.LogDebugEvent(info, "Sending command %s", commandLine.c_str());
    long outputSize = size;
    if (SpawnAndRead(argv, output, &outputSize, end) == 0) {
        CZuvexService::EventLog.LogDebugEvent(info, "SpawnAndRead failed");
        return ToolRun::SpawnFailed;
    }
    CZuvexService::EventLog.LogDebugEvent(info, "%s", OneLine(output).c_str());
    return ToolRun::Done;
}

// ---- The PrintLink plug-ins ------------------------------------------------------------

using InitPrintLinkProc = int (*)();
using GetBalanceProc = double (*)(const char*, int, const char*, const char*, const char*);
using DepositProc = double (*)(const char*, double, int, const char*, const char*, const char*);
using EndPrintLinkProc = void (*)();

// The texts of one plug-in's deposit failures.
struct PluginTexts {
    const char* library;            // file name loaded
    const char* noLibrary;          // debug record: not loaded
    const char* noLibraryUser;      // user text: not loaded
    const char* noExports;          // debug record: an export missing
    const char* noExportsUser;      // user text: an export missing
    const char* initFailed;         // debug record: init returned 0
    const char* initFailedUser;     // user text: init returned 0
    const char* depositFailedUser;  // user text: the plug-in returned the failure value
};

constexpr PluginTexts kPrintLinkTexts = {
    "printlink.dll",
    "No printlink",
    "printlink not available.",
    "No printlink function exports",
    "printlink.dll does not have valid exports.",
    "printlink init failed",
    "printlink init failed.",
    "printlink deposit failed.",
};

constexpr PluginTexts kDornnwTexts = {
    "dornnw.dll",
    "No dornnw",
    "dornnw not available.",
    "No dornnw function exports",
    "dornnw does not have valid exports.",
    "dornnw init failed",
    "dornnw init failed.",
    "dornnw deposit failed.",
};

// The spawn account strings, copied under the configuration lock.
struct SpawnStrings {
    char user[sizeof SpawnUser];
    char password[sizeof SpawnPasswd];
    char domain[sizeof SpawnDomain];
    SpawnStrings() {
        GetConfigString(SpawnUser, user, sizeof user);
        GetConfigString(SpawnPasswd, password, sizeof password);
        GetConfigString(SpawnDomain, domain, sizeof domain);
    }
    ~SpawnStrings() { platform::logon::ClearSecret(password, sizeof password); }
    SpawnStrings(const SpawnStrings&) = delete;
    SpawnStrings& operator=(const SpawnStrings&) = delete;
};

double PluginBalance(const char* library, const char* user, t_ServerStartInfo* info) {
    platform::dynlib::Library plugin(library);
    if (!plugin.IsLoaded()) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "%s: %s", library,
                                              platform::dynlib::DynlibErrorText().c_str());
        return kBalanceFailure;
    }
    auto init = plugin.Find<InitPrintLinkProc>("DLPL_InitPrintLink");
    auto getBalance = plugin.Find<GetBalanceProc>("DLPL_GetBalance");
    auto end = plugin.Find<EndPrintLinkProc>("DLPL_EndPrintLink");
    if (init == nullptr || getBalance == nullptr || end == nullptr) return kBalanceFailure;

    CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling DLPL_InitPrintLink");
    if (init() == 0) return kBalanceFailure;
    CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling DLPL_GetBalance");
    const SpawnStrings spawn;
    const double balance = getBalance(user != nullptr ? user : "", info->boxNumber, spawn.user,
                                      spawn.password, spawn.domain);
    CZuvexService::EventLog.LogDebugEvent(nullptr, "DLPL_GetBalance returned %f", balance);
    end();
    // A result that is no number at all is no balance either.
    return std::isfinite(balance) ? balance : kBalanceFailure;
}

void PluginDeposit(const PluginTexts& texts, t_ServerStartInfo* info, double amount) {
    if (RefusedWithoutUser(info, amount)) return;
    double balance = 0.0;
    {
        platform::dynlib::Library plugin(texts.library);
        if (!plugin.IsLoaded()) {
            CZuvexService::EventLog.LogDebugEvent(nullptr, "%s: %s", texts.library,
                                                  platform::dynlib::DynlibErrorText().c_str());
            RefuseDeposit(info, texts.noLibrary, texts.noLibraryUser);
            return;
        }
        auto init = plugin.Find<InitPrintLinkProc>("DLPL_InitPrintLink");
        auto deposit = plugin.Find<DepositProc>("DLPL_Deposit");
        auto end = plugin.Find<EndPrintLinkProc>("DLPL_EndPrintLink");
        if (init == nullptr || deposit == nullptr || end == nullptr) {
            RefuseDeposit(info, texts.noExports, texts.noExportsUser);
            return;
        }
        CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling DLPL_InitPrintLink");
        if (init() == 0) {
            RefuseDeposit(info, texts.initFailed, texts.initFailedUser);
            return;
        }
        CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling DLPL_Deposit");
        const SpawnStrings spawn;
        balance = deposit(info->userName, amount, info->boxNumber, spawn.user, spawn.password,
                          spawn.domain);
        CZuvexService::EventLog.LogDebugEvent(nullptr, "DLPL_Deposit returned %f", balance);
        end();
    }
    if (!std::isfinite(balance) || IsBalanceFailure(balance)) {
        SendDepositError(info);
        CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError,
                                             texts.depositFailedUser);
    } else {
        const std::string text = FormatAmount(balance);
        CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositOK, text.c_str());
        SendDepositResult(info, text);
    }
    info->userName[0] = '\0';
}

}  // namespace

// ---- Dispatch and the back-ends --------------------------------------------------------

double CZuvexService::GetBalance(char* user, t_ServerStartInfo* info) {
    switch (info->printLinkType) {
        case 0:
            return GetPCounterBalance(user, info);
        case 1:
            return GetCustomBalance(user, info);
        default:
            LogNtNotice("Invalid printlink type");
            return kBalanceFailure;
    }
}

double CZuvexService::GetPCounterBalance(char* user, t_ServerStartInfo* info) {
    switch (info->authType) {
        case 0:
            return GetNTPCounterBalance(user, info);
        case 1:
            return GetNetwarePCounterBalance(user, info);
        default:
            return kBalanceFailure;
    }
}

double CZuvexService::GetNTPCounterBalance(char* user, t_ServerStartInfo* info) {
    const char* name = user != nullptr ? user : "";
    const std::string location = ShortLocation(info);
    const std::string commandLine = location + "\\account.exe viewbal " + name;
    char output[kBalanceOutputSize];
    if (RunTool(info, commandLine, kBalanceCommandLimit, {ToolPath(location), "viewbal", name},
                output, sizeof output) != ToolRun::Done) {
        return kBalanceFailure;
    }
    double balance = 0.0;
    if (platform::base::BalanceInToolOutput(output, balance)) {
        return balance;
    }
    LogNtNotice(kInvalidResponse);
    return kBalanceFailure;
}

double CZuvexService::GetNetwarePCounterBalance(char* user, t_ServerStartInfo* info) {
    return PluginBalance("dornnw.dll", user, info);
}

double CZuvexService::GetCustomBalance(char* user, t_ServerStartInfo* info) {
    return PluginBalance("printlink.dll", user, info);
}

void CZuvexService::ProcessPCounterDeposit(t_ServerStartInfo* info, double amount) {
    switch (info->authType) {
        case 0:
            ProcessNTPCounterDeposit(info, amount);
            break;
        case 1:
            ProcessNetwarePCounterDeposit(info, amount);
            break;
        default:
            break;
    }
}

void CZuvexService::ProcessNTPCounterDeposit(t_ServerStartInfo* info, double amount) {
    if (RefusedWithoutUser(info, amount)) return;
    const std::string amountText = FormatAmount(amount);
    const std::string location = ShortLocation(info);
    const std::string commandLine =
        location + "\\account.exe deposit " + info->userName + " " + amountText;
    char output[kDepositOutputSize];
    SpawnEnd end = SpawnEnd::Finished;
    switch (RunTool(info, commandLine, kDepositCommandLimit,
                    {ToolPath(location), "deposit", info->userName, amountText}, output,
                    sizeof output, &end)) {
        case ToolRun::Done:
            break;
        case ToolRun::TooLong:
            SendDepositError(info);
            CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError,
                                                 "Deposit command line too long");
            return;
        case ToolRun::SpawnFailed:
            SendDepositError(info);
            CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError,
                                                 "Could not spawn child process");
            return;
    }
    double balance = 0.0;
    if (end == SpawnEnd::TimeLimit) {
        // The tool was killed mid-run: the account may or may not have been credited, and
        // whatever it printed is no answer. Staff reconcile it from this record.
        std::string reason = kDepositOutcomeUnknown;
        const std::string printed = OneLine(output);
        if (!printed.empty()) reason += "; account.exe printed: " + printed;
        SendDepositError(info);
        CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError, reason.c_str());
    } else if (!platform::base::NewBalanceInToolOutput(output, balance)) {
        LogNtNotice(kInvalidResponse);
        SendDepositError(info);
        CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositError,
                                             OneLine(output).c_str());
    } else {
        const std::string text = FormatAmount(balance);
        CZuvexService::EventLog.LogUserEvent(info, CEventLog::DepositOK, text.c_str());
        SendDepositResult(info, text);
    }
    info->userName[0] = '\0';
}

void CZuvexService::ProcessNetwarePCounterDeposit(t_ServerStartInfo* info, double amount) {
    PluginDeposit(kDornnwTexts, info, amount);
}

void CZuvexService::ProcessCustomDeposit(t_ServerStartInfo* info, double amount) {
    PluginDeposit(kPrintLinkTexts, info, amount);
}
