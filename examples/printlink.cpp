// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// printlink.so: a PrintLink plug-in that keeps balances in an SQLite ledger.
//
// The ledger file is named by the REG_SZ value "Ledger" of
// HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\PrintLink (a system path such as
// "C:\dornel-private\ledger.db" or a native one). Tables:
//   accounts(user TEXT PRIMARY KEY, balance_cents INTEGER)   one row per user
//   deposits(id, time, user, amount_cents, box, balance_cents) one row per deposit
// Money is kept in whole cents, so sums never drift; the time is UTC
// ("YYYY-MM-DD HH:MM:SS.SSS"), box is the box number, balance_cents the balance after it.
//
// Exports DLPL_InitPrintLink, DLPL_GetBalance, DLPL_Deposit and DLPL_EndPrintLink. Every
// call opens its own connection, so several box threads and several processes may use the
// ledger at once: the database runs in WAL mode, waits up to kBusyTimeoutMs for a lock,
// and a deposit is one BEGIN IMMEDIATE transaction (the balance update and its deposit row
// are written together or not at all). A ledger the plug-in creates is mode 0600, and so
// are its -wal and -shm files. An unknown user, a ledger that cannot be opened or
// a refused amount yields the failure value -1000000.0. The spawn account strings are not
// used by this plug-in.

#include <cmath>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include "examples/pluginconfig.h"

#define DORNEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kSettingsSubKey = "PrintLink";
constexpr const char* kLedgerValue = "Ledger";
constexpr double kFailure = -1000000.0;
constexpr int kBusyTimeoutMs = 10000;
// The largest single deposit accepted, in cents (a box takes coins and notes, not cheques).
constexpr std::int64_t kMaxDepositCents = 100000000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts("
    "  user TEXT PRIMARY KEY NOT NULL,"
    "  balance_cents INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS deposits("
    "  id INTEGER PRIMARY KEY,"
    "  time TEXT NOT NULL,"
    "  user TEXT NOT NULL,"
    "  amount_cents INTEGER NOT NULL,"
    "  box INTEGER NOT NULL,"
    "  balance_cents INTEGER NOT NULL);";

// True for an SQLite result that means the step did what was asked.
bool Succeeded(int result) {
    return result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW;
}

// One connection to the ledger, closed when it goes out of scope.
class Ledger {
  public:
    Ledger() = default;
    ~Ledger() {
        if (db_ != nullptr) sqlite3_close_v2(db_);
    }
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Opens (creating it when create is set) the configured ledger; false on failure.
    bool Open(bool create) {
        const std::string path = examples::ReadPathSetting(kSettingsSubKey, kLedgerValue);
        if (path.empty()) return false;
        // The ledger holds every user's money: a new one is readable by its owner alone
        // (SQLite gives its -wal and -shm files the same mode).
        if (create) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) ::close(fd);
        }
        const int flags =
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) return false;
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        return Execute("PRAGMA journal_mode=WAL;");
    }

    bool Execute(const char* sql) {
        return Succeeded(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
    }

    // The user's balance in cents; false for an unknown user or a failed read.
    bool ReadBalance(const char* user, std::int64_t& cents) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT balance_cents FROM accounts WHERE user = ?1", -1,
                               &statement, nullptr) != SQLITE_OK) {
            return false;
        }
        sqlite3_bind_text(statement, 1, user, -1, SQLITE_TRANSIENT);
        const bool found = sqlite3_step(statement) == SQLITE_ROW;
        if (found) cents = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return found;
    }

    // Adds amount to the user's balance and records the deposit; false on any failure.
    bool AddDeposit(const char* user, std::int64_t amount, int box, std::int64_t newBalance) {
        sqlite3_stmt* update = nullptr;
        sqlite3_stmt* insert = nullptr;
        bool done =
            sqlite3_prepare_v2(db_, "UPDATE accounts SET balance_cents = ?1 WHERE user = ?2", -1,
                               &update, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_,
                               "INSERT INTO deposits(time, user, amount_cents, box, balance_cents)"
                               " VALUES(strftime('%Y-%m-%d %H:%M:%f', 'now'), ?1, ?2, ?3, ?4)",
                               -1, &insert, nullptr) == SQLITE_OK;
        if (done) {
            sqlite3_bind_int64(update, 1, newBalance);
            sqlite3_bind_text(update, 2, user, -1, SQLITE_TRANSIENT);
            done = sqlite3_step(update) == SQLITE_DONE && sqlite3_changes(db_) == 1;
        }
        if (done) {
            sqlite3_bind_text(insert, 1, user, -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, amount);
            sqlite3_bind_int(insert, 3, box);
            sqlite3_bind_int64(insert, 4, newBalance);
            done = sqlite3_step(insert) == SQLITE_DONE;
        }
        sqlite3_finalize(update);
        sqlite3_finalize(insert);
        return done;
    }

  private:
    sqlite3* db_ = nullptr;
};

double FromCents(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

// Ready when the ledger is configured and can be opened; creates its tables if missing.
DORNEL_EXPORT int DLPL_InitPrintLink() {
    Ledger ledger;
    return ledger.Open(true) && ledger.Execute(kSchema) ? 1 : 0;
}

// The user's balance, or -1000000.0 for an unknown user or an unreadable ledger.
DORNEL_EXPORT double DLPL_GetBalance(const char* user, int box, const char* spawnUser,
                                     const char* spawnPassword, const char* spawnDomain) {
    if (user == nullptr || *user == '\0') return kFailure;
    Ledger ledger;
    std::int64_t cents = 0;
    if (!ledger.Open(false) || !ledger.ReadBalance(user, cents)) return kFailure;
    return FromCents(cents);
}

// Adds amount (rounded to cents; negative, non-finite or larger than one box can take is
// refused) to the user's balance in one transaction with its deposit row. Returns the new
// balance, or -1000000.0 when nothing was recorded.
DORNEL_EXPORT double DLPL_Deposit(const char* user, double amount, int box, const char* spawnUser,
                                  const char* spawnPassword, const char* spawnDomain) {
    if (user == nullptr || *user == '\0' || !std::isfinite(amount) || amount < 0.0) return kFailure;
    const std::int64_t cents = std::llround(amount * 100.0);
    if (cents > kMaxDepositCents) return kFailure;
    Ledger ledger;
    if (!ledger.Open(false) || !ledger.Execute("BEGIN IMMEDIATE;")) return kFailure;
    std::int64_t balance = 0;
    if (!ledger.ReadBalance(user, balance) ||
        !ledger.AddDeposit(user, cents, box, balance + cents) || !ledger.Execute("COMMIT;")) {
        ledger.Execute("ROLLBACK;");
        return kFailure;
    }
    return FromCents(balance + cents);
}

// Nothing to release: every call closes its own connection.
DORNEL_EXPORT void DLPL_EndPrintLink() {}
