// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Box sessions end to end: dornelman started through the service layer in a root of its
// own, scripted boxes on loopback addresses, the example plug-ins as back-ends. Each case
// reads what a box received and what the server logged.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/src/Protocol.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

// The packet types of a box's received packets, in order.
std::vector<int> Types(const std::vector<BoxPacket>& packets) {
    std::vector<int> types;
    for (const BoxPacket& p : packets) types.push_back(p.type);
    return types;
}

std::string Page(const std::vector<std::string>& lines) {
    std::string text;
    for (int i = 0; i < 10; ++i) {
        const std::string& line = i < static_cast<int>(lines.size()) ? lines[i] : "";
        text += (line.empty() ? " " : line) + "\n";
    }
    return text;
}

class SessionsTest : public ::testing::Test {
protected:
    // Boxes listening on their own addresses, configured as boxes 0..count-1.
    void MakeBoxes(int count, int firstAddress = 0) {
        for (int i = 0; i < count; ++i) {
            boxes_.push_back(std::make_unique<ScriptedBox>(BoxAddress(firstAddress + i)));
            BoxSetup setup;
            setup.address = boxes_.back()->address();
            setups_.push_back(setup);
        }
    }
    bool StartServer() {
        if (!server_.Configure(setups_)) return false;
        return server_.Start();
    }
    // Waits until box i has its start-up packets (the last is PKT_SETTINGS) on the
    // connection given.
    bool Online(int i, int connection = 1) {
        return boxes_[i]->WaitForType(PKT_SETTINGS, 15s, connection);
    }
    // Sends an authentication request from box i and returns the answer's packet.
    BoxPacket Authenticate(int i, const std::string& payload) {
        return boxes_[i]->Request(PKT_AUTH_REQUEST, payload, {PKT_AUTH_ACCEPT, PKT_AUTH_DECLINE});
    }
    BoxPacket Deposit(int i, const std::string& letters) {
        return boxes_[i]->Request(PKT_DEPOSIT, letters, {PKT_DEPOSIT_RESULT});
    }

    ServerHarness server_;
    std::vector<std::unique_ptr<ScriptedBox>> boxes_;
    std::vector<BoxSetup> setups_;
};

// ---------------------------------------------------------------------------------------
// Start-up.

TEST_F(SessionsTest, ABoxGetsItsOnlineCommandPagesAndTimingsWhenItConnects) {
    MakeBoxes(2);
    setups_[0].messages[{0, 0}] = "Welcome to the";
    setups_[0].messages[{0, 1}] = "print top-up";
    setups_[0].messages[{2, 9}] = "only the last line";
    setups_[0].rotationDelay = 20;
    setups_[0].uiTimeout = 45;
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    std::vector<BoxPacket> first = boxes_[0]->PacketsOf(1);
    ASSERT_EQ(Types(first), (std::vector<int>{PKT_ONLINE, PKT_MSG_BEGIN, PKT_MSG_CLEAR, PKT_MSG_TEXT,
                                              PKT_MSG_TEXT, PKT_MSG_END, PKT_SETTINGS}));
    EXPECT_EQ(first[3].payload, Page({"Welcome to the", "print top-up"}));
    EXPECT_EQ(first[4].payload, Page({"", "", "", "", "", "", "", "", "", "only the last line"}));
    EXPECT_EQ(first[6].payload, "20|45|");

    // No pages and no timings configured: the defaults.
    std::vector<BoxPacket> second = boxes_[1]->PacketsOf(1);
    EXPECT_EQ(Types(second), (std::vector<int>{PKT_ONLINE, PKT_MSG_BEGIN, PKT_MSG_CLEAR, PKT_MSG_END,
                                               PKT_SETTINGS}));
    EXPECT_EQ(second.back().payload, "15|30|");

    EXPECT_TRUE(server_.WaitForRecord(0, kServerStart, {}, 5s));
    EXPECT_TRUE(server_.WaitForRecord(1, kServerConnect, {}, 5s));
}

