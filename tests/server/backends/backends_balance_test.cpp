// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Balances and deposits: the back-end table, the tool's output markers, the deposit
// answers and their user events, and the refused deposits.

#include <cmath>

#include "backends_fixture.h"

namespace backendtest {
namespace {

class Balances : public BackendFixture {
  protected:
    double Balance(int printLinkType, int authType, const char* user = "jsmith") {
        info_->printLinkType = printLinkType;
        info_->authType = authType;
        char name[1024];
        std::snprintf(name, sizeof name, "%s", user);
        return CZuvexService::GetBalance(name, info_);
    }

    void ToolPrints(const std::string& text) {
        setenv("ACCOUNT_DOUBLE_MODE", "text", 1);
        setenv("ACCOUNT_DOUBLE_TEXT", text.c_str(), 1);
    }

    // Deposits for user through the printLinkType's entry point, as the dispatcher would.
    void Deposit(int printLinkType, int authType, const char* user, double amount) {
        info_->printLinkType = printLinkType;
        info_->authType = authType;
        std::snprintf(info_->userName, sizeof info_->userName, "%s", user);
        if (printLinkType == 0) {
            CZuvexService::ProcessPCounterDeposit(info_, amount);
        } else {
            CZuvexService::ProcessCustomDeposit(info_, amount);
        }
    }

