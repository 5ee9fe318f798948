// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The event log against real files: each test runs under its own DORNEL_ROOT, with the
// log in the default directory "C:\dornel\log" mapped below it.

#include "server/eventlog.h"

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
#include "server/zuvexservice.h"

namespace {

// A listening socket on a free loopback port (its descriptor), for the endpoint mapper.
int ListenOnFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
    listen(fd, 1);
    return fd;
}

int PortOf(int fd) {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    return ntohs(where.sin_port);
}

namespace fs = std::filesystem;

// Field 0 of every record.
const std::regex kTimeField(
    R"((Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday), \d\d/\d\d/\d{4} \d\d:\d\d:\d\d)");

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = line.find('|', start);
        if (bar == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, bar - start));
        start = bar + 1;
    }
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetLogDir(const char* directory) {
    std::lock_guard<std::mutex> guard(ConfigLock());
    std::snprintf(LogDir, sizeof LogDir, "%s", directory);
}

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dornel-eventlog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("DORNEL_ROOT", root_.c_str(), 1);
        // Init offers the log RPC interface: on loopback, with the endpoint mapper on a
        // port of this test's own, never on 135.
        setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        mapperPort_ = ListenOnFreePort();
        setenv("DORNEL_EPM_PORT", std::to_string(PortOf(mapperPort_)).c_str(), 1);
        close(mapperPort_);
        mapperPort_ = -1;
        SetLogDir("C:\\dornel\\log");
        logDirectory_ = platform::paths::NativePath("C:\\dornel\\log");
        ASSERT_TRUE(platform::paths::MakeDirectories(logDirectory_));
        logPath_ = logDirectory_ + "/dornel.log";
        std::memset(&box_, 0, sizeof box_);
    }

    void TearDown() override {
        if (mapperPort_ >= 0) close(mapperPort_);
        service_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A service object with the debug flag as given (the log reaches it through m_pThis).
    void StartService(int enableDebugLog) {
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        service_->enableDebugLog = enableDebugLog;
    }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string text = ReadWhole(logPath_);
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t feed = text.find('\n', start);
            if (feed == std::string::npos) {
                lines.push_back(text.substr(start));
                break;
            }
            lines.push_back(text.substr(start, feed + 1 - start));
            start = feed + 1;
        }
        return lines;
    }

    std::string NtEventLog() const { return ReadWhole(platform::service::EventLogPath()); }

    std::vector<std::string> Scan(CEventLog& log, CEventLog::LogAccess* access = nullptr) {
        std::vector<std::string> pieces;
        const auto result = log.ScanPieces(
            [&](const char* piece, std::size_t length) { pieces.emplace_back(piece, length); });
        if (access) *access = result;
        return pieces;
    }

    void AppendRaw(const std::string& text) {
        std::FILE* file = std::fopen(logPath_.c_str(), "ab");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }

    std::string root_;
    std::string logDirectory_;
    std::string logPath_;
    t_ServerStartInfo box_;
    std::unique_ptr<CZuvexService> service_;
    int mapperPort_ = -1;  // a listening socket that keeps the mapper's port busy
};

// --- Record format -----------------------------------------------------------------------

TEST_F(EventLogTest, ServerStartRecordWithoutUserOrData) {
    CEventLog log;
    log.Init();
    box_.boxNumber = 3;
    log.LogUserEvent(&box_, CEventLog::ServerStart, nullptr);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    const auto fields = SplitFields(lines[0]);
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_TRUE(std::regex_match(fields[0], kTimeField)) << fields[0];
    EXPECT_EQ(fields[1], "3");
    EXPECT_EQ(fields[2], "0");
    EXPECT_EQ(fields[3], "N/A");
    EXPECT_EQ(fields[4], " ");
    EXPECT_EQ(fields[5], "\n");  // the final bar, then a single line feed (no CR)
}

