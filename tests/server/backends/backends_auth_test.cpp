// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Authentication by authType: NT logon through PAM, the plug-ins through dlopen (the
// example custauth.so and a test plug-in that records its calls).

#include <crypt.h>

#include "backends_fixture.h"

namespace backendtest {
namespace {

class Authentication : public BackendFixture {
  protected:
    AuthOutcome Authenticate(int authType, const char* user, const char* password) {
        info_->authType = authType;
        return CZuvexService::AuthenticateUser(info_, user, password);
    }

    // A custauth user file with one line, set as the plug-in's UserFile.
    void ConfigureCustAuth(const std::string& lines) {
        const std::string path = root_ / "boxusers";
        WriteFile(path, lines);
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane Technology\\ZuvexBox\\CustAuth",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExA(key, "UserFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>(path.size() + 1)),
            ERROR_SUCCESS);
        RegCloseKey(key);
        InstallPlugin(BuiltPlugin("custauth.so"), "custauth.so");
    }

    static std::string Hash(const char* password) {
        crypt_data data{};
        char salt[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt);
        return crypt_r(password, salt, &data);
    }
};

TEST_F(Authentication, NtLogonAcceptsTheRightPassword) {
    EXPECT_EQ(Authenticate(0, "jsmith", "s3cret"), AuthOutcome::Accepted);
    EXPECT_STREQ(info_->userName, "jsmith");
    EXPECT_EQ(DataOf(CEventLog::AuthRequestNT), std::vector<std::string>{"jsmith"});
    EXPECT_TRUE(HasDebug("About to LogonUser"));
    EXPECT_TRUE(HasDebug("Done."));
}

TEST_F(Authentication, TheCustomPluginChecksTheUserFile) {
    ConfigureCustAuth("# box users\njsmith:" + Hash("Stud3nt!") + "\nann:" + Hash("x") +
                      ":.ann.staff.acme\n");
    EXPECT_EQ(Authenticate(2, "jsmith", "Stud3nt!"), AuthOutcome::Accepted);
    EXPECT_STREQ(info_->userName, "jsmith");
    EXPECT_EQ(DataOf(CEventLog::AuthRequestCustom), std::vector<std::string>{"jsmith"});
    EXPECT_TRUE(HasDebug("Calling InitAuth"));
    EXPECT_TRUE(HasDebug("AuthUser returned 1"));

    EXPECT_EQ(Authenticate(2, "ann", "x"), AuthOutcome::Accepted);
    EXPECT_STREQ(info_->userName, ".ann.staff.acme");
}

TEST_F(Authentication, APluginsQualifiedNameServesTheBalanceAndTheDeposit) {
    InstallPlugin(TESTPLUGIN_PATH, "dornnw.so");
    setenv("DORNEL_TESTPLUGIN_NAME", ".jsmith.staff.acme", 1);
    std::snprintf(info_->netwareAuthData, sizeof info_->netwareAuthData, "ACME|staff.acme,");
    ASSERT_EQ(Authenticate(1, "jsmith", "pw"), AuthOutcome::Accepted);
    EXPECT_STREQ(info_->userName, ".jsmith.staff.acme");
    EXPECT_EQ(DataOf(CEventLog::AuthRequestNetware), std::vector<std::string>{"jsmith"});

    info_->printLinkType = 0;
    EXPECT_DOUBLE_EQ(CZuvexService::GetBalance(info_->userName, info_), 12.5);
    CZuvexService::ProcessPCounterDeposit(info_, 2.10);
    EXPECT_EQ(PluginCalls(),
              "InitAuth\n"
              "AuthUser jsmith \\\\. ACME|staff.acme, 1024\n"
              "EndAuth\n"
              "DLPL_InitPrintLink\n"
              "DLPL_GetBalance .jsmith.staff.acme 0 root\n"
              "DLPL_EndPrintLink\n"
              "DLPL_InitPrintLink\n"
              "DLPL_Deposit .jsmith.staff.acme 2.10 0\n"
              "DLPL_EndPrintLink\n");
    const auto packets = PacketsSoFar();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, PKT_DEPOSIT_RESULT);
    EXPECT_EQ(packets[0].payload, "12.50");
    EXPECT_STREQ(info_->userName, "");
}

