// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/spawn.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/logon/logon.h"
#include "platform/service/eventsource.h"
#include "server/zuvexservice.h"

namespace {

constexpr LONG kErrorNoSuchPrivilege = 1313;  // ERROR_NO_SUCH_PRIVILEGE

// Privilege names that stand for "may run a process as another account".
constexpr const char* kIdentityPrivileges[] = {
    "SeTcbPrivilege",
    "SeAssignPrimaryTokenPrivilege",
    "SeIncreaseQuotaPrivilege",
};

// A logon token, closed when it goes out of scope.
class TokenOwner {
  public:
    TokenOwner() = default;
    ~TokenOwner() { CloseLogonToken(token_); }
    TokenOwner(const TokenOwner&) = delete;
    TokenOwner& operator=(const TokenOwner&) = delete;
    HANDLE* Out() { return &token_; }
    HANDLE Get() const { return token_; }

  private:
    HANDLE token_ = nullptr;
};

// NT event id of the back-ends' notices, which a failed tool run is one of.
constexpr DWORD kSpawnFailureEventId = 100;

// Why the spawn account could not log on, in words.
std::string LogonFailureText(DWORD error) {
    switch (error) {
        case ERROR_LOGON_FAILURE:
            return "wrong SpawnPasswd, or an account PAM does not know";
        case ERROR_ACCOUNT_RESTRICTION:
            return "the site's account rules refuse the account";
        case ERROR_ACCOUNT_EXPIRED:
            return "the account has expired";
        case ERROR_PASSWORD_EXPIRED:
            return "its password has expired";
        default:
            return "error " + std::to_string(error);
    }
}

// Why the tool could not be started, in words.
std::string StartFailureText(DWORD error, const std::string& program, const char* user) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "the tool " + program + " is missing";
        case ERROR_ACCESS_DENIED:
            return "the tool " + program + " is not executable by the spawn account " + user;
        case ERROR_NO_SUCH_USER:
            return std::string("the spawn account ") + user + " is unknown to the system";
        case ERROR_PRIVILEGE_NOT_HELD:
            return "the server may not run a program as another account (it needs root)";
        default:
            return "the tool " + program + " cannot be started (error " + std::to_string(error) +
                   ")";
    }
}

}  // namespace

void ReportSpawnFailure(const std::string& cause) {
    CZuvexService::EventLog.LogDebugEvent(nullptr, "Spawn failed: %s", cause.c_str());
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, kSpawnFailureEventId,
                    ("WARNING: account.exe could not be run: " + cause).c_str());
}

void UpdatePrivs(const char* privilegeName) {
    DWORD error = 0;
    const platform::process::IdentityPrivilege privilege =
        platform::process::QueryIdentityPrivilege(&error);
    if (privilege == platform::process::IdentityPrivilege::Unreadable) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "OpenProcessToken failed, %d",
                                              static_cast<int>(error));
        return;
    }
    bool known = false;
    for (const char* name : kIdentityPrivileges) {
        if (privilegeName != nullptr && std::strcmp(privilegeName, name) == 0) known = true;
    }
    if (!known) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "LookupPrivilegeValue failed, %d",
                                              static_cast<int>(kErrorNoSuchPrivilege));
        return;
    }
    if (privilege != platform::process::IdentityPrivilege::Held) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "AdjustTokenPrivileges failed, %d",
                                              static_cast<int>(ERROR_NOT_ALL_ASSIGNED));
    }
}

