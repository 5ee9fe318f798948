// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Running the tool for real: logons of the spawn account, what is captured of the output,
// the time limit, concurrent runs, and a run as a real local account.

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>

#include "backends_fixture.h"
#include "server/spawn.h"
#include "tests/fixtures/peer.h"

namespace backendtest {
namespace {

class ToolRun : public BackendFixture {
  protected:
    // Runs the tool with viewbal user into a buffer of size bytes; the call's result.
    int Spawn(const char* mode, std::string& output, long size = 2048,
              const std::string& user = "jsmith") {
        setenv("ACCOUNT_DOUBLE_MODE", mode, 1);
        std::vector<char> buffer(static_cast<std::size_t>(size), 'z');
        const int result = SpawnAndRead({ToolPath(), "viewbal", user}, buffer.data(), &size);
        output.assign(buffer.data());
        return result;
    }

    static bool NoChildrenLeft() {
        int status = 0;
        return waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
    }
};

TEST_F(ToolRun, BothWritesOfTheToolAreCaptured) {
    std::string output;
    ASSERT_EQ(Spawn("twice", output), 1);
    EXPECT_EQ(output, "Current balance is 7.25\n");
    info_->printLinkType = 0;
    info_->authType = 0;
    char user[] = "jsmith";
    EXPECT_DOUBLE_EQ(CZuvexService::GetBalance(user, info_), 7.25);
    EXPECT_TRUE(NoChildrenLeft());
}

TEST_F(ToolRun, SilenceIsAnEmptySuccess) {
    std::string output = "x";
    EXPECT_EQ(Spawn("silent", output), 1);
    EXPECT_EQ(output, "");
    EXPECT_TRUE(HasDebug("About to CPAU"));
    EXPECT_TRUE(HasDebug("Spawn complete"));
}

TEST_F(ToolRun, OutputIsCutToTheBufferLessOne) {
    std::string output;
    ASSERT_EQ(Spawn("flood", output, 2048), 1);
    EXPECT_EQ(output, std::string(2047, 'x'));
    ASSERT_EQ(Spawn("flood", output, 1), 1);
    EXPECT_EQ(output, "");
    EXPECT_TRUE(HasDebug("Child wrote 100000 bytes; kept the first 2047"));
}

TEST_F(ToolRun, TheSpawnAccountsPasswordIsMasked) {
    std::string output;
    Spawn("silent", output);
    EXPECT_TRUE(HasDebug("About to LogonUser (interactive) with U=root, P=********, D=\\\\."));
    EXPECT_EQ(ReadFile(LogPath()).find("rootpw"), std::string::npos);
}

TEST_F(ToolRun, TenRunsAtOnceKeepTheirOwnOutput) {
    constexpr int kRuns = 10;
    std::vector<std::string> outputs(kRuns);
    std::vector<int> results(kRuns, -1);
    setenv("ACCOUNT_DOUBLE_MODE", "balance", 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRuns; ++i) {
        threads.emplace_back([&, i] {
            char buffer[2048];
            long size = sizeof buffer;
            const std::string user = "user" + std::to_string(i);
            results[static_cast<std::size_t>(i)] =
                SpawnAndRead({ToolPath(), "viewbal", user}, buffer, &size);
            outputs[static_cast<std::size_t>(i)] = buffer;
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(results[static_cast<std::size_t>(i)], 1);
        EXPECT_EQ(outputs[static_cast<std::size_t>(i)],
                  "user" + std::to_string(i) + " has a balance of 0\n");
    }
    EXPECT_TRUE(NoChildrenLeft());
}

// ----------------------------------------------------------------------------------------

TEST_F(ToolRun, AToolThatNeverEndsIsKilledAfterTheLimit) {
    setenv("DORNEL_SPAWN_TIMEOUT_MS", "300", 1);
    setenv("ACCOUNT_DOUBLE_PIDFILE", (root_ / "pids").c_str(), 1);
    EXPECT_EQ(platform::process::ToolTimeLimitMs(), 300);
    std::string output;
    EXPECT_EQ(Spawn("hang", output), 1);
    EXPECT_EQ(output, "working\n");
    // The caller learns that the tool did not finish; one that finished says so.
    char buffer[64];
    long size = sizeof buffer;
    SpawnEnd end = SpawnEnd::Finished;
    EXPECT_EQ(SpawnAndRead({ToolPath(), "viewbal", "jsmith"}, buffer, &size, &end), 1);
    EXPECT_EQ(end, SpawnEnd::TimeLimit);
    setenv("ACCOUNT_DOUBLE_MODE", "silent", 1);
    EXPECT_EQ(SpawnAndRead({ToolPath(), "viewbal", "jsmith"}, buffer, &size, &end), 1);
    EXPECT_EQ(end, SpawnEnd::Finished);
    EXPECT_TRUE(HasDebug("Child did not exit within 300 ms; killed"));
    EXPECT_TRUE(NoChildrenLeft());
    // The tool's own child went with it (its process group was killed).
    const std::string pids = ReadFile(root_ / "pids");
    const pid_t sleeper = static_cast<pid_t>(std::atol(pids.substr(pids.find(' ') + 1).c_str()));
    ASSERT_GT(sleeper, 0);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        const std::string stat = ReadFile("/proc/" + std::to_string(sleeper) + "/stat");
        gone = stat.empty() || stat.find(") Z") != std::string::npos;
        if (!gone) usleep(10000);
    }
    EXPECT_TRUE(gone);
}

// A sleeper the tool left behind (its pid is the second in the pid file) is gone.
bool SleeperGone(const std::string& pidFile) {
    const std::string pids = ReadFile(pidFile);
    const std::size_t space = pids.find(' ');
    if (space == std::string::npos) return false;
    const pid_t sleeper = static_cast<pid_t>(std::atol(pids.c_str() + space + 1));
    if (sleeper <= 0) return false;
    for (int i = 0; i < 200; ++i) {
        const std::string stat = ReadFile("/proc/" + std::to_string(sleeper) + "/stat");
        if (stat.empty() || stat.find(") Z") != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

TEST_F(ToolRun, AToolThatLeavesABackgroundChildHoldingItsOutputEndsWithIt) {
    // The limit is far above what the run needs: reaching it is the fault.
    setenv("DORNEL_SPAWN_TIMEOUT_MS", "10000", 1);
    setenv("ACCOUNT_DOUBLE_PIDFILE", (root_ / "pids").c_str(), 1);
    setenv("ACCOUNT_DOUBLE_BALANCE", "4.50", 1);
    std::string output;
    ASSERT_EQ(Spawn("detach", output), 1);
    EXPECT_EQ(output, "jsmith has a balance of 4.50\n");
    EXPECT_TRUE(HasDebug("Child exited leaving its output open; its process group was ended"));
    EXPECT_FALSE(HasDebug("Child output not finished within 10000 ms; using the 29 bytes read"));
    EXPECT_TRUE(NoChildrenLeft());
    EXPECT_TRUE(SleeperGone(root_ / "pids"));

    // Through the back-end: the balance and a deposit are the tool's answers.
    info_->printLinkType = 0;
    info_->authType = 0;
    char user[] = "jsmith";
    EXPECT_DOUBLE_EQ(CZuvexService::GetBalance(user, info_), 4.50);
    std::snprintf(info_->userName, sizeof info_->userName, "jsmith");
    CZuvexService::ProcessPCounterDeposit(info_, 1.00);
    EXPECT_EQ(DataOf(CEventLog::DepositOK), std::vector<std::string>{"4.50"});
    EXPECT_TRUE(DataOf(CEventLog::DepositError).empty());
    EXPECT_TRUE(SleeperGone(root_ / "pids"));
}

TEST_F(ToolRun, AFailedLogonStartsNothingAndReadsNothing) {
    SetConfig(SpawnPasswd, sizeof SpawnPasswd, "not-the-password");
    std::string output = "x";
    EXPECT_EQ(Spawn("balance", output), 1);
    EXPECT_EQ(output, "");
    EXPECT_TRUE(HasDebug("LogonUser failed with 1326 - trying batch logon"));
    EXPECT_TRUE(HasDebug("LogonUser (batch) failed with 1326"));
    EXPECT_FALSE(HasDebug("About to CPAU"));
    EXPECT_EQ(ToolRuns(), "");
    EXPECT_EQ(ReadFile(LogPath()).find("not-the-password"), std::string::npos);

    info_->printLinkType = 0;
    info_->authType = 0;
    char user[] = "jsmith";
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(user, info_)));
    EXPECT_NE(NtEvents().find("Invalid response from spawned child"), std::string::npos);
}

TEST_F(ToolRun, AnAccountRefusedInteractivelyRunsTheToolAsBatch) {
    SetMatrixUsers(root_, "root:rootpw:otherservice\n");
    std::string output;
    EXPECT_EQ(Spawn("balance", output), 1);
    EXPECT_EQ(output, "jsmith has a balance of 0\n");
    EXPECT_TRUE(HasDebug("LogonUser failed with 1327 - trying batch logon"));
    EXPECT_FALSE(HasDebug("LogonUser (batch) failed with 1327"));
}

TEST_F(ToolRun, AMissingToolIsAStartFailure) {
    std::snprintf(info_->pcounterLocation, sizeof info_->pcounterLocation, "C:\\Nowhere");
    info_->printLinkType = 0;
    info_->authType = 0;
    char user[] = "jsmith";
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(user, info_)));
    EXPECT_TRUE(HasDebug("CPAU Failed, error code 2"));
    EXPECT_TRUE(HasDebug("Sending command C:\\Nowhere\\account.exe viewbal jsmith"));
}

// Each way a tool run fails keeps the user-facing outcome and names its cause once: in a
// debug record and in one NT event, not as a bare error number.
TEST_F(ToolRun, EachSpawnFailureNamesItsCause) {
    const auto causeEvents = [this] {
        int count = 0;
        const std::string events = NtEvents();
        for (std::size_t at = events.find("account.exe could not be run: ");
             at != std::string::npos; at = events.find("account.exe could not be run: ", at + 1)) {
            ++count;
        }
        return count;
    };
    info_->printLinkType = 0;
    info_->authType = 0;
    char user[] = "jsmith";

    // The tool is missing.
    std::snprintf(info_->pcounterLocation, sizeof info_->pcounterLocation, "C:\\Nowhere");
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(user, info_)));
    const std::string missing = platform::paths::NativePath("C:\\Nowhere\\account.exe");
    EXPECT_TRUE(HasDebug("Spawn failed: the tool " + missing + " is missing"));
    EXPECT_NE(NtEvents().find("account.exe could not be run: the tool " + missing + " is missing"),
              std::string::npos);
    EXPECT_NE(NtEvents().find("Invalid response from spawned child"), std::string::npos);
    EXPECT_EQ(causeEvents(), 1);