TEST_F(SessionsTest, ABoxThatIsOffAtStartIsReachedOnceItComesUp) {
    MakeBoxes(1);
    boxes_[0]->StopListening();
    ASSERT_TRUE(StartServer());
    // The server keeps trying about once a second, and says once that the box is away
    // instead of one debug record per attempt.
    ASSERT_TRUE(server_.WaitForLog(
        [](const std::vector<LogRecord>& records) {
            for (const LogRecord& r : records) {
                if (r.type == kDebug && r.data.rfind("Box unreachable at ", 0) == 0) return true;
            }
            return false;
        },
        10s));
    std::this_thread::sleep_for(2500ms);
    int attempts = 0;
    for (const LogRecord& r : server_.Log()) {
        if (r.type == kDebug && r.data.rfind("Attempting to connect (to ", 0) == 0) ++attempts;
    }
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(server_.CountRecords(0, kServerConnect), 0);

    ASSERT_TRUE(boxes_[0]->Listen());
    ASSERT_TRUE(Online(0));
    EXPECT_EQ(boxes_[0]->PacketsOf(1).front().type, PKT_ONLINE);
    EXPECT_EQ(boxes_[0]->PacketsOf(1).back().payload, "15|30|");
}

TEST_F(SessionsTest, NoConfiguredBoxesWritesTheWarningAndConnectsNowhere) {
    MakeBoxes(1);
    ASSERT_TRUE(server_.Configure(setups_, 0));
    // A control request left from an earlier run is thrown away at start.
    ASSERT_TRUE(server_.Import(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control]\n"
        "\"Control\"=dword:00000000\n"));
    ASSERT_TRUE(server_.ControlKeyExists());
    ASSERT_TRUE(server_.Start());
    EXPECT_FALSE(server_.ControlKeyExists());
    EXPECT_TRUE(server_.WaitForEvent(100, "WARNING: No servers configured", 5s));
    EXPECT_FALSE(boxes_[0]->WaitForConnections(1, 2500ms));
    EXPECT_EQ(server_.CountRecords(0, kServerStart), 0);
}

TEST_F(SessionsTest, ABoxWithoutAKeyGetsNoThread) {
    // NumServers says two, but only Box001 exists: box 0 is refused with a warning.
    MakeBoxes(2);
    ASSERT_TRUE(server_.Import(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\n\"NumServers\"=dword:00000002\n"
        "\"EnableDebugLog\"=dword:00000001\n\"LogDirectory\"=\"C:\\\\dornel\\\\log\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box001]\n\"IPAddress\"=\"" +
        boxes_[1]->address() + "\"\n"));
    ASSERT_TRUE(server_.Start());
    EXPECT_TRUE(Online(1));
    EXPECT_TRUE(server_.WaitForEvent(
        100, "WARNING: Box000 has no configuration or no IPAddress; not started", 5s));
    EXPECT_EQ(boxes_[0]->Connections(), 0);
}

// ---------------------------------------------------------------------------------------
// Requests.

TEST_F(SessionsTest, BoxsimRunsAWholeUserSession) {
    const std::string address = BoxAddress(0);
    ASSERT_TRUE(server_.AddUser("frank", "pw", 5));
    const std::string script = server_.root() + "/box.script";
    std::ofstream(script) << "expect 16\nauth frank|pw\nexpect 12\ndeposit aaf\nexpect 15\n"
                             "door Open\ndoor Closed\nwait 300\n";
    BackgroundTool box(server_.binDir() + "/boxsim",
                       {"--address", address, "--script", script, "--once", "--timeout", "60"},
                       server_.root() + "/box.out");
    BoxSetup setup;
    setup.address = address;
    setup.messages[{0, 0}] = "Hello";
    ASSERT_TRUE(server_.Configure({setup}));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(server_.WaitForRecord(0, kDoorState, "Closed", 20s));
    ASSERT_TRUE(server_.Stop());
    EXPECT_EQ(box.Wait(10s), 0) << box.Output();

    const std::string out = box.Output();
    const char* expected[] = {"recv 3\n", "recv 9\n", "recv 6\n",
                              "recv 7 Hello\\n \\n \\n \\n \\n \\n \\n \\n \\n \\n\n",
                              "recv 8\n", "recv 16 15|30|\n", "recv 12 5.00\n",
                              "recv 15 7.10\n", "recv 4\n"};
    std::size_t at = 0;
    for (const char* line : expected) {
        std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "no " << line << " in order in:\n" << out;
        at = found;
    }
    EXPECT_TRUE(server_.WaitForRecord(0, kAuthOK, "5.00", 1s));
    EXPECT_TRUE(server_.WaitForRecord(0, kDepositUnits, "aaf", 1s));
    EXPECT_TRUE(server_.WaitForRecord(0, kDoorState, "Open", 1s));
    EXPECT_EQ(server_.LedgerBalance("frank"), 7.1);
}

