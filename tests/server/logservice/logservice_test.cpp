// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The log operations against a real log file: the manager routines called directly (a
// handle is only a key to them), then through the client stubs over loopback, where the
// handle is the viewer's connection.

#include <atomic>
#include <thread>

#include "fixture.h"

namespace {

handle_t Client(std::uintptr_t n) { return reinterpret_cast<handle_t>(n); }

// The search through the manager routine; count stays -1 unless it succeeded.
LONG Search(handle_t client, const std::string& text, error_status_t* status = nullptr) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    bytes.push_back(0);
    LogSearchRequest request{0, static_cast<LONG>(bytes.size()), bytes.data()};
    LONG count = -1;
    error_status_t result = DoLogSearch(client, &request, &count);
    if (status) *status = result;
    return count;
}

// Reads the client's set from its first position to the end.
std::vector<std::string> ReadAll(handle_t client) {
    std::vector<std::string> lines;
    DWORD position = 0;
    if (GetFirstEventEntry(client, &position) != 0) return lines;
    LogBuffer entry{};
    while (GetNextEventEntry(client, &position, &entry) == 0) {
        lines.emplace_back(reinterpret_cast<char*>(entry.data));
    }
    MIDL_user_free(entry.data);
    return lines;
}

std::string CashUpText(LONG box, error_status_t* status = nullptr) {
    LogBuffer result{};
    error_status_t answer = CashUp(Client(1), box, &result);
    if (status) *status = answer;
    std::string text = result.data ? reinterpret_cast<char*>(result.data) : "";
    EXPECT_EQ(result.length, result.data ? static_cast<LONG>(text.size() + 1) : 0);
    MIDL_user_free(result.data);
    return text;
}

}  // namespace

TEST_F(LogServiceTest, PingAndUnPingAlwaysSucceed) {
    EXPECT_EQ(Ping(Client(1)), 0u);
    EXPECT_EQ(UnPing(Client(1)), 0u);
}

TEST_F(LogServiceTest, SearchIgnoresLetterCaseAndRunsOverTheWholeLine) {
    Record(1, CEventLog::DoorStateChange, "Open");
    Record(1, CEventLog::DoorStateChange, "Closed");
    Record(3, CEventLog::AuthRequestNT, "jsmith", "jsmith");
    Record(4, CEventLog::ServerDisconnect, "Client reset", "bob");
    Record(5, CEventLog::DepositUnits, "CLOSED-ab");

    EXPECT_EQ(Search(Client(1), "closed"), 2);
    std::vector<std::string> lines = ReadAll(Client(1));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("|1|16|N/A|Closed|\n"), std::string::npos);  // as stored
    EXPECT_EQ(Search(Client(1), "n/a"), 3);                    // the records without a user
    EXPECT_EQ(Search(Client(1), "|3|"), 2);                    // box 3, and event type 3
    EXPECT_EQ(Search(Client(1), "Authentication Request"), 0); // names are not in the file
    EXPECT_EQ(Search(Client(1), "JSMITH"), 1);
}

TEST_F(LogServiceTest, EmptyTextMatchesEveryRecordButNeverATornLastLine) {
    Record(0, CEventLog::ServerStart, nullptr);
    Record(0, CEventLog::ServerConnect, nullptr);
    AppendRaw("Tuesday, 06/03/2001 14:05:09|0|2|N/A|half written");
    EXPECT_EQ(Search(Client(1), ""), 2);
    EXPECT_EQ(Search(Client(1), "half"), 0);
    std::vector<std::string> lines = ReadAll(Client(1));
    EXPECT_EQ(lines.size(), 0u);  // "half" left an empty set
}

TEST_F(LogServiceTest, ReadingPastTheEndDeletesTheSetAndKeepsSayingFive) {
    Record(2, CEventLog::ServerStart, "one");
    Record(2, CEventLog::ServerStart, "two");
    ASSERT_EQ(Search(Client(7), "server"), 0);
    ASSERT_EQ(Search(Client(7), ""), 2);
    DWORD position = 0;
    ASSERT_EQ(GetFirstEventEntry(Client(7), &position), 0u);
    EXPECT_NE(position, 0u);
    LogBuffer entry{};
    ASSERT_EQ(GetNextEventEntry(Client(7), &position, &entry), 0u);
    ASSERT_EQ(GetNextEventEntry(Client(7), &position, &entry), 0u);
    EXPECT_NE(std::string(reinterpret_cast<char*>(entry.data)).find("|two|\n"), std::string::npos);
    EXPECT_EQ(position, 0u);
    LONG lengthBefore = entry.length;
    EXPECT_EQ(GetNextEventEntry(Client(7), &position, &entry), 5u);  // the end; set deleted
    EXPECT_EQ(entry.length, lengthBefore);                           // left as it was
    EXPECT_EQ(GetNextEventEntry(Client(7), &position, &entry), 5u);
    EXPECT_EQ(GetFirstEventEntry(Client(7), &position), 5u);
    MIDL_user_free(entry.data);
}

