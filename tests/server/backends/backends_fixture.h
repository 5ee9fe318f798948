// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The scene of a back-end test: a private root with the account.exe test double in
// C:\PCounter, a plug-in folder, pam_matrix users (root logs on as the spawn account), a
// service object with debug logging on and its event log opened under the root, and box 0
// whose socket is one end of a socketpair with a peer thread on the other end that
// acknowledges and records every packet the server sends.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "server/zuvexservice.h"
#include "tests/fixtures/backends/testsupport.h"

namespace backendtest {

// One record of dornel.log.
struct LogRecord {
    int box = 0;
    int type = 0;
    std::string user;
    std::string data;
};

// One packet the box end received.
struct Packet {
    int type = 0;
    std::string payload;
};

// Sets a configuration string as ReadConfiguration would, under its lock.
inline void SetConfig(char* target, std::size_t size, const std::string& value) {
    std::lock_guard<std::mutex> guard(ConfigLock());
    std::snprintf(target, size, "%s", value.c_str());
}

class BackendFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        // Children (the tool double) must not inherit the PAM wrapper, and each test
        // starts from the tool's and the plug-in's default behaviour.
        unsetenv("LD_PRELOAD");
        for (const char* name :
             {"ACCOUNT_DOUBLE_MODE", "ACCOUNT_DOUBLE_TEXT", "ACCOUNT_DOUBLE_BALANCE",
              "ACCOUNT_DOUBLE_PIDFILE", "DORNEL_TESTPLUGIN_INIT", "DORNEL_TESTPLUGIN_PASSWORD",
              "DORNEL_TESTPLUGIN_NAME", "DORNEL_TESTPLUGIN_BALANCE", "DORNEL_SPAWN_TIMEOUT_MS"}) {
            unsetenv(name);
        }
        setenv("ACCOUNT_DOUBLE_LOG", (root_ / "tool.log").c_str(), 1);
        setenv("DORNEL_TESTPLUGIN_LOG", (root_ / "plugin.log").c_str(), 1);
        setenv("DORNEL_PLUGIN_DIR", (root_ / "plugins").c_str(), 1);
        std::filesystem::create_directories(root_ / "plugins");

        SetMatrixUsers(root_,
                       "jsmith:s3cret:dornelman\n"
                       "bob:pw:otherservice\n"
                       "root:rootpw:dornelman\n");
        SetConfig(SpawnUser, sizeof SpawnUser, "root");
        SetConfig(SpawnPasswd, sizeof SpawnPasswd, "rootpw");
        SetConfig(SpawnDomain, sizeof SpawnDomain, "\\\\.");
        SetConfig(LogDir, sizeof LogDir, "C:\\log");
        std::filesystem::create_directories(root_ / "c/log");

        InstallTool();

        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        service_->enableDebugLog = 1;
        CZuvexService::EventLog.Init();

