// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The registry's files at rest: the database holds the spawn account's password, so the
// root folder and the database files the layer creates are closed to other accounts
// whatever the umask of the process that happens to create them.

#include <string>

#include <sys/stat.h>

#include "tests/platform/registry/registry_fixture.h"

namespace {

using registry_test::RegistryTest;
using registry_test::WithNul;

// The permission bits of path, or -1 when it does not exist.
int ModeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

class RegistryModesTest : public RegistryTest {
  protected:
    void TearDown() override {
        ::umask(saved_);
        RegistryTest::TearDown();
    }
    mode_t saved_ = ::umask(022);
};

TEST_F(RegistryModesTest, RootAndDatabaseFilesArePrivateWhateverTheUmask) {
    for (mode_t mask : {mode_t{022}, mode_t{0}, mode_t{002}, mode_t{077}}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        // A root that does not exist yet, below a folder anyone may enter.
        const std::string parent = root_ + "/u" + std::to_string(mask);
        ASSERT_EQ(::mkdir(parent.c_str(), 0755), 0);
        ASSERT_EQ(::chmod(parent.c_str(), 0755), 0);
        const std::string root = parent + "/dornel";
        ::setenv("DORNEL_ROOT", root.c_str(), 1);
        ::umask(mask);

        // The first call creates the root and the database; a write brings the WAL files.
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        const auto secret = WithNul("brinkvel");
        EXPECT_EQ(Set(key, "SpawnPasswd", REG_SZ, secret), ERROR_SUCCESS);

        EXPECT_EQ(ModeOf(root), 0750);
        EXPECT_EQ(ModeOf(root + "/registry.db"), 0600);
        EXPECT_EQ(ModeOf(root + "/registry.db-wal"), 0600);
        EXPECT_EQ(ModeOf(root + "/registry.db-shm"), 0600);
        EXPECT_EQ(ModeOf(parent), 0755) << "a parent that existed keeps its mode";

        // The database created empty by the layer is an ordinary database.
        DWORD type = REG_NONE;
        registry_test::Bytes read;
        EXPECT_EQ(Get(key, "SpawnPasswd", &type, &read), ERROR_SUCCESS);
        EXPECT_EQ(read, secret);
        RegCloseKey(key);
    }
}

TEST_F(RegistryModesTest, AnExistingRootKeepsItsMode) {
    // A site may open its root to a group (say, for the spawn account); the layer does not
    // undo that on every open.
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    HKEY key = Create("SOFTWARE\\Kept");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ModeOf(root_), 0755);
    EXPECT_EQ(ModeOf(root_ + "/registry.db"), 0600);
}

}  // namespace
