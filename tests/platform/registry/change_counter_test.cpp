// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The registry's change counter: it stands still while nobody writes and moves after every
// write, whether this process wrote or another one did (the dornelreg tool of the build, run
// as a separate process on the same database).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/platform/registry/registry_fixture.h"

namespace {

using registry_test::RegistryTest;

constexpr const char* kKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP\\General";

// Runs the build's dornelreg with arguments on the current DORNEL_ROOT; its exit status.
int Dornelreg(std::initializer_list<std::string> arguments) {
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    const std::string program = std::string(bin ? bin : ".") + "/dornelreg";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (std::string& part : argv) raw.push_back(part.data());
        raw.push_back(nullptr);
        ::execv(program.c_str(), raw.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class RegistryChangeCounter : public RegistryTest {};

TEST_F(RegistryChangeCounter, StandsStillWithoutWritesAndMovesAfterEachOfThisProcess) {
    HKEY key = Create(kKey);
    const std::uint64_t first = RegChangeCounter();
    ASSERT_NE(first, 0u);
    // Reads are not changes.
    DWORD type = 0;
    registry_test::Bytes data;
    Get(key, "IPADDR", &type, &data);
    EXPECT_EQ(RegChangeCounter(), first);
    EXPECT_EQ(RegChangeCounter(), first);

    static const char kAddress[] = "10.77.0.2";
    const registry_test::Bytes address(kAddress, kAddress + sizeof kAddress);
    ASSERT_EQ(Set(key, "IPADDR", REG_SZ, address), ERROR_SUCCESS);
    const std::uint64_t afterSet = RegChangeCounter();
    EXPECT_NE(afterSet, first);
    EXPECT_EQ(RegChangeCounter(), afterSet);

    ASSERT_EQ(RegDeleteValueA(key, "IPADDR"), ERROR_SUCCESS);
    const std::uint64_t afterDelete = RegChangeCounter();
    EXPECT_NE(afterDelete, afterSet);

    Create(std::string(kKey) + "\\Sub");
    EXPECT_NE(RegChangeCounter(), afterDelete);
}

TEST_F(RegistryChangeCounter, MovesAfterAWriteByAnotherProcess) {
    Create(kKey);
    const std::uint64_t before = RegChangeCounter();
    ASSERT_NE(before, 0u);
    ASSERT_EQ(Dornelreg({"query", "HKLM\\" + std::string(kKey)}), 0);
    EXPECT_EQ(RegChangeCounter(), before) << "a query by another process is no change";

    ASSERT_EQ(
        Dornelreg({"add", "HKLM\\" + std::string(kKey), "/v", "IPADDR", "/d", "10.77.0.9", "/f"}),
        0);
    const std::uint64_t after = RegChangeCounter();
    EXPECT_NE(after, before);

    ASSERT_EQ(Dornelreg({"delete", "HKLM\\" + std::string(kKey), "/v", "IPADDR", "/f"}), 0);
    EXPECT_NE(RegChangeCounter(), after);
}

TEST_F(RegistryChangeCounter, MovesWhenTheDatabaseItselfChanges) {
    Create(kKey);
    const std::uint64_t here = RegChangeCounter();
    ASSERT_NE(here, 0u);
    char pattern[] = "/tmp/dornel-registry-other-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string other = pattern;
    const std::string mine = std::getenv("DORNEL_ROOT");
    ::setenv("DORNEL_ROOT", other.c_str(), 1);
    const std::uint64_t there = RegChangeCounter();
    ::setenv("DORNEL_ROOT", mine.c_str(), 1);
    EXPECT_NE(there, 0u);
    EXPECT_NE(there, here);
    EXPECT_NE(RegChangeCounter(), there);
    std::error_code ignored;
    std::filesystem::remove_all(other, ignored);
}

TEST_F(RegistryChangeCounter, IsZeroWhenTheDatabaseCannotBeOpened) {
    // A root below a regular file cannot be created.
    const std::string blocker = std::string(std::getenv("DORNEL_ROOT")) + "/file";
    FILE* file = std::fopen(blocker.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    const std::string mine = std::getenv("DORNEL_ROOT");
    ::setenv("DORNEL_ROOT", (blocker + "/root").c_str(), 1);
    EXPECT_EQ(RegChangeCounter(), 0u);
    ::setenv("DORNEL_ROOT", mine.c_str(), 1);
    EXPECT_NE(RegChangeCounter(), 0u);
}

}  // namespace