TEST_F(EventLogTest, RecordCarriesUserAndData) {
    CEventLog log;
    log.Init();
    box_.boxNumber = 7;
    std::strcpy(box_.userName, "jsmith");
    log.LogUserEvent(&box_, CEventLog::AuthOK, "12.50");
    log.LogUserEvent(&box_, CEventLog::DepositUnits, "a|b");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    auto fields = SplitFields(lines[0]);
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[1], "7");
    EXPECT_EQ(fields[2], "11");
    EXPECT_EQ(fields[3], "jsmith");
    EXPECT_EQ(fields[4], "12.50");
    // A bar in the data would add a field for every reader: it is written as a space.
    EXPECT_NE(lines[1].find("|17|jsmith|a b|\n"), std::string::npos) << lines[1];
    EXPECT_EQ(SplitFields(lines[1]).size(), 6u);
}

// A box chooses its user name and its deposit payload. Neither may write a record of its
// own: every separator, line break and other control byte becomes a space, in the user
// field and in the data alike, while ordinary text stays byte for byte.
TEST_F(EventLogTest, BoxTextCannotForgeOrTearRecords) {
    CEventLog log;
    log.Init();
    const std::string forged = "Tuesday, 08/12/2026 04:51:40|1|17|x|iiiii|";
    box_.boxNumber = 0;
    std::snprintf(box_.userName, sizeof box_.userName, "%s", ("eve\n" + forged + "\r").c_str());
    log.LogUserEvent(&box_, CEventLog::DepositUnits, ("a|\n" + forged + "\n").c_str());
    std::strcpy(box_.userName, "mallory");
    log.LogUserEvent(&box_, CEventLog::DepositUnits, "b\x01\x1f\x7f\tc\r\n|");
    // Well-behaved text, including bytes above 0x7F, is untouched.
    std::strcpy(box_.userName, "J\xf6rg O'Neil");
    log.LogUserEvent(&box_, CEventLog::AuthOK, "12.50 (ok) ~!@#$%^&*");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        const auto fields = SplitFields(line);
        ASSERT_EQ(fields.size(), 6u) << line;
        EXPECT_TRUE(std::regex_match(fields[0], kTimeField)) << line;
        EXPECT_EQ(fields[1], "0") << line;
    }
    auto fields = SplitFields(lines[0]);
    EXPECT_EQ(fields[3], "eve Tuesday, 08/12/2026 04:51:40 1 17 x iiiii  ");
    EXPECT_EQ(fields[4], "a  Tuesday, 08/12/2026 04:51:40 1 17 x iiiii  ");
    EXPECT_EQ(SplitFields(lines[1])[4], "b    c   ");
    EXPECT_EQ(lines[2], SplitFields(lines[2])[0] + "|0|11|J\xf6rg O'Neil|12.50 (ok) ~!@#$%^&*|\n");

    // The writer alone, for a record with nothing to clean: the exact line of old.
    EXPECT_EQ(FormatLogRecord("Monday, 07/12/2026 01:02:03", 4, "jsmith", 17, "aade"),
              "Monday, 07/12/2026 01:02:03|4|17|jsmith|aade|\n");
    EXPECT_EQ(FormatLogRecord("T", -1, nullptr, 500, nullptr), "T|-1|500|N/A| |\n");
}

TEST_F(EventLogTest, UserNameWithoutTerminatorIsBounded) {
    CEventLog log;
    log.Init();
    std::memset(box_.userName, 'u', sizeof box_.userName);  // no terminator at all
    log.LogUserEvent(&box_, CEventLog::AuthRequestNT, "x");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(SplitFields(lines[0])[3], std::string(sizeof box_.userName - 1, 'u'));
}

TEST_F(EventLogTest, DayNameIsEnglishUnderAnotherLocale) {
    const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8",  "fr_FR.UTF-8",
                                "fr_FR.utf8",  "es_ES.UTF-8", "nl_NL.UTF-8"};
    const char* chosen = nullptr;
    for (const char* name : candidates) {
        if (std::setlocale(LC_TIME, name)) {
            chosen = name;
            break;
        }
    }
    if (!chosen) GTEST_SKIP() << "no non-English locale is installed";
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerConnect, nullptr);
    std::setlocale(LC_TIME, "C");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(SplitFields(lines[0])[0], kTimeField)) << chosen;
}

