// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The NetWare plug-in against a real slapd on loopback and the account.exe double: the
// login of a full name and the context search with their exact log lines, the qualified
// name, passwords that must not pass, a directory that is gone, two boxes at once, and the
// balance and deposit runs after the spawn account's login.

#include "dornnw/dornnw.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "dornnw/nwlog.h"
#include "platform/netware/netware.h"
#include "platform/registry/registry.h"
#include "tests/fixtures/backends/testsupport.h"
#include "tests/fixtures/ldap/slapd.h"

namespace {

using platform::netware::OpenContextCount;

constexpr const char* kZuvexKey = "SOFTWARE\\Orvane Technology\\ZuvexBox";
constexpr const char* kSearchList = "ACME|staff.acme,ACME|students.acme";
constexpr const char* kSpawnDomain = "ACME|admin.acme";

void SetText(const std::string& keyName, const std::string& name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

// "FFFFFD63" for -669: the codes as the log writes them.
std::string Hex(NWDSCCODE code) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(code));
    return text;
}

// What one authentication request did.
struct AuthRun {
    int result = 0;
    std::string name;  // the qualified name returned
    std::string log;   // the lines it added to dornnw.log
};

class NetwarePlugin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { slapd_ = ldaptest::StartPolicyServer(); }
    static void TearDownTestSuite() { slapd_.reset(); }

    void SetUp() override {
        if (!ldaptest::Slapd::Available()) GTEST_SKIP() << "slapd is not installed";
        ASSERT_NE(slapd_, nullptr) << "slapd did not start";
        const std::string trees = std::string(kZuvexKey) + "\\NDS";
        SetText(trees, "ACME", slapd_->Uri());
        SetText(trees, "", slapd_->Uri());
        // The accounting tool of box 0.
        const std::string tools = root_ / "c/PCounter";
        std::filesystem::create_directories(tools);
        const char* source = std::getenv("DORNEL_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        std::filesystem::copy_file(std::string(source) + "/tests/fixtures/backends/account.exe",
                                   tools + "/account.exe");
        SetText(std::string(kZuvexKey) + "\\Box000", "PCounterLocation", "C:\\PCounter");
        ::setenv("ACCOUNT_DOUBLE_MODE", "balance", 1);
        ::setenv("ACCOUNT_DOUBLE_BALANCE", "12.50", 1);
        ::setenv("ACCOUNT_DOUBLE_LOG", (root_ / "tool.log").c_str(), 1);
        openBefore_ = OpenContextCount();
    }

    void TearDown() override {
        EXPECT_EQ(OpenContextCount(), openBefore_) << "a context handle was not freed";
        for (const char* name :
             {"ACCOUNT_DOUBLE_MODE", "ACCOUNT_DOUBLE_BALANCE", "ACCOUNT_DOUBLE_LOG",
              "ACCOUNT_DOUBLE_TEXT", "ACCOUNT_DOUBLE_PIDFILE", "DORNEL_SPAWN_TIMEOUT_MS"}) {
            ::unsetenv(name);
        }
    }

    std::string Log() const { return backendtest::ReadFile(dornnw::LogPath()); }
    std::string ToolRuns() const { return backendtest::ReadFile(root_ / "tool.log"); }

    // One request as the server makes it: InitAuth, AuthUser, EndAuth.
    AuthRun Authenticate(const char* user, const char* password, const char* data,
                         int size = 1024) {
        const std::size_t before = Log().size();
        AuthRun run;
        EXPECT_EQ(dornnw::InitAuth(), 1);
        std::vector<char> output(static_cast<std::size_t>(size) + 16, 'Z');
        run.result = dornnw::AuthUser(user, password, "\\\\.", data, output.data(), size);
        dornnw::EndAuth();
        // The buffer was zero-filled for exactly its size, and the rest left alone.
        EXPECT_EQ(output[static_cast<std::size_t>(size)], 'Z');
        // A failure leaves the buffer as it was.
        run.name = run.result == 1 ? output.data() : "";
        run.log = Log().substr(before);
        return run;
    }

    // DLPL_GetBalance or DLPL_Deposit bracketed by the init and end calls, with its log.
    template <typename Call>
    double PrintLink(Call call, std::string* log = nullptr) {
        const std::size_t before = Log().size();
        EXPECT_EQ(dornnw::DLPL_InitPrintLink(), 1);
        const double result = call();
        dornnw::DLPL_EndPrintLink();
        if (log != nullptr) *log = Log().substr(before);
        return result;
    }

    static std::unique_ptr<ldaptest::Slapd> slapd_;
    backendtest::TempRoot root_;
    std::size_t openBefore_ = 0;
};