    // The one deposit answer the box got.
    std::string DepositAnswer() {
        const auto packets = PacketsSoFar();
        EXPECT_EQ(packets.size(), 1u);
        if (packets.size() != 1) return "<none>";
        EXPECT_EQ(packets[0].type, PKT_DEPOSIT_RESULT);
        return packets[0].payload;
    }
};

// Which back-end each printLinkType and authType reaches, and what it logs.
TEST_F(Balances, TheTableOfBackEnds) {
    InstallPlugin(TESTPLUGIN_PATH, "dornnw.so");
    InstallPlugin(TESTPLUGIN_PATH, "printlink.so");
    setenv("ACCOUNT_DOUBLE_BALANCE", "3.50", 1);
    setenv("DORNEL_TESTPLUGIN_BALANCE", "8.25", 1);
    struct Row {
        int printLinkType;
        int authType;
        double balance;
        bool toolRuns;
        bool pluginRuns;
        bool invalidPrintlink;
    };
    const Row rows[] = {
        {0, 0, 3.50, true, false, false},
        {0, 1, 8.25, false, true, false},
        {0, 2, kBalanceFailure, false, false, false},
        {0, 3, kBalanceFailure, false, false, false},
        {1, 0, 8.25, false, true, false},
        {1, 1, 8.25, false, true, false},
        {1, 2, 8.25, false, true, false},
        {1, 3, 8.25, false, true, false},
        {7, 0, kBalanceFailure, false, false, true},
        {7, 1, kBalanceFailure, false, false, true},
        {7, 2, kBalanceFailure, false, false, true},
        {7, 3, kBalanceFailure, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("printLinkType " + std::to_string(row.printLinkType) + ", authType " +
                     std::to_string(row.authType));
        std::filesystem::remove(root_ / "tool.log");
        std::filesystem::remove(root_ / "plugin.log");
        std::filesystem::remove(root_ / "eventlog");
        EXPECT_DOUBLE_EQ(Balance(row.printLinkType, row.authType), row.balance);
        EXPECT_EQ(ToolRuns() == "viewbal\njsmith\n--\n", row.toolRuns) << ToolRuns();
        EXPECT_EQ(PluginCalls().find("DLPL_GetBalance jsmith 0 root") != std::string::npos,
                  row.pluginRuns);
        EXPECT_EQ(NtEvents().find("| 100 | Invalid printlink type") != std::string::npos,
                  row.invalidPrintlink)
            << NtEvents();
    }
    EXPECT_TRUE(PacketsSoFar().empty());
}

TEST_F(Balances, DepositsReachTheirBackEndAndAnswerTheBox) {
    InstallPlugin(TESTPLUGIN_PATH, "dornnw.so");
    InstallPlugin(TESTPLUGIN_PATH, "printlink.so");
    setenv("ACCOUNT_DOUBLE_BALANCE", "5.85", 1);
    setenv("DORNEL_TESTPLUGIN_BALANCE", "9.10", 1);

    Deposit(0, 0, "jsmith", 2.10);
    EXPECT_EQ(DepositAnswer(), "5.85");
    EXPECT_EQ(ToolRuns(), "deposit\njsmith\n2.10\n--\n");
    EXPECT_STREQ(info_->userName, "");

    Deposit(0, 1, ".jsmith.staff.acme", 1.00);
    EXPECT_EQ(DepositAnswer(), "9.10");
    Deposit(1, 2, "ann", 0.05);
    EXPECT_EQ(DepositAnswer(), "9.10");
    EXPECT_EQ(DataOf(CEventLog::DepositOK), (std::vector<std::string>{"5.85", "9.10", "9.10"}));
    EXPECT_NE(PluginCalls().find("DLPL_Deposit .jsmith.staff.acme 1.00 0"), std::string::npos);
    EXPECT_NE(PluginCalls().find("DLPL_Deposit ann 0.05 0"), std::string::npos);

    // Under PCounter an authType without a back-end does nothing at all.
    Deposit(0, 2, "jsmith", 1.00);
    Deposit(0, 3, "jsmith", 1.00);
    EXPECT_TRUE(PacketsSoFar().empty());
    EXPECT_STREQ(info_->userName, "jsmith");
    EXPECT_EQ(DataOf(CEventLog::DepositOK).size(), 3u);
}

TEST_F(Balances, TheToolsOutputMarkers) {
    struct Row {
        const char* output;
        double balance;
    };
    const Row rows[] = {
        {"jsmith has a balance of 3.75\n", 3.75},
        {"Current balance is 1.00\njsmith has a balance of 3.75\n", 3.75},
        {"Current balance is -1.20\n", -1.20},
        {"Current balance is   +2.5e1 units\n", 25.0},
        {"jsmith has a balance of abc\n", 0.0},
        {"jsmith has a balance of 4.\n", 4.0},
        {"jsmith has a balance of -.5e\n", -0.5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        ToolPrints(row.output);
        EXPECT_DOUBLE_EQ(Balance(0, 0), row.balance);
    }
    EXPECT_EQ(NtEvents().find("Invalid response from spawned child"), std::string::npos);
}

TEST_F(Balances, AHugeNewBalanceIsSentWhole) {
    ToolPrints("New balance is 1e300\n");
    Deposit(0, 0, "jsmith", 1.00);
    const std::string answer = DepositAnswer();
    EXPECT_EQ(answer.size(), 304u);
    EXPECT_EQ(answer.substr(answer.size() - 3), ".00");
    EXPECT_EQ(DataOf(CEventLog::DepositOK), std::vector<std::string>{answer});
}

TEST_F(Balances, TheCommandLineIsLoggedAndTheUserNameIsOneArgument) {
    const std::string user = "j smith; touch /tmp/x `id` $(id) \"q\" 'a'";
    EXPECT_DOUBLE_EQ(Balance(0, 0, user.c_str()), 0.0);
    EXPECT_EQ(ToolRuns(), "viewbal\n" + user + "\n--\n");
    EXPECT_TRUE(HasDebug("Sending command C:\\PCounter\\account.exe viewbal " + user));
    EXPECT_TRUE(HasDebug(user + " has a balance of 0"));

    Deposit(0, 0, user.c_str(), 2.10);
    EXPECT_EQ(ToolRuns(), "viewbal\n" + user + "\n--\ndeposit\n" + user + "\n2.10\n--\n");
    EXPECT_TRUE(HasDebug("Sending command C:\\PCounter\\account.exe deposit " + user + " 2.10"));
}

// ----------------------------------------------------------------------------------------

TEST_F(Balances, OutputWithoutAMarkerIsAnInvalidResponse) {
    ToolPrints("User not found\n");
    EXPECT_TRUE(IsBalanceFailure(Balance(0, 0)));
    EXPECT_NE(NtEvents().find("| information | 100 | Invalid response from spawned child"),
              std::string::npos)
        << NtEvents();

    ToolPrints("jsmith has a balance of 1e999\n");
    EXPECT_TRUE(IsBalanceFailure(Balance(0, 0)));
}

TEST_F(Balances, ADepositWithoutItsMarkerIsAnErrorWithTheToolsText) {
    ToolPrints("Account|locked\nsee the office\n");
    Deposit(0, 0, "jsmith", 1.00);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    // The text stays one record: one line, no field separator.
    EXPECT_EQ(DataOf(CEventLog::DepositError),
              std::vector<std::string>{"Account locked see the office"});
    EXPECT_TRUE(HasDebug("Account locked see the office"));
    EXPECT_NE(NtEvents().find("Invalid response from spawned child"), std::string::npos);
    EXPECT_STREQ(info_->userName, "");
}

TEST_F(Balances, ADepositWhoseToolIsStoppedAtTheTimeLimitHasAnUnknownOutcome) {
    setenv("DORNEL_SPAWN_TIMEOUT_MS", "300", 1);
    setenv("ACCOUNT_DOUBLE_MODE", "hang", 1);
    // It printed an answer but never finished: whether the credit stands is not known.
    setenv("ACCOUNT_DOUBLE_TEXT", "Depositing 1.00\\nNew balance is 5.85\\n", 1);
    Deposit(0, 0, "jsmith", 1.00);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    EXPECT_EQ(DataOf(CEventLog::DepositError),
              std::vector<std::string>{
                  "Outcome unknown: account.exe was stopped at the time limit; check the account "
                  "before crediting again; account.exe printed: Depositing 1.00 New balance is "
                  "5.85"});
    EXPECT_TRUE(DataOf(CEventLog::DepositOK).empty());
    EXPECT_TRUE(HasDebug("Child output not finished within 300 ms; using the 36 bytes read"));
    // The authentication is used up, as after any answer of the tool.
    EXPECT_STREQ(info_->userName, "");

    // Silence until the limit: the reason alone.
    setenv("ACCOUNT_DOUBLE_TEXT", "", 1);
    Deposit(0, 0, "jsmith", 2.00);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    EXPECT_EQ(DataOf(CEventLog::DepositError).back(),
              "Outcome unknown: account.exe was stopped at the time limit; check the account "
              "before crediting again");
}

TEST_F(Balances, ADepositWithNoUserNeverReachesABackEnd) {
    InstallPlugin(TESTPLUGIN_PATH, "printlink.so");
    Deposit(0, 0, "", 2.10);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    Deposit(1, 0, "", 2.10);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    info_->authType = 1;
    CZuvexService::ProcessNetwarePCounterDeposit(info_, 1.0);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    EXPECT_EQ(ToolRuns(), "");
    EXPECT_EQ(PluginCalls(), "");
    EXPECT_EQ(DataOf(CEventLog::DepositError),
              std::vector<std::string>(3, "No authenticated user for this deposit"));
    EXPECT_TRUE(HasDebug("Deposit of 2.10 refused: no authenticated user"));
}

TEST_F(Balances, APluginDepositThatFailsIsAnError) {
    InstallPlugin(TESTPLUGIN_PATH, "printlink.so");
    setenv("DORNEL_TESTPLUGIN_BALANCE", "-1000000", 1);
    Deposit(1, 0, "jsmith", 2.00);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    EXPECT_EQ(DataOf(CEventLog::DepositError),
              std::vector<std::string>{"printlink deposit failed."});
    EXPECT_TRUE(DataOf(CEventLog::DepositOK).empty());
    EXPECT_TRUE(HasDebug("DLPL_Deposit returned -1000000.000000"));
    EXPECT_TRUE(IsBalanceFailure(Balance(1, 0)));
}

TEST_F(Balances, PluginFailuresHaveTheirTexts) {
    struct Row {
        const char* library;  // installed as
        const char* plugin;   // which build of the test plug-in, or null for none
        bool initFails;
        const char* debug;
        const char* user;
    };
    const Row rows[] = {
        {"printlink.so", nullptr, false, "No printlink", "printlink not available."},
        {"printlink.so", TESTPLUGIN_NOEND_PATH, false, "No printlink function exports",
         "printlink.dll does not have valid exports."},
        {"printlink.so", TESTPLUGIN_PATH, true, "printlink init failed", "printlink init failed."},
        {"dornnw.so", nullptr, false, "No dornnw", "dornnw not available."},
        {"dornnw.so", TESTPLUGIN_NOEND_PATH, false, "No dornnw function exports",
         "dornnw does not have valid exports."},
        {"dornnw.so", TESTPLUGIN_PATH, true, "dornnw init failed", "dornnw init failed."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.debug);
        std::filesystem::remove(root_ / "plugins/printlink.so");
        std::filesystem::remove(root_ / "plugins/dornnw.so");
        if (row.plugin != nullptr) InstallPlugin(row.plugin, row.library);
        if (row.initFails) {
            setenv("DORNEL_TESTPLUGIN_INIT", "0", 1);
        } else {
            unsetenv("DORNEL_TESTPLUGIN_INIT");
        }
        const bool dornnw = std::string(row.library) == "dornnw.so";
        Deposit(dornnw ? 0 : 1, dornnw ? 1 : 0, "jsmith", 1.00);
        EXPECT_EQ(DepositAnswer(), "ERRO");
        EXPECT_TRUE(HasDebug(row.debug));
        EXPECT_EQ(DataOf(CEventLog::DepositError).back(), row.user);
        EXPECT_STREQ(info_->userName, "jsmith");
        EXPECT_TRUE(IsBalanceFailure(Balance(dornnw ? 0 : 1, dornnw ? 1 : 0)));
    }
}

TEST_F(Balances, CommandLinesOverTheirLimitAreRefusedNotCut) {
    std::string longName(2100, 'u');
    info_->printLinkType = 0;
    info_->authType = 0;
    EXPECT_TRUE(IsBalanceFailure(CZuvexService::GetBalance(longName.data(), info_)));
    EXPECT_TRUE(HasDebug("Command line of 2132 characters is over the limit of 2047; not run"));
    // 2047 characters in all still go out.
    std::string fits(2047 - std::strlen("C:\\PCounter\\account.exe viewbal "), 'v');
    EXPECT_DOUBLE_EQ(CZuvexService::GetBalance(fits.data(), info_), 0.0);
    EXPECT_EQ(ToolRuns(), "viewbal\n" + fits + "\n--\n");

    Deposit(0, 0, std::string(250, 'd').c_str(), 1.00);
    EXPECT_EQ(DepositAnswer(), "ERRO");
    EXPECT_EQ(DataOf(CEventLog::DepositError),
              std::vector<std::string>{"Deposit command line too long"});
    EXPECT_EQ(ToolRuns(), "viewbal\n" + fits + "\n--\n");
}

}  // namespace
}  // namespace backendtest
