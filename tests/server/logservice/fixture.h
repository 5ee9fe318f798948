// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The vocabulary of the log service tests: a private DORNEL_ROOT with the log folder, a
// service object (NT events, debug flag), the event log opened with its RPC interface on
// loopback (the endpoint mapper on a free port of its own), records written through the
// log as the server writes them, raw bytes appended behind its back, and client bindings.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interface/dornellog.h"
#include "platform/paths/paths.h"
#include "platform/rpc/rpc.h"
#include "platform/service/eventsource.h"
#include "server/eventlog.h"
#include "server/zuvexservice.h"

inline std::uint16_t FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    close(fd);
    return ntohs(where.sin_port);
}

// Init with the log's RPC interface published. The mapper's port comes from binding port 0
// and closing it, so another socket (the interface's own listener among them) can take it
// before the mapper binds it: a failed publication is tried again on a new port.
inline void InitPublished(CEventLog& log) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        log.Init();
        if (log.rpcBindings) return;
        setenv("DORNEL_EPM_PORT", std::to_string(FreeLoopbackPort()).c_str(), 1);
    }
}

inline void SetLogDirectory(const char* directory) {
    std::lock_guard<std::mutex> guard(ConfigLock());
    std::snprintf(LogDir, sizeof LogDir, "%s", directory);
}

class LogServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dornel-logservice-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("DORNEL_ROOT", root_.c_str(), 1);
        setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        setenv("DORNEL_EPM_PORT", std::to_string(FreeLoopbackPort()).c_str(), 1);
        SetLogDirectory("C:\\dornel\\log");
        ASSERT_TRUE(platform::paths::MakeDirectories(platform::paths::NativePath("C:\\dornel\\log")));
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        log_ = std::make_unique<CEventLog>();
        InitPublished(*log_);
        ASSERT_EQ(ThisEventLog, log_.get());
        ASSERT_NE(log_->rpcBindings, nullptr);
    }

    void TearDown() override {
        log_.reset();
        service_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // One record as the server writes it.
    void Record(int box, CEventLog::EventType type, const char* data, const char* user = "") {
        t_ServerStartInfo info;
        std::memset(&info, 0, sizeof info);
        info.boxNumber = box;
        std::snprintf(info.userName, sizeof info.userName, "%s", user);
        log_->LogUserEvent(&info, type, data);
    }

    // Bytes appended to the file without the log's knowledge (a torn last record).
    void AppendRaw(const std::string& text) {
        std::FILE* file = std::fopen(CEventLog::LogFilePath().c_str(), "ab");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }

    // A client binding through the endpoint mapper, as the viewer makes it.
    static RPC_BINDING_HANDLE Viewer() {
        RPC_CSTR text = nullptr;
        EXPECT_EQ(RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", "127.0.0.1", nullptr,
                                           nullptr, &text),
                  RPC_S_OK);
        RPC_BINDING_HANDLE binding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingA(text, &binding), RPC_S_OK);
        RpcStringFreeA(&text);
        return binding;
    }

    // Searches through the stubs and reads every match; status of the search in *status.
    static std::vector<std::string> SearchAndRead(RPC_BINDING_HANDLE binding, const std::string& text,
                                                  error_status_t* searchStatus = nullptr) {
        std::vector<unsigned char> bytes(text.begin(), text.end());
        bytes.push_back(0);
        LogSearchRequest request{0, static_cast<LONG>(bytes.size()), bytes.data()};
        LONG count = -1;
        error_status_t status = DornelLogClient::DoLogSearch(binding, &request, &count);
        if (searchStatus) *searchStatus = status;
        std::vector<std::string> lines;
        if (status != 0) return lines;
        DWORD position = 0;
        EXPECT_EQ(DornelLogClient::GetFirstEventEntry(binding, &position), 0u);
        LogBuffer entry{};
        while (DornelLogClient::GetNextEventEntry(binding, &position, &entry) == 0) {
            lines.emplace_back(reinterpret_cast<char*>(entry.data));
            EXPECT_EQ(entry.length, static_cast<LONG>(lines.back().size() + 1));
            MIDL_user_free(entry.data);
            entry = LogBuffer{};
            if (lines.size() > 100000) break;
        }
        MIDL_user_free(entry.data);
        EXPECT_EQ(lines.size(), static_cast<std::size_t>(count));
        return lines;
    }

    std::string root_;
    std::unique_ptr<CZuvexService> service_;
    std::unique_ptr<CEventLog> log_;
};
