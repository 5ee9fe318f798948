// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service manager layer: what install writes (registry entry, unit file, PAM file) and
// what remove takes away, and the dispatcher run inside this process against the client
// calls.

#include "platform/service/scm.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/service/scminternal.h"
#include "tests/server/ntservice/servicetestkit.h"

namespace {

using servicetest::Eventually;
using servicetest::ReadFile;
using servicetest::TempRoot;

std::string SelfPath() { return std::filesystem::canonical("/proc/self/exe").string(); }

class ScmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override {
        if (manager) CloseServiceHandle(manager);
    }

    SC_HANDLE Create(const char* name, const std::string& binary = SelfPath(),
                     const char* account = nullptr) {
        return CreateServiceA(manager, name, "Orvane Technology Dornel Manager", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              binary.c_str(), nullptr, nullptr, nullptr, account, nullptr);
    }

    static std::string StringValue(HKEY key, const char* name, DWORD* type) {
        char data[4096] = {};
        DWORD size = sizeof data;
        if (RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS)
            return "<missing>";
        return std::string(data);
    }
    static DWORD DwordValue(HKEY key, const char* name) {
        DWORD value = 0xFFFFFFFF, type = 0, size = sizeof value;
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        return type == REG_DWORD ? value : 0xFFFFFFFF;
    }

    TempRoot root;
    SC_HANDLE manager = nullptr;
};

TEST_F(ScmTest, InstallRecordsTheServiceAndWritesItsUnitAndPamFiles) {
    SC_HANDLE service = Create("dornelman");
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\dornelman", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(StringValue(key, "ImagePath", &type), SelfPath());
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(StringValue(key, "DisplayName", &type), "Orvane Technology Dornel Manager");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(StringValue(key, "ObjectName", &type), "LocalSystem");
    EXPECT_EQ(DwordValue(key, "Type"), SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(DwordValue(key, "Start"), SERVICE_DEMAND_START);
    EXPECT_EQ(DwordValue(key, "ErrorControl"), SERVICE_ERROR_NORMAL);
    RegCloseKey(key);

    const std::string unitPath = root.Under("units/dornelman.service");
    const std::string unit = ReadFile(unitPath);
    EXPECT_NE(unit.find("Description=Orvane Technology Dornel Manager\n"), std::string::npos);
    EXPECT_NE(unit.find("ExecStart=\"" + SelfPath() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Environment=\"DORNEL_SERVICE=dornelman\"\n"), std::string::npos);
    EXPECT_NE(unit.find("Environment=\"DORNEL_ROOT=" + root.path() + "\"\n"), std::string::npos);
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("CAP_NET_BIND_SERVICE"), std::string::npos);
    EXPECT_NE(unit.find("CAP_SETUID"), std::string::npos);
    EXPECT_NE(unit.find("CAP_SETGID"), std::string::npos);
    EXPECT_NE(unit.find("NoNewPrivileges=yes\n"), std::string::npos);
    EXPECT_NE(unit.find("ProtectSystem=strict\n"), std::string::npos);
    // Room for the log RPC's connection cap and the descriptors kept for the boxes.
    EXPECT_NE(unit.find("\nLimitNOFILE=8192\n"), std::string::npos);

    const std::string pam = ReadFile(root.Under("pam/dornelman"));
    EXPECT_NE(pam.find("auth"), std::string::npos);
    EXPECT_NE(pam.find("account"), std::string::npos);

    // The unit is one systemd accepts, when systemd-analyze is there to ask.
    if (::access("/usr/bin/systemd-analyze", X_OK) == 0) {
        auto verify = servicetest::Run({"/usr/bin/systemd-analyze", "verify", unitPath});
        EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    }
}