std::unique_ptr<ldaptest::Slapd> NetwarePlugin::slapd_;

TEST_F(NetwarePlugin, AFullNameLogsInOnceWithNoContext) {
    AuthRun run = Authenticate("jsmith.students.acme", ldaptest::kStudentPassword, kSearchList);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.name, "jsmith.students.acme");
    EXPECT_EQ(run.log, "AuthUser : FULL CONTEXT: Returning QualUN: \njsmith.students.acme\n\n\n");

    run = Authenticate("jsmith.students.acme", "not-it", kSearchList);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.name, "");
    EXPECT_EQ(run.log, "AuthUser : FULL CONTEXT: NWDSLogin failed with code " +
                           Hex(ERR_FAILED_AUTHENTICATION) + "\n\n");
}

TEST_F(NetwarePlugin, TheContextSearchLogsEachFailureAndReturnsTheQualifiedName) {
    AuthRun run = Authenticate("jsmith", ldaptest::kStudentPassword, kSearchList);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.name, ".jsmith.students.acme");
    EXPECT_EQ(run.log,
              "Start of partial context processing\n\n"
              "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
              "AuthUser : NWDSLogin failed with code " +
                  Hex(ERR_NO_SUCH_ENTRY) +
                  "\n\n"
                  "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
                  "AuthUser : Returning QualUN: \n.jsmith.students.acme\n\n\n");

    // An entry without "|" is skipped with its line; empty entries are no entries.
    run =
        Authenticate("jsmith", ldaptest::kStudentPassword, "ACME staff.acme,,ACME|students.acme,");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.log,
              "Start of partial context processing\n\n"
              "No | in the context string\n\n"
              "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
              "AuthUser : Returning QualUN: \n.jsmith.students.acme\n\n\n");

    run = Authenticate("jsmith", ldaptest::kStudentPassword, "");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log, "Start of partial context processing\n\n");
}

TEST_F(NetwarePlugin, TheQualifiedNameLosesWhiteSpaceAndFitsTheBuffer) {
    AuthRun run = Authenticate("ajones ", ldaptest::kStaffPassword, kSearchList);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.name, ".ajones.staff.acme");
    EXPECT_NE(run.log.find("AuthUser : Returning QualUN: \n.ajones.staff.acme\n"),
              std::string::npos);
    // Cut to size - 1 first, then the white space goes.
    run = Authenticate("ajones ", ldaptest::kStaffPassword, kSearchList, 9);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.name, ".ajones");
}

TEST_F(NetwarePlugin, WrongEmptyAndBentPasswordsAndNamesAreDeclined) {
    AuthRun run = Authenticate("jsmith", "not-it", kSearchList);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.log.find("AuthUser : NWDSLogin failed with code " +
                           Hex(ERR_FAILED_AUTHENTICATION) + "\n"),
              std::string::npos);
    EXPECT_EQ(run.log.find("Returning"), std::string::npos);

    run = Authenticate("jsmith", "", kSearchList);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.log.find("code " + Hex(ERR_FAILED_AUTHENTICATION)), std::string::npos);

    // A name with DN characters logs in as itself...
    run = Authenticate("o'brien, jr+x", ldaptest::kQuotePassword, kSearchList);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.name, ".o'brien,jr+x.staff.acme");
    // ... and cannot be made to name another entry.
    run = Authenticate("jsmith,ou\\=students", ldaptest::kStudentPassword, "ACME|staff.acme");
    EXPECT_EQ(run.result, 0);
    // No password reaches the log.
    EXPECT_EQ(Log().find(ldaptest::kStudentPassword), std::string::npos);
    EXPECT_EQ(Log().find(ldaptest::kQuotePassword), std::string::npos);
}