TEST_F(SessionsTest, AnAcceptedUserSeesTheBalanceAndDepositsCoins) {
    MakeBoxes(1);
    ASSERT_TRUE(server_.AddUser("alice", "s3cret pw", 12.5));
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));

    BoxPacket answer = Authenticate(0, "alice|s3cret pw");
    EXPECT_EQ(answer.type, PKT_AUTH_ACCEPT);
    EXPECT_EQ(answer.payload, "12.50");
    EXPECT_TRUE(server_.WaitForRecord(0, kAuthOK, "12.50", 5s));

    // a + a + f = 0.05 + 0.05 + 2 = 2.10; the letters are logged as received.
    BoxPacket result = Deposit(0, "aaf");
    EXPECT_EQ(result.payload, "14.60");
    EXPECT_TRUE(server_.WaitForRecord(0, kDepositUnits, "aaf", 5s));
    EXPECT_EQ(server_.LedgerBalance("alice"), 14.6);

    // Everything else adds nothing: capitals, digits, letters past i.
    ASSERT_EQ(Authenticate(0, "alice|s3cret pw").payload, "14.60");
    EXPECT_EQ(Deposit(0, "A1jza").payload, "14.65");

    // Many coins add up without drift: 20 x 0.10 + 3 x 20.
    ASSERT_EQ(Authenticate(0, "alice|s3cret pw").payload, "14.65");
    EXPECT_EQ(Deposit(0, std::string(20, 'b') + "iii").payload, "76.65");

    // The password is never written, not even to the debug records.
    for (const LogRecord& r : server_.Log()) {
        EXPECT_EQ(r.data.find("s3cret"), std::string::npos) << r.data;
    }
    EXPECT_TRUE(server_.WaitForRecord(0, kDebug, "Password = ********", 1s));
}

TEST_F(SessionsTest, EveryDeclineNamesItsReason) {
    MakeBoxes(2);
    setups_[1].authType = 7;
    ASSERT_TRUE(server_.AddUser("alice", "pw", 1));
    ASSERT_TRUE(server_.AddUser("debtor", "pw", -3));
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    struct Case {
        const char* payload;
        int type;
        const char* reasonOrBalance;
    } cases[] = {
        {"alice", PKT_AUTH_DECLINE, "Invalid packet format"},
        {"alice|", PKT_AUTH_DECLINE, "Invalid packet format"},
        {"", PKT_AUTH_DECLINE, "Invalid packet format"},
        {"alice|wrong", PKT_AUTH_DECLINE, "Invalid username/password"},
        {"nobody|pw", PKT_AUTH_DECLINE, "Invalid username/password"},
        // Empty fields are skipped: the first non-empty field is the user.
        {"|alice||pw|extra", PKT_AUTH_ACCEPT, "1.00"},
        // A negative balance is a real balance.
        {"debtor|pw", PKT_AUTH_ACCEPT, "-3.00"},
    };
    int declines = 0;
    for (const Case& c : cases) {
        BoxPacket answer = Authenticate(0, c.payload);
        EXPECT_EQ(answer.type, c.type) << c.payload;
        if (c.type == PKT_AUTH_DECLINE) {
            EXPECT_EQ(answer.payload, "");
            EXPECT_TRUE(server_.WaitForRecord(0, kAuthDeclined, c.reasonOrBalance, 5s, 1))
                << c.payload;
            ++declines;
        } else {
            EXPECT_EQ(answer.payload, c.reasonOrBalance) << c.payload;
        }
    }
    EXPECT_EQ(server_.CountRecords(0, kAuthDeclined), declines);

    // A user the plug-in accepts but the ledger does not know: the balance query fails.
    ASSERT_TRUE(server_.AddUser("ghost", "pw", 0));
    ASSERT_EQ(server_.Tool("dornelreg", {"add", "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\PrintLink",
                                        "/v", "Ledger", "/d", server_.root() + "/missing/ledger.db",
                                        "/f"})
                  .status,
              0);
    EXPECT_EQ(Authenticate(0, "ghost|pw").type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(server_.WaitForRecord(0, kAuthDeclined, "Invalid response from balance enquiry", 5s));

    // An authentication type no back-end knows.
    EXPECT_EQ(Authenticate(1, "alice|pw").type, PKT_AUTH_DECLINE);
    EXPECT_TRUE(server_.WaitForRecord(1, kAuthDeclined, "Invalid authentication type identifier", 5s));
}

TEST_F(SessionsTest, DoorStatesKeepAlivesAndUnknownPacketsLeaveTheSessionUp) {
    MakeBoxes(1);
    ASSERT_TRUE(server_.AddUser("alice", "pw", 3));
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));

    EXPECT_EQ(boxes_[0]->Send(PKT_DOOR_STATE, "Open"), 1);
    EXPECT_TRUE(server_.WaitForRecord(0, kDoorState, "Open", 5s));
    EXPECT_EQ(boxes_[0]->Send(PKT_DOOR_STATE, "open"), 1);
    EXPECT_TRUE(server_.WaitForRecord(0, kDoorState, "Closed", 5s));
    EXPECT_EQ(boxes_[0]->Send(PKT_DOOR_STATE, ""), 1);
    EXPECT_TRUE(server_.WaitForRecord(0, kDoorState, "Closed", 5s, 2));

    EXPECT_EQ(boxes_[0]->Send(PKT_KEEPALIVE, ""), 1);
    EXPECT_TRUE(server_.WaitForRecord(0, kDebug, "Received a KEEPALIVE", 5s));

    // Types a box never sends are acknowledged, noted in the NT event log and ignored.
    EXPECT_EQ(boxes_[0]->Send(PKT_AUTH_ACCEPT, "1.00"), 1);
    EXPECT_EQ(boxes_[0]->Send(PKT_SETTINGS, "1|2|"), 1);
    EXPECT_TRUE(server_.WaitForEvent(108, "Unknown packet 12", 5s));
    EXPECT_TRUE(server_.WaitForEvent(108, "Unknown packet 16", 5s));

    // A frame with a bad checksum is dropped unanswered; the stream stays in step.
    std::string garbage("\x00\x00\x00\x0d", 4);
    garbage += std::string(16, '\x5a');
    ASSERT_TRUE(boxes_[0]->SendRaw(garbage));
    EXPECT_TRUE(server_.WaitForRecord(0, kDebug, "Error packet received", 5s));
    EXPECT_EQ(Authenticate(0, "alice|pw").payload, "3.00");
    EXPECT_EQ(server_.CountRecords(0, kServerDisconnect), 0);
    EXPECT_EQ(boxes_[0]->Connections(), 1);
}

