// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service's life end to end, with dornelman under the service layer and scripted boxes on
// loopback: who a deposit is credited to across connections and control codes, a box that
// gets its address only later, a box thread stuck in a back-end at the stop, and stops sent at
// every moment of the start.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class LifecycleTest : public ::testing::Test {
  protected:
    void MakeBoxes(int count) {
        for (int i = 0; i < count; ++i) {
            boxes_.push_back(std::make_unique<ScriptedBox>(BoxAddress(i)));
            BoxSetup setup;
            setup.address = boxes_.back()->address();
            setups_.push_back(setup);
        }
    }
    bool Online(int i, int connection = 1) {
        return boxes_[i]->WaitForType(PKT_SETTINGS, 15s, connection);
    }
    // The answer (its packet) to a request of type from box i, or type 0 when none came.
    BoxPacket Ask(int i, int type, const std::string& payload, int answerA, int answerB) {
        return boxes_[i]->Request(type, payload, {answerA, answerB});
    }
    BoxPacket Authenticate(int i, const std::string& payload) {
        return Ask(i, PKT_AUTH_REQUEST, payload, PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE);
    }
    BoxPacket Deposit(int i, const std::string& letters) {
        return Ask(i, PKT_DEPOSIT, letters, PKT_DEPOSIT_RESULT, PKT_DEPOSIT_RESULT);
    }

    ServerHarness server_;
    std::vector<std::unique_ptr<ScriptedBox>> boxes_;
    std::vector<BoxSetup> setups_;
};

// ---------------------------------------------------------------------------------------
// Who a deposit is credited to.

TEST_F(LifecycleTest, ADepositIsCreditedOnlyToWhoLoggedInOnThatConnection) {
    MakeBoxes(1);
    ASSERT_TRUE(server_.AddUser("alice", "pw", 10));
    ASSERT_TRUE(server_.Configure(setups_));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    int refused = 0;

    // Alice logs in, then the link drops before she pays. On the next connection nobody
    // has logged in: the coins are counted, but nobody is credited.
    ASSERT_EQ(Authenticate(0, "alice|pw").payload, "10.00");
    boxes_[0]->CloseConnection();
    ASSERT_TRUE(server_.WaitForRecord(0, kServerDisconnect, "Connection to client has died", 15s));
    ASSERT_TRUE(Online(0, 2));
    BoxPacket answer = Deposit(0, "e");
    EXPECT_EQ(answer.type, PKT_DEPOSIT_RESULT);
    EXPECT_NE(answer.payload, "11.00");
    EXPECT_TRUE(server_.WaitForRecord(0, kDepositError, {}, 5s, ++refused));
    EXPECT_EQ(server_.LedgerBalance("alice"), 10.0);

    // A reconfigure starts the box over: the login before it no longer counts.
    ASSERT_EQ(Authenticate(0, "alice|pw").payload, "10.00");
    ASSERT_EQ(server_.Control(131, 0).status, 0);
    ASSERT_TRUE(Online(0, 2) && boxes_[0]->WaitForType(PKT_SETTINGS, 10s, 2, 2));
    EXPECT_NE(Deposit(0, "f").payload, "12.00");
    EXPECT_TRUE(server_.WaitForRecord(0, kDepositError, {}, 5s, ++refused));
    EXPECT_EQ(server_.LedgerBalance("alice"), 10.0);

    // So does a reset, which also ends the connection.
    ASSERT_EQ(Authenticate(0, "alice|pw").payload, "10.00");
    ASSERT_EQ(server_.Control(128, 0).status, 0);
    ASSERT_TRUE(Online(0, 3));
    EXPECT_NE(Deposit(0, "g").payload, "15.00");
    EXPECT_TRUE(server_.WaitForRecord(0, kDepositError, {}, 5s, ++refused));
    EXPECT_EQ(server_.LedgerBalance("alice"), 10.0);

    // The units were logged every time; a login on the same connection still pays in.
    EXPECT_EQ(server_.CountRecords(0, kDepositUnits), refused);
    ASSERT_EQ(Authenticate(0, "alice|pw").payload, "10.00");
    EXPECT_EQ(Deposit(0, "e").payload, "11.00");
    EXPECT_EQ(server_.LedgerBalance("alice"), 11.0);
    // No record about alice's money names her after she was gone.
    for (const LogRecord& r : server_.Log()) {
        if (r.type == kDepositError) {
            EXPECT_EQ(r.user, "N/A") << r.data;
        }
    }
}

// ---------------------------------------------------------------------------------------
// A box configured only after the start.