    // The tool is there but nobody may execute it.
    const std::string folder = platform::paths::NativePath("C:\\NoExec");
    ASSERT_TRUE(platform::paths::MakeDirectories(folder, 0755));
    std::ofstream(folder + "/account.exe") << "#!/bin/sh\necho never\n";
    ASSERT_EQ(chmod((folder + "/account.exe").c_str(), 0644), 0);
    std::snprintf(info_->pcounterLocation, sizeof info_->pcounterLocation, "C:\\NoExec");
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(user, info_)));
    EXPECT_TRUE(HasDebug("Spawn failed: the tool " + folder +
                         "/account.exe is not executable by the spawn account root"));
    EXPECT_EQ(causeEvents(), 2);

    // The spawn account's logon is refused.
    std::snprintf(info_->pcounterLocation, sizeof info_->pcounterLocation, "C:\\PCounter");
    SetConfig(SpawnPasswd, sizeof SpawnPasswd, "not-the-password");
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(user, info_)));
    EXPECT_TRUE(
        HasDebug("Spawn failed: the spawn account root could not log on: wrong "
                 "SpawnPasswd, or an account PAM does not know"));
    EXPECT_EQ(causeEvents(), 3);
    EXPECT_EQ(NtEvents().find("not-the-password"), std::string::npos);

    // The tool overruns its time limit.
    SetConfig(SpawnPasswd, sizeof SpawnPasswd, "rootpw");
    setenv("DORNEL_SPAWN_TIMEOUT_MS", "300", 1);
    std::string output;
    EXPECT_EQ(Spawn("hang", output), 1);
    EXPECT_TRUE(HasDebug("Spawn failed: the tool " + ToolPath() +
                         " did not finish within the time limit of 300 ms and was killed"));
    EXPECT_EQ(causeEvents(), 4);

    // A run that works adds nothing.
    unsetenv("DORNEL_SPAWN_TIMEOUT_MS");
    EXPECT_EQ(Spawn("balance", output), 1);
    EXPECT_EQ(causeEvents(), 4);
}