// ---------------------------------------------------------------------------------------
// Control codes.

TEST_F(SessionsTest, ControlCodesReachTheAddressedBox) {
    MakeBoxes(2);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    // 129 off line, 130 on line, to box 1 only.
    EXPECT_EQ(server_.Control(129, 1).status, 0);
    EXPECT_TRUE(boxes_[1]->WaitForType(PKT_OFFLINE, 5s));
    EXPECT_TRUE(server_.WaitForRecord(1, kOfflineRequest, {}, 5s));
    EXPECT_FALSE(server_.ControlKeyExists());
    EXPECT_EQ(server_.Control(130, 1).status, 0);
    EXPECT_TRUE(boxes_[1]->WaitForType(PKT_ONLINE, 5s, 1, 2));
    EXPECT_TRUE(server_.WaitForRecord(1, kOnlineRequest, {}, 5s));
    EXPECT_TRUE(boxes_[0]->PacketsOf(1).size() == 5u);

    // 131: the registry is read again and the box gets the new pages and timings.
    ASSERT_TRUE(server_.Import(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000]\n"
        "\"Message03-00\"=\"Now with colour\"\n\"RotationDelay\"=dword:00000007\n"));
    boxes_[0]->ClearPackets();
    EXPECT_EQ(server_.Control(131, 0).status, 0);
    ASSERT_TRUE(boxes_[0]->WaitForType(PKT_SETTINGS, 5s));
    std::vector<BoxPacket> resent = boxes_[0]->Packets();
    EXPECT_EQ(Types(resent), (std::vector<int>{PKT_ONLINE, PKT_MSG_BEGIN, PKT_MSG_CLEAR,
                                               PKT_MSG_TEXT, PKT_MSG_END, PKT_SETTINGS}));
    EXPECT_EQ(resent[3].payload, Page({"Now with colour"}));
    EXPECT_EQ(resent.back().payload, "7|30|");
    EXPECT_TRUE(server_.WaitForRecord(0, kReconfigureRequest, {}, 5s));

    // 128: the box is told to reset, the connection closed and made again.
    EXPECT_EQ(server_.Control(128, 0).status, 0);
    EXPECT_TRUE(boxes_[0]->WaitForType(PKT_RESET, 5s, 1));
    EXPECT_TRUE(boxes_[0]->WaitForConnections(2, 10s));
    EXPECT_TRUE(Online(0, 2));
    EXPECT_EQ(boxes_[0]->PacketsOf(2).front().type, PKT_ONLINE);
    EXPECT_TRUE(server_.WaitForRecord(0, kRebootRequest, {}, 5s));
    EXPECT_TRUE(server_.WaitForRecord(0, kServerDisconnect, "Client reset", 5s));
}