TEST_F(LifecycleTest, AReconfigureStartsABoxThatHadNoAddressOrNoKey) {
    MakeBoxes(3);
    // Box000 is complete, Box001 has a key without an address, Box002 has no key at all.
    ASSERT_TRUE(server_.Configure({setups_[0]}, 3));
    ASSERT_TRUE(
        server_.Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box001]\n"
                       "\"AuthType\"=dword:00000002\n\"PrintLinkType\"=dword:00000001\n"));
    ASSERT_TRUE(server_.AddUser("bob", "pw", 4));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    EXPECT_TRUE(server_.WaitForEvent(
        100, "WARNING: Box001 has no configuration or no IPAddress; not started", 5s));
    EXPECT_TRUE(server_.WaitForEvent(
        100, "WARNING: Box002 has no configuration or no IPAddress; not started", 5s));
    // Without a thread, the other codes are refused.
    EXPECT_NE(server_.Control(130, 1).status, 0);
    EXPECT_EQ(boxes_[1]->Connections(), 0);

    // The address is set and the box told to re-read: it is served from then on.
    ASSERT_TRUE(
        server_.Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box001]\n"
                       "\"IPAddress\"=\"" +
                       boxes_[1]->address() + "\"\n\"RotationDelay\"=dword:00000009\n"));
    EXPECT_EQ(server_.Control(131, 1).status, 0);
    ASSERT_TRUE(Online(1));
    EXPECT_EQ(boxes_[1]->PacketsOf(1).front().type, PKT_ONLINE);
    EXPECT_EQ(boxes_[1]->PacketsOf(1).back().payload, "9|30|");
    EXPECT_EQ(Authenticate(1, "bob|pw").payload, "4.00");
    EXPECT_TRUE(server_.WaitForRecord(1, kServerStart, {}, 5s));
    EXPECT_TRUE(server_.WaitForRecord(1, kReconfigureRequest, {}, 5s));
    int settings = 0;
    for (const BoxPacket& p : boxes_[1]->PacketsOf(1)) settings += p.type == PKT_SETTINGS;
    EXPECT_EQ(settings, 1);

    // The same for the box whose key was missing, with box number 2 in its records.
    ASSERT_TRUE(
        server_.Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box002]\n"
                       "\"IPAddress\"=\"" +
                       boxes_[2]->address() +
                       "\"\n\"AuthType\"=dword:00000002\n"
                       "\"PrintLinkType\"=dword:00000001\n"));
    EXPECT_EQ(server_.Control(131, 2).status, 0);
    ASSERT_TRUE(Online(2));
    EXPECT_TRUE(server_.WaitForRecord(2, kServerConnect, {}, 5s));
    EXPECT_EQ(server_.Control(129, 2).status, 0);
    EXPECT_TRUE(boxes_[2]->WaitForType(PKT_OFFLINE, 5s));

    // The stop ends the late threads as well: each box is taken off line and let go.
    ASSERT_TRUE(server_.Stop());
    EXPECT_TRUE(boxes_[1]->WaitForType(PKT_OFFLINE, 2s));
    EXPECT_TRUE(boxes_[1]->WaitForServerClose(5s));
    EXPECT_TRUE(boxes_[2]->WaitForServerClose(5s));
    EXPECT_TRUE(server_.WaitForRecord(1, kServerDisconnect, "Service stopped", 2s));
    EXPECT_TRUE(server_.WaitForRecord(2, kServerDisconnect, "Service stopped", 2s));
    EXPECT_EQ(boxes_[0]->Connections() + boxes_[1]->Connections() + boxes_[2]->Connections(), 3);
}

// ---------------------------------------------------------------------------------------
// A box thread that does not stop in time.

TEST_F(LifecycleTest, AStopLeavesAStuckBoxThreadAloneAndTheProcessEnds) {
    MakeBoxes(2);
    ASSERT_TRUE(server_.AddUser("carol", "pw", 3));
    ASSERT_TRUE(server_.Configure(setups_));
    // The authentication plug-in reads its user file; a FIFO with no writer holds the box
    // thread in that read, where no shutdown of its connection reaches it.
    const std::string fifo = server_.root() + "/users.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(
        server_.Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\CustAuth]\n"
                       "\"UserFile\"=\"" +
                       fifo + "\"\n"));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));
    const int pid = server_.ServerPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(boxes_[1]->Send(PKT_AUTH_REQUEST, "carol|pw"), 1);
    ASSERT_TRUE(server_.WaitForRecord(1, kDebug, "Password = ********", 5s));

    // The stop gives up on box 1 after its bounded wait; box 0 still goes off line. The
    // moment it gives up, the stuck thread is let go: it goes on while the process ends, and
    // must find its record and the event log still there (or the process gone). Any touch
    // of a freed object is a sanitizer report in the server's output, which the harness
    // reads when it goes.
    bool stopped = false;
    std::thread stopper([&] { stopped = server_.Stop(); });
    const std::string warning = " | 100 | WARNING: Box001 did not stop in time";
    bool gaveUp = false;
    for (auto until = std::chrono::steady_clock::now() + 20s;
         !gaveUp && std::chrono::steady_clock::now() < until;) {
        for (const std::string& line : server_.EventLog()) gaveUp |= line.ends_with(warning);
        if (!gaveUp) std::this_thread::sleep_for(500us);
    }
    // The process may end between the open and the write, taking the FIFO's only reader
    // with it: that write fails with EPIPE, and must not end the test with SIGPIPE.
    int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        const std::string line = "carol:x\n";
        void (*previous)(int) = ::signal(SIGPIPE, SIG_IGN);
        const ssize_t written = ::write(writer, line.data(), line.size());
        const int error = errno;
        ::signal(SIGPIPE, previous);
        EXPECT_TRUE(written > 0 || error == EPIPE) << std::strerror(error);
        ::close(writer);
    }
    stopper.join();
    EXPECT_TRUE(gaveUp);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(boxes_[0]->WaitForType(PKT_OFFLINE, 1s));

    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(::kill(pid, 0), 0) << "dornelman is still running";
    ToolResult query = server_.Tool("dornelsc", {"query", "dornelman"});
    EXPECT_NE(query.output.find("STOPPED"), std::string::npos) << query.output;
}

