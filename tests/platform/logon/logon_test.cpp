// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The logon layer against real PAM: pam_matrix under pam_wrapper for listed users, and
// pam_unix with a real local account (root only).

#include "platform/logon/logon.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fixtures/backends/testsupport.h"
#include "tests/fixtures/peer.h"

namespace {

using backendtest::LocalUser;
using backendtest::RunCommand;
using backendtest::SetMatrixUsers;
using backendtest::TempRoot;

class MatrixLogon : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMatrixUsers(root_,
                       "jsmith:s3cret:dornelman\n"
                       "bob:pw:otherservice\n"
                       "root:rootpw:dornelman\n");
    }
    TempRoot root_;
};

TEST_F(MatrixLogon, InteractiveLogonWithTheRightPasswordGivesAToken) {
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserA("root", "\\\\.", "rootpw", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    const platform::logon::Account* account = platform::logon::TokenAccount(token);
    ASSERT_NE(account, nullptr);
    EXPECT_TRUE(account->resolved);
    EXPECT_EQ(account->uid, 0u);
    EXPECT_EQ(account->gid, 0u);
    EXPECT_EQ(account->name, "root");
    EXPECT_TRUE(CloseLogonToken(token));
}

TEST_F(MatrixLogon, AnAccountUnknownToTheNameServiceLogsOnWithoutIdentity) {
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserA("jsmith", "", "s3cret", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    const platform::logon::Account* account = platform::logon::TokenAccount(token);
    ASSERT_NE(account, nullptr);
    EXPECT_FALSE(account->resolved);
    EXPECT_TRUE(CloseLogonToken(token));
}

TEST_F(MatrixLogon, EveryDomainLogsOnThePlainName) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string upper(host);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<std::string> localDomains = {"\\\\.", "", ".", upper, "\\\\" + upper};
    for (const std::string& domain : localDomains) {
        EXPECT_TRUE(platform::logon::IsLocalDomain(domain.c_str())) << domain;
    }
    EXPECT_FALSE(platform::logon::IsLocalDomain("ACME"));
    EXPECT_EQ(platform::logon::LogonName("jsmith", "ACME"), "jsmith");

    HANDLE token = nullptr;
    EXPECT_TRUE(LogonUserA("jsmith", "ACME", "s3cret", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    CloseLogonToken(token);
}

// ----------------------------------------------------------------------------------------

TEST_F(MatrixLogon, WrongPasswordAndUnknownUserAreLogonFailures) {
    HANDLE token = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(LogonUserA("jsmith", "\\\\.", "wrong", LOGON32_LOGON_INTERACTIVE,
                            LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
    EXPECT_EQ(token, nullptr);
    EXPECT_FALSE(LogonUserA("nobody-here", "\\\\.", "x", LOGON32_LOGON_BATCH,
                            LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
}

TEST_F(MatrixLogon, AccountManagementDeclinesInteractiveButNotBatch) {
    HANDLE token = nullptr;
    EXPECT_FALSE(LogonUserA("bob", "\\\\.", "pw", LOGON32_LOGON_INTERACTIVE,
                            LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCOUNT_RESTRICTION));
    EXPECT_TRUE(
        LogonUserA("bob", "\\\\.", "pw", LOGON32_LOGON_BATCH, LOGON32_PROVIDER_DEFAULT, &token));
    CloseLogonToken(token);
}

TEST_F(MatrixLogon, APasswordBufferIsClearedOnEveryWayOut) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "s3cret-password");
    auto check = [&](bool leaveEarly) {
        const platform::logon::SecretGuard guard(buffer, sizeof buffer);
        if (leaveEarly) return 1;
        return 2;
    };
    EXPECT_EQ(check(true), 1);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    std::snprintf(buffer, sizeof buffer, "again");
    EXPECT_EQ(check(false), 2);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));

    std::string text = "pw";
    platform::logon::ClearSecret(text.data(), text.size());
    EXPECT_EQ(text, std::string(2, '\0'));
    platform::logon::ClearSecret(nullptr, 4);  // nothing to clear
}

TEST_F(MatrixLogon, BadArgumentsAndForeignHandlesAreRefused) {
    HANDLE token = nullptr;
    EXPECT_FALSE(LogonUserA("jsmith", "", "s3cret", 3, LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(LogonUserA(nullptr, "", "s3cret", LOGON32_LOGON_BATCH, 0, &token));
    EXPECT_FALSE(LogonUserA("", "", "s3cret", LOGON32_LOGON_BATCH, 0, &token));
    EXPECT_FALSE(LogonUserA("jsmith", "", nullptr, LOGON32_LOGON_BATCH, 0, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    int notAToken = 0;
    EXPECT_FALSE(CloseLogonToken(&notAToken));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(platform::logon::TokenAccount(&notAToken), nullptr);
    EXPECT_TRUE(CloseLogonToken(nullptr));
}

// A real account through pam_unix (this executable runs a second time with the "unix"
// PAM services for these).
class RealUserLogon : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) DORNEL_SKIP_WITHOUT_PEER("a local account needs root");
        ASSERT_TRUE(user_.Made());
    }
    LocalUser user_{backendtest::UniqueUserName("dnlg"), "Pa55word!"};
};

TEST_F(RealUserLogon, TokenHoldsTheAccountsIds) {
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserA(user_.Name().c_str(), "\\\\.", "Pa55word!", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    const passwd* entry = getpwnam(user_.Name().c_str());
    ASSERT_NE(entry, nullptr);
    const platform::logon::Account* account = platform::logon::TokenAccount(token);
    ASSERT_NE(account, nullptr);
    EXPECT_TRUE(account->resolved);
    EXPECT_EQ(account->uid, entry->pw_uid);
    EXPECT_EQ(account->gid, entry->pw_gid);
    ASSERT_FALSE(account->groups.empty());
    CloseLogonToken(token);
}

TEST_F(RealUserLogon, AnEmptyPasswordNeverLogsOnEvenWhereTheSiteAllowsIt) {
    // The services here say "nullok": PAM itself would accept the account's empty password.
    ASSERT_TRUE(user_.ClearPassword());
    for (DWORD type : {LOGON32_LOGON_INTERACTIVE, LOGON32_LOGON_BATCH}) {
        HANDLE token = reinterpret_cast<HANDLE>(1);
        EXPECT_FALSE(
            LogonUserA(user_.Name().c_str(), "\\\\.", "", type, LOGON32_PROVIDER_DEFAULT, &token))
            << type;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE)) << type;
        EXPECT_EQ(token, nullptr);
        CloseLogonToken(token);
    }
    // Nor does anything else.
    HANDLE token = nullptr;
    EXPECT_FALSE(LogonUserA(user_.Name().c_str(), "", "Pa55word!", LOGON32_LOGON_BATCH,
                            LOGON32_PROVIDER_DEFAULT, &token));
}

TEST_F(RealUserLogon, WrongPasswordFailsAndAnExpiredAccountLogsOnOnlyAsBatch) {
    HANDLE token = nullptr;
    EXPECT_FALSE(LogonUserA(user_.Name().c_str(), "", "nope", LOGON32_LOGON_INTERACTIVE,
                            LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));

    ASSERT_EQ(RunCommand({"chage", "-E", "0", user_.Name()}), 0);
    EXPECT_FALSE(LogonUserA(user_.Name().c_str(), "", "Pa55word!", LOGON32_LOGON_INTERACTIVE,
                            LOGON32_PROVIDER_DEFAULT, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCOUNT_EXPIRED));
    EXPECT_TRUE(LogonUserA(user_.Name().c_str(), "", "Pa55word!", LOGON32_LOGON_BATCH,
                           LOGON32_PROVIDER_DEFAULT, &token));
    CloseLogonToken(token);
}

}  // namespace
