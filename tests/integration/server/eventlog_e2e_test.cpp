// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The event log end to end: dornelman under the service layer, scripted boxes on loopback,
// and the log viewer's cash-up over RPC (the endpoint mapper on a free loopback port).
// A box's own text (deposit letters, user name) never becomes a record of its own, and a
// log folder that cannot be used is reported while the boxes are still served.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "interface/dornellog.h"
#include "platform/rpc/rpc.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

// The viewer side's allocator pair, as the log viewer has it.
void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }
void MIDL_user_free(void* block) { std::free(block); }

namespace sessiontest {
namespace {

constexpr const char* kZuvexKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\n";
// A record some box forges: box 1's door opened, then 100.00 of coins.
constexpr const char* kForgedDoor = "Tuesday, 08/12/2026 04:51:40|1|16|x|Open|";
constexpr const char* kForgedCoins = "Tuesday, 08/12/2026 04:51:41|1|17|x|iiiii|";

// The letters a to i of a text, counted as the cash-up counts them.
std::string Counts(const std::string& letters) {
    int counts[9] = {};
    for (char c : letters) {
        if (c >= 'a' && c <= 'i') ++counts[c - 'a'];
    }
    std::string text;
    for (int i = 0; i < 9; ++i) text += (i ? "," : "") + std::to_string(counts[i]);
    return text;
}

class EventLogEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        // The server's log interface on loopback; this process's client asks the endpoint
        // mapper on the port the harness gave the server.
        setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        setenv("DORNEL_EPM_PORT", std::to_string(server_.epmPort()).c_str(), 1);
        for (int i = 0; i < 2; ++i) {
            boxes_.push_back(std::make_unique<ScriptedBox>(BoxAddress(i)));
            BoxSetup setup;
            setup.address = boxes_.back()->address();
            setups_.push_back(setup);
        }
        ASSERT_TRUE(server_.AddUser("alice", "pw", 10.0));
        ASSERT_TRUE(server_.Configure(setups_));
    }

    bool Online(int i) { return boxes_[i]->WaitForType(PKT_SETTINGS, 15s); }

    // Sends a request and waits for the answer of the type; its payload ("" if none came).
    std::string Ask(int box, int type, const std::string& payload, int answerType) {
        return boxes_[box]->Request(type, payload, {answerType}).payload;
    }