        info_ = &service_->boxes[0];
        info_->boxNumber = 0;
        std::snprintf(info_->authMaster, sizeof info_->authMaster, "\\\\.");
        std::snprintf(info_->pcounterLocation, sizeof info_->pcounterLocation, "C:\\PCounter");
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        info_->socket = fds[0];
        peer_ = fds[1];
        timeval timeout{10, 0};
        setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        peerThread_ = std::thread([this] { RunPeer(); });
    }

    void TearDown() override {
        if (info_ != nullptr && info_->socket > 0) {
            shutdown(info_->socket, SHUT_RDWR);
            close(info_->socket);
            info_->socket = 0;
        }
        if (peerThread_.joinable()) peerThread_.join();
        if (peer_ >= 0) close(peer_);
        service_.reset();
    }

    // Copies the account.exe double into the root's C:\PCounter.
    void InstallTool() {
        const std::string folder = platform::paths::NativePath("C:\\PCounter");
        ASSERT_TRUE(platform::paths::MakeDirectories(folder, 0755));
        for (std::string dir = folder; dir.size() > root_.Path().size();
             dir = dir.substr(0, dir.rfind('/'))) {
            chmod(dir.c_str(), 0755);
        }
        const std::string tool = folder + "/account.exe";
        std::filesystem::copy_file(
            std::string(std::getenv("DORNEL_SOURCE_DIR")) + "/tests/fixtures/backends/account.exe",
            tool, std::filesystem::copy_options::overwrite_existing);
        chmod(tool.c_str(), 0755);
    }

    // The native path of the installed tool.
    std::string ToolPath() const {
        return platform::paths::NativePath("C:\\PCounter\\account.exe");
    }

    // Puts a copy of a plug-in into the plug-in folder under name ("custauth.so").
    void InstallPlugin(const std::string& source, const std::string& name) {
        std::filesystem::copy_file(source, root_ / ("plugins/" + name),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    // The path of a real plug-in of the build ("custauth.so", "printlink.so").
    static std::string BuiltPlugin(const std::string& name) {
        return std::string(std::getenv("DORNEL_BIN_DIR")) + "/" + name;
    }

    // The box end: acknowledges and records packets until the server end closes.
    void RunPeer() {
        for (;;) {
            char buffer[kReceiveBufferSize + 8] = {};
            int length = 0;
            const int type = GetControlPacket(peer_, buffer, &length);
            if (type < 0) break;
            std::lock_guard<std::mutex> guard(packetLock_);
            // length counts the payload and its NUL.
            packets_.push_back({type, std::string(buffer, length > 0 ? length - 1 : 0)});
            packetArrived_.notify_all();
        }
    }

    // Every packet the box received up to now, after a keep-alive sent behind them has
    // arrived (so a packet that was not sent is known not to come).
    std::vector<Packet> PacketsSoFar() {
        SendControlPacket(info_->socket, PKT_KEEPALIVE, nullptr, 0);
        std::unique_lock<std::mutex> lock(packetLock_);
        packetArrived_.wait_for(lock, std::chrono::seconds(10), [this] {
            return !packets_.empty() && packets_.back().type == PKT_KEEPALIVE;
        });
        std::vector<Packet> result;
        for (const Packet& packet : packets_) {
            if (packet.type != PKT_KEEPALIVE) result.push_back(packet);
        }
        packets_.clear();
        return result;
    }

    // The native path of dornel.log.
    std::string LogPath() const { return root_ / "c/log/dornel.log"; }

    // The records of dornel.log.
    std::vector<LogRecord> Records() const {
        std::vector<LogRecord> records;
        const std::string text = ReadFile(LogPath());
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            std::vector<std::string> fields;
            std::size_t from = 0;
            for (int i = 0; i < 4; ++i) {
                const std::size_t bar = line.find('|', from);
                if (bar == std::string::npos) break;
                fields.push_back(line.substr(from, bar - from));
                from = bar + 1;
            }
            if (fields.size() < 4) continue;
            LogRecord record;
            record.box = std::atoi(fields[1].c_str());
            record.type = std::atoi(fields[2].c_str());
            record.user = fields[3];
            std::string data = line.substr(from);
            if (!data.empty() && data.back() == '|') data.pop_back();
            record.data = data;
            records.push_back(record);
        }
        return records;
    }

    // The data of every record of the type, in order.
    std::vector<std::string> DataOf(int type) const {
        std::vector<std::string> data;
        for (const LogRecord& record : Records()) {
            if (record.type == type) data.push_back(record.data);
        }
        return data;
    }

    // True when a debug record has exactly this text.
    bool HasDebug(const std::string& text) const {
        for (const std::string& data : DataOf(CEventLog::DebugEvent)) {
            if (data == text) return true;
        }
        return false;
    }

    // The NT event log's lines.
    std::string NtEvents() const { return ReadFile(root_ / "eventlog"); }
    // The tool double's argument log and the test plug-in's call log.
    std::string ToolRuns() const { return ReadFile(root_ / "tool.log"); }
    std::string PluginCalls() const { return ReadFile(root_ / "plugin.log"); }

    TempRoot root_;
    std::unique_ptr<CZuvexService> service_;
    t_ServerStartInfo* info_ = nullptr;
    int peer_ = -1;
    std::thread peerThread_;
    std::mutex packetLock_;
    std::condition_variable packetArrived_;
    std::vector<Packet> packets_;
};

}  // namespace backendtest