TEST_F(LogServiceTest, ASecondSearchMidwayStartsFreshAndTheOldPositionIsStale) {
    for (int i = 0; i < 5; ++i) Record(1, CEventLog::DepositOK, "1.00");
    Record(1, CEventLog::DepositError, "printlink not available.");
    ASSERT_EQ(Search(Client(3), "deposit"), 0);
    ASSERT_EQ(Search(Client(3), ""), 6);
    DWORD position = 0;
    LogBuffer entry{};
    ASSERT_EQ(GetFirstEventEntry(Client(3), &position), 0u);
    ASSERT_EQ(GetNextEventEntry(Client(3), &position, &entry), 0u);
    DWORD stale = position;
    ASSERT_EQ(Search(Client(3), "printlink"), 1);
    EXPECT_EQ(GetNextEventEntry(Client(3), &stale, &entry), 5u);
    EXPECT_EQ(stale, position);  // untouched
    std::vector<std::string> lines = ReadAll(Client(3));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("printlink"), std::string::npos);
    MIDL_user_free(entry.data);
}

TEST_F(LogServiceTest, ForgedPositionsAreRefusedWithoutTouchingTheEntry) {
    for (int i = 0; i < 3; ++i) Record(1, CEventLog::ServerStart, "x");
    ASSERT_EQ(Search(Client(1), ""), 3);
    ASSERT_EQ(Search(Client(2), ""), 3);
    DWORD mine = 0, theirs = 0;
    ASSERT_EQ(GetFirstEventEntry(Client(1), &mine), 0u);
    ASSERT_EQ(GetFirstEventEntry(Client(2), &theirs), 0u);
    unsigned char untouched[] = "keep";
    const DWORD forged[] = {0xffffffffu, 1u, mine + 3, mine - 1, theirs,
                            (mine & 0xff000000u) | 0x00ffffffu, 0x80000000u};
    for (DWORD position : forged) {
        LogBuffer entry{5, untouched};
        DWORD asked = position;
        EXPECT_EQ(GetNextEventEntry(Client(1), &asked, &entry), 5u) << std::hex << position;
        EXPECT_EQ(entry.data, untouched);
        EXPECT_EQ(asked, position);
    }
    // The set is still whole afterwards.
    EXPECT_EQ(ReadAll(Client(1)).size(), 3u);
}

TEST_F(LogServiceTest, CashUpCountsSinceTheLastDoorChangeOfThatBox) {
    Record(2, CEventLog::DoorStateChange, "Open");
    Record(2, CEventLog::DepositUnits, "aab");
    Record(2, CEventLog::DepositUnits, "e");
    Record(2, CEventLog::DoorStateChange, "Closed");
    Record(3, CEventLog::DoorStateChange, "Open");  // another box's door changes nothing
    Record(2, CEventLog::DepositUnits, "b");
    Record(4, CEventLog::DepositUnits, "ccx");
    Record(4, CEventLog::DepositOK, "0.40");
    EXPECT_EQ(CashUpText(2), "0,1,0,0,0,0,0,0,0");
    EXPECT_EQ(CashUpText(4), "0,0,2,0,0,0,0,0,0");
    EXPECT_EQ(CashUpText(9), "0,0,0,0,0,0,0,0,0");
    Record(-1, CEventLog::DepositUnits, "ihgfedcbai");
    EXPECT_EQ(CashUpText(-1), "1,1,1,1,1,1,1,1,2");
}

TEST_F(LogServiceTest, ClearEmptiesTheLogButNotTheSetsClientsHold) {
    Record(1, CEventLog::ServerStart, "before");
    ASSERT_EQ(Search(Client(1), ""), 1);
    EXPECT_EQ(ClearLog(Client(2)), 0u);
    EXPECT_EQ(Search(Client(2), ""), 0);
    EXPECT_EQ(ReadAll(Client(1)).size(), 1u);
    Record(1, CEventLog::ServerStart, "after");
    EXPECT_EQ(Search(Client(2), "after"), 1);
}

// --------------------------------------------------------------------------------------
// Without a log file

TEST_F(LogServiceTest, AFailedReopenAfterClearIsFiveUntilTheLogCanOpenAgain) {
    Record(1, CEventLog::ServerStart, "before");
    SetLogDirectory("C:\\gone\\log");  // the clear reopens there and fails
    EXPECT_EQ(ClearLog(Client(1)), 5u);
    EXPECT_EQ(log_->logFile, nullptr);
    error_status_t status = 0;
    EXPECT_EQ(Search(Client(1), "", &status), -1);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(CashUpText(1, &status), "");
    EXPECT_EQ(status, 5u);
    SetLogDirectory("C:\\dornel\\log");
    Record(1, CEventLog::ServerStart, "again");  // the append reopens the file
    EXPECT_EQ(Search(Client(1), "", &status), 2);  // the failed clear emptied nothing
    EXPECT_EQ(status, 0u);
}

