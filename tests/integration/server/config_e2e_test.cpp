// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The server's configuration at rest and its box connections, end to end with the real
// programs: the registry files that "dornelman -i" leaves behind, the server closing an
// open registry at start, the type of NT event 100, and a box that vanishes without FIN or
// RST, in network namespaces the test builds (needs root and "ip netns"; skips otherwise).

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/integration/boot/netns.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace {

using namespace sessiontest;
using boottest::BootNetwork;
using boottest::NetnsScope;
using boottest::Shell;
using Clock = std::chrono::steady_clock;

int ModeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Whether the unprivileged account "nobody" can read the file (through every folder above).
bool NobodyCanRead(const std::string& path) {
    return Shell("setpriv --reuid=65534 --regid=65534 --clear-groups cat '" + path +
                 "' >/dev/null 2>&1") == 0;
}

bool HaveSetpriv() { return ::geteuid() == 0 && Shell("command -v setpriv >/dev/null") == 0; }

// The NT event log line of the event with the id whose text contains text, or "".
std::string EventLine(const ServerHarness& server, int id, const std::string& text) {
    for (const std::string& line : server.EventLog()) {
        if (line.find("| " + std::to_string(id) + " | ") != std::string::npos &&
            line.find(text) != std::string::npos) {
            return line;
        }
    }
    return "";
}

// --- Secrets at rest -------------------------------------------------------------------------

// Installed from an administrator's shell (umask 022), the registry with the spawn
// account's password is for root only: the root folder 0750, the database 0600, and the
// account "nobody" cannot read it even where the folder is opened up.
TEST(RegistryAtRest, InstallLeavesTheRegistryPrivate) {
    if (!HaveSetpriv()) GTEST_SKIP() << "needs root and setpriv";
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    ASSERT_NE(bin, nullptr);
    char pattern[] = "/tmp/dornel-atrest-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    const std::string root = dir + "/root";

    const int status = Shell("umask 022; DORNEL_ROOT='" + root + "' DORNEL_UNIT_DIR='" + dir +
                             "/units' DORNEL_PAM_DIR='" + dir + "/pam' timeout 30 '" + bin +
                             "/dornelman' -i >'" + dir + "/install.out' 2>&1");
    EXPECT_EQ(status, 0);
    // The spawn account's password as an administrator stores it.
    EXPECT_EQ(Shell("DORNEL_ROOT='" + root + "' timeout 30 '" + bin +
                    "/dornelreg' add 'HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox' /v SpawnPasswd "
                    "/d brinkvel >/dev/null 2>&1"),
              0);

    const std::string database = root + "/registry.db";
    EXPECT_EQ(ModeOf(root), 0750);
    EXPECT_EQ(ModeOf(database), 0600);
    EXPECT_FALSE(NobodyCanRead(database));
    // Even with the folder opened to everyone, the file itself stays closed.
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    EXPECT_FALSE(NobodyCanRead(database));
    EXPECT_TRUE(NobodyCanRead(dir + "/install.out")) << "the probe itself works";

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// A registry made before (or opened up by hand) is closed when the service starts, and the
// NT event log says what was changed.
TEST(RegistryAtRest, ServerStartClosesAnOpenRegistryAndSaysSo) {
    ServerHarness server;
    ASSERT_TRUE(server.Configure({}));
    const std::string database = server.root() + "/registry.db";
    ASSERT_EQ(::chmod(database.c_str(), 0644), 0);
    ASSERT_TRUE(server.Start());

    EXPECT_EQ(ModeOf(database), 0600);
    const std::string line = EventLine(server, 100, "registry files were open to other accounts");
    EXPECT_NE(line.find(database + " (mode 0644 -> 0600)"), std::string::npos) << line;
    EXPECT_NE(line.find("| information |"), std::string::npos) << line;
    for (const char* suffix : {"-wal", "-shm"}) {
        const int mode = ModeOf(database + suffix);  // there while the server has it open
        EXPECT_TRUE(mode == -1 || mode == 0600) << suffix << " " << mode;
    }

    // Once closed, a later start has nothing to say.
    ASSERT_TRUE(server.Stop());
    ASSERT_TRUE(server.Start());
    int notices = 0;
    for (const std::string& entry : server.EventLog()) {
        if (entry.find("open to other accounts") != std::string::npos) ++notices;
    }
    EXPECT_EQ(notices, 1);
}

// --- NT event 100 --------------------------------------------------------------------------

// Event 100 carries the warnings of the whole server and is an information entry. A box
// thread held up in a back-end (its ledger locked by someone else) past the stop's wait
// makes the stop write one.
TEST(NtEvents, BoxThreadThatDoesNotStopIsReportedAsInformation100) {
    ServerHarness server;
    BoxSetup setup;
    setup.address = BoxAddress(0);
    ASSERT_TRUE(server.Configure({setup}));
    ASSERT_TRUE(server.AddUser("alice", "pw", 10));
    ScriptedBox box(setup.address);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 20s, 1));

    // Signed in: the ledger has been opened by the back-end.
    ASSERT_EQ(box.Send(PKT_AUTH_REQUEST, "alice|pw"), 1);
    ASSERT_TRUE(box.WaitForType(PKT_AUTH_ACCEPT, 20s));

    // Someone else holds the ledger's write lock; the deposit waits for it.
    sqlite3* ledger = nullptr;
    ASSERT_EQ(sqlite3_open((server.root() + "/ledger.db").c_str(), &ledger), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(ledger, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(box.Send(PKT_DEPOSIT, "e"), 1);
    // Its coins are recorded just before the back-end is called, so the box thread is in
    // the deposit when the stop comes, however slow the machine.
    ASSERT_TRUE(server.WaitForRecord(0, kDepositUnits, "e", 20s));

    EXPECT_TRUE(server.Stop());
    sqlite3_exec(ledger, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(ledger);

    const std::string line = EventLine(server, 100, "WARNING: Box000 did not stop in time");
    ASSERT_NE(line, "") << "the box thread was not held up";
    EXPECT_NE(line.find("| information | 100 |"), std::string::npos) << line;
}

// --- A box that vanishes -------------------------------------------------------------------

// A box that loses power or its cable sends neither FIN nor RST. The server must notice it
// by itself well within a minute (keep-alives, and a limit on unacknowledged data) and go
// back to connecting, and connect again as soon as the box is back.
//
// The server runs in one namespace, the box in another, joined by a veth pair; the box's
// link goes down and its end of the connection is gone, as after a power cut.
TEST(VanishedBox, IsDeclaredDeadAndReconnectedWithinAMinute) {
    if (!boottest::CanBuildNamespaces()) GTEST_SKIP() << "needs root and ip netns";
    BootNetwork network;
    ASSERT_TRUE(network.Build());
    const std::string boxAddress = "10.77.0.2";
    ASSERT_EQ(
        Shell("ip -n " + network.box + " addr add " + boxAddress + "/24 dev " + network.boxDevice),
        0);

    ServerHarness server;
    BoxSetup setup;
    setup.address = boxAddress;
    ASSERT_TRUE(server.Configure({setup}));
    std::unique_ptr<ScriptedBox> box;
    {
        // The listener and the box's thread live in the box namespace.
        NetnsScope scope(network.boxFd);
        ASSERT_TRUE(scope.entered());
        box = std::make_unique<ScriptedBox>(boxAddress);
    }
    {
        // The service started from here runs in the server namespace.
        NetnsScope scope(network.serverFd);
        ASSERT_TRUE(scope.entered());
        ASSERT_TRUE(server.Start());
    }
    ASSERT_TRUE(box->WaitForType(PKT_SETTINGS, 30s, 1));
    ASSERT_EQ(server.CountRecords(0, kServerDisconnect), 0);

    // Power cut: the link goes dead and the box forgets its connection; nothing reaches
    // the server, not even the reset.
    ASSERT_EQ(Shell("ip -n " + network.box + " link set " + network.boxDevice + " down"), 0);
    const auto vanished = Clock::now();
    box->ResetConnection();

    const bool noticed = server.WaitForRecord(0, kServerDisconnect, std::nullopt, 60s);
    const auto noticedAfter =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - vanished);
    EXPECT_TRUE(noticed) << "the server still holds the dead connection after 60 s";
    std::printf("vanished box noticed after %lld s\n",
                static_cast<long long>(noticedAfter.count()));

    // The box is back: the server connects again and sends it its state.
    ASSERT_EQ(Shell("ip -n " + network.box + " link set " + network.boxDevice + " up"), 0);
    const auto back = Clock::now();
    if (noticed) {
        EXPECT_TRUE(box->WaitForType(PKT_SETTINGS, 20s, 2)) << "no new connection";
        const auto reconnectedAfter =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - back);
        std::printf("reconnected %lld s after the box came back\n",
                    static_cast<long long>(reconnectedAfter.count()));
        EXPECT_GE(server.CountRecords(0, kServerConnect), 2);
    }
    box.reset();
}

}  // namespace
