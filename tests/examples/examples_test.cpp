// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The example plug-ins as the server meets them: loaded with dlopen from the build, their
// settings in the registry, the ledger a real SQLite file shared by threads and processes.

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <crypt.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/dynlib/dynlib.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "tests/fixtures/backends/testsupport.h"

namespace {

using backendtest::TempRoot;
using backendtest::WriteFile;

constexpr double kFailure = -1000000.0;

// True for a deposit result that is no new balance.
int IsBad(double balance) { return balance < -999999.0 || balance > 1e8 ? 1 : 0; }

void SetSetting(const char* subKey, const char* value, const std::string& text) {
    HKEY key = nullptr;
    const std::string name = std::string("SOFTWARE\\Orvane Technology\\ZuvexBox\\") + subKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::string BuiltPlugin(const char* name) {
    return std::string(std::getenv("DORNEL_BIN_DIR")) + "/" + name;
}

// Runs one SQL statement on the ledger file and returns the first column of the first row.
long long QueryNumber(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

class Ledger : public ::testing::Test {
  protected:
    using InitProc = int (*)();
    using BalanceProc = double (*)(const char*, int, const char*, const char*, const char*);
    using DepositProc = double (*)(const char*, double, int, const char*, const char*, const char*);
    using EndProc = void (*)();

    void SetUp() override {
        SetSetting("PrintLink", "Ledger", "C:\\ledger.db");
        ASSERT_TRUE(platform::paths::MakeDirectories(root_ / "c"));
        path_ = root_ / "c/ledger.db";
    }

    // One call bracketed the way the server brackets it: load, init, call, end, free.
    double GetBalance(const char* user) {
        platform::dynlib::Library plugin(BuiltPlugin("printlink.so").c_str());
        if (!plugin.IsLoaded() || !plugin.Find<InitProc>("DLPL_InitPrintLink")()) return 1e9;
        const double balance =
            plugin.Find<BalanceProc>("DLPL_GetBalance")(user, 3, "dladmin", "pw", "\\\\.");
        plugin.Find<EndProc>("DLPL_EndPrintLink")();
        return balance;
    }
    double Deposit(const char* user, double amount, int box = 3) {
        platform::dynlib::Library plugin(BuiltPlugin("printlink.so").c_str());
        if (!plugin.IsLoaded() || !plugin.Find<InitProc>("DLPL_InitPrintLink")()) return 1e9;
        const double balance =
            plugin.Find<DepositProc>("DLPL_Deposit")(user, amount, box, "dladmin", "pw", "\\\\.");
        plugin.Find<EndProc>("DLPL_EndPrintLink")();
        return balance;
    }
    void AddUser(const char* user, long long cents) {
        ASSERT_NE(GetBalance("nobody"), 1e9);  // creates the tables
        const std::string sql = "INSERT INTO accounts(user, balance_cents) VALUES('" +
                                std::string(user) + "', " + std::to_string(cents) +
                                ") RETURNING balance_cents";
        ASSERT_EQ(QueryNumber(path_, sql.c_str()), cents);
    }

    TempRoot root_;
    std::string path_;
};

TEST_F(Ledger, BalancesAndDepositsAreKeptInCents) {
    AddUser("jsmith", 1250);
    EXPECT_DOUBLE_EQ(GetBalance("jsmith"), 12.5);
    EXPECT_DOUBLE_EQ(Deposit("jsmith", 2.10, 4), 14.6);
    EXPECT_DOUBLE_EQ(Deposit("jsmith", 0.05), 14.65);
    EXPECT_DOUBLE_EQ(GetBalance("jsmith"), 14.65);
    EXPECT_EQ(QueryNumber(path_, "SELECT count(*) FROM deposits WHERE user = 'jsmith'"), 2);
    EXPECT_EQ(QueryNumber(path_, "SELECT amount_cents FROM deposits WHERE box = 4"), 210);
    EXPECT_EQ(QueryNumber(path_, "SELECT balance_cents FROM deposits WHERE box = 4"), 1460);
    EXPECT_EQ(QueryNumber(path_, "SELECT count(*) FROM deposits WHERE length(time) = 23"), 2);
}

TEST_F(Ledger, ALedgerThePluginCreatesIsReadableByItsOwnerAlone) {
    const mode_t old = ::umask(022);
    AddUser("jsmith", 100);
    EXPECT_DOUBLE_EQ(Deposit("jsmith", 1.0), 2.0);
    ::umask(old);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (::stat((path_ + suffix).c_str(), &info) == 0) {
            EXPECT_EQ(info.st_mode & 0077, 0u) << suffix;
        }
    }
}

TEST_F(Ledger, TenDepositorsAndTwoProcessesLoseNothing) {
    AddUser("shared", 0);
    constexpr int kThreads = 10;
    constexpr int kProcesses = 2;
    constexpr int kEach = 20;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) failures += IsBad(Deposit("shared", 0.10, 9));
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                failures[static_cast<std::size_t>(t)] += IsBad(Deposit("shared", 0.10, t));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int count : failures) EXPECT_EQ(count, 0);
    const int deposits = (kThreads + kProcesses) * kEach;
    EXPECT_DOUBLE_EQ(GetBalance("shared"), deposits * 0.10);
    EXPECT_EQ(QueryNumber(path_, "SELECT count(*) FROM deposits"), deposits);
    EXPECT_EQ(QueryNumber(path_, "SELECT max(balance_cents) FROM deposits"), deposits * 10);
}

