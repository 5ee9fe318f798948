// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/ntservice.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "tests/server/ntservice/servicetestkit.h"

namespace {

using servicetest::CountEvents;
using servicetest::EventLog;
using servicetest::TempRoot;

// ---- The framework in this process ----------------------------------------------------

class CProbeService : public CNTService {
  public:
    CProbeService() : CNTService("Probe Service", "probesvc") {}
    void OnStop() override { ++stops; }
    void OnInterrogate() override { ++interrogations; }
    BOOL OnUserControl(DWORD code) override {
        lastUserCode = code;
        return code == 128 ? 1 : 0;
    }
    int stops = 0;
    int interrogations = 0;
    DWORD lastUserCode = 0;
};

class FrameworkTest : public ::testing::Test {
  protected:
    TempRoot root;
    CProbeService service;
};

TEST_F(FrameworkTest, NamesAreKeptToSixtyThreeCharacters) {
    std::string longName(80, 'n');
    CNTService named(longName.c_str(), "short");
    EXPECT_EQ(std::string(named.displayName), std::string(63, 'n'));
    EXPECT_STREQ(named.serviceName, "short");
    EXPECT_EQ(named.status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(named.status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(named.status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(CNTService::m_pThis, &named);
}

TEST_F(FrameworkTest, StopReportsStopPendingCallsOnStopAndLogs109) {
    service.isRunning = 1;
    service.status.dwCurrentState = SERVICE_RUNNING;
    CNTService::Handler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(service.status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(service.stops, 1);
    EXPECT_EQ(service.isRunning.load(), 0);
    EXPECT_EQ(CountEvents(root, 109), 1);
    EXPECT_EQ(CountEvents(root, 106), 0);
}

TEST_F(FrameworkTest, UserCodesGoToOnUserControlAndRefusalsLog106) {
    CNTService::Handler(128);
    EXPECT_EQ(service.lastUserCode, 128u);
    EXPECT_EQ(CountEvents(root, 106), 0);
    CNTService::Handler(200);
    EXPECT_EQ(service.lastUserCode, 200u);
    EXPECT_EQ(CountEvents(root, 106), 1);
    // Below 128 an unknown code never reaches OnUserControl.
    CNTService::Handler(127);
    EXPECT_EQ(service.lastUserCode, 200u);
    EXPECT_EQ(CountEvents(root, 106), 2);
    CNTService::Handler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(service.interrogations, 1);
    EXPECT_EQ(CountEvents(root, 106), 2);
    for (const auto& event : EventLog(root)) {
        EXPECT_EQ(event.source, "Probe Service");
        EXPECT_EQ(event.type, "error");
        EXPECT_TRUE(event.strings.empty());
    }
}

TEST_F(FrameworkTest, ServiceMainWithoutADispatcherLogs103AndReturns) {
    CNTService::ServiceMain(0, nullptr);
    EXPECT_EQ(CountEvents(root, 103), 1);
    EXPECT_EQ(CountEvents(root, 105), 0);
    EXPECT_EQ(service.statusHandle, nullptr);
    EXPECT_EQ(service.isRunning.load(), 0);
}

TEST_F(FrameworkTest, InitializeReportsRunningOr104) {
    EXPECT_TRUE(service.Initialize());
    EXPECT_EQ(service.status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(CountEvents(root, 105), 1);

    class CFailingService : public CNTService {
      public:
        CFailingService() : CNTService("Failing", "failing") {}
        BOOL OnInit() override { return 0; }
    } failing;
    EXPECT_FALSE(failing.Initialize());
    EXPECT_EQ(failing.status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(CountEvents(root, 104), 1);
}

TEST_F(FrameworkTest, AServiceThatReportsRunningItselfStaysStartPendingAfterInitialize) {
    service.runReportsRunning = true;
    EXPECT_TRUE(service.Initialize());
    EXPECT_EQ(service.status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(CountEvents(root, 105), 1);
    service.SetStatus(SERVICE_RUNNING);
    EXPECT_EQ(service.status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(FrameworkTest, BaseRunEndsPromptlyWhenTheFlagIsCleared) {
    service.isRunning = 1;
    auto ran = std::async(std::launch::async, [this] { service.Run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ran.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    service.isRunning = 0;
    // Well within one 5000 ms round.
    EXPECT_EQ(ran.wait_for(std::chrono::milliseconds(4000)), std::future_status::ready);
}

TEST_F(FrameworkTest, StartServiceFailsAtOnceWithoutTheServiceLayer) {
    EXPECT_FALSE(service.StartServiceA());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_TRUE(EventLog(root).empty());
}

// The service manager may deliver a stop the moment the service reports RUNNING, before the
// service thread is back from Initialize; here the stop is taken inside OnInit, the same
// order of events made certain. It must end the service, not be lost.
TEST_F(FrameworkTest, AStopTakenBeforeRunStartsEndsTheService) {
    class CStoppedEarly : public CNTService {
      public:
        CStoppedEarly() : CNTService("Stopped Early", "stoppedearly") {}
        BOOL OnInit() override {
            CNTService::Handler(SERVICE_CONTROL_STOP);
            return 1;
        }
    } early;
    ::setenv("DORNEL_SERVICE", "stoppedearly", 1);
    auto dispatched = std::async(std::launch::async, [&early] { return early.StartServiceA(); });
    const bool ended = dispatched.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "the stop was lost and the service kept running";
    if (!ended) {
        early.isRunning = 0;  // ends the run loop the lost stop left behind
        dispatched.wait();
    }
    ::unsetenv("DORNEL_SERVICE");
    EXPECT_TRUE(dispatched.get());
    EXPECT_EQ(early.status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(CountEvents(root, 109), 1);
}

// ---- The console switches of a real program -------------------------------------------

class ConsoleSwitchTest : public ::testing::Test {
  protected:
    using RunResult = servicetest::RunResult;

    void SetUp() override {
        program = servicetest::TestServicePath();
        ASSERT_FALSE(program.empty()) << "DORNEL_TESTSVC is not set";
        program = std::filesystem::canonical(program).string();
    }
    RunResult Switch(const char* option, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {program};
        if (option) argv.push_back(option);
        return servicetest::Run(argv, env);
    }

    TempRoot root;
    std::string program;
};

TEST_F(ConsoleSwitchTest, VersionReportsWhetherInstalledInEitherCase) {
    auto result = Switch("-v");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Dornel Test Service Version 2.7\nThe service is not installed\n");
    ASSERT_EQ(Switch("-i").exitCode, 0);
    EXPECT_EQ(Switch("-V").out,
              "Dornel Test Service Version 2.7\nThe service is currently installed\n");
}

TEST_F(ConsoleSwitchTest, InstallRecordsTheServiceAndItsEventSource) {
    auto result = Switch("-i");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Dornel Test Service installed\n");

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                            "Dornel Test Service",
                            0, KEY_READ, &key),
              ERROR_SUCCESS);
    char file[PATH_MAX] = {};
    DWORD type = 0, size = sizeof file;
    ASSERT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                               reinterpret_cast<BYTE*>(file), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(std::string(file), program);
    EXPECT_EQ(size, program.size() + 1);
    DWORD types = 0;
    size = sizeof types;
    ASSERT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                               reinterpret_cast<BYTE*>(&types), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(types, 7u);
    RegCloseKey(key);

    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\dorneltestsvc", 0,
                      KEY_READ, &key),
        ERROR_SUCCESS);
    size = sizeof file;
    ASSERT_EQ(
        RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(file), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::string(file), program);
    RegCloseKey(key);
    EXPECT_TRUE(std::filesystem::exists(root.Under("units/dorneltestsvc.service")));

    auto events = EventLog(root);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 100u);
    EXPECT_EQ(events[0].type, "information");
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"Dornel Test Service"});
}

TEST_F(ConsoleSwitchTest, InstallingTwiceChangesNothing) {
    ASSERT_EQ(Switch("-i").exitCode, 0);
    std::string unit = servicetest::ReadFile(root.Under("units/dorneltestsvc.service"));
    auto again = Switch("-I");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "Dornel Test Service is already installed\n");
    EXPECT_EQ(CountEvents(root, 100), 1);
    EXPECT_EQ(servicetest::ReadFile(root.Under("units/dorneltestsvc.service")), unit);
}

TEST_F(ConsoleSwitchTest, RemoveDeletesTheServiceButKeepsTheEventSource) {
    ASSERT_EQ(Switch("-i").exitCode, 0);
    auto result = Switch("-u");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Dornel Test Service removed. (You must delete the file (" + program +
                              ") yourself.)\n");
    EXPECT_EQ(CountEvents(root, 101), 1);
    EXPECT_FALSE(std::filesystem::exists(root.Under("units/dorneltestsvc.service")));
    EXPECT_FALSE(std::filesystem::exists(root.Under("pam/dorneltestsvc")));
    HKEY key = nullptr;
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\dorneltestsvc", 0,
                      KEY_READ, &key),
        ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                            "Dornel Test Service",
                            0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Switch("-v").out, "Dornel Test Service Version 2.7\nThe service is not installed\n");
}

// ---- Failures -------------------------------------------------------------------------

TEST_F(ConsoleSwitchTest, RemovingWhenNotInstalledSaysSo) {
    auto result = Switch("-u");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "Dornel Test Service is not installed\n");
    EXPECT_TRUE(EventLog(root).empty());
}

TEST_F(ConsoleSwitchTest, AFailedInstallReportsTheErrorAndLeavesNothing) {
    // The unit folder cannot be made below a plain file.
    std::ofstream(root.Under("blocker")) << "x";
    auto result = Switch("-i", {"DORNEL_UNIT_DIR=" + root.Under("blocker/units")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("Dornel Test Service failed to install. Error ", 0), 0u)
        << result.out;
    EXPECT_EQ(result.out.find("Error 0\n"), std::string::npos);
    EXPECT_EQ(Switch("-v").out, "Dornel Test Service Version 2.7\nThe service is not installed\n");
    EXPECT_EQ(CountEvents(root, 100), 0);
}

TEST_F(ConsoleSwitchTest, WithoutTheServiceLayerTheProgramExitsQuietly) {
    for (const char* option : {static_cast<const char*>(nullptr), "-x"}) {
        auto result = Switch(option, {"DORNEL_SERVICE="});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
    EXPECT_TRUE(EventLog(root).empty());
    EXPECT_FALSE(std::filesystem::exists(root.Under("scm")));
}

}  // namespace