// ---------------------------------------------------------------------------------------
// Stops at every moment of the start.

// Starts the server as the service layer starts it, its output appended to the file.
pid_t StartServer(const ServerHarness& server, const std::string& output) {
    const std::string program = server.binDir() + "/dornelman";
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (devNull >= 0) ::dup2(devNull, 0);
        ::setenv("DORNEL_SERVICE", "dornelman", 1);
        ::setenv("DORNEL_ROOT", server.root().c_str(), 1);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execv(program.c_str(), argv);
        ::_exit(127);
    }
    return pid;
}

// Sends SIGTERM and waits for the end. The exit status as waitpid gives it, or -1 when it
// did not end within the time (it is then killed).
int StopServer(pid_t pid, std::chrono::seconds limit) {
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(1ms);
    }
}

// Microseconds from the start of a server until the predicate holds (polled every 200 us),
// or 0 when it did not within ten seconds. The server is stopped again.
long TimeUntil(const ServerHarness& server, const std::string& output,
               const std::function<bool()>& predicate) {
    auto began = std::chrono::steady_clock::now();
    pid_t pid = StartServer(server, output);
    long elapsed = 0;
    while (std::chrono::steady_clock::now() - began < 10s) {
        if (predicate()) {
            elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - began)
                          .count();
            break;
        }
        std::this_thread::sleep_for(200us);
    }
    EXPECT_NE(StopServer(pid, 20s), -1);
    return elapsed;
}

TEST_F(LifecycleTest, AStopAtAnyMomentOfTheStartEndsTheServiceInOrder) {
    // Two boxes that answer and one that does not: every kind of box thread is running or
    // starting when the stop comes.
    MakeBoxes(3);
    boxes_[2]->StopListening();
    ASSERT_TRUE(server_.Configure(setups_));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(server_.Stop());

    // How long, on this machine and build, until the service says it has started (NT event
    // 105, the end of the start pending state's first part) and until a box is served.
    const std::string output = server_.root() + "/runs.out";
    auto count105 = [&] {
        int seen = 0;
        for (const std::string& line : server_.EventLog()) seen += line.ends_with(" | 105");
        return seen;
    };
    const int before = count105();
    const long untilStarted = TimeUntil(server_, output, [&] { return count105() > before; });
    const int connections = boxes_[0]->Connections();
    const long untilServed =
        TimeUntil(server_, output, [&] { return boxes_[0]->Connections() > connections; });
    ASSERT_GT(untilStarted, 0);
    ASSERT_GT(untilServed, 0);

    // At most STARTSTOP_RUNS runs (default 120), and no new one after STARTSTOP_SECONDS
    // (default 45) once 30 have run: the sweep's order spreads any first part over the span.
    const char* runsText = std::getenv("STARTSTOP_RUNS");
    const char* secondsText = std::getenv("STARTSTOP_SECONDS");
    const int runs = runsText ? std::atoi(runsText) : 120;
    const auto budget = std::chrono::seconds(secondsText ? std::atoi(secondsText) : 45);
    const auto loopStart = std::chrono::steady_clock::now();
    int cleanExits = 0;
    int done = 0;
    for (int run = 0; run < runs; ++run, ++done) {
        if (run >= 30 && std::chrono::steady_clock::now() - loopStart > budget) break;
        // Two thirds of the runs sweep finely over the start up to the running state, the
        // rest over the whole start up to a little past the first box's session.
        const bool early = run % 3 != 2;
        const long span = (early ? untilStarted : untilServed) * 3 / 2;
        const long delay = span * ((run * 37) % runs) / runs;
        pid_t pid = StartServer(server_, output);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        const int status = StopServer(pid, 20s);
        ASSERT_NE(status, -1) << "run " << run << " (stop after " << delay << " us) did not end:\n"
                              << ReadAll(output);
        // A stop signal before the program could block it ends it by that signal; every
        // other end is a normal exit with code 0.
        const bool killedEarly = WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ASSERT_TRUE(killedEarly || exited)
            << "run " << run << " (stop after " << delay << " us) ended with status " << status
            << (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : "")
            << ":\n"
            << ReadAll(output);
        cleanExits += exited;
    }
    std::printf(
        "%d runs, %d stopped in order, start pending after %ld us, a box served after "
        "%ld us\n",
        done, cleanExits, untilStarted, untilServed);
    const std::string text = ReadAll(output);
    EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
    // Runs got far enough to take the signal as a stop request.
    EXPECT_GT(cleanExits, done / 4);
}

}  // namespace
}  // namespace sessiontest