// --- Debug records -----------------------------------------------------------------------

TEST_F(EventLogTest, DebugRecordWithoutBox) {
    StartService(1);
    CEventLog log;
    log.Init();
    log.LogDebugEvent(nullptr, "value %d of %s", 42, "test");
    box_.boxNumber = 2;
    std::strcpy(box_.userName, "bob");
    log.LogDebugEvent(&box_, "with box");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    auto fields = SplitFields(lines[0]);
    EXPECT_EQ(fields[1], "-1");
    EXPECT_EQ(fields[2], "500");
    EXPECT_EQ(fields[3], "N/A");
    EXPECT_EQ(fields[4], "value 42 of test");
    fields = SplitFields(lines[1]);
    EXPECT_EQ(fields[1], "2");
    EXPECT_EQ(fields[3], "bob");
}

TEST_F(EventLogTest, DebugRecordsNeedTheFlagAndTheService) {
    CEventLog log;
    log.Init();
    log.LogDebugEvent(nullptr, "no service object");
    StartService(0);
    log.LogDebugEvent(nullptr, "flag off %d", 1);
    log.LogDebugEvent(&box_, "flag off with box");
    EXPECT_TRUE(Lines().empty());

    service_->enableDebugLog = 5;  // any non-zero value, and it applies at once
    log.LogDebugEvent(nullptr, "now on");
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(EventLogTest, DebugTextIsCutAt1023Characters) {
    StartService(1);
    CEventLog log;
    log.Init();
    const std::string longText(3000, 'd');
    log.LogDebugEvent(nullptr, "%s", longText.c_str());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(SplitFields(lines[0])[4], std::string(1023, 'd'));
}

// --- Opening ------------------------------------------------------------------------------

TEST_F(EventLogTest, InitOffersTheRpcInterfaceAndReportsItsFailure) {
    StartService(0);
    {
        CEventLog log;
        log.Init();
        EXPECT_NE(log.rpcBindings, nullptr);
    }
    EXPECT_EQ(NtEventLog().find("| 107 |"), std::string::npos);
    // With the mapper's port taken the interface cannot be published: event 107.
    mapperPort_ = ListenOnFreePort();
    setenv("DORNEL_EPM_PORT", std::to_string(PortOf(mapperPort_)).c_str(), 1);
    CEventLog log;
    log.Init();
    EXPECT_EQ(ThisEventLog, &log);
    EXPECT_EQ(log.rpcBindings, nullptr);
    EXPECT_NE(NtEventLog().find("| 107 | Event Log RPC could not initialise"), std::string::npos);
}

TEST_F(EventLogTest, RestartAppendsToEarlierRecords) {
    {
        CEventLog first;
        first.Init();
        first.LogUserEvent(&box_, CEventLog::ServerStart, "first run");
    }
    CEventLog second;
    second.Init();
    second.LogUserEvent(&box_, CEventLog::ServerStart, "second run");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(SplitFields(lines[0])[4], "first run");
    EXPECT_EQ(SplitFields(lines[1])[4], "second run");
}

TEST_F(EventLogTest, LogDirEndingInSeparatorStillGetsOne) {
    SetLogDir("C:\\dornel\\log\\");
    EXPECT_EQ(CEventLog::LogFilePath(), logDirectory_ + "//dornel.log");
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, nullptr);
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(EventLogTest, MissingDirectoryLeavesTheLogClosedAndIsReported) {
    StartService(1);
    SetLogDir("C:\\nowhere\\log");
    CEventLog log;
    log.Init();
    EXPECT_EQ(log.logFile, nullptr);
    EXPECT_NE(ThisEventLog, &log);
    log.LogUserEvent(&box_, CEventLog::ServerStart, "dropped");
    log.LogDebugEvent(nullptr, "dropped too");
    CEventLog::LogAccess access;
    EXPECT_TRUE(Scan(log, &access).empty());
    EXPECT_EQ(access, CEventLog::LogAccess::NoLogFile);
    EXPECT_FALSE(fs::exists(platform::paths::NativePath("C:\\nowhere")));
    // The interface is not offered without a log, and the administrator is told why.
    EXPECT_EQ(NtEventLog().find("| 107 |"), std::string::npos);
    const std::string missing = platform::paths::NativePath("C:\\nowhere\\log\\dornel.log");
    EXPECT_NE(NtEventLog().find("| 100 | WARNING: Event log file could not be opened: " + missing +
                                " (error 2: "),
              std::string::npos)
        << NtEventLog();
}

TEST_F(EventLogTest, UnwritableFolderIsReportedAtEveryFailedOpen) {
    StartService(0);
    // A "folder" that is a plain file: no log can ever be created below it.
    std::ofstream(logDirectory_ + "/plain") << "not a folder";
    SetLogDir("C:\\dornel\\log\\plain");
    {
        CEventLog log;
        log.Init();
        EXPECT_EQ(log.logFile, nullptr);
    }
    {
        CEventLog log;
        log.Init();
    }
    const std::string text = NtEventLog();
    const std::string line =
        "| 100 | WARNING: Event log file could not be opened: " + logDirectory_ +
        "/plain/dornel.log (error 20: ";
    const std::size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(line, first + 1), std::string::npos) << text;
}

