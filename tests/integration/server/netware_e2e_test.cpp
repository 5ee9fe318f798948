// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The NetWare plug-in in the real server: dornelman with a box of AuthType 1 (dornnw.so)
// and PrintLinkType 0 (PCounter through dornnw.so), a real slapd holding the users, and the
// account.exe double in the box's PCounterLocation, run by the plug-in under the server's
// own account after the spawn account's directory login. Nothing here needs root.

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/fixtures/ldap/slapd.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

constexpr int kAuthRequestNetware = 9;
constexpr const char* kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox";

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class NetwareBackends : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!ldaptest::Slapd::Available()) GTEST_SKIP() << "slapd is not installed";
        ASSERT_TRUE(slapd_.Start());
        server_ = std::make_unique<ServerHarness>();
        const std::string root = server_->root();
        const std::string tools = root + "/c/PCounter";
        std::filesystem::create_directories(tools);
        const char* source = std::getenv("DORNEL_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        std::filesystem::copy_file(std::string(source) + "/tests/fixtures/backends/account.exe",
                                   tools + "/account.exe",
                                   std::filesystem::copy_options::overwrite_existing);
        // The server hands its environment to the plug-in, and so to the tool.
        ::setenv("ACCOUNT_DOUBLE_MODE", "balance", 1);
        ::setenv("ACCOUNT_DOUBLE_BALANCE", "12.50", 1);
        ::setenv("ACCOUNT_DOUBLE_LOG", (root + "/tool.log").c_str(), 1);

        box_ = std::make_unique<ScriptedBox>(BoxAddress(0));
        second_ = std::make_unique<ScriptedBox>(BoxAddress(1));
        std::vector<BoxSetup> boxes;
        for (ScriptedBox* box : {box_.get(), second_.get()}) {
            BoxSetup setup;
            setup.address = box->address();
            setup.authType = 1;
            setup.printLinkType = 0;
            boxes.push_back(setup);
        }
        ASSERT_TRUE(server_->Configure(boxes));
        std::string reg = std::string(kSection) +
                          "]\n\"SpawnUser\"=\"dladmin\"\n\"SpawnPasswd\"=\"" +
                          ldaptest::kSpawnPassword + "\"\n\"SpawnDomain\"=\"ACME|admin.acme\"\n\n" +
                          kSection + "\\NDS]\n\"ACME\"=\"" + slapd_.Uri() + "\"\n";
        for (const char* key : {"\\Box000]\n", "\\Box001]\n"}) {
            reg += "\n" + std::string(kSection) + key +
                   "\"PCounterLocation\"=\"C:\\\\PCounter\"\n"
                   "\"NetwareAuthData\"=\"ACME|staff.acme,ACME|students.acme\"\n";
        }
        ASSERT_TRUE(server_->Import(reg));
    }

    void TearDown() override {
        box_.reset();
        second_.reset();
        server_.reset();
        for (const char* name :
             {"ACCOUNT_DOUBLE_MODE", "ACCOUNT_DOUBLE_BALANCE", "ACCOUNT_DOUBLE_LOG"}) {
            ::unsetenv(name);
        }
    }

    // Sends a request and waits for the first answer of one of the types after it.
    BoxPacket Request(int type, const std::string& payload, std::vector<int> answers,
                      ScriptedBox* box = nullptr) {
        return (box ? box : box_.get())->Request(type, payload, answers, 30s);
    }

    std::string ToolRuns() const { return ReadText(server_->root() + "/tool.log"); }
    std::string PluginLog() const { return ReadText(server_->root() + "/c/dornnw.log"); }

    ldaptest::Slapd slapd_;
    std::unique_ptr<ServerHarness> server_;
    std::unique_ptr<ScriptedBox> box_;
    std::unique_ptr<ScriptedBox> second_;
};

