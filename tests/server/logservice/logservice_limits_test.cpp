// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The log service at its limits: the memory all result sets may hold together, a result
// set of more than 16,777,215 lines, and a log of some hundred megabytes cashed up by two
// viewers over loopback while ten boxes deposit.

#include <atomic>
#include <map>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "fixture.h"
#include "server/logservice.h"

namespace {

// Sanitizer builds run many times slower: the big cases shrink (or skip) there, and the
// ordinary build runs them at full size.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

handle_t Client(std::uintptr_t n) { return reinterpret_cast<handle_t>(n); }

LONG Search(handle_t client, const std::string& text, error_status_t* status) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    bytes.push_back(0);
    LogSearchRequest request{0, static_cast<LONG>(bytes.size()), bytes.data()};
    LONG count = -1;
    *status = DoLogSearch(client, &request, &count);
    return count;
}

// Reads the client's set to its end; the number of lines.
std::size_t ReadToEnd(handle_t client) {
    std::size_t lines = 0;
    DWORD position = 0;
    if (GetFirstEventEntry(client, &position) != 0) return 0;
    LogBuffer entry{};
    while (GetNextEventEntry(client, &position, &entry) == 0) ++lines;
    MIDL_user_free(entry.data);
    return lines;
}

// Appends the block to the log file times over, fast.
void AppendBlock(const std::string& block, int times) {
    const int fd = ::open(CEventLog::LogFilePath().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < times; ++i) {
        ASSERT_EQ(::write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    }
    ::close(fd);
}

class LogLimitsTest : public LogServiceTest {
  protected:
    void TearDown() override {
        LogResultMemoryMB = kDefaultLogResultMemoryMB;
        LogServiceTest::TearDown();
    }
};

}  // namespace

// All clients' result sets share one budget: a search that would pass it is status 5 and
// keeps nothing; once another client lets its set go the search succeeds.
TEST_F(LogLimitsTest, ResultSetsOfAllClientsShareOneMemoryCap) {
    LogResultMemoryMB = 8;
    std::string block;
    for (int i = 0; i < 100; ++i) {
        block += "Tuesday, 08/12/2026 04:51:40|3|17|user" + std::to_string(i) + "|" +
                 std::string(40, 'a') + "|\n";
    }
    AppendBlock(block, 500);  // about 4.5 MB, 50,000 records
    Record(3, CEventLog::DoorStateChange, "Open");

    error_status_t status = 0;
    EXPECT_EQ(Search(Client(1), "", &status), 50001);
    EXPECT_EQ(status, 0u);
    const std::size_t held = LogResultMemoryInUse();
    EXPECT_GT(held, 4u << 20);
    EXPECT_LT(held, 8u << 20);

    // A second client cannot hold the log twice over, and is told so.
    EXPECT_EQ(Search(Client(2), "a", &status), -1);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(LogResultMemoryInUse(), held);
    DWORD position = 0;
    EXPECT_EQ(GetFirstEventEntry(Client(2), &position), 5u);
    // A narrow search still fits.
    EXPECT_EQ(Search(Client(2), "open", &status), 1);
    EXPECT_EQ(status, 0u);

    // The first client reads to its end: its memory is free for the second.
    EXPECT_EQ(ReadToEnd(Client(1)), 50001u);
    EXPECT_EQ(Search(Client(2), "USER", &status), 50000);
    EXPECT_EQ(status, 0u);
    // A client's new search gives back its old set first, so it can always search again.
    EXPECT_EQ(Search(Client(2), "", &status), 50001);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ReadToEnd(Client(2)), 50001u);
    EXPECT_EQ(LogResultMemoryInUse(), 0u);
}

// The count of a search is the number of matches even past 16,777,215, and every match can
// be read back through the positions handed out.
TEST_F(LogLimitsTest, MoreThanSixteenMillionMatchesAreCountedAndReadable) {
    if (kSanitized) GTEST_SKIP() << "17 million lines take minutes under a sanitizer";
    constexpr LONG kLines = 17'000'000;
    AppendBlock(std::string(1'000'000, '\n'), 17);
    AppendBlock("last|\n", 1);

    error_status_t status = 5;
    EXPECT_EQ(Search(Client(1), "", &status), kLines + 1);
    ASSERT_EQ(status, 0u);
    DWORD position = 0;
    ASSERT_EQ(GetFirstEventEntry(Client(1), &position), 0u);
    LogBuffer entry{};
    // A forged position past the set is refused.
    DWORD forged = position + kLines + 5;
    EXPECT_EQ(GetNextEventEntry(Client(1), &forged, &entry), 5u);
    LONG read = 0;
    std::string last;
    while (GetNextEventEntry(Client(1), &position, &entry) == 0) {
        ++read;
        if (position == 0) last = reinterpret_cast<char*>(entry.data);
        if (read > kLines + 1) break;
    }
    MIDL_user_free(entry.data);
    EXPECT_EQ(read, kLines + 1);
    EXPECT_EQ(last, "last|\n");
}