// ----------------------------------------------------------------------------------------

TEST_F(Ledger, UnknownUsersAndBadAmountsRecordNothing) {
    AddUser("jsmith", 100);
    EXPECT_EQ(GetBalance("ghost"), kFailure);
    EXPECT_EQ(Deposit("ghost", 1.0), kFailure);
    EXPECT_EQ(GetBalance(""), kFailure);
    for (double amount : {-0.05, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), 5e6}) {
        EXPECT_EQ(Deposit("jsmith", amount), kFailure) << amount;
    }
    EXPECT_EQ(QueryNumber(path_, "SELECT count(*) FROM deposits"), 0);
    EXPECT_DOUBLE_EQ(GetBalance("jsmith"), 1.0);
}

TEST(LedgerSettings, WithoutALedgerTheresNoInit) {
    TempRoot root;
    platform::dynlib::Library plugin(BuiltPlugin("printlink.so").c_str());
    ASSERT_TRUE(plugin.IsLoaded()) << platform::dynlib::DynlibErrorText();
    using InitProc = int (*)();
    using BalanceProc = double (*)(const char*, int, const char*, const char*, const char*);
    EXPECT_EQ(plugin.Find<InitProc>("DLPL_InitPrintLink")(), 0);
    EXPECT_EQ(plugin.Find<BalanceProc>("DLPL_GetBalance")("jsmith", 0, "", "", ""), kFailure);
}

TEST(CustAuthSettings, TheUserFileDecidesAndTheNameIsBounded) {
    TempRoot root;
    platform::dynlib::Library plugin(BuiltPlugin("custauth.so").c_str());
    ASSERT_TRUE(plugin.IsLoaded()) << platform::dynlib::DynlibErrorText();
    using InitProc = int (*)();
    using AuthProc = int (*)(const char*, const char*, const char*, const char*, char*, int);
    auto init = plugin.Find<InitProc>("InitAuth");
    auto auth = plugin.Find<AuthProc>("AuthUser");
    ASSERT_NE(plugin.Find<void (*)()>("EndAuth"), nullptr);
    char output[16] = {};
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(auth("jsmith", "pw", "", "", output, sizeof output), 0);

    crypt_data data{};
    const std::string hash = crypt_r("pw", "$6$saltsalt$", &data);
    WriteFile(root / "users", "jsmith:" + hash + "\r\n");
    SetSetting("CustAuth", "UserFile", root / "users");
    EXPECT_EQ(init(), 1);
    EXPECT_EQ(auth("jsmith", "pw", "", "", output, 4), 1);
    EXPECT_STREQ(output, "jsm");
    EXPECT_EQ(auth("jsmith", "pw", "", "", output, sizeof output), 1);
    EXPECT_STREQ(output, "jsmith");
    EXPECT_EQ(auth("jsmith", "", "", "", output, sizeof output), 0);
}

}  // namespace