TEST_F(NetwareBackends, ADirectoryUserLogsInAndTopsUpThroughThePlugin) {
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(box_->WaitForType(PKT_SETTINGS, 15s));

    // A wrong password is declined, and no tool runs.
    BoxPacket declined =
        Request(PKT_AUTH_REQUEST, "jsmith|not-it", {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    EXPECT_EQ(declined.type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(
        server_->WaitForRecord(0, kAuthDeclined, std::string("Invalid username/password"), 10s));
    EXPECT_EQ(ToolRuns(), "");

    // jsmith is found in the second context; the balance is read for the qualified name.
    BoxPacket accepted =
        Request(PKT_AUTH_REQUEST, "jsmith|" + std::string(ldaptest::kStudentPassword),
                {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    ASSERT_EQ(accepted.type, PKT_AUTH_ACCEPT) << accepted.payload;
    EXPECT_EQ(accepted.payload, "12.50");
    EXPECT_TRUE(server_->WaitForRecord(0, kAuthRequestNetware, std::string("jsmith"), 10s));
    EXPECT_TRUE(server_->WaitForRecord(0, kAuthOK, std::string("12.50"), 10s));

    BoxPacket deposited = Request(PKT_DEPOSIT, "ef", {PKT_DEPOSIT_RESULT});
    EXPECT_EQ(deposited.type, PKT_DEPOSIT_RESULT);
    EXPECT_EQ(deposited.payload, "12.50");
    EXPECT_TRUE(server_->WaitForRecord(0, kDepositUnits, std::string("ef"), 10s));
    EXPECT_TRUE(server_->WaitForRecord(0, kDepositOK, std::string("12.50"), 10s));
    EXPECT_EQ(server_->CountRecords(0, kDepositError), 0);

    // The user is one argument, the amount of the coins (1 + 2) has six decimals.
    EXPECT_EQ(ToolRuns(),
              "viewbal\n.jsmith.students.acme\n--\ndeposit\n.jsmith.students.acme\n3.000000\n--\n");
    bool named = false;
    for (const LogRecord& record : server_->Log()) {
        if (record.type == kAuthOK) named = record.user == ".jsmith.students.acme";
    }
    EXPECT_TRUE(named);

    // The plug-in's own log: one block per request, in the order they came.
    const std::string log = PluginLog();
    const std::string expected =
        "Start of partial context processing\n\n"
        "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
        "AuthUser : NWDSLogin failed with code FFFFFDA7\n\n"
        "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
        "AuthUser : Returning QualUN: \n.jsmith.students.acme\n\n\n"
        ".jsmith.students.acme has a balance of 12.50\n\n"
        "Deposited 3.000000. New balance is 12.50\n\n";
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_EQ(log.find(ldaptest::kStudentPassword), std::string::npos);
    EXPECT_EQ(log.find(ldaptest::kSpawnPassword), std::string::npos);

    // With the directory gone the box is declined, in bounded time.
    slapd_.Stop();
    BoxPacket unreachable =
        Request(PKT_AUTH_REQUEST, "jsmith|" + std::string(ldaptest::kStudentPassword),
                {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    EXPECT_EQ(unreachable.type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(
        server_->WaitForRecord(0, kAuthDeclined, std::string("Invalid username/password"), 10s, 2));
    EXPECT_NE(PluginLog().find("AuthUser : NWDSLogin failed with code FFFFFD8F\n"),
              std::string::npos);
}

TEST_F(NetwareBackends, TwoBoxesServedAtOnceLeaveWholeBlocksInThePluginsLog) {
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(box_->WaitForType(PKT_SETTINGS, 15s));
    ASSERT_TRUE(second_->WaitForType(PKT_SETTINGS, 15s));
    constexpr int kRounds = 8;
    std::atomic<int> accepted{0};
    auto serve = [&](ScriptedBox* box, std::string login) {
        for (int i = 0; i < kRounds; ++i) {
            const BoxPacket answer =
                Request(PKT_AUTH_REQUEST, login, {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE}, box);
            if (answer.type == PKT_AUTH_ACCEPT && answer.payload == "12.50") ++accepted;
        }
    };
    std::thread first(serve, box_.get(), "jsmith|" + std::string(ldaptest::kStudentPassword));
    std::thread second(serve, second_.get(), "ajones|" + std::string(ldaptest::kStaffPassword));
    first.join();
    second.join();
    EXPECT_EQ(accepted.load(), 2 * kRounds);

    // Every request wrote one block: the two logins and the two balance reads, whole.
    const std::vector<std::string> blocks = {
        "Start of partial context processing\n\n"
        "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
        "AuthUser : NWDSLogin failed with code FFFFFDA7\n\n"
        "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
        "AuthUser : Returning QualUN: \n.jsmith.students.acme\n\n\n",
        "Start of partial context processing\n\n"
        "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
        "AuthUser : Returning QualUN: \n.ajones.staff.acme\n\n\n",
        ".jsmith.students.acme has a balance of 12.50\n\n",
        ".ajones.staff.acme has a balance of 12.50\n\n",
    };
    std::vector<int> seen(blocks.size(), 0);
    std::string log = PluginLog();
    while (!log.empty()) {
        std::size_t k = 0;
        while (k < blocks.size() && log.rfind(blocks[k], 0) != 0) ++k;
        if (k == blocks.size()) {
            ADD_FAILURE() << "not a whole block:\n" << log.substr(0, 400);
            break;
        }
        ++seen[k];
        log.erase(0, blocks[k].size());
    }
    EXPECT_EQ(seen, std::vector<int>(blocks.size(), kRounds));
}

}  // namespace
}  // namespace sessiontest