TEST_F(ToolRun, UnusableBuffersFail) {
    char buffer[4];
    long size = 0;
    EXPECT_EQ(SpawnAndRead({ToolPath()}, buffer, &size), 0);
    size = 4;
    EXPECT_EQ(SpawnAndRead({ToolPath()}, nullptr, &size), 0);
    EXPECT_EQ(ToolRuns(), "");
}

TEST(SpawnLimits, TheTimeLimitVariableIsCheckedAndPrivilegeNamesAreKnown) {
    unsetenv("DORNEL_SPAWN_TIMEOUT_MS");
    EXPECT_EQ(platform::process::ToolTimeLimitMs(), platform::process::kToolTimeLimitMs);
    for (const char* bad : {"", "0", "-5", "12ms", "abc"}) {
        setenv("DORNEL_SPAWN_TIMEOUT_MS", bad, 1);
        EXPECT_EQ(platform::process::ToolTimeLimitMs(), platform::process::kToolTimeLimitMs) << bad;
    }
    setenv("DORNEL_SPAWN_TIMEOUT_MS", "1500", 1);
    EXPECT_EQ(platform::process::ToolTimeLimitMs(), 1500);
    unsetenv("DORNEL_SPAWN_TIMEOUT_MS");
}

class ToolRunsPrivileges : public BackendFixture {};

