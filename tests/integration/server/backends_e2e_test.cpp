// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The default back-ends in the real server: dornelman installed with "dornelman -i" (its
// PAM file in /etc/pam.d, where PAM reads it for the service "dornelman") and started with
// "dornelsc start dornelman", a box with AuthType 0 whose users log on through that PAM
// file against local accounts, and PrintLinkType 0 running the account.exe double from the
// box's PCounterLocation as the configured spawn account.
//
// Needs root (local accounts, /etc/pam.d). The accounts carry unique names and are removed
// at the end, and the PAM file is put back as it was; a lock keeps two runs of this program
// from sharing the PAM file.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/fixtures/backends/testsupport.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

constexpr const char* kSystemPamFile = "/etc/pam.d/dornelman";
constexpr const char* kPamLock = "/run/lock/dornel-e2e-pam-dornelman.lock";

// Holds /etc/pam.d/dornelman for one test: waits (bounded) for the lock, remembers the file
// as it was, and at the end puts it back, or removes it when there was none.
class SystemPamGuard {
  public:
    SystemPamGuard() {
        std::filesystem::create_directories("/run/lock");
        lockFd_ = ::open(kPamLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0) return;
        for (int attempt = 0; attempt < 1200; ++attempt) {
            if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
                locked_ = true;
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        if (!locked_) return;
        std::ifstream file(kSystemPamFile, std::ios::binary);
        if (file) {
            struct stat info {};
            ::stat(kSystemPamFile, &info);
            mode_ = info.st_mode & 07777;
            saved_ = std::string(std::istreambuf_iterator<char>(file), {});
        }
    }
    ~SystemPamGuard() {
        if (locked_) {
            if (saved_) {
                std::ofstream(kSystemPamFile, std::ios::binary | std::ios::trunc) << *saved_;
                ::chmod(kSystemPamFile, mode_);
            } else {
                ::unlink(kSystemPamFile);
            }
        }
        if (lockFd_ >= 0) ::close(lockFd_);
    }
    SystemPamGuard(const SystemPamGuard&) = delete;
    SystemPamGuard& operator=(const SystemPamGuard&) = delete;

    bool Held() const { return locked_; }

  private:
    int lockFd_ = -1;
    bool locked_ = false;
    std::optional<std::string> saved_;
    mode_t mode_ = 0644;
};

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// An empty file that any account may append to.
void MakeSharedFile(const std::string& path) {
    std::ofstream(path).close();
    ::chmod(path.c_str(), 0666);
}

class DefaultBackends : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "local accounts and /etc/pam.d need root";
        ASSERT_TRUE(pam_.Held()) << "another run holds " << kPamLock;
        ASSERT_TRUE(boxUser_.Made());
        ASSERT_TRUE(spawnUser_.Made());
        server_ = std::make_unique<ServerHarness>();
        server_->UseSystemPamFolder();
        const std::string root = server_->root();

        // The spawn account must reach the tool in the root and write the double's records.
        ::chmod(root.c_str(), 0755);
        const std::string tools = root + "/c/PCounter";
        std::filesystem::create_directories(tools);
        ::chmod((root + "/c").c_str(), 0755);
        ::chmod(tools.c_str(), 0755);
        const char* source = std::getenv("DORNEL_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        std::filesystem::copy_file(std::string(source) + "/tests/fixtures/backends/account.exe",
                                   tools + "/account.exe",
                                   std::filesystem::copy_options::overwrite_existing);
        ::chmod((tools + "/account.exe").c_str(), 0755);
        MakeSharedFile(root + "/tool.log");
        MakeSharedFile(root + "/who.log");
        // The server hands its environment to the tool.
        ::setenv("ACCOUNT_DOUBLE_MODE", "balance", 1);
        ::setenv("ACCOUNT_DOUBLE_BALANCE", "12.50", 1);
        ::setenv("ACCOUNT_DOUBLE_LOG", (root + "/tool.log").c_str(), 1);
        ::setenv("ACCOUNT_DOUBLE_WHO", (root + "/who.log").c_str(), 1);