TEST_F(LogServiceTest, MalformedRequestsAreDeclined) {
    LONG count = 7;
    LogSearchRequest nullText{0, 4, nullptr};
    EXPECT_EQ(DoLogSearch(Client(1), &nullText, &count), 5u);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(GetFirstEventEntry(Client(99), &reinterpret_cast<DWORD&>(count)), 5u);
}

// --------------------------------------------------------------------------------------
// Over RPC: the handle is the viewer's connection

TEST_F(LogServiceTest, EachViewerConnectionKeepsItsOwnSet) {
    Record(1, CEventLog::DoorStateChange, "Open");
    Record(1, CEventLog::DepositUnits, "abc");
    RPC_BINDING_HANDLE first = Viewer();
    RPC_BINDING_HANDLE second = Viewer();
    EXPECT_EQ(DornelLogClient::Ping(first), 0u);
    LogSearchRequest request{0, 5, reinterpret_cast<unsigned char*>(const_cast<char*>("open"))};
    LONG count = 0;
    ASSERT_EQ(DornelLogClient::DoLogSearch(first, &request, &count), 0u);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(SearchAndRead(second, "abc").size(), 1u);
    std::vector<std::string> lines;
    DWORD position = 0;
    ASSERT_EQ(DornelLogClient::GetFirstEventEntry(first, &position), 0u);
    LogBuffer entry{};
    ASSERT_EQ(DornelLogClient::GetNextEventEntry(first, &position, &entry), 0u);
    EXPECT_NE(std::string(reinterpret_cast<char*>(entry.data)).find("|Open|"), std::string::npos);
    MIDL_user_free(entry.data);
    LogBuffer cash{};
    ASSERT_EQ(DornelLogClient::CashUp(second, 1, &cash), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(cash.data), "1,1,1,0,0,0,0,0,0");
    EXPECT_EQ(cash.length, 18);
    MIDL_user_free(cash.data);
    EXPECT_EQ(DornelLogClient::UnPing(first), 0u);
    RpcBindingFree(&first);
    // A new connection starts without a set.
    RPC_BINDING_HANDLE third = Viewer();
    EXPECT_EQ(DornelLogClient::GetFirstEventEntry(third, &position), 5u);
    EXPECT_EQ(DornelLogClient::ClearLog(third), 0u);
    EXPECT_EQ(SearchAndRead(second, "").size(), 0u);
    RpcBindingFree(&third);
    RpcBindingFree(&second);
}

TEST_F(LogServiceTest, ViewersSearchWhileTenThreadsAppend) {
    constexpr int kWriters = 10, kRecordsEach = 200;
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            for (int i = 0; i < kRecordsEach; ++i) Record(w, CEventLog::DepositUnits, "abc", "user");
        });
    }
    std::atomic<int> badLines{0}, reads{0};
    std::vector<std::thread> viewers;
    for (int v = 0; v < 3; ++v) {
        viewers.emplace_back([&] {
            RPC_BINDING_HANDLE binding = Viewer();
            for (int round = 0; round < 50 && (writing || round < 2); ++round) {
                for (const std::string& line : SearchAndRead(binding, "USER|abc")) {
                    if (line.back() != '\n' || std::count(line.begin(), line.end(), '|') != 5) {
                        ++badLines;
                    }
                }
                ++reads;
            }
            RpcBindingFree(&binding);
        });
    }
    for (auto& writer : writers) writer.join();
    writing = false;
    for (auto& viewer : viewers) viewer.join();
    EXPECT_EQ(badLines.load(), 0);
    EXPECT_GE(reads.load(), 6);
    RPC_BINDING_HANDLE binding = Viewer();
    EXPECT_EQ(SearchAndRead(binding, "|17|user|").size(), static_cast<std::size_t>(kWriters * kRecordsEach));
    RpcBindingFree(&binding);
}

TEST_F(LogServiceTest, AFailedPublicationIsEvent107AndTheLogRunsOn) {
    log_.reset();  // the interface SetUp offered goes with its log
    int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    socklen_t length = sizeof where;
    getsockname(busy, reinterpret_cast<sockaddr*>(&where), &length);
    setenv("DORNEL_EPM_PORT", std::to_string(ntohs(where.sin_port)).c_str(), 1);

    log_ = std::make_unique<CEventLog>();
    log_->Init();
    close(busy);
    EXPECT_EQ(log_->rpcBindings, nullptr);
    std::FILE* events = std::fopen(platform::service::EventLogPath().c_str(), "rb");
    ASSERT_NE(events, nullptr);
    std::string text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, events)) > 0) text.append(chunk, got);
    std::fclose(events);
    EXPECT_NE(text.find("| information | 107 | Event Log RPC could not initialise"), std::string::npos);
    Record(1, CEventLog::ServerStart, "still logging");
    EXPECT_EQ(Search(Client(1), "still"), 1);
}