TEST_F(NetwarePlugin, AnExpiredPasswordIsLoggedOutAndTheSearchGoesOn) {
    AuthRun run =
        Authenticate("reset", ldaptest::kResetPassword, "ACME|students.acme,ACME|staff.acme");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log,
              "Start of partial context processing\n\n"
              "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
              "AuthUser : NWDSLogin failed with code FFFFFF21\n\n"
              "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
              "AuthUser : NWDSLogin failed with code " +
                  Hex(ERR_NO_SUCH_ENTRY) + "\n\n");
    run = Authenticate("reset.students.acme", ldaptest::kResetPassword, "");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log, "AuthUser : FULL CONTEXT: NWDSLogin failed with code FFFFFF21\n\n");
}

TEST_F(NetwarePlugin, AFailedSetContextEndsTheSearchAndFreesItsHandle) {
    AuthRun run =
        Authenticate("jsmith", ldaptest::kStudentPassword, "ACME|staff..acme,ACME|students.acme");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log,
              "Start of partial context processing\n\n"
              "AuthUser : Trying Context : staff..acme, Tree ACME\n\n"
              "AuthUser : NWDSSetContext(2) failed with code " +
                  Hex(ERR_INVALID_NAME) + "\n\n");
    // The handle count is checked in TearDown.
}

TEST_F(NetwarePlugin, AStoppedDirectoryIsUnreachable) {
    ldaptest::Slapd gone;
    ASSERT_TRUE(gone.Start());
    SetText(std::string(kZuvexKey) + "\\NDS", "GONE", gone.Uri());
    AuthRun run = Authenticate("jsmith", ldaptest::kStudentPassword, "GONE|students.acme");
    EXPECT_EQ(run.result, 1);
    gone.Stop();
    run = Authenticate("jsmith", ldaptest::kStudentPassword,
                       "GONE|students.acme,NOTREE|students.acme");
    EXPECT_EQ(run.result, 0);
    const std::string failed =
        "AuthUser : NWDSLogin failed with code " + Hex(ERR_TRANSPORT_FAILURE) + "\n\n";
    const std::size_t first = run.log.find(failed);
    ASSERT_NE(first, std::string::npos) << run.log;
    EXPECT_NE(run.log.find(failed, first + 1), std::string::npos) << run.log;
}

TEST_F(NetwarePlugin, TwoBoxesAtOnceEachWriteAWholeBlock) {
    const std::string student =
        "Start of partial context processing\n\n"
        "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
        "AuthUser : NWDSLogin failed with code " +
        Hex(ERR_NO_SUCH_ENTRY) +
        "\n\n"
        "AuthUser : Trying Context : students.acme, Tree ACME\n\n"
        "AuthUser : Returning QualUN: \n.jsmith.students.acme\n\n\n";
    const std::string staff =
        "Start of partial context processing\n\n"
        "AuthUser : Trying Context : staff.acme, Tree ACME\n\n"
        "AuthUser : Returning QualUN: \n.ajones.staff.acme\n\n\n";
    std::atomic<int> wrong{0};
    const std::size_t before = Log().size();
    constexpr int kRounds = 15;
    auto box = [&](const char* user, const char* password, const char* expected) {
        for (int i = 0; i < kRounds; ++i) {
            if (dornnw::InitAuth() != 1) ++wrong;
            char output[1024];
            if (dornnw::AuthUser(user, password, "", kSearchList, output, sizeof output) != 1 ||
                std::strcmp(output, expected) != 0) {
                ++wrong;
            }
            dornnw::EndAuth();
        }
    };
    std::thread first(box, "jsmith", ldaptest::kStudentPassword, ".jsmith.students.acme");
    std::thread second(box, "ajones", ldaptest::kStaffPassword, ".ajones.staff.acme");
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    // The log is nothing but whole blocks, kRounds of each.
    std::string log = Log().substr(before);
    int students = 0;
    int staffs = 0;
    while (!log.empty()) {
        if (log.rfind(student, 0) == 0) {
            ++students;
            log.erase(0, student.size());
        } else if (log.rfind(staff, 0) == 0) {
            ++staffs;
            log.erase(0, staff.size());
        } else {
            ADD_FAILURE() << "not a whole block:\n" << log.substr(0, 400);
            break;
        }
    }
    EXPECT_EQ(students, kRounds);
    EXPECT_EQ(staffs, kRounds);
}