platform::process::ChildProcess PrepAndLaunchRedirectedChild(int childStdOut, int childStdIn,
                                                             int childStdErr,
                                                             const std::vector<std::string>& argv) {
    UpdatePrivs("SeTcbPrivilege");

    // A reconfigure on another thread may rewrite the globals: work on copies.
    char user[sizeof SpawnUser];
    char password[sizeof SpawnPasswd];
    const platform::logon::SecretGuard clearPassword(password, sizeof password);
    char domain[sizeof SpawnDomain];
    GetConfigString(SpawnUser, user, sizeof user);
    GetConfigString(SpawnPasswd, password, sizeof password);
    GetConfigString(SpawnDomain, domain, sizeof domain);

    CZuvexService::EventLog.LogDebugEvent(nullptr,
                                          "About to LogonUser (interactive) with U=%s, P=%s, D=%s",
                                          user, kPasswordMask, domain);
    TokenOwner token;
    if (!LogonUserA(user, domain, password, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT,
                    token.Out())) {
        CZuvexService::EventLog.LogDebugEvent(nullptr,
                                              "LogonUser failed with %ld - trying batch logon",
                                              static_cast<long>(GetLastError()));
        if (!LogonUserA(user, domain, password, LOGON32_LOGON_BATCH, LOGON32_PROVIDER_DEFAULT,
                        token.Out())) {
            const DWORD error = GetLastError();
            CZuvexService::EventLog.LogDebugEvent(nullptr, "LogonUser (batch) failed with %ld",
                                                  static_cast<long>(error));
            ReportSpawnFailure(std::string("the spawn account ") + user +
                               " could not log on: " + LogonFailureText(error));
            return {};
        }
    }
    platform::logon::ClearSecret(password, sizeof password);

    CZuvexService::EventLog.LogDebugEvent(nullptr, "About to CPAU");
    DWORD error = 0;
    platform::process::ChildProcess child =
        platform::process::StartChild(argv, platform::logon::TokenAccount(token.Get()), childStdIn,
                                      childStdOut, childStdErr, &error);
    if (!child.IsRunning()) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "CPAU Failed, error code %ld",
                                              static_cast<long>(error));
        ReportSpawnFailure(StartFailureText(error, argv.empty() ? std::string() : argv[0], user));
        return child;
    }
    CZuvexService::EventLog.LogDebugEvent(nullptr, "Spawn complete");
    return child;
}

int ReadAndHandleOutput(int readFd, char* buffer, long* size,
                        platform::process::ChildProcess& child,
                        platform::process::Clock::time_point deadline, bool* timedOut) {
    if (timedOut != nullptr) *timedOut = false;
    const std::size_t capacity = static_cast<std::size_t>(*size) - 1;
    const platform::process::ReadResult result =
        platform::process::ReadUntilChildDone(readFd, buffer, capacity, child, deadline);
    switch (result.end) {
        case platform::process::ReadEnd::Closed:
            break;
        case platform::process::ReadEnd::ChildExited:
            CZuvexService::EventLog.LogDebugEvent(
                nullptr, "Child exited leaving its output open; its process group was ended");
            break;
        case platform::process::ReadEnd::TimedOut:
            if (timedOut != nullptr) *timedOut = true;
            CZuvexService::EventLog.LogDebugEvent(
                nullptr, "Child output not finished within %ld ms; using the %zu bytes read",
                platform::process::ToolTimeLimitMs(), result.length);
            break;
        case platform::process::ReadEnd::Failed:
            CZuvexService::EventLog.LogDebugEvent(nullptr, "ReadFile failed, error code %ld",
                                                  static_cast<long>(result.error));
            return 0;
    }
    if (result.total > result.length) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "Child wrote %zu bytes; kept the first %zu",
                                              result.total, result.length);
    }
    return 1;
}

int SpawnAndRead(const std::vector<std::string>& argv, char* buffer, long* size, SpawnEnd* end) {
    if (end != nullptr) *end = SpawnEnd::Finished;
    if (buffer == nullptr || size == nullptr || *size <= 0) return 0;
    const auto deadline = platform::process::Clock::now() +
                          std::chrono::milliseconds(platform::process::ToolTimeLimitMs());

    platform::process::Pipe output;
    platform::process::Pipe input;
    DWORD error = 0;
    if (!platform::process::CreatePipe(output, &error) ||
        !platform::process::CreatePipe(input, &error)) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "CreatePipe failed, error code %ld",
                                              static_cast<long>(error));
        return 0;
    }

    platform::process::ChildProcess child = PrepAndLaunchRedirectedChild(
        output.write.Get(), input.read.Get(), output.write.Get(), argv);
    // Only the child keeps its ends, so the output reports its end once the child is done;
    // the input is closed at once: the tool reads nothing.
    output.write.Close();
    input.read.Close();
    input.write.Close();

    std::memset(buffer, 0, static_cast<std::size_t>(*size));
    bool timedOut = false;
    const int result =
        ReadAndHandleOutput(output.read.Get(), buffer, size, child, deadline, &timedOut);
    output.read.Close();

    if (result == 0) {
        child.Kill();
    } else if (child.IsRunning() && !child.WaitUntil(deadline)) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "Child did not exit within %ld ms; killed",
                                              platform::process::ToolTimeLimitMs());
        timedOut = true;
    }
    if (timedOut) {
        ReportSpawnFailure("the tool " + (argv.empty() ? std::string() : argv[0]) +
                           " did not finish within the time limit of " +
                           std::to_string(platform::process::ToolTimeLimitMs()) +
                           " ms and was killed");
    }
    if (end != nullptr && timedOut) *end = SpawnEnd::TimeLimit;
    return result;
}