TEST_F(SessionsTest, RefusedControlRequestsStillConsumeTheKey) {
    MakeBoxes(2);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));
    const std::size_t before0 = boxes_[0]->Packets().size();
    const std::size_t before1 = boxes_[1]->Packets().size();

    // No Control key at all.
    EXPECT_FALSE(server_.ControlKeyExists());
    server_.Control(129, {});
    EXPECT_TRUE(server_.WaitForRecord(-1, kDebug, "Cannot find control key", 5s));

    // A code past 131.
    server_.Control(132, 0);
    EXPECT_TRUE(server_.WaitForRecord(-1, kDebug, "Control box number is 0", 5s));
    EXPECT_FALSE(server_.ControlKeyExists());

    // A box number one past the last box.
    server_.Control(129, 2);
    EXPECT_TRUE(server_.WaitForRecord(-1, kDebug, "Control box number is 2", 5s));
    EXPECT_FALSE(server_.ControlKeyExists());

    // The framework notes each refusal; no box heard anything.
    EXPECT_TRUE(server_.WaitForLog([](const std::vector<LogRecord>&) { return true; }, 1s));
    int refusals = 0;
    for (const std::string& line : server_.EventLog()) {
        if (line.find(" | 106") != std::string::npos) ++refusals;
    }
    EXPECT_EQ(refusals, 3);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(boxes_[0]->Packets().size(), before0);
    EXPECT_EQ(boxes_[1]->Packets().size(), before1);
    EXPECT_EQ(server_.CountRecords(0, kOfflineRequest) + server_.CountRecords(1, kOfflineRequest), 0);
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST_F(SessionsTest, ABoxThatGoesAwayIsFoundAndReconnected) {
    MakeBoxes(2);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    // An orderly close.
    boxes_[0]->CloseConnection();
    EXPECT_TRUE(server_.WaitForRecord(0, kServerDisconnect, "Connection to client has died", 10s));
    EXPECT_TRUE(Online(0, 2));

    // A reset while idle.
    boxes_[1]->ResetConnection();
    EXPECT_TRUE(server_.WaitForRecord(1, kServerDisconnect, {}, 12s));
    EXPECT_TRUE(Online(1, 2));
    // The new connection is served.
    ASSERT_TRUE(server_.AddUser("carol", "pw", 2));
    EXPECT_EQ(Authenticate(1, "carol|pw").payload, "2.00");
}

TEST_F(SessionsTest, AnIdleBoxGetsKeepAlivesAndAGoneOneIsFound) {
    MakeBoxes(1);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    // The first idle period arms the keep-alive, the second sends it (ten seconds each).
    ASSERT_TRUE(boxes_[0]->WaitForType(PKT_KEEPALIVE, 30s));
    EXPECT_TRUE(server_.WaitForRecord(0, kDebug, "Sending KEEPALIVE to box", 1s));
    EXPECT_EQ(server_.CountRecords(0, kServerDisconnect), 0);
    EXPECT_EQ(boxes_[0]->Connections(), 1);
}

TEST_F(SessionsTest, ABoxThatNeverAcknowledgesKeepsItsSession) {
    MakeBoxes(1);
    boxes_[0]->SetAckMode(AckMode::Nak);
    ASSERT_TRUE(server_.AddUser("dave", "pw", 5));
    ASSERT_TRUE(StartServer());
    // Every start-up packet is sent five times, then given up.
    ASSERT_TRUE(boxes_[0]->WaitForType(PKT_SETTINGS, 20s, 1, 5));
    std::vector<BoxPacket> seen = boxes_[0]->PacketsOf(1);
    int onlines = 0;
    for (const BoxPacket& p : seen) onlines += p.type == PKT_ONLINE;
    EXPECT_EQ(onlines, 5);

    // The box comes to its senses: the same connection serves it.
    boxes_[0]->SetAckMode(AckMode::Ack);
    EXPECT_EQ(Authenticate(0, "dave|pw").payload, "5.00");
    EXPECT_EQ(boxes_[0]->Connections(), 1);
    EXPECT_EQ(server_.CountRecords(0, kServerDisconnect), 0);
}