// ---- The accounting tool ---------------------------------------------------------------

TEST_F(NetwarePlugin, BalanceAndDepositRunTheToolAfterTheSpawnLogin) {
    std::string log;
    const double balance = PrintLink(
        [] {
            return dornnw::DLPL_GetBalance(".jsmith.students.acme", 0, "dladmin",
                                           ldaptest::kSpawnPassword, kSpawnDomain);
        },
        &log);
    EXPECT_DOUBLE_EQ(balance, 12.5);
    EXPECT_EQ(log, ".jsmith.students.acme has a balance of 12.50\n\n");

    ::setenv("ACCOUNT_DOUBLE_BALANCE", "14.60", 1);
    const double credited = PrintLink(
        [] {
            return dornnw::DLPL_Deposit(".jsmith.students.acme", 2.1, 0, "dladmin",
                                        ldaptest::kSpawnPassword, kSpawnDomain);
        },
        &log);
    EXPECT_DOUBLE_EQ(credited, 14.6);
    EXPECT_EQ(log, "Deposited 2.100000. New balance is 14.60\n\n");
    // The user is one argument, the amount has six decimals.
    EXPECT_EQ(ToolRuns(),
              "viewbal\n.jsmith.students.acme\n--\ndeposit\n.jsmith.students.acme\n2.100000\n--\n");
}

TEST_F(NetwarePlugin, AFailedSpawnLoginIsLoggedAndTheToolStillRuns) {
    std::string log;
    // "\\." has no "|": no context is set, and the spawn name is read as a full name.
    double balance = PrintLink(
        [] {
            return dornnw::DLPL_GetBalance("jsmith", 0, "dladmin.admin.acme",
                                           ldaptest::kSpawnPassword, "\\\\.");
        },
        &log);
    EXPECT_DOUBLE_EQ(balance, 12.5);
    EXPECT_EQ(log.find("NWDSLogin failed"), std::string::npos) << log;

    balance = PrintLink(
        [] { return dornnw::DLPL_GetBalance("jsmith", 0, "dladmin", "wrong", kSpawnDomain); },
        &log);
    EXPECT_DOUBLE_EQ(balance, 12.5);
    EXPECT_EQ(log, "DLPL_GetBalance : NWDSLogin failed with code " +
                       Hex(ERR_FAILED_AUTHENTICATION) + "\n\njsmith has a balance of 12.50\n\n");

    // A context that cannot be set ends the operation before the tool.
    const double credited = PrintLink(
        [] {
            return dornnw::DLPL_Deposit("jsmith", 1.0, 0, "dladmin", ldaptest::kSpawnPassword,
                                        "ACME|admin..acme");
        },
        &log);
    EXPECT_EQ(credited, dornnw::kFailure);
    EXPECT_EQ(
        log, "DLPL_Deposit : NWDSSetContext(2) failed with code " + Hex(ERR_INVALID_NAME) + "\n\n");
    EXPECT_EQ(ToolRuns(), "viewbal\njsmith\n--\nviewbal\njsmith\n--\n");
}

