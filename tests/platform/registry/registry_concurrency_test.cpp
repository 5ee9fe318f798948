// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The registry shared by processes and threads: two writer processes on one key, a writer
// killed with SIGKILL in the middle of its run, and threads reading while another writes.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registry_fixture.h"

namespace registry_test {
namespace {

constexpr const char* kKey = "SOFTWARE\\Orvane Technology\\ZuvexBox";

// The bytes a writer stores for its index-th value: long enough that a torn write would
// show, and different for every index.
Bytes Pattern(int writer, int index, std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<BYTE>((writer * 131 + index * 7 + static_cast<int>(i)) & 0xff);
    }
    return bytes;
}

std::string ValueName(int writer, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "W%d-%05d", writer, index);
    return name;
}

// Runs in a forked child: writes count values (or until killed); exits 0 when every write
// succeeded, 1 at the first failure. With a notify descriptor, writes one byte to it once
// notifyAfter values are stored, so the parent knows the run is well under way.
[[noreturn]] void WriterChild(int writer, int count, std::size_t size, int notifyFd = -1,
                              int notifyAfter = 0) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        ::_exit(1);
    }
    for (int i = 0; i < count; ++i) {
        const Bytes data = Pattern(writer, i, size);
        if (RegSetValueExA(key, ValueName(writer, i).c_str(), 0, REG_BINARY, data.data(),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
            ::_exit(1);
        }
        if (notifyFd >= 0 && i + 1 == notifyAfter) {
            const char byte = 1;
            if (::write(notifyFd, &byte, 1) != 1) ::_exit(1);
        }
    }
    RegCloseKey(key);
    ::_exit(0);
}

int CountValues(HKEY key) {
    int count = 0;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return count;
        }
        ++count;
    }
}

class RegistryConcurrencyTest : public RegistryTest {};

TEST_F(RegistryConcurrencyTest, TwoProcessesWritingOneKeyLoseNothing) {
    constexpr int kPerWriter = 150;
    Create(kKey);  // the parent's connection is open across the fork
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) WriterChild(writer, kPerWriter, 64);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = Create(kKey);
    EXPECT_EQ(CountValues(key), 2 * kPerWriter);
    for (int writer = 0; writer < 2; ++writer) {
        for (int i = 0; i < kPerWriter; ++i) {
            DWORD type = 0;
            Bytes data;
            ASSERT_EQ(Get(key, ValueName(writer, i).c_str(), &type, &data), ERROR_SUCCESS);
            EXPECT_EQ(data, Pattern(writer, i, 64));
        }
    }
}

TEST_F(RegistryConcurrencyTest, ProcessesStartingOnAFreshRootAllCreateItCleanly) {
    // Nothing is open in this process: every child is first to find no database at all.
    constexpr int kWriters = 4;
    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) WriterChild(writer, 10, 16);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = Create(kKey);
    EXPECT_EQ(CountValues(key), kWriters * 10);
}

TEST_F(RegistryConcurrencyTest, WriterKilledMidRunLeavesAConsistentDatabase) {
    constexpr int kMaxWrites = 20000;
    constexpr std::size_t kSize = 16384;
    constexpr int kNotifyAfter = 20;
    int notify[2];
    ASSERT_EQ(::pipe(notify), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(notify[0]);
        WriterChild(7, kMaxWrites, kSize, notify[1], kNotifyAfter);
    }
    ::close(notify[1]);

    // Once the child has stored its first values, let it run a little further and kill it
    // wherever it is. Waiting on the pipe, not polling the database, keeps a loaded machine
    // from letting the child finish first.
    pollfd ready{notify[0], POLLIN, 0};
    const int polled = ::poll(&ready, 1, 60000);
    char byte = 0;
    const bool started = polled == 1 && ::read(notify[0], &byte, 1) == 1;
    ::close(notify[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(started) << "the writer never stored its first values";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    opened_.push_back(key);
    const int seen = kNotifyAfter;

    const int written = CountValues(key);
    EXPECT_GE(written, seen);
    EXPECT_LT(written, kMaxWrites) << "the child finished before it was killed";
    // Values are written in order, so exactly the first `written` are present, each whole.
    for (int i = 0; i < written; ++i) {
        DWORD type = 0;
        Bytes data;
        ASSERT_EQ(Get(key, ValueName(7, i).c_str(), &type, &data), ERROR_SUCCESS) << i;
        ASSERT_EQ(data, Pattern(7, i, kSize)) << i;
    }
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(key, ValueName(7, written).c_str(), &type, &data), ERROR_FILE_NOT_FOUND);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((root_ + "/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);

    // Still usable for writes after the crash.
    EXPECT_EQ(Set(key, "NumServers", REG_BINARY, {1, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "NumServers", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
}

TEST_F(RegistryConcurrencyTest, ThreadsReadWhileAnotherWrites) {
    constexpr DWORD kRounds = 200;
    HKEY writerKey = Create(kKey);
    ASSERT_EQ(Set(writerKey, "Counter", REG_BINARY, Bytes(8, 0)), ERROR_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
                ++failures;
                return;
            }
            DWORD last = 0;
            do {
                DWORD halves[2] = {};
                DWORD size = sizeof halves;
                DWORD type = 0;
                const LONG rc = RegQueryValueExA(key, "counter", nullptr, &type,
                                                 reinterpret_cast<BYTE*>(halves), &size);
                // Each write replaces both halves at once, and the counter never goes back.
                if (rc != ERROR_SUCCESS || size != 8 || halves[0] != halves[1] ||
                    halves[0] < last) {
                    ++failures;
                }
                last = halves[0];
                std::this_thread::yield();
            } while (!done.load());
            RegCloseKey(key);
        });
    }
    for (DWORD i = 1; i <= kRounds; ++i) {
        const DWORD halves[2] = {i, i};
        ASSERT_EQ(RegSetValueExA(writerKey, "Counter", 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(halves), sizeof halves),
                  ERROR_SUCCESS);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace registry_test