TEST_F(SessionsTest, TenBoxesAreServedWhileOneIsStuck) {
    MakeBoxes(10);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(server_.AddUser("user" + std::to_string(i), "pw", i));
    }
    ASSERT_TRUE(StartServer());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(Online(i)) << i;

    // Box 9 asks, then stops answering: its server thread hangs waiting on it.
    boxes_[9]->SetAckMode(AckMode::Silent);
    EXPECT_EQ(boxes_[9]->Send(PKT_AUTH_REQUEST, "user9|pw"), 1);
    ASSERT_TRUE(boxes_[9]->WaitForType(PKT_AUTH_ACCEPT, 10s));

    std::vector<std::thread> users;
    std::vector<std::string> results(9);
    for (int i = 0; i < 9; ++i) {
        users.emplace_back([&, i] {
            std::string name = "user" + std::to_string(i);
            if (Authenticate(i, name + "|pw").type != PKT_AUTH_ACCEPT) return;
            results[i] = Deposit(i, "e").payload;
        });
    }
    for (std::thread& t : users) t.join();
    for (int i = 0; i < 9; ++i) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%d.00", i + 1);
        EXPECT_EQ(results[i], expected) << "box " << i;
    }
}

TEST_F(SessionsTest, GarbageFromOneBoxDoesNotDisturbTheOthers) {
    MakeBoxes(2);
    ASSERT_TRUE(server_.AddUser("erin", "pw", 10));
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    std::mt19937 random(20261208);
    std::atomic<bool> done{false};
    std::thread noise([&] {
        auto until = std::chrono::steady_clock::now() + 4s;
        while (std::chrono::steady_clock::now() < until) {
            std::string bytes;
            switch (random() % 3) {
                case 0:  // random bytes
                    for (int k = random() % 64; k > 0; --k) bytes += static_cast<char>(random());
                    break;
                case 1: {  // a plausible length, then too few bytes
                    unsigned length = 5 + random() % 40;
                    bytes = std::string("\0\0\0", 3) + static_cast<char>(length);
                    for (unsigned k = random() % length; k > 0; --k) bytes += static_cast<char>(random());
                    break;
                }
                default:  // an impossible length
                    bytes = std::string("\x7f\xff\xff\xff", 4);
                    break;
            }
            if (!boxes_[0]->SendRaw(bytes, 2s)) {
                // The server gave up on the connection: wait for the next one.
                boxes_[0]->WaitForConnections(boxes_[0]->Connections() + 1, 3s);
            }
            std::this_thread::sleep_for(20ms);
        }
        done = true;
    });
    int served = 0;
    while (!done) {
        if (Authenticate(1, "erin|pw").payload == "10.00") ++served;
    }
    noise.join();
    EXPECT_GT(served, 0);
    EXPECT_EQ(server_.CountRecords(1, kServerDisconnect), 0);
    EXPECT_EQ(Authenticate(1, "erin|pw").payload, "10.00");
}

// ---------------------------------------------------------------------------------------
// Stop.

TEST_F(SessionsTest, StoppingTakesEveryConnectedBoxOffLine) {
    MakeBoxes(3);
    ASSERT_TRUE(StartServer());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));
    ASSERT_TRUE(Online(2));
    // Box 2 no longer answers; the stop still ends in bounded time.
    boxes_[2]->SetAckMode(AckMode::Silent);

    ASSERT_TRUE(server_.Stop());
    // Packet 4 arrived deciphered and with a good CRC, so under each box's own key.
    EXPECT_TRUE(boxes_[0]->WaitForType(PKT_OFFLINE, 1s));
    EXPECT_TRUE(boxes_[1]->WaitForType(PKT_OFFLINE, 1s));
    EXPECT_TRUE(boxes_[2]->WaitForType(PKT_OFFLINE, 1s));
    EXPECT_TRUE(boxes_[0]->WaitForServerClose(5s));
    EXPECT_TRUE(server_.WaitForRecord(0, kServerDisconnect, "Service stopped", 1s));
    ToolResult query = server_.Tool("dornelsc", {"query", "dornelman"});
    EXPECT_NE(query.output.find("STOPPED"), std::string::npos) << query.output;
}

}  // namespace
}  // namespace sessiontest