TEST_F(EventLogTest, LogFileIsCreatedOwnerWritableGroupReadableWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        fs::remove(logPath_);
        const mode_t previous = umask(mask);
        {
            CEventLog log;
            log.Init();
            log.LogUserEvent(&box_, CEventLog::ServerStart, nullptr);
            EXPECT_EQ(fs::status(logPath_).permissions(), fs::perms(0640)) << "umask " << mask;
            // The clear creates a new file: the same mode.
            EXPECT_EQ(log.Clear(), CEventLog::LogAccess::Done);
            EXPECT_EQ(fs::status(logPath_).permissions(), fs::perms(0640)) << "umask " << mask;
        }
        umask(previous);
    }
    // A file the administrator made already keeps its mode.
    fs::permissions(logPath_, fs::perms(0600));
    CEventLog log;
    log.Init();
    EXPECT_EQ(fs::status(logPath_).permissions(), fs::perms(0600));
}

// --- Concurrency --------------------------------------------------------------------------

TEST_F(EventLogTest, ConcurrentAppendsNeverInterleave) {
    CEventLog log;
    log.Init();
    constexpr int kThreads = 8;
    constexpr int kRecords = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            t_ServerStartInfo info;
            std::memset(&info, 0, sizeof info);
            info.boxNumber = t;
            std::snprintf(info.userName, sizeof info.userName, "user%d", t);
            std::string padding(40 + t * 13, static_cast<char>('a' + t));
            for (int i = 0; i < kRecords; ++i) {
                const std::string data = std::to_string(i) + ":" + padding;
                log.LogUserEvent(&info, CEventLog::DepositUnits, data.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kRecords));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        const auto fields = SplitFields(line);
        ASSERT_EQ(fields.size(), 6u) << line;
        ASSERT_TRUE(std::regex_match(fields[0], kTimeField)) << line;
        const int t = std::atoi(fields[1].c_str());
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(fields[3], "user" + std::to_string(t)) << line;
        const std::string expected =
            std::to_string(next[t]) + ":" + std::string(40 + t * 13, static_cast<char>('a' + t));
        ASSERT_EQ(fields[4], expected) << line;  // each thread's records whole and in order
        ++next[t];
    }
    EXPECT_EQ(log.DroppedRecords(), 0u);
}