TEST_F(NetwarePlugin, TheToolsOutputDecidesTheBalance) {
    auto balance = [] {
        return dornnw::DLPL_GetBalance("jsmith", 0, "dladmin", ldaptest::kSpawnPassword,
                                       kSpawnDomain);
    };
    ::setenv("ACCOUNT_DOUBLE_MODE", "text", 1);
    ::setenv("ACCOUNT_DOUBLE_TEXT", "Current balance is 0.00\n", 1);
    EXPECT_EQ(PrintLink(balance), 0.0);
    ::setenv("ACCOUNT_DOUBLE_TEXT", "Current balance is -1.20 and x has a balance of 3.75\n", 1);
    EXPECT_DOUBLE_EQ(PrintLink(balance), 3.75);
    ::setenv("ACCOUNT_DOUBLE_TEXT", "no such account\n", 1);
    EXPECT_EQ(PrintLink(balance), dornnw::kFailure);
    // A deposit needs its own marker.
    ::setenv("ACCOUNT_DOUBLE_TEXT", "jsmith has a balance of 5.00\n", 1);
    EXPECT_EQ(PrintLink([] {
                  return dornnw::DLPL_Deposit("jsmith", 1.0, 0, "dladmin", ldaptest::kSpawnPassword,
                                              kSpawnDomain);
              }),
              dornnw::kFailure);
}

TEST_F(NetwarePlugin, ABoxWithoutALocationRunsNothing) {
    EXPECT_EQ(PrintLink([] {
                  return dornnw::DLPL_GetBalance("jsmith", 1, "dladmin", ldaptest::kSpawnPassword,
                                                 kSpawnDomain);
              }),
              dornnw::kFailure);
    EXPECT_EQ(PrintLink([] {
                  return dornnw::DLPL_Deposit("jsmith", 2.0, 1, "dladmin", ldaptest::kSpawnPassword,
                                              kSpawnDomain);
              }),
              dornnw::kFailure);
    EXPECT_EQ(ToolRuns(), "");
}

// True once the process no longer runs (a zombie counts as gone); waits up to 2 s.
bool Gone(int pid) {
    for (int i = 0; i < 200; ++i) {
        const std::string stat = backendtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z") != std::string::npos) return true;
        ::usleep(10000);
    }
    return false;
}

TEST_F(NetwarePlugin, AToolThatHangsIsStoppedAndCountsAsFailure) {
    ::setenv("DORNEL_SPAWN_TIMEOUT_MS", "500", 1);
    ::setenv("ACCOUNT_DOUBLE_MODE", "hang", 1);
    ::setenv("ACCOUNT_DOUBLE_TEXT", "New balance is 9.00\n", 1);
    const std::string pidFile = root_ / "hang.pid";
    ::setenv("ACCOUNT_DOUBLE_PIDFILE", pidFile.c_str(), 1);
    std::string log;
    EXPECT_EQ(PrintLink(
                  [] {
                      return dornnw::DLPL_Deposit("jsmith", 1.0, 0, "dladmin",
                                                  ldaptest::kSpawnPassword, kSpawnDomain);
                  },
                  &log),
              dornnw::kFailure);
    EXPECT_NE(log.find("account.exe did not finish within 500 ms and was stopped"),
              std::string::npos)
        << log;
    // The tool and what it left running are gone (or dead and waiting for init).
    int tool = 0;
    int sleeper = 0;
    ASSERT_EQ(std::sscanf(backendtest::ReadFile(pidFile).c_str(), "%d %d", &tool, &sleeper), 2);
    EXPECT_TRUE(Gone(tool));
    EXPECT_TRUE(Gone(sleeper));
}

TEST(NetwarePluginLibrary, DornnwSoExportsTheSevenCalls) {
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    ASSERT_NE(bin, nullptr);
    void* library = dlopen((std::string(bin) + "/dornnw.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"InitAuth", "AuthUser", "EndAuth", "DLPL_InitPrintLink",
                             "DLPL_GetBalance", "DLPL_Deposit", "DLPL_EndPrintLink"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    // Nothing of the static libraries leaks out.
    EXPECT_EQ(dlsym(library, "NWDSLogin"), nullptr);
    dlclose(library);
}

}  // namespace
