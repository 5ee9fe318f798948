// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Closing a registry that other accounts can read: what MakeRegistryFilesPrivate changes,
// what it leaves alone, and what it reports.

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// The service closes its registry while its own connection is open: that must not cost the
// connection its locks, or it stops seeing what other programs write (a control request,
// a changed setting) and may even damage the database.
TEST_F(RegistryTest, ClosingTheFilesKeepsTheOpenConnectionWorking) {
    HKEY key = Create("SOFTWARE\\Orvane Technology\\ZuvexBox");
    ASSERT_EQ(Set(key, "Ledger", REG_SZ, WithNul("first")), ERROR_SUCCESS);
    const std::string database = root_ + "/registry.db";
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ASSERT_EQ(::chmod((database + suffix).c_str(), 0644), 0) << suffix;
    }
    EXPECT_NE(platform::registry::MakeRegistryFilesPrivate(), "");

    for (int round = 0; round < 3; ++round) {
        const std::string text = "written by another process " + std::to_string(round);
        // Another program, not a fork of this one (which would share this process's view
        // of the file).
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        const std::string tool = std::string(bin) + "/dornelreg";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::execl(tool.c_str(), tool.c_str(), "add",
                    "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox", "/v", "Ledger", "/d",
                    text.c_str(), "/f", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        DWORD type = REG_NONE;
        registry_test::Bytes read;
        EXPECT_EQ(Get(key, "Ledger", &type, &read), ERROR_SUCCESS);
        EXPECT_EQ(read, WithNul(text)) << "round " << round;
    }
}

TEST_F(RegistryTest, NoRegistryNothingToSay) {
    EXPECT_EQ(platform::registry::MakeRegistryFilesPrivate(), "");
}

// The administrators' group (docs/registry.md) keeps the access a site gave it; every other
// group, and everyone else, still loses theirs.
TEST_F(RegistryTest, TheAdministratorsGroupKeepsItsAccessToTheRegistryFiles) {
    bool madeGroup = false;
    if (!::getgrnam(platform::registry::kAdminGroup)) {
        if (::geteuid() != 0) GTEST_SKIP() << "needs the group dornel, or root to make it";
        madeGroup = std::system("groupadd dornel >/dev/null 2>&1") == 0;
        ASSERT_TRUE(madeGroup);
    }
    const group* admins = ::getgrnam(platform::registry::kAdminGroup);
    ASSERT_NE(admins, nullptr);
    const gid_t adminGid = admins->gr_gid;
    HKEY key = Create("SOFTWARE\\Orvane Technology\\ZuvexBox");
    ASSERT_EQ(Set(key, "SpawnPasswd", REG_SZ, WithNul("brinkvel")), ERROR_SUCCESS);
    const std::string database = root_ + "/registry.db";
    bool changedOwner = true;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        changedOwner = changedOwner &&
                       ::chown((database + suffix).c_str(), ::geteuid(), adminGid) == 0 &&
                       ::chmod((database + suffix).c_str(), 0666) == 0;
    }
    if (changedOwner) {
        const std::string note = platform::registry::MakeRegistryFilesPrivate();
        EXPECT_NE(note.find(database + " (mode 0666 -> 0660)"), std::string::npos) << note;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(ModeOf(database + suffix), 0660) << suffix;
        }
        EXPECT_EQ(platform::registry::MakeRegistryFilesPrivate(), "") << "0660 is left alone";
        // The same modes under another group are closed as before.
        ASSERT_EQ(::chown(database.c_str(), ::geteuid(), ::getegid() == adminGid ? 0 : ::getegid()),
                  0);
        EXPECT_NE(platform::registry::MakeRegistryFilesPrivate().find("(mode 0660 -> 0600)"),
                  std::string::npos);
        EXPECT_EQ(ModeOf(database), 0600);
    }
    if (madeGroup) std::system("groupdel dornel >/dev/null 2>&1");
    EXPECT_TRUE(changedOwner) << "the test could not hand the files to the group";
}

}  // namespace
