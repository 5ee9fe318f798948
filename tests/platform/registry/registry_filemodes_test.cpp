// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Closing a registry that other accounts can read: what MakeRegistryFilesPrivate changes,
// what it leaves alone, and what it reports.

#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry/filemodes.h"
#include "tests/platform/registry/registry_fixture.h"

namespace {

using registry_test::RegistryTest;
using registry_test::WithNul;

int ModeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

TEST_F(RegistryTest, OpenRegistryFilesAreClosedAndReportedOnce) {
    HKEY key = Create("SOFTWARE\\Orvane Technology\\ZuvexBox");
    ASSERT_EQ(Set(key, "SpawnPasswd", REG_SZ, WithNul("brinkvel")), ERROR_SUCCESS);
    const std::string database = root_ + "/registry.db";
    EXPECT_EQ(platform::registry::MakeRegistryFilesPrivate(), "") << "private from the start";

    ASSERT_EQ(::chmod(database.c_str(), 0644), 0);
    ASSERT_EQ(::chmod((database + "-wal").c_str(), 0660), 0);
    // Something put in place of the -shm file that is not the registry's own is not touched.
    const std::string other = root_ + "/other";
    ASSERT_EQ(::close(::open(other.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    ASSERT_EQ(::chmod(other.c_str(), 0644), 0);
    ASSERT_EQ(::rename((database + "-shm").c_str(), (root_ + "/shm").c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), (database + "-shm").c_str()), 0);

    const std::string note = platform::registry::MakeRegistryFilesPrivate();
    EXPECT_EQ(note, "WARNING: registry files were open to other accounts and are now private: " +
                        database + " (mode 0644 -> 0600), " + database +
                        "-wal (mode 0660 -> 0600)");
    EXPECT_EQ(ModeOf(database), 0600);
    EXPECT_EQ(ModeOf(database + "-wal"), 0600);
    EXPECT_EQ(ModeOf(other), 0644);
    EXPECT_EQ(platform::registry::MakeRegistryFilesPrivate(), "");

    ::unlink((database + "-shm").c_str());
    ::rename((root_ + "/shm").c_str(), (database + "-shm").c_str());
    DWORD type = REG_NONE;
    registry_test::Bytes read;
    EXPECT_EQ(Get(key, "SpawnPasswd", &type, &read), ERROR_SUCCESS) << "still usable";
}

TEST_F(RegistryTest, NoRegistryNothingToSay) {
    EXPECT_EQ(platform::registry::MakeRegistryFilesPrivate(), "");
}

}  // namespace
