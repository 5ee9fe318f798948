// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelsc against a real service program: installed with its own -i, started detached,
// queried, controlled and stopped over the control socket, and stopped by SIGTERM.

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fixtures/peer.h"

#include "platform/registry/registry.h"
#include "platform/service/scm.h"
#include "tests/server/ntservice/servicetestkit.h"

namespace {

using servicetest::CountEvents;
using servicetest::Eventually;
using servicetest::RunResult;
using servicetest::TempRoot;

class DornelscTest : public ::testing::Test {
  protected:
    void SetUp() override {
        program = servicetest::TestServicePath();
        ASSERT_FALSE(program.empty()) << "DORNEL_TESTSVC is not set";
        program = std::filesystem::canonical(program).string();
        dornelsc = servicetest::DornelscPath();
    }

    // Ends a service a failed test left running, and fails the test on anything a sanitizer
    // reported in the service's output.
    void TearDown() override {
        DWORD pid = Pid();
        if (pid && !platform::service::ProcessGone(pid)) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            Eventually([pid] { return platform::service::ProcessGone(pid); }, 5000);
        }
        std::string output = servicetest::ReadFile(root.Under("scm/dorneltestsvc.out"));
        for (const char* finding : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
            EXPECT_EQ(output.find(finding), std::string::npos) << output;
        }
    }

    RunResult Sc(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), dornelsc);
        return servicetest::Run(args, env);
    }

    void Install() {
        auto result = servicetest::Run({program, "-i"});
        ASSERT_EQ(result.out, "Dornel Test Service installed\n");
    }

    // The service's process id from the status file (0 when none is recorded).
    DWORD Pid() {
        std::string text = servicetest::ReadFile(root.Under("scm/dorneltestsvc.status"));
        std::size_t at = text.find("pid ");
        return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + 4, nullptr, 10);
    }

    TempRoot root;
    std::string program;
    std::string dornelsc;
};