    // The viewer's cash-up of a box over RPC; "" when the call failed.
    static std::string CashUp(int box) {
        RPC_CSTR text = nullptr;
        EXPECT_EQ(RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", "127.0.0.1", nullptr,
                                           nullptr, &text),
                  RPC_S_OK);
        RPC_BINDING_HANDLE binding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingA(text, &binding), RPC_S_OK);
        RpcStringFreeA(&text);
        LogBuffer result{};
        std::string counts;
        if (DornelLogClient::CashUp(binding, box, &result) == 0 && result.data) {
            counts = reinterpret_cast<char*>(result.data);
        }
        MIDL_user_free(result.data);
        RpcBindingFree(&binding);
        return counts;
    }

    // The viewer's search over RPC: its status, and the count in *count.
    static error_status_t Search(const std::string& text, LONG* count) {
        RPC_CSTR bindingText = nullptr;
        EXPECT_EQ(RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", "127.0.0.1", nullptr,
                                           nullptr, &bindingText),
                  RPC_S_OK);
        RPC_BINDING_HANDLE binding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingA(bindingText, &binding), RPC_S_OK);
        RpcStringFreeA(&bindingText);
        std::vector<unsigned char> bytes(text.begin(), text.end());
        bytes.push_back(0);
        LogSearchRequest request{0, static_cast<LONG>(bytes.size()), bytes.data()};
        const error_status_t status = DornelLogClient::DoLogSearch(binding, &request, count);
        RpcBindingFree(&binding);
        return status;
    }

    std::string LogText() const {
        std::ifstream in(server_.root() + "/c/dornel/log/dornel.log", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    ServerHarness server_;
    std::vector<std::unique_ptr<ScriptedBox>> boxes_;
    std::vector<BoxSetup> setups_;
};

TEST_F(EventLogEndToEnd, ABoxCannotWriteRecordsForAnotherBoxAndTheCashUpCountsRealCoins) {
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    ASSERT_TRUE(Online(1));

    // Box 1 takes one real coin of 1.00.
    ASSERT_EQ(Ask(1, PKT_AUTH_REQUEST, "alice|pw", PKT_AUTH_ACCEPT), "10.00");
    ASSERT_EQ(Ask(1, PKT_DEPOSIT, "e", PKT_DEPOSIT_RESULT), "11.00");

    // Box 0 hides records of box 1 in its deposit letters, and line breaks in a user name.
    const std::string payload =
        std::string("a|\n") + kForgedDoor + "\n" + kForgedCoins + "\r\n" + kForgedCoins;
    ASSERT_EQ(Ask(0, PKT_AUTH_REQUEST, "alice|pw", PKT_AUTH_ACCEPT), "11.00");
    const std::string credited = Ask(0, PKT_DEPOSIT, payload, PKT_DEPOSIT_RESULT);
    ASSERT_FALSE(credited.empty());
    Ask(0, PKT_AUTH_REQUEST, std::string("eve\n") + kForgedCoins + "\r|pw", PKT_AUTH_DECLINE);
    Ask(0, PKT_AUTH_REQUEST, "mallory\n\x01\x7f|pw", PKT_AUTH_DECLINE);
    ASSERT_TRUE(server_.WaitForRecord(0, kAuthDeclined, {}, 5s, 2));

    // Every line of the log is one whole record of a real box (or of none).
    const std::regex record(
        R"((Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday), \d\d/\d\d/\d{4} )"
        R"(\d\d:\d\d:\d\d\|(-1|0|1)\|\d+\|[^|\n]*\|[^|\n]*\|)");
    std::istringstream lines(LogText());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, record)) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    }
    EXPECT_GT(count, 10);

    // The cash-up of box 1 is its one coin; box 0's is what it was credited for.
    EXPECT_EQ(CashUp(1), "0,0,0,0,1,0,0,0,0");
    EXPECT_EQ(CashUp(0), Counts(payload));
}

TEST_F(EventLogEndToEnd, AnUnusableLogFolderIsReportedAndBoxesAreStillServed) {
    ASSERT_TRUE(
        server_.Import(std::string(kZuvexKey) + "\"LogDirectory\"=\"C:\\\\nowhere\\\\log\"\n"));
    ASSERT_TRUE(server_.Start());
    // The NT event log (and syslog) says which file and why.
    const std::string wanted =
        " | 100 | WARNING: Event log file could not be opened: " + server_.root() +
        "/c/nowhere/log/dornel.log (error 2: ";
    bool reported = false;
    for (const std::string& line : server_.EventLog()) {
        reported = reported || line.find(wanted) != std::string::npos;
    }
    EXPECT_TRUE(reported) << wanted;
    ASSERT_TRUE(Online(0));
    EXPECT_EQ(Ask(0, PKT_AUTH_REQUEST, "alice|pw", PKT_AUTH_ACCEPT), "10.00");
    EXPECT_EQ(Ask(0, PKT_DEPOSIT, "ee", PKT_DEPOSIT_RESULT), "12.00");
    EXPECT_EQ(server_.LedgerBalance("alice"), 12.0);
}

TEST_F(EventLogEndToEnd, TheResultMemoryCapComesFromTheRegistry) {
    ASSERT_TRUE(server_.Import(std::string(kZuvexKey) + "\"LogResultMemory\"=dword:00000001\n"));
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(Online(0));
    // Two megabytes of records behind the server's back: more than a 1 MB cap can hold.
    std::string block;
    while (block.size() < (2u << 20)) block += "Monday, 07/12/2026 09:00:00|0|17|bulk|a|\n";
    std::ofstream(server_.root() + "/c/dornel/log/dornel.log", std::ios::app) << block;

    LONG count = -1;
    EXPECT_EQ(Search("", &count), 5u);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(Search("Server Connect|2|", &count), 0u);  // nothing matches: nothing held
    EXPECT_EQ(Search("|0|2|", &count), 0u);
    EXPECT_GE(count, 1);
}

}  // namespace
}  // namespace sessiontest