TEST_F(EventLogTest, AppendWaitsForAShortScan) {
    CEventLog log;
    log.Init();
    std::unique_lock<std::mutex> held(log.logLock);
    std::thread writer([&] { log.LogUserEvent(&box_, CEventLog::ServerConnect, "waited"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.unlock();
    writer.join();
    EXPECT_EQ(Lines().size(), 1u);
    EXPECT_EQ(log.DroppedRecords(), 0u);
}

constexpr const char* kBusyWarning = "| 100 | WARNING: Event log busy for more than 2000 ms";

TEST_F(EventLogTest, AppendOutwaitsABusyLogAndKeepsItsRecord) {
    StartService(0);
    CEventLog log;
    log.Init();
    {
        std::unique_lock<std::mutex> held(log.logLock);
        std::thread writer([&] { log.LogUserEvent(&box_, CEventLog::ServerConnect, "kept"); });
        // Held until the writer has said it is waiting, however late its thread started.
        const auto giveUp =
            std::chrono::steady_clock::now() + CEventLog::kAppendWait + std::chrono::seconds(20);
        while (NtEventLog().find(kBusyWarning) == std::string::npos &&
               std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        held.unlock();
        writer.join();
    }
    EXPECT_EQ(log.DroppedRecords(), 0u);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(SplitFields(lines[0])[4], "kept");
    EXPECT_NE(NtEventLog().find(kBusyWarning), std::string::npos);
}

TEST_F(EventLogTest, ARecordTheDiskRefusesIsReportedWithItsText) {
    StartService(0);
    // Every write to this "file" fails with "no space left on device".
    fs::create_symlink("/dev/full", logPath_);
    CEventLog log;
    log.Init();
    ASSERT_NE(log.logFile, nullptr);
    box_.boxNumber = 4;
    std::strcpy(box_.userName, "jsmith");
    log.LogUserEvent(&box_, CEventLog::DepositUnits, "aabi");
    EXPECT_EQ(log.DroppedRecords(), 1u);
    const std::string text = NtEventLog();
    EXPECT_NE(text.find("| 100 | WARNING: Event log record could not be written (error 28: "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("|4|17|jsmith|aabi|"), std::string::npos) << text;
}

// --- Scans ----------------------------------------------------------------------------------

TEST_F(EventLogTest, ScanSplitsLongLinesAndDropsATornLastLine) {
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, nullptr);
    AppendRaw(std::string(2000, 'x') + "\n");
    AppendRaw(std::string(1022, 'y') + "\n");
    AppendRaw("torn record without line feed");

    const auto pieces = Scan(log);
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[0], Lines()[0]);
    EXPECT_EQ(pieces[1], std::string(1022, 'x'));
    EXPECT_EQ(pieces[2], std::string(978, 'x') + "\n");
    EXPECT_EQ(pieces[3], std::string(1022, 'y'));
    EXPECT_EQ(pieces[4], "\n");
}

TEST_F(EventLogTest, ScanDropsAFullPieceThatTheFileEndCutsOff) {
    CEventLog log;
    log.Init();
    AppendRaw("short\n" + std::string(1022 + 1022, 'z'));
    const auto pieces = Scan(log);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "short\n");
    EXPECT_EQ(pieces[1], std::string(1022, 'z'));
}

// The pieces a scan hands out are those the splitter cuts from the whole file, whatever
// falls on the boundaries of the scan's reads: lines that straddle a read, lines of exactly
// one and two pieces and one byte more, a line longer than a whole read, an empty log and
// every kind of end (line feed, a short torn line, a torn full piece, a torn long line).
TEST_F(EventLogTest, ScanCutsThePiecesTheSplitterCutsAcrossReadBoundaries) {
    constexpr std::size_t kPiece = CLogPieceSplitter::kPieceLength;
    constexpr std::size_t kRead = 256 * 1024;  // ScanBlocksWhile's read size
    std::string body;
    unsigned seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFF; };
    const auto line = [&body](std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) body += static_cast<char>('a' + i % 26);
        body += '\n';
    };
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, kPiece - 2, kPiece - 1, kPiece,
                               2 * kPiece - 1, 2 * kPiece, 2 * kPiece + 1}) {
        line(length);
    }
    // Lines ending just before, on and just after the first read boundaries.
    for (int boundary = 1; boundary <= 3; ++boundary) {
        const std::size_t target = boundary * kRead - kPiece / 2 + boundary * 300;
        while (body.size() + 120 < target) line(next() % 100);
        line(target - body.size());
        line(boundary == 2 ? 3 * kPiece : kPiece);  // a long line over the boundary
    }
    line(kRead + 4321);  // longer than a whole read
    while (body.size() < 5 * kRead) line(next() % 2500);

    const std::vector<std::string> ends = {"",
                                           "torn short line",
                                           std::string(kPiece, 't'),
                                           std::string(kPiece + 1, 't'),
                                           std::string(2 * kPiece, 't'),
                                           std::string(3 * kPiece + 7, 't')};
    for (const std::string& withoutBody : {std::string(), body}) {
        for (const std::string& end : ends) {
            const std::string text = withoutBody + end;
            std::vector<std::string> expected;
            CLogPieceSplitter splitter;
            splitter.Feed(text.data(), text.size(), [&](const char* piece, std::size_t length) {
                expected.emplace_back(piece, length);
                return true;
            });

            CEventLog log;
            log.Init();
            ASSERT_NE(log.logFile, nullptr);
            ASSERT_EQ(log.Clear(), CEventLog::LogAccess::Done);
            AppendRaw(text);
            CEventLog::LogAccess access = CEventLog::LogAccess::LockTimedOut;
            const std::vector<std::string> pieces = Scan(log, &access);
            EXPECT_EQ(access, CEventLog::LogAccess::Done);
            ASSERT_EQ(pieces.size(), expected.size())
                << "log of " << text.size() << " bytes ending in " << end.size() << " torn";
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                ASSERT_EQ(pieces[i], expected[i]) << "piece " << i << " of " << text.size();
            }
            // The blocks are whole pieces: splitting each gives the same pieces again.
            std::vector<std::string> fromBlocks;
            log.ScanBlocksWhile([&](const char* block, std::size_t length) {
                return ForEachLogPiece(block, length, [&](const char* piece, std::size_t size) {
                    fromBlocks.emplace_back(piece, size);
                    return true;
                });
            });
            EXPECT_EQ(fromBlocks, expected);
        }
    }
}