TEST_F(DornelscTest, StartQueryControlAndStopARealService) {
    Install();
    auto started = Sc({"start", "dorneltestsvc"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    EXPECT_NE(started.out.find("SERVICE_NAME: dorneltestsvc"), std::string::npos);
    EXPECT_NE(started.out.find("STATE              : 4  RUNNING"), std::string::npos);
    const DWORD pid = Pid();
    ASSERT_NE(pid, 0u);
    EXPECT_FALSE(platform::service::ProcessGone(pid));
    EXPECT_EQ(CountEvents(root, 105), 1);

    // Only root (the owner) can reach the control socket.
    struct stat folder {
    }, socket{};
    ASSERT_EQ(::stat(root.Under("scm").c_str(), &folder), 0);
    ASSERT_EQ(::stat(root.Under("scm/dorneltestsvc.sock").c_str(), &socket), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 07777, 0600u);

    auto query = Sc({"query", "dorneltestsvc"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_NE(query.out.find("4  RUNNING"), std::string::npos);
    EXPECT_NE(query.out.find("(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"), std::string::npos);
    EXPECT_NE(query.out.find("PID                : " + std::to_string(pid)), std::string::npos);

    auto accepted = Sc({"control", "dorneltestsvc", "128"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(accepted.err, "");  // a service that leaves no note adds nothing
    EXPECT_EQ(CountEvents(root, 106), 0);

    // A service that keeps no reports says so, and a bad option is a usage error.
    auto boxes = Sc({"boxes", "dorneltestsvc"});
    EXPECT_EQ(boxes.exitCode, 1);
    EXPECT_NE(boxes.err.find("dorneltestsvc: the service keeps no box overview"), std::string::npos)
        << boxes.err;
    EXPECT_EQ(Sc({"boxes", "dorneltestsvc", "--xml"}).exitCode, 2);

    auto refused = Sc({"control", "dorneltestsvc", "200"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("refused control code 200"), std::string::npos) << refused.err;
    EXPECT_EQ(CountEvents(root, 106), 1);

    auto unknown = Sc({"control", "dorneltestsvc", "127"});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_EQ(CountEvents(root, 106), 2);

    // Interrogate is always offered; pause is not, since the service accepts only stop.
    EXPECT_EQ(Sc({"control", "dorneltestsvc", "4"}).exitCode, 0);
    auto pause = Sc({"control", "dorneltestsvc", "2"});
    EXPECT_EQ(pause.exitCode, 1);
    EXPECT_NE(pause.err.find("does not accept control code 2"), std::string::npos);

    auto twice = Sc({"start", "dorneltestsvc"});
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_NE(twice.err.find("already running"), std::string::npos);
    // A second instance started behind the service layer's back gives way at once and
    // leaves the running one its socket.
    auto second = servicetest::Run({program}, {"DORNEL_SERVICE=dorneltestsvc"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(Pid(), pid);
    EXPECT_EQ(Sc({"control", "dorneltestsvc", "128"}).exitCode, 0);

    auto stopped = Sc({"stop", "dorneltestsvc"});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("1  STOPPED"), std::string::npos);
    EXPECT_TRUE(platform::service::ProcessGone(pid));
    EXPECT_EQ(CountEvents(root, 109), 1);
    EXPECT_FALSE(std::filesystem::exists(root.Under("scm/dorneltestsvc.sock")));

    auto after = Sc({"query", "dorneltestsvc"});
    EXPECT_EQ(after.exitCode, 0);
    EXPECT_NE(after.out.find("1  STOPPED"), std::string::npos);
    EXPECT_NE(after.out.find("WIN32_EXIT_CODE    : 0 "), std::string::npos);
}

TEST_F(DornelscTest, SigtermStopsTheServiceLikeAStopRequest) {
    Install();
    ASSERT_EQ(Sc({"start", "dorneltestsvc"}).exitCode, 0);
    const DWORD pid = Pid();
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    EXPECT_TRUE(Eventually([pid] { return platform::service::ProcessGone(pid); }));
    EXPECT_EQ(CountEvents(root, 109), 1);
    auto query = Sc({"query", "dorneltestsvc"});
    EXPECT_NE(query.out.find("1  STOPPED"), std::string::npos);

    // SIGINT does the same, and the service can be started again afterwards.
    ASSERT_EQ(Sc({"start", "dorneltestsvc"}).exitCode, 0);
    const DWORD second = Pid();
    ASSERT_NE(second, pid);
    ASSERT_EQ(::kill(static_cast<pid_t>(second), SIGINT), 0);
    EXPECT_TRUE(Eventually([second] { return platform::service::ProcessGone(second); }));
    EXPECT_EQ(CountEvents(root, 109), 2);
}

TEST_F(DornelscTest, ASignalWhileStartingStopsTheServiceOnceItRuns) {
    Install();
    auto start = std::async(std::launch::async, [this] {
        return Sc({"start", "dorneltestsvc"}, {"TESTSVC_SLOW_INIT=1500"});
    });
    ASSERT_TRUE(Eventually([this] {
        return servicetest::ReadFile(root.Under("scm/dorneltestsvc.status")).find("state 2\n") !=
               std::string::npos;
    }));
    const DWORD pid = Pid();
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    EXPECT_TRUE(Eventually([pid] { return platform::service::ProcessGone(pid); }));
    start.wait();
    // It started, then took the stop it had been sent.
    EXPECT_EQ(CountEvents(root, 105), 1);
    EXPECT_EQ(CountEvents(root, 109), 1);
    EXPECT_NE(Sc({"query", "dorneltestsvc"}).out.find("1  STOPPED"), std::string::npos);
}

TEST_F(DornelscTest, HelpAndUsage) {
    auto help = Sc({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: dornelsc"), std::string::npos);
    EXPECT_EQ(Sc({}).exitCode, 2);
    EXPECT_EQ(Sc({"frobnicate", "dorneltestsvc"}).exitCode, 2);
    EXPECT_EQ(Sc({"control", "dorneltestsvc"}).exitCode, 2);
    Install();
    for (const char* code : {"0", "256", "abc", "12x"}) {
        EXPECT_EQ(Sc({"control", "dorneltestsvc", code}).exitCode, 2) << code;
    }
}

// ---- Failures -------------------------------------------------------------------------

TEST_F(DornelscTest, AServiceThatIsNotInstalledOrNotRunningIsReported) {
    for (const char* command : {"query", "start", "stop"}) {
        auto result = Sc({command, "nosuchservice"});
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_NE(result.err.find("nosuchservice: not installed (error 1060)"), std::string::npos)
            << result.err;
    }
    Install();
    auto query = Sc({"query", "dorneltestsvc"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_NE(query.out.find("1  STOPPED"), std::string::npos);
    EXPECT_NE(query.out.find("1077"), std::string::npos);  // never started
    for (auto args : {std::vector<std::string>{"stop", "dorneltestsvc"},
                      std::vector<std::string>{"control", "dorneltestsvc", "128"},
                      std::vector<std::string>{"boxes", "dorneltestsvc", "--json"}}) {
        auto result = Sc(args);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("not running (error 1062)"), std::string::npos) << result.err;
    }
}

TEST_F(DornelscTest, AnotherAccountIsToldItLacksPermission) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        DORNEL_SKIP_WITHOUT_PEER("needs root and setpriv");
    }
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups", dornelsc};
    auto Nobody = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = asNobody;
        argv.insert(argv.end(), args.begin(), args.end());
        return servicetest::Run(argv);
    };
    if (Nobody({"--help"}).exitCode != 0) GTEST_SKIP() << "dornelsc is out of nobody's reach";
    ::chmod(root.path().c_str(), 0755);
    Install();
    ASSERT_EQ(Sc({"start", "dorneltestsvc"}).exitCode, 0);
    for (auto args : {std::vector<std::string>{"query", "dorneltestsvc"},
                      std::vector<std::string>{"stop", "dorneltestsvc"},
                      std::vector<std::string>{"control", "dorneltestsvc", "128"}}) {
        auto result = Nobody(args);
        EXPECT_EQ(result.exitCode, 1) << args[0];
        EXPECT_NE(result.err.find("permission denied"), std::string::npos) << result.err;
    }
    EXPECT_NE(Sc({"query", "dorneltestsvc"}).out.find("4  RUNNING"), std::string::npos);
    EXPECT_EQ(Sc({"stop", "dorneltestsvc"}).exitCode, 0);
}

TEST_F(DornelscTest, AServiceWhoseInitialisationFailsIsReportedStopped) {
    Install();
    auto result = Sc({"start", "dorneltestsvc"}, {"TESTSVC_FAIL_INIT=1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("1  STOPPED"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("stopped while starting"), std::string::npos) << result.err;
    EXPECT_EQ(CountEvents(root, 104), 1);
    EXPECT_EQ(CountEvents(root, 105), 0);
    const DWORD pid = Pid();
    EXPECT_TRUE(Eventually([pid] { return platform::service::ProcessGone(pid); }));
}

TEST_F(DornelscTest, AMissingProgramIsReportedAtStart) {
    Install();
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\dorneltestsvc", 0,
                      KEY_WRITE, &key),
        ERROR_SUCCESS);
    const std::string missing = root.Under("gone/dornelman");
    ASSERT_EQ(RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(missing.c_str()),
                             static_cast<DWORD>(missing.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    auto result = Sc({"start", "dorneltestsvc"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("the installed program was not found (error 2)"), std::string::npos)
        << result.err;
}

TEST_F(DornelscTest, AProcessThatDiedWithoutStoppingShowsStoppedAborted) {
    Install();
    ASSERT_EQ(Sc({"start", "dorneltestsvc"}).exitCode, 0);
    const DWORD pid = Pid();
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(Eventually([pid] { return platform::service::ProcessGone(pid); }));
    auto query = Sc({"query", "dorneltestsvc"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_NE(query.out.find("1  STOPPED"), std::string::npos);
    EXPECT_NE(query.out.find("1067"), std::string::npos) << query.out;
    // The stale socket does not keep a new instance from starting.
    auto again = Sc({"start", "dorneltestsvc"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Sc({"stop", "dorneltestsvc"}).exitCode, 0);
}

}  // namespace