// Two viewers cash up a log of a few hundred megabytes again and again while ten boxes
// deposit: every record of every box is written, in each box's order, and the cash-up
// afterwards counts the big log and the new deposits alike.
TEST_F(LogLimitsTest, CashUpsOfABigLogNeverCostADeposit) {
    // One megabyte of deposit records of boxes 0 to 9 ("a" each), written 300 times.
    std::string block;
    int perBlock[10] = {};
    for (int i = 0; block.size() < (1u << 20); ++i) {
        block += "Tuesday, 08/12/2026 04:51:40|" + std::to_string(i % 10) + "|17|bulk|a|\n";
        ++perBlock[i % 10];
    }
    const int kBlocks = kSanitized ? 40 : 300;
    AppendBlock(block, kBlocks);

    constexpr int kBoxes = 10, kDeposits = 20;
    std::atomic<int> scansStarted{0};
    std::atomic<bool> depositing{true};
    std::atomic<int> cashUps{0}, failedCashUps{0};
    std::vector<std::thread> viewers;
    for (int v = 0; v < 2; ++v) {
        viewers.emplace_back([&, v] {
            RPC_BINDING_HANDLE binding = Viewer();
            for (int round = 0; round < 20 && (depositing || round == 0); ++round) {
                LogBuffer result{};
                ++scansStarted;
                if (DornelLogClient::CashUp(binding, v, &result) == 0) {
                    ++cashUps;
                } else {
                    ++failedCashUps;
                }
                MIDL_user_free(result.data);
            }
            RpcBindingFree(&binding);
        });
    }
    // The boxes start once both viewers are inside their first cash-up.
    for (int i = 0; i < 500 && scansStarted < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::thread> boxes;
    for (int b = 0; b < kBoxes; ++b) {
        boxes.emplace_back([this, b] {
            for (int i = 0; i < kDeposits; ++i) {
                Record(b, CEventLog::DepositUnits, "e", ("deposit-" + std::to_string(i)).c_str());
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    for (auto& box : boxes) box.join();
    depositing = false;
    for (auto& viewer : viewers) viewer.join();
    EXPECT_GE(cashUps.load(), 2);
    EXPECT_EQ(failedCashUps.load(), 0);

    // Every deposit is in the file, each box's in order.
    std::map<int, std::vector<std::string>> deposits;
    const int fd = ::open(CEventLog::LogFilePath().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(block.size()) * kBlocks, SEEK_SET),
              static_cast<off_t>(block.size()) * kBlocks);
    std::string tail;
    char chunk[65536];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
        tail.append(chunk, static_cast<std::size_t>(got));
    ::close(fd);
    std::size_t start = 0;
    while (start < tail.size()) {
        const std::size_t end = tail.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const LogRecordFields fields =
            SplitLogRecord(std::string_view(tail).substr(start, end - start));
        const std::size_t user = tail.find("|deposit-", start);
        if (user < end && LogFieldNumber(fields.type) == CEventLog::DepositUnits) {
            deposits[LogFieldNumber(fields.box)].push_back(
                tail.substr(user + 1, tail.find('|', user + 1) - user - 1));
        }
        start = end + 1;
    }
    for (int b = 0; b < kBoxes; ++b) {
        ASSERT_EQ(deposits[b].size(), static_cast<std::size_t>(kDeposits)) << "box " << b;
        for (int i = 0; i < kDeposits; ++i)
            EXPECT_EQ(deposits[b][i], "deposit-" + std::to_string(i));
    }

    RPC_BINDING_HANDLE binding = Viewer();
    LogBuffer result{};
    ASSERT_EQ(DornelLogClient::CashUp(binding, 7, &result), 0u);
    EXPECT_EQ(
        std::string(reinterpret_cast<char*>(result.data)),
        std::to_string(perBlock[7] * kBlocks) + ",0,0,0," + std::to_string(kDeposits) + ",0,0,0,0");
    MIDL_user_free(result.data);
    RpcBindingFree(&binding);
}