TEST_F(ScmTest, RemoveTakesTheEntryTheUnitAndThePamFileAway) {
    SC_HANDLE created = Create("dornelman");
    ASSERT_NE(created, nullptr);
    CloseServiceHandle(created);
    SC_HANDLE service = OpenServiceA(manager, "DORNELMAN", DELETE);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    EXPECT_FALSE(std::filesystem::exists(root.Under("units/dornelman.service")));
    EXPECT_FALSE(std::filesystem::exists(root.Under("pam/dornelman")));
    EXPECT_EQ(OpenServiceA(manager, "dornelman", SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    HKEY services = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ,
                            &services),
              ERROR_SUCCESS);
    char name[256];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(services, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(services);
}

TEST(ScmUnit, PathsWithSpacesAndSpecialCharactersSurviveSystemd) {
    using platform::service::detail::RenderUnit;
    std::string unit = RenderUnit("svc", "A 100% \"test\"", "/opt/my dir/$x%y\\z\"q", "/r 1");
    EXPECT_NE(unit.find("Description=A 100%% \"test\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("ExecStart=\"/opt/my dir/$$x%%y\\\\z\\\"q\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Environment=\"DORNEL_ROOT=/r 1\"\n"), std::string::npos);
    EXPECT_NE(unit.find("ReadWritePaths=\"-/r 1\"\n"), std::string::npos);
}

TEST(ScmUnit, TheLogInterfaceSettingsOfTheInstallerReachASystemdStartedServer) {
    using platform::service::detail::RenderUnit;
    // The process's own values come back at the end: later tests start services.
    std::string saved[2];
    const char* names[2] = {"DORNEL_RPC_ADDRESS", "DORNEL_EPM_PORT"};
    for (int i = 0; i < 2; ++i) saved[i] = std::getenv(names[i]) ? std::getenv(names[i]) : "";
    ::setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
    ::setenv("DORNEL_EPM_PORT", "40135", 1);
    std::string unit = RenderUnit("svc", "Svc", "/usr/sbin/svc", "/r");
    EXPECT_NE(unit.find("Environment=\"DORNEL_RPC_ADDRESS=127.0.0.1\"\n"), std::string::npos)
        << unit;
    EXPECT_NE(unit.find("Environment=\"DORNEL_EPM_PORT=40135\"\n"), std::string::npos) << unit;
    ::unsetenv("DORNEL_RPC_ADDRESS");
    ::unsetenv("DORNEL_EPM_PORT");
    unit = RenderUnit("svc", "Svc", "/usr/sbin/svc", "/r");
    EXPECT_EQ(unit.find("DORNEL_RPC_ADDRESS"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("DORNEL_EPM_PORT"), std::string::npos) << unit;
    for (int i = 0; i < 2; ++i) {
        if (!saved[i].empty()) ::setenv(names[i], saved[i].c_str(), 1);
    }
}

TEST_F(ScmTest, AStrangeProgramPathIsQuotedSoSystemdRunsExactlyIt) {
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
    const std::string folder = root.Under("odd dir %n");
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/dornel man";
    std::filesystem::copy_file(SelfPath(), program);
    SC_HANDLE service = Create("dornelman", program);
    ASSERT_NE(service, nullptr);
    CloseServiceHandle(service);
    auto verify = servicetest::Run(
        {"/usr/bin/systemd-analyze", "verify", root.Under("units/dornelman.service")});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
}

// ---- Install failures -----------------------------------------------------------------

TEST_F(ScmTest, AServiceIsInstalledOnlyOnce) {
    SC_HANDLE first = Create("dornelman");
    ASSERT_NE(first, nullptr);
    CloseServiceHandle(first);
    EXPECT_EQ(Create("DornelMan"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_FALSE(std::filesystem::exists(root.Under("units/DornelMan.service")));
}

TEST_F(ScmTest, TheEventSourceFolderIsNeitherAServiceNorReplaceable) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Some Source",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(OpenServiceA(manager, "EventLog", DELETE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(Create("eventlog"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Some Source", 0,
                      KEY_READ, &key),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(ScmTest, BadNamesPathsAndAccountsAreRefused) {
    for (const char* name : {"", "a/b", "..", "a\\b", "with space", "-x"}) {
        EXPECT_EQ(Create(name), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << name;
    }
    EXPECT_EQ(Create("dornelman", "relative/dornelman"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Create("dornelman", SelfPath(), "DOMAIN\\someone"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_ACCOUNT));
    EXPECT_FALSE(std::filesystem::exists(root.Under("units")));
    EXPECT_EQ(OpenSCManagerA("\\\\some-other-machine", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
}

TEST_F(ScmTest, AnUnwritablePamFolderLeavesNothingInstalled) {
    std::ofstream(root.Under("blocker")) << "x";
    ::setenv("DORNEL_PAM_DIR", root.Under("blocker/pam").c_str(), 1);
    EXPECT_EQ(Create("dornelman"), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_FALSE(std::filesystem::exists(root.Under("units/dornelman.service")));
    EXPECT_EQ(OpenServiceA(manager, "dornelman", SERVICE_QUERY_CONFIG), nullptr);
}

// ---- The dispatcher in this process ---------------------------------------------------

// A service run by the dispatcher on its own thread: accepts stop, takes user code 128 and
// refuses the others.
struct InProcessService {
    static inline SERVICE_STATUS_HANDLE handle = nullptr;
    static inline std::atomic<int> stopRequested{0};
    static inline std::atomic<DWORD> handlerThreadMatches{0};
    static inline std::thread::id dispatcherThread;

    static void Report(DWORD state) {
        SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
        SetServiceStatus(handle, &status);
    }
    static DWORD Handler(DWORD control, DWORD, void*, void*) {
        if (std::this_thread::get_id() == dispatcherThread) ++handlerThreadMatches;
        if (control == SERVICE_CONTROL_STOP) {
            Report(SERVICE_STOP_PENDING);
            stopRequested = 1;
            return NO_ERROR;
        }
        if (control == SERVICE_CONTROL_INTERROGATE || control == 128) return NO_ERROR;
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    static void Main(DWORD argc, char** argv) {
        handle = RegisterServiceCtrlHandlerExA(argc ? argv[0] : "", Handler, nullptr);
        if (!handle) return;
        Report(SERVICE_START_PENDING);
        Report(SERVICE_RUNNING);
        Eventually([] { return stopRequested.load() == 1; }, 30000);
        Report(SERVICE_STOPPED);
    }
};

TEST_F(ScmTest, TheDispatcherServesControlsAndReturnsOnceStopped) {
    SC_HANDLE created = Create("inproc");
    ASSERT_NE(created, nullptr);
    // Stands in for systemd's notification socket (Type=notify).
    const std::string notifyPath = root.Under("notify");
    int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(notify, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    ::setenv("DORNEL_SERVICE", "inproc", 1);
    auto dispatcher = std::async(std::launch::async, [] {
        InProcessService::dispatcherThread = std::this_thread::get_id();
        SERVICE_TABLE_ENTRYA table[] = {{"inproc", InProcessService::Main}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table);
    });
    SERVICE_STATUS status{};
    ASSERT_TRUE(Eventually([&] {
        return QueryServiceStatus(created, &status) && status.dwCurrentState == SERVICE_RUNNING;
    }));

    // A second dispatcher for the same service is refused while the first runs.
    SERVICE_TABLE_ENTRYA table[] = {{"inproc", InProcessService::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    EXPECT_TRUE(ControlService(created, 128, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_FALSE(ControlService(created, 129, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_FALSE(ControlService(created, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_FALSE(ControlService(created, 256, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(ControlService(created, SERVICE_CONTROL_INTERROGATE, &status));

    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceStatusEx(created, SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<BYTE*>(&process), 4, &needed));
    EXPECT_EQ(needed, sizeof process);
    ASSERT_TRUE(QueryServiceStatusEx(created, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&process), sizeof process, &needed));
    EXPECT_EQ(process.dwProcessId, static_cast<DWORD>(::getpid()));

    EXPECT_TRUE(ControlService(created, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    ASSERT_EQ(dispatcher.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(dispatcher.get());
    // The four controls that reached the handler (128, 129, interrogate, stop) all ran on
    // the dispatcher's thread; pause and 256 were refused before it.
    EXPECT_EQ(InProcessService::handlerThreadMatches.load(), 4u);

    EXPECT_FALSE(std::filesystem::exists(root.Under("scm/inproc.sock")));
    ASSERT_TRUE(QueryServiceStatus(created, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_FALSE(ControlService(created, 128, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ::unsetenv("DORNEL_SERVICE");
    ::unsetenv("NOTIFY_SOCKET");
    CloseServiceHandle(created);

    // systemd heard that the service ran, then that it stopped.
    std::string heard;
    char message[256];
    ssize_t n;
    while ((n = ::recv(notify, message, sizeof message, 0)) > 0) {
        heard += std::string(message, static_cast<std::size_t>(n)) + ";";
    }
    ::close(notify);
    EXPECT_EQ(heard, "READY=1\nSTATUS=Running;STOPPING=1\nSTATUS=Stopping;STATUS=Stopped;");
}

TEST_F(ScmTest, WithoutTheMarkerTheDispatcherFailsAtOnce) {
    SERVICE_TABLE_ENTRYA table[] = {{"x", InProcessService::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(RegisterServiceCtrlHandlerA("x", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
    SERVICE_STATUS status{};
    EXPECT_FALSE(SetServiceStatus(nullptr, &status));
    EXPECT_FALSE(std::filesystem::exists(root.Under("scm")));
}

TEST_F(ScmTest, AStaleStatusOfADeadProcessReadsAsStoppedAborted) {
    SC_HANDLE service = Create("dornelman");
    ASSERT_NE(service, nullptr);
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(platform::service::detail::PrepareControlFolder(), 0u);
    SERVICE_STATUS running{
        SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    ASSERT_TRUE(platform::service::detail::WriteStatusFile("dornelman", running, child));
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    CloseServiceHandle(service);
}

// The lines of a PAM file that are rules (not comments, not empty).
std::vector<std::string> PamRules(const std::string& text) {
    std::vector<std::string> rules;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (!line.empty() && line[0] != '#') rules.push_back(line);
        at = end + 1;
    }
    return rules;
}

// The PAM file uses the stack the host has: Debian's common-auth and common-account where
// the PAM folder holds common-auth, system-auth elsewhere. The choice is made at install.
TEST_F(ScmTest, ThePamFileIncludesTheHostsOwnStack) {
    const std::string pamDir = root.Under("pam");
    std::filesystem::create_directories(pamDir);
    std::ofstream(pamDir + "/common-auth") << "auth required pam_unix.so\n";
    SC_HANDLE service = Create("dornelman");
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(PamRules(ReadFile(pamDir + "/dornelman")),
              (std::vector<std::string>{"@include common-auth", "@include common-account"}));
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);

    std::filesystem::remove(pamDir + "/common-auth");
    service = Create("dornelman");
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(
        PamRules(ReadFile(pamDir + "/dornelman")),
        (std::vector<std::string>{"auth     include system-auth", "account  include system-auth"}));
    CloseServiceHandle(service);
}

}  // namespace
