// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The process layer with real children: argument vectors, the shared output pipe, the
// byte and time limits, identity change, and that every child is reaped.

#include "platform/process/process.h"

#include <cerrno>
#include <fstream>
#include <string>

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fixtures/backends/testsupport.h"

namespace {

using namespace platform::process;
namespace logon = platform::logon;
using namespace std::chrono_literals;

// What one run gave.
struct Outcome {
    bool started = false;
    DWORD error = 0;
    ReadResult read;
    std::string output;
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
};

// Runs argv with output and error on one pipe, reading at most capacity bytes for at most
// limit, then waits up to the same deadline.
Outcome RunChild(const std::vector<std::string>& argv, std::size_t capacity = 4096,
                 std::chrono::milliseconds limit = 5000ms,
                 const logon::Account* account = nullptr) {
    Outcome outcome;
    Pipe output;
    EXPECT_TRUE(CreatePipe(output));
    const auto deadline = Clock::now() + limit;
    ChildProcess child =
        StartChild(argv, account, -1, output.write.Get(), output.write.Get(), &outcome.error);
    output.write.Close();
    outcome.started = child.IsRunning();
    if (!outcome.started) return outcome;
    std::string buffer(capacity, '\0');
    outcome.read = ReadUntilClosed(output.read.Get(), buffer.data(), capacity, deadline);
    outcome.output = buffer.substr(0, outcome.read.length);
    outcome.exited = child.WaitUntil(deadline);
    outcome.exitCode = child.ExitCode();
    outcome.signal = child.Signal();
    return outcome;
}

// True when this process has no child left, reaped or not.
bool NoChildrenLeft() {
    int status = 0;
    return waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// True when the process is gone or only a zombie waiting for its new parent.
bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST(ProcessRun, ArgumentsArriveExactlyAsGiven) {
    const Outcome outcome =
        RunChild({"/usr/bin/printf", "[%s]", "j smith", "$(id);`id`|&*?'\"", ""});
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.output, "[j smith][$(id);`id`|&*?'\"][]");
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(NoChildrenLeft());
}

TEST(ProcessRun, OutputAndErrorShareThePipeAndInputIsEmpty) {
    const Outcome outcome =
        RunChild({"/bin/sh", "-c", "echo out; echo err >&2; cat; echo end; exit 3"});
    EXPECT_EQ(outcome.output, "out\nerr\nend\n");
    EXPECT_EQ(outcome.read.end, ReadEnd::Closed);
    EXPECT_EQ(outcome.exitCode, 3);
}

TEST(ProcessRun, OutputPastTheCapacityIsReadAndDropped) {
    const Outcome outcome =
        RunChild({"/bin/sh", "-c", "head -c 200000 /dev/zero | tr '\\0' x"}, 100);
    EXPECT_EQ(outcome.output, std::string(100, 'x'));
    EXPECT_EQ(outcome.read.total, 200000u);
    EXPECT_EQ(outcome.read.end, ReadEnd::Closed);
    EXPECT_TRUE(outcome.exited);
}

TEST(ProcessRun, AChildPastItsTimeIsKilledWithItsGroup) {
    const Outcome outcome = RunChild({"/bin/sh", "-c", "sleep 1000 & echo $!; wait"}, 64, 300ms);
    EXPECT_EQ(outcome.read.end, ReadEnd::TimedOut);
    EXPECT_FALSE(outcome.exited);
    EXPECT_EQ(outcome.signal, SIGKILL);
    const pid_t grandchild = static_cast<pid_t>(std::stol(outcome.output));
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = ProcessEnded(grandchild);
        if (!ended) usleep(10000);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(NoChildrenLeft());
}

TEST(ProcessRun, AChildThatExitsLeavingItsOutputHeldEndsWithItsGroup) {
    Pipe output;
    ASSERT_TRUE(CreatePipe(output));
    // The limit is far above what the run needs: reaching it is the fault.
    const auto deadline = Clock::now() + 20s;
    ChildProcess child = StartChild({"/bin/sh", "-c", "echo answer; sleep 1000 & echo $!; exit 4"},
                                    nullptr, -1, output.write.Get(), output.write.Get());
    output.write.Close();
    ASSERT_TRUE(child.IsRunning());
    char buffer[64] = {};
    const ReadResult read =
        ReadUntilChildDone(output.read.Get(), buffer, sizeof buffer - 1, child, deadline);
    EXPECT_EQ(read.end, ReadEnd::ChildExited);
    const std::string text(buffer, read.length);
    ASSERT_EQ(text.rfind("answer\n", 0), 0u) << text;
    // The child was reaped with its own status, and the sleeper went with its group.
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(child.ExitCode(), 4);
    const pid_t sleeper = static_cast<pid_t>(std::stol(text.substr(7)));
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = ProcessEnded(sleeper);
        if (!ended) usleep(10000);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(NoChildrenLeft());

    // A child that closes its output as it exits reads as closed, with all it wrote.
    Pipe second;
    ASSERT_TRUE(CreatePipe(second));
    ChildProcess plain = StartChild({"/bin/sh", "-c", "echo one; sleep 0.2; echo two"}, nullptr, -1,
                                    second.write.Get(), second.write.Get());
    second.write.Close();
    char more[64] = {};
    const ReadResult whole =
        ReadUntilChildDone(second.read.Get(), more, sizeof more - 1, plain, Clock::now() + 20s);
    EXPECT_EQ(whole.end, ReadEnd::Closed);
    EXPECT_EQ(std::string(more, whole.length), "one\ntwo\n");
    EXPECT_TRUE(plain.WaitUntil(Clock::now() + 20s));
}

TEST(ProcessRun, WhatAChildLeavesInItsGroupEndsWhenItIsWaitedFor) {
    // The sleeper lets go of the pipe, so the output closes as the shell exits.
    const Outcome outcome =
        RunChild({"/bin/sh", "-c", "sleep 1000 >/dev/null 2>&1 & echo $!; exit 5"});
    EXPECT_EQ(outcome.read.end, ReadEnd::Closed);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 5);
    const pid_t sleeper = static_cast<pid_t>(std::stol(outcome.output));
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = ProcessEnded(sleeper);
        if (!ended) usleep(10000);
    }
    EXPECT_TRUE(ended);
    if (!ended) kill(sleeper, SIGKILL);
}