TEST_F(EventLogTest, ABlockScanStopsWhenAskedTo) {
    CEventLog log;
    log.Init();
    AppendRaw(std::string(600 * 1024, 'x') + "\n" + std::string(600 * 1024, 'y') + "\n");
    int blocks = 0;
    EXPECT_EQ(log.ScanBlocksWhile([&](const char*, std::size_t) { return ++blocks < 2; }),
              CEventLog::LogAccess::Done);
    EXPECT_EQ(blocks, 2);
    int pieces = 0;
    log.ScanPiecesWhile([&](const char*, std::size_t) { return ++pieces < 3; });
    EXPECT_EQ(pieces, 3);
}

TEST_F(EventLogTest, AppendsGoToTheEndAfterAScan) {
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, "one");
    EXPECT_EQ(Scan(log).size(), 1u);
    log.LogUserEvent(&box_, CEventLog::ServerStart, "two");
    const auto pieces = Scan(log);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(SplitFields(pieces[1])[4], "two");
}

TEST_F(EventLogTest, ScanAndClearTimeOutWhileTheLockIsHeld) {
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, "kept");
    std::lock_guard<std::mutex> held(log.logLock);
    CEventLog::LogAccess scanned = CEventLog::LogAccess::Done;
    CEventLog::LogAccess cleared = CEventLog::LogAccess::Done;
    std::thread other([&] {
        const std::chrono::milliseconds shortWait(50);
        scanned = log.ScanPieces([](const char*, std::size_t) {}, shortWait);
        cleared = log.Clear(shortWait);
    });
    other.join();
    EXPECT_EQ(scanned, CEventLog::LogAccess::LockTimedOut);
    EXPECT_EQ(cleared, CEventLog::LogAccess::LockTimedOut);
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(EventLogTest, LoggingFromInsideAScanIsWrittenAfterItsEnd) {
    StartService(1);
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, nullptr);
    int seen = 0;
    log.ScanPieces([&](const char*, std::size_t) {
        ++seen;
        log.LogDebugEvent(nullptr, "inside the scan");
    });
    // The scan reads the file as it was when it began; the record is there afterwards.
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(log.DroppedRecords(), 0u);
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(SplitFields(Lines()[1])[4], "inside the scan");
}

