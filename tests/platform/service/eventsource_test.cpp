// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The NT event log writer as an administrator's tools meet it: what syslog gets, and the file
// moved aside (logrotate) under a process that keeps writing, in this process and in a real
// service that gets the SIGHUP logrotate sends.

#include "platform/service/eventsource.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/service/scm.h"
#include "tests/server/ntservice/servicetestkit.h"

namespace {

using servicetest::CountEvents;
using servicetest::Eventually;
using servicetest::ReadFile;
using servicetest::TempRoot;

TEST(EventSyslog, EveryLineSaysWhatHappened) {
    const char* strings[] = {"WARNING: first", "second\nline"};
    EXPECT_EQ(platform::service::SyslogMessage("Src", 100, 2, strings),
              "Src[100]: WARNING: first | second line");
    // The framework's entries carry no strings; syslog still gets their meaning.
    EXPECT_EQ(platform::service::SyslogMessage("Src", 105, 0, nullptr),
              "Src[105]: The service started");
    EXPECT_EQ(platform::service::SyslogMessage("Src", 109, 0, nullptr),
              "Src[109]: The service got a stop request");
    EXPECT_EQ(platform::service::SyslogMessage("Src", 104, 0, nullptr),
              "Src[104]: The service failed to initialise and stops");
    // An id without a text of its own, and a null string, still give a line.
    const char* empty[] = {nullptr};
    EXPECT_EQ(platform::service::SyslogMessage("Src", 42, 1, empty), "Src[42]: Event 42");
}

class EventFileTest : public ::testing::Test {
  protected:
    void Report(const char* text) {
        HANDLE source = RegisterEventSourceA(nullptr, "Rotation Test");
        ASSERT_NE(source, nullptr);
        const char* strings[] = {text};
        EXPECT_NE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 108, nullptr, 1, 0, strings,
                               nullptr),
                  0);
        DeregisterEventSource(source);
    }

    TempRoot root;
};

TEST_F(EventFileTest, EntriesFollowTheFileMovedAsideWithOrWithoutASignal) {
    const std::string log = root.Under("eventlog");
    Report("before");
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    // What the dispatcher does on SIGHUP.
    platform::service::ReopenEventLog();
    Report("after the signal");
    EXPECT_NE(ReadFile(log + ".1").find("| before\n"), std::string::npos);
    EXPECT_EQ(ReadFile(log + ".1").find("after"), std::string::npos);
    EXPECT_NE(ReadFile(log).find("| after the signal\n"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // Moved or deleted without a signal: the next entry still lands in a file at the path.
    ASSERT_EQ(std::rename(log.c_str(), (log + ".2").c_str()), 0);
    Report("moved, no signal");
    EXPECT_NE(ReadFile(log).find("| moved, no signal\n"), std::string::npos);
    ASSERT_EQ(::unlink(log.c_str()), 0);
    Report("deleted, no signal");
    EXPECT_NE(ReadFile(log).find("| deleted, no signal\n"), std::string::npos);
}

// A real service program, started by dornelsc as the package's logrotate rule finds it.
TEST_F(EventFileTest, ARunningServiceLivesThroughSighupAndWritesToTheNewFile) {
    std::string program = servicetest::TestServicePath();
    ASSERT_FALSE(program.empty()) << "DORNEL_TESTSVC is not set";
    program = std::filesystem::canonical(program).string();
    const std::string dornelsc = servicetest::DornelscPath();
    ASSERT_EQ(servicetest::Run({program, "-i"}).exitCode, 0);
    auto started = servicetest::Run({dornelsc, "start", "dorneltestsvc"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    const std::string status = ReadFile(root.Under("scm/dorneltestsvc.status"));
    const pid_t pid = static_cast<pid_t>(std::stol(status.substr(status.find("pid ") + 4)));
    ASSERT_GT(pid, 0);

    const std::string log = root.Under("eventlog");
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(::kill(pid, SIGHUP), 0);
    // The signal is taken, not fatal: the service still answers, as the same process.
    ::usleep(300 * 1000);
    EXPECT_FALSE(platform::service::ProcessGone(static_cast<DWORD>(pid)));
    auto query = servicetest::Run({dornelsc, "query", "dorneltestsvc"});
    EXPECT_NE(query.out.find("4  RUNNING"), std::string::npos) << query.out << query.err;
    EXPECT_NE(query.out.find("PID                : " + std::to_string(pid)), std::string::npos);

    auto stopped = servicetest::Run({dornelsc, "stop", "dorneltestsvc"});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    if (!platform::service::ProcessGone(static_cast<DWORD>(pid))) {
        ::kill(pid, SIGKILL);
        Eventually([pid] { return platform::service::ProcessGone(static_cast<DWORD>(pid)); });
    }
    // The start went into the file moved aside, the stop into the new one.
    EXPECT_NE(ReadFile(log + ".1").find("| 105\n"), std::string::npos);
    EXPECT_EQ(CountEvents(root, 109), 1);
    EXPECT_EQ(ReadFile(log + ".1").find("| 109\n"), std::string::npos);
}

}  // namespace