TEST(ProcessRun, DroppingARunningChildKillsAndReapsIt) {
    pid_t pid = 0;
    {
        ChildProcess child = StartChild({"/bin/sleep", "1000"}, nullptr, -1, -1, -1);
        ASSERT_TRUE(child.IsRunning());
        pid = child.Pid();
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessRun, ThisProcessIdentityNeedsNoChange) {
    EXPECT_FALSE(NeedsIdentityChange(logon::CurrentAccount()));
    logon::Account other = logon::CurrentAccount();
    other.uid += 1;
    EXPECT_TRUE(NeedsIdentityChange(other));
    EXPECT_NE(QueryIdentityPrivilege(), IdentityPrivilege::Unreadable);
    if (geteuid() == 0) {
        EXPECT_EQ(QueryIdentityPrivilege(), IdentityPrivilege::Held);
    }
}

TEST(ProcessRun, AChildRunsAsTheGivenAccount) {
    if (geteuid() != 0) GTEST_SKIP() << "changing identity needs root";
    backendtest::LocalUser user(backendtest::UniqueUserName("dnpr"), "Pw0rd!x");
    ASSERT_TRUE(user.Made());
    const passwd* entry = getpwnam(user.Name().c_str());
    ASSERT_NE(entry, nullptr);
    logon::Account account;
    account.name = user.Name();
    account.resolved = true;
    account.uid = entry->pw_uid;
    account.gid = entry->pw_gid;
    account.groups = {entry->pw_gid};
    const Outcome outcome =
        RunChild({"/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"}, 256, 5000ms, &account);
    const std::string ids = std::to_string(entry->pw_uid) + " " + std::to_string(entry->pw_gid);
    EXPECT_EQ(outcome.output, ids + " " + std::to_string(entry->pw_gid) + "\n");
}

// ----------------------------------------------------------------------------------------

TEST(ProcessStart, MissingAndUnrunnableProgramsFailWithTheirCodes) {
    Outcome outcome = RunChild({"/nonexistent/account.exe", "viewbal", "x"});
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    backendtest::TempRoot root;
    const std::string notExecutable = root / "tool";
    backendtest::WriteFile(notExecutable, "#!/bin/sh\necho hi\n");
    outcome = RunChild({notExecutable});
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    outcome = RunChild({});
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    logon::Account unknown;
    unknown.name = "nobody-known";
    outcome = RunChild({"/bin/true"}, 16, 1000ms, &unknown);
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_NO_SUCH_USER));
    EXPECT_TRUE(NoChildrenLeft());
}

TEST(ProcessStart, AnIdentityChangeWithoutTheRightFails) {
    if (geteuid() == 0) GTEST_SKIP() << "root may change identity";
    logon::Account other = logon::CurrentAccount();
    other.resolved = true;
    other.uid = 0;
    const Outcome outcome = RunChild({"/bin/true"}, 16, 1000ms, &other);
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
}

}  // namespace
