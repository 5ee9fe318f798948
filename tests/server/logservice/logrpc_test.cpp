// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Setting up the log RPC interface: the runtime limits read from the registry, and a
// registration that fails at the endpoint mapper leaving no listening port behind.

#include <filesystem>
#include <string>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"
#include "tests/server/logservice/fixture.h"

namespace {

// One root for the program: the registry database lives in it.
class LogRpcSetup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/dornel-logrpc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("DORNEL_ROOT", root_.c_str(), 1);
        setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        SetLogDirectory("C:\\dornel\\log");
        ASSERT_TRUE(
            platform::paths::MakeDirectories(platform::paths::NativePath("C:\\dornel\\log")));
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    void SetUp() override {
        setenv("DORNEL_EPM_PORT", std::to_string(FreeLoopbackPort()).c_str(), 1);
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
    }
    void TearDown() override {
        for (const char* name :
             {"RpcMaxConnections", "RpcPduTimeout", "RpcIdleTimeout", "RpcMaxRequestSize"}) {
            SetNumber(name, std::nullopt);
        }
        service_.reset();
    }

    // Stores a REG_DWORD below the ZuvexBox key; nullopt deletes it.
    static void SetNumber(const char* name, std::optional<std::int32_t> value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (value) {
            EXPECT_EQ(
                RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*value), 4),
                ERROR_SUCCESS);
        } else {
            RegDeleteValueA(key, name);
        }
        RegCloseKey(key);
    }

    // Sockets this process holds.
    static int OpenSockets() {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            auto target = std::filesystem::read_symlink(entry.path(), error);
            if (!error && target.string().rfind("socket:", 0) == 0) ++count;
        }
        return count;
    }

    static std::string root_;
    std::unique_ptr<CZuvexService> service_;
};

std::string LogRpcSetup::root_;

}  // namespace

TEST_F(LogRpcSetup, TheLimitsComeFromTheRegistryAndTheDefaultsFillTheRest) {
    SetNumber("RpcMaxConnections", 7);
    SetNumber("RpcPduTimeout", 1);
    SetNumber("RpcMaxRequestSize", 5000);
    SetNumber("RpcIdleTimeout", -3);  // not positive: the default
    {
        CEventLog log;
        InitPublished(log);
        ASSERT_NE(log.rpcBindings, nullptr);
        platform::rpc::ServerLimits limits = platform::rpc::CurrentServerLimits();
        EXPECT_EQ(limits.maxConnections, 7u);
        EXPECT_EQ(limits.pduTimeoutMs, 1000u);
        EXPECT_EQ(limits.idleTimeoutMs, 300u * 1000);
        EXPECT_EQ(limits.maxRequestBytes, 5000u);

        // A half-sent header on the interface's port is dropped after the one second.
        auto* binding = static_cast<platform::rpc::ServerBinding*>(log.rpcBindings->BindingH[0]);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(binding->port);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        timeval wait{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const unsigned char half[8] = {5, 0, 11, 3, 0x10, 0, 0, 0};
        ASSERT_EQ(send(fd, half, sizeof half, 0), 8);
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // closed, not the 10-second receive time-out
        close(fd);
    }
    SetNumber("RpcMaxConnections", std::nullopt);
    SetNumber("RpcPduTimeout", std::nullopt);
    SetNumber("RpcMaxRequestSize", std::nullopt);
    {
        CEventLog log;
        InitPublished(log);
        platform::rpc::ServerLimits limits = platform::rpc::CurrentServerLimits();
        platform::rpc::ServerLimits defaults;
        EXPECT_LE(limits.maxConnections, defaults.maxConnections);  // fitted to RLIMIT_NOFILE
        EXPECT_EQ(limits.pduTimeoutMs, defaults.pduTimeoutMs);
        EXPECT_EQ(limits.maxRequestBytes, defaults.maxRequestBytes);
    }
}

TEST_F(LogRpcSetup, ALimitStoredAsTextIsReadAsItsNumber) {
    // What `dornelreg add ... /v RpcMaxConnections /d 12` stores: REG_SZ "12". Read as its
    // character bytes it would be 12849 connections.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "RpcMaxConnections", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>("12"), 3),
              ERROR_SUCCESS);
    RegCloseKey(key);
    CEventLog log;
    InitPublished(log);
    ASSERT_NE(log.rpcBindings, nullptr);
    EXPECT_EQ(platform::rpc::CurrentServerLimits().maxConnections, 12u);
}

TEST_F(LogRpcSetup, AFailedMapperRegistrationLeavesNoListeningPort) {
    // The mapper's port is taken, so the interface cannot be published.
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof where;
    getsockname(taken, reinterpret_cast<sockaddr*>(&where), &length);
    setenv("DORNEL_EPM_PORT", std::to_string(ntohs(where.sin_port)).c_str(), 1);

    const int before = OpenSockets();
    {
        CEventLog log;
        log.Init();
        EXPECT_EQ(log.rpcBindings, nullptr);
        EXPECT_EQ(OpenSockets(), before);  // the interface's own port was closed again
    }
    close(taken);
    // With the mapper's port free the interface comes up as usual.
    setenv("DORNEL_EPM_PORT", std::to_string(FreeLoopbackPort()).c_str(), 1);
    CEventLog log;
    InitPublished(log);
    EXPECT_NE(log.rpcBindings, nullptr);
}