TEST_F(Authentication, APasswordNeverReachesTheLog) {
    Authenticate(0, "jsmith", "s3cret");
    Authenticate(0, "jsmith", "wrong-one");
    const std::string log = ReadFile(LogPath());
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(log.find("wrong-one"), std::string::npos);
}

// ----------------------------------------------------------------------------------------

TEST_F(Authentication, NtLogonDeclinesWrongPasswordsAndRestrictedAccounts) {
    EXPECT_EQ(Authenticate(0, "jsmith", "wrong"), AuthOutcome::Declined);
    EXPECT_TRUE(HasDebug("LogonUser failed with 52E"));  // ERROR_LOGON_FAILURE
    EXPECT_FALSE(HasDebug("Done."));
    // bob's password is right, but account management refuses him this service.
    EXPECT_EQ(Authenticate(0, "bob", "pw"), AuthOutcome::Declined);
    EXPECT_TRUE(HasDebug("LogonUser failed with 52F"));  // ERROR_ACCOUNT_RESTRICTION
}

TEST_F(Authentication, AMissingPluginDeclinesWithoutARecordOfItsCalls) {
    EXPECT_EQ(Authenticate(1, "jsmith", "pw"), AuthOutcome::Declined);
    EXPECT_EQ(DataOf(CEventLog::AuthRequestNetware), std::vector<std::string>{"jsmith"});
    EXPECT_FALSE(HasDebug("Calling InitAuth"));

    InstallPlugin(TESTPLUGIN_NOEND_PATH, "custauth.so");
    EXPECT_EQ(Authenticate(2, "jsmith", "pw"), AuthOutcome::Declined);
    EXPECT_FALSE(HasDebug("Calling InitAuth"));
    EXPECT_EQ(PluginCalls(), "");
}

TEST_F(Authentication, AFailedInitAuthSkipsEndAuth) {
    InstallPlugin(TESTPLUGIN_PATH, "custauth.so");
    setenv("DORNEL_TESTPLUGIN_INIT", "0", 1);
    EXPECT_EQ(Authenticate(2, "jsmith", "pw"), AuthOutcome::Declined);
    EXPECT_EQ(PluginCalls(), "InitAuth\n");
    EXPECT_TRUE(HasDebug("Calling InitAuth"));
    EXPECT_FALSE(HasDebug("Calling AuthUser"));
}

TEST_F(Authentication, APluginThatRefusesTheUserStillEnds) {
    InstallPlugin(TESTPLUGIN_PATH, "custauth.so");
    EXPECT_EQ(Authenticate(2, "jsmith", "bad"), AuthOutcome::Declined);
    EXPECT_EQ(PluginCalls(), "InitAuth\nAuthUser jsmith \\\\.  1024\nEndAuth\n");
    EXPECT_TRUE(HasDebug("AuthUser returned 0"));
}

TEST_F(Authentication, TheCustomPluginRefusesBadAndLockedEntries) {
    ConfigureCustAuth("jsmith:" + Hash("right") + "\nlocked:!" + Hash("pw") + "\nbroken:nothash\n");
    EXPECT_EQ(Authenticate(2, "jsmith", "wrong"), AuthOutcome::Declined);
    EXPECT_EQ(Authenticate(2, "jsmit", "right"), AuthOutcome::Declined);
    EXPECT_EQ(Authenticate(2, "locked", "pw"), AuthOutcome::Declined);
    EXPECT_EQ(Authenticate(2, "broken", "nothash"), AuthOutcome::Declined);
    EXPECT_EQ(Authenticate(2, "nobody", "right"), AuthOutcome::Declined);
}

TEST_F(Authentication, AnUnknownTypeDoesNothing) {
    EXPECT_EQ(Authenticate(3, "jsmith", "s3cret"), AuthOutcome::InvalidType);
    for (const LogRecord& record : Records()) {
        EXPECT_NE(record.type, CEventLog::AuthRequestNT);
        EXPECT_NE(record.type, CEventLog::AuthRequestNetware);
        EXPECT_NE(record.type, CEventLog::AuthRequestCustom);
    }
    EXPECT_FALSE(HasDebug("About to LogonUser"));
}

}  // namespace
}  // namespace backendtest