// A scan holds nothing that an append needs: records of other threads are written while a
// scan is in the middle of the file, the scan sees the file as it was when it began, and a
// clear meanwhile takes nothing from it.
TEST_F(EventLogTest, AppendsAndAClearGoOnWhileAScanReads) {
    CEventLog log;
    log.Init();
    for (int i = 0; i < 100; ++i) log.LogUserEvent(&box_, CEventLog::DepositUnits, "a");
    std::atomic<int> written{0};
    CEventLog::LogAccess cleared = CEventLog::LogAccess::LockTimedOut;
    int seen = 0;
    bool appendsDuringScan = false;
    log.ScanPieces([&](const char*, std::size_t) {
        if (++seen != 50) return;
        std::thread box([&] {
            t_ServerStartInfo info{};
            info.boxNumber = 1;
            for (int i = 0; i < 5; ++i) {
                log.LogUserEvent(&info, CEventLog::DepositUnits, "b");
                ++written;
            }
        });
        box.join();
        appendsDuringScan = written.load() == 5;
        std::thread viewer([&] { cleared = log.Clear(std::chrono::milliseconds(500)); });
        viewer.join();
    });
    EXPECT_TRUE(appendsDuringScan);
    EXPECT_EQ(cleared, CEventLog::LogAccess::Done);
    EXPECT_EQ(seen, 100);
    EXPECT_TRUE(Lines().empty());
    log.LogUserEvent(&box_, CEventLog::ServerStart, "after");
    EXPECT_EQ(Lines().size(), 1u);
}

// --- Clear ----------------------------------------------------------------------------------

TEST_F(EventLogTest, ClearEmptiesTheFileAndAppendsGoOn) {
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, "before");
    EXPECT_EQ(log.Clear(), CEventLog::LogAccess::Done);
    EXPECT_TRUE(Lines().empty());
    log.LogUserEvent(&box_, CEventLog::ServerStart, "after");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(SplitFields(lines[0])[4], "after");
    EXPECT_EQ(Scan(log).size(), 1u);
}

TEST_F(EventLogTest, ClearRecreatesTheFileInTheDirectoryConfiguredNow) {
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, "old place");
    ASSERT_TRUE(platform::paths::MakeDirectories(platform::paths::NativePath("D:\\logs")));
    SetLogDir("D:\\logs");
    EXPECT_EQ(log.Clear(), CEventLog::LogAccess::Done);
    log.LogUserEvent(&box_, CEventLog::ServerStart, "new place");
    EXPECT_EQ(Lines().size(), 1u);  // the old file is left as it was
    const std::string moved = ReadWhole(platform::paths::NativePath("D:\\logs\\dornel.log"));
    EXPECT_NE(moved.find("|new place|\n"), std::string::npos);
}

TEST_F(EventLogTest, FailedClearIsReportedAndTheNextAppendReopens) {
    StartService(0);
    CEventLog log;
    log.Init();
    log.LogUserEvent(&box_, CEventLog::ServerStart, "before");
    fs::remove_all(logDirectory_);

    EXPECT_EQ(log.Clear(), CEventLog::LogAccess::NoLogFile);
    EXPECT_EQ(log.logFile, nullptr);
    EXPECT_NE(NtEventLog().find("| 100 | WARNING: Event log file could not be re-created"),
              std::string::npos);
    log.LogUserEvent(&box_, CEventLog::ServerStart, "while missing");
    EXPECT_FALSE(fs::exists(logPath_));
    CEventLog::LogAccess access;
    Scan(log, &access);
    EXPECT_EQ(access, CEventLog::LogAccess::NoLogFile);

    ASSERT_TRUE(platform::paths::MakeDirectories(logDirectory_));
    log.LogUserEvent(&box_, CEventLog::ServerStart, "reopened");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(SplitFields(lines[0])[4], "reopened");
    EXPECT_NE(NtEventLog().find("| 108 | Event log file reopened: " + logPath_), std::string::npos);
}

}  // namespace