        box_ = std::make_unique<ScriptedBox>(BoxAddress(0));
        BoxSetup setup;
        setup.address = box_->address();
        setup.authType = 0;
        setup.printLinkType = 0;
        ASSERT_TRUE(server_->Configure({setup}));
        const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox";
        ASSERT_TRUE(server_->Import(section + "]\n\"SpawnUser\"=\"" + spawnUser_.Name() +
                                    "\"\n\"SpawnPasswd\"=\"Spawn-Pw1\"\n\n" + section +
                                    "\\Box000]\n\"PCounterLocation\"=\"C:\\\\PCounter\"\n"));
    }

    void TearDown() override {
        // The server goes (and "dornelman -u" takes its PAM file) before the guard restores
        // the file and the accounts go.
        box_.reset();
        server_.reset();
        for (const char* name : {"ACCOUNT_DOUBLE_MODE", "ACCOUNT_DOUBLE_BALANCE",
                                 "ACCOUNT_DOUBLE_LOG", "ACCOUNT_DOUBLE_WHO"}) {
            ::unsetenv(name);
        }
    }

    // Sends a request and waits for the first answer of one of the types after it.
    BoxPacket Request(int type, const std::string& payload, std::vector<int> answers) {
        return box_->Request(type, payload, answers, 20s);
    }

    std::string Who() const { return ReadText(server_->root() + "/who.log"); }
    std::string ToolRuns() const { return ReadText(server_->root() + "/tool.log"); }

    // Declared first, so it is destroyed last: the PAM file is restored after everything.
    SystemPamGuard pam_;
    backendtest::LocalUser boxUser_{backendtest::UniqueUserName("dntb"), "Box-Pw1!"};
    backendtest::LocalUser spawnUser_{backendtest::UniqueUserName("dnts"), "Spawn-Pw1"};
    std::unique_ptr<ServerHarness> server_;
    std::unique_ptr<ScriptedBox> box_;
};

TEST_F(DefaultBackends, ALocalUserLogsOnAndDepositsThroughTheToolRunAsTheSpawnAccount) {
    ASSERT_TRUE(server_->Start());
    // "-i" wrote the PAM file where PAM reads it, on this host's own stack.
    const std::string pamFile = ReadText(kSystemPamFile);
    if (std::filesystem::exists("/etc/pam.d/common-auth")) {
        EXPECT_NE(pamFile.find("\n@include common-auth\n@include common-account\n"),
                  std::string::npos)
            << pamFile;
    } else {
        EXPECT_NE(pamFile.find("\nauth     include system-auth\n"), std::string::npos) << pamFile;
    }
    ASSERT_TRUE(box_->WaitForType(PKT_SETTINGS, 15s));
    const std::string user = boxUser_.Name();

    // A wrong password is declined by PAM, and no tool runs.
    BoxPacket declined =
        Request(PKT_AUTH_REQUEST, user + "|not-it", {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    EXPECT_EQ(declined.type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(
        server_->WaitForRecord(0, kAuthDeclined, std::string("Invalid username/password"), 10s));
    EXPECT_EQ(Who(), "");

    BoxPacket accepted =
        Request(PKT_AUTH_REQUEST, user + "|Box-Pw1!", {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    ASSERT_EQ(accepted.type, PKT_AUTH_ACCEPT) << accepted.payload;
    EXPECT_EQ(accepted.payload, "12.50");
    EXPECT_TRUE(server_->WaitForRecord(0, kAuthOK, std::string("12.50"), 10s));

    BoxPacket deposited = Request(PKT_DEPOSIT, "ef", {PKT_DEPOSIT_RESULT});
    EXPECT_EQ(deposited.type, PKT_DEPOSIT_RESULT);
    EXPECT_EQ(deposited.payload, "12.50");
    EXPECT_TRUE(server_->WaitForRecord(0, kDepositUnits, std::string("ef"), 10s));
    EXPECT_TRUE(server_->WaitForRecord(0, kDepositOK, std::string("12.50"), 10s));
    EXPECT_EQ(server_->CountRecords(0, kDepositError), 0);

    // Both runs of the tool were the spawn account's, with the user as one argument and the
    // amount of the coins (1 + 2).
    EXPECT_EQ(Who(), spawnUser_.Name() + "\n" + spawnUser_.Name() + "\n");
    EXPECT_EQ(ToolRuns(), "viewbal\n" + user + "\n--\ndeposit\n" + user + "\n3.00\n--\n");
    // The records of the user carry the name the box sent.
    bool named = false;
    for (const LogRecord& record : server_->Log()) {
        if (record.type == kAuthOK) named = record.user == user;
    }
    EXPECT_TRUE(named);
}

TEST_F(DefaultBackends, AWrongSpawnPasswordDeclinesTheUserWithoutRunningTheTool) {
    const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox";
    ASSERT_TRUE(server_->Import(section + "]\n\"SpawnPasswd\"=\"not-the-password\"\n"));
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(box_->WaitForType(PKT_SETTINGS, 15s));
    BoxPacket answer = Request(PKT_AUTH_REQUEST, boxUser_.Name() + "|Box-Pw1!",
                               {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    EXPECT_EQ(answer.type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(server_->WaitForRecord(0, kAuthDeclined,
                                       std::string("Invalid response from balance enquiry"), 10s));
    EXPECT_EQ(Who(), "");
    // Neither password reached the log.
    const std::string log = ReadText(server_->root() + "/c/dornel/log/dornel.log");
    EXPECT_EQ(log.find("not-the-password"), std::string::npos);
    EXPECT_EQ(log.find("Box-Pw1!"), std::string::npos);
}

}  // namespace
}  // namespace sessiontest