TEST_F(ToolRunsPrivileges, UnknownPrivilegeNamesAreLogged) {
    UpdatePrivs("SeNoSuchPrivilege");
    EXPECT_TRUE(HasDebug("LookupPrivilegeValue failed, 1313"));
    UpdatePrivs("SeTcbPrivilege");
    if (geteuid() == 0) {
        EXPECT_FALSE(HasDebug("AdjustTokenPrivileges failed, 1300"));
    } else {
        EXPECT_TRUE(HasDebug("AdjustTokenPrivileges failed, 1300"));
    }
}

// With the "unix" PAM services: a real local account as the spawn account and as a box
// user (root only).
class RealAccount : public BackendFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0) DORNEL_SKIP_WITHOUT_PEER("a local account needs root");
        BackendFixture::SetUp();
        ASSERT_TRUE(user_.Made());
        SetConfig(SpawnUser, sizeof SpawnUser, user_.Name());
        SetConfig(SpawnPasswd, sizeof SpawnPasswd, "Spawn-Pw1");
        // The tool runs as that account and cannot write the argument log.
        unsetenv("ACCOUNT_DOUBLE_LOG");
    }
    LocalUser user_{UniqueUserName("dnsp"), "Spawn-Pw1"};
};

TEST_F(RealAccount, TheToolRunsAsTheSpawnAccount) {
    setenv("ACCOUNT_DOUBLE_MODE", "whoami", 1);
    char buffer[256];
    long size = sizeof buffer;
    ASSERT_EQ(SpawnAndRead({ToolPath(), "viewbal", "jsmith"}, buffer, &size), 1);
    const passwd* entry = getpwnam(user_.Name().c_str());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(buffer), "uid=" + std::to_string(entry->pw_uid) +
                                       " gid=" + std::to_string(entry->pw_gid) + "\n");
    EXPECT_TRUE(HasDebug("Spawn complete"));
}

TEST_F(RealAccount, ABoxUserLogsOnThroughTheSystemsAccounts) {
    info_->authType = 0;
    EXPECT_EQ(CZuvexService::AuthenticateUser(info_, user_.Name().c_str(), "Spawn-Pw1"),
              AuthOutcome::Accepted);
    EXPECT_EQ(CZuvexService::AuthenticateUser(info_, user_.Name().c_str(), "nope"),
              AuthOutcome::Declined);
    EXPECT_TRUE(HasDebug("LogonUser failed with 52E"));
}

}  // namespace
}  // namespace backendtest
