// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/eventlog.h"

// The event log file and its records.
//
// Sections:
//   1. Objects: CZuvexService::EventLog, ThisEventLog.
//   2. Record format: the time text and the line.
//   3. Lifecycle: constructor, Init, destructor, the path.
//   4. Append: LogUserEvent, LogDebugEvent and the locked write.
//   5. Scan: ScanPieces, the reader of search and cash-up.
//   6. Clear.

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
#include "server/ntservice.h"
#include "server/serverstartinfo.h"
#include "server/zuvexservice.h"

// ---------------------------------------------------------------------------------------
// 1. Objects.

CEventLog CZuvexService::EventLog;
CEventLog* ThisEventLog = nullptr;

namespace {

// The thread that holds logLock inside a scan or a clear; an append from that same thread
// (a callback that logs) must not wait for a lock it already owns.
thread_local const CEventLog* lockHeldByThisThread = nullptr;

class HeldMark {
  public:
    explicit HeldMark(const CEventLog* log) { lockHeldByThisThread = log; }
    ~HeldMark() { lockHeldByThisThread = nullptr; }
    HeldMark(const HeldMark&) = delete;
    HeldMark& operator=(const HeldMark&) = delete;
};

// Longest piece a scan hands out; a longer line comes as several pieces.
constexpr std::size_t kPieceLength = 1022;

// Debug texts are formatted into this many bytes, the terminator included.
constexpr std::size_t kDebugTextSize = 1024;

// ---------------------------------------------------------------------------------------
// 2. Record format.

// Day names are the log's own, English whatever the locale, since readers parse them.
constexpr const char* kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};

// The local time as "%A, %d/%m/%Y %H:%M:%S", e.g. "Tuesday, 06/03/2001 14:05:09".
std::string FormatRecordTime() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int weekday = (local.tm_wday >= 0 && local.tm_wday < 7) ? local.tm_wday : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d/%02d/%04d %02d:%02d:%02d", kDayNames[weekday],
                  local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec);
    return text;
}

// "%s|%d|%d|%s|%s|\n": time, box, type, user ("N/A" when empty), data (" " when null).
std::string FormatRecord(int boxNumber, const char* userName, int type, const char* data) {
    std::string line = FormatRecordTime();
    line += '|';
    line += std::to_string(boxNumber);
    line += '|';
    line += std::to_string(type);
    line += '|';
    line += (userName && *userName) ? userName : "N/A";
    line += '|';
    line += data ? data : " ";
    line += "|\n";
    return line;
}

// Debug records are on when the one service object is ours and asks for them.
bool DebugLoggingEnabled() {
    auto* service = dynamic_cast<CZuvexService*>(CNTService::m_pThis);
    return service && service->enableDebugLog.load() != 0;
}

// NT event ids: 100 for warnings, 108 for progress notices.
constexpr DWORD kWarningEvent = 100;
constexpr DWORD kNoticeEvent = 108;

void ReportToServiceLog(DWORD eventId, const char* text) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, eventId, text);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 3. Lifecycle.

CEventLog::CEventLog() = default;

CEventLog::~CEventLog() {
    if (rpcBindings) UnregisterRPCServer();
    {
        std::lock_guard<std::timed_mutex> guard(logLock);
        if (logFile) {
            std::fclose(logFile);
            logFile = nullptr;
        }
    }
    searchResults.reset();
    if (ThisEventLog == this) ThisEventLog = nullptr;
}

std::string CEventLog::LogFilePath() {
    char directory[sizeof LogDir];
    GetConfigString(LogDir, directory, sizeof directory);
    // The separator is always added, even after a directory ending in one.
    return platform::paths::NativePath(std::string(directory) + "\\dornel.log");
}

void CEventLog::Init() {
    const std::string path = LogFilePath();
    {
        std::lock_guard<std::timed_mutex> guard(logLock);
        if (logFile) std::fclose(logFile);
        reopenPending_ = false;
        logFile = std::fopen(path.c_str(), "a+b");
        if (!logFile) return;
        std::fseek(logFile, 0, SEEK_END);
    }
    ThisEventLog = this;
    searchResults.reset();
    // Outside the lock: registration may write debug records of its own.
    RegisterRPCServer();
    std::lock_guard<std::timed_mutex> guard(logLock);
    if (logFile) std::fflush(logFile);
}

// ---------------------------------------------------------------------------------------
// 4. Append.

void CEventLog::LogUserEvent(t_ServerStartInfo* info, EventType type, const char* data) {
    if (!info) return;
    // The record belongs to a box thread, which may change the name between users; take a
    // bounded copy so a name without terminator can never run past the field.
    char userName[sizeof info->userName];
    const std::size_t length = strnlen(info->userName, sizeof userName - 1);
    std::memcpy(userName, info->userName, length);
    userName[length] = '\0';
    AppendRecord(info->boxNumber, userName, type, data);
}

void CEventLog::LogDebugEvent(t_ServerStartInfo* info, const char* format, ...) {
    if (!DebugLoggingEnabled() || !format) return;
    char text[kDebugTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);  // cuts longer texts at 1023 characters
    va_end(args);
    if (info) {
        LogUserEvent(info, DebugEvent, text);
    } else {
        // A blank record: no box (-1) and no user.
        AppendRecord(-1, "", DebugEvent, text);
    }
}

void CEventLog::AppendRecord(int boxNumber, const char* userName, int type, const char* data) {
    const std::string line = FormatRecord(boxNumber, userName, type, data);

    if (lockHeldByThisThread == this) {
        // Logged from inside this thread's own scan or clear.
        droppedRecords_.fetch_add(1);
        unreportedDrops_.fetch_add(1);
        return;
    }
    std::unique_lock<std::timed_mutex> lock(logLock, std::defer_lock);
    if (!lock.try_lock_for(kAppendWait)) {
        droppedRecords_.fetch_add(1);
        unreportedDrops_.fetch_add(1);
        return;
    }
    if (!logFile && reopenPending_) ReopenAfterFailedClearLocked();
    if (!logFile) return;
    // One write of the whole line, then the flush: readers see whole records only.
    std::fwrite(line.data(), 1, line.size(), logFile);
    std::fflush(logFile);
    lock.unlock();

    if (const unsigned long dropped = unreportedDrops_.exchange(0)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "WARNING: %lu event log record(s) dropped: the log stayed busy for more "
                      "than %lld ms",
                      dropped, static_cast<long long>(kAppendWait.count()));
        ReportToServiceLog(kWarningEvent, text);
    }
}

void CEventLog::ReopenAfterFailedClearLocked() {
    const std::string path = LogFilePath();
    logFile = std::fopen(path.c_str(), "a+b");
    if (!logFile) return;
    std::fseek(logFile, 0, SEEK_END);
    reopenPending_ = false;
    const std::string text = "Event log file reopened: " + path;
    ReportToServiceLog(kNoticeEvent, text.c_str());
}

// ---------------------------------------------------------------------------------------
// 5. Scan.

CEventLog::LogAccess CEventLog::ScanPieces(
    const std::function<void(const char* piece, std::size_t length)>& onPiece,
    std::chrono::milliseconds timeout) {
    if (lockHeldByThisThread == this) return LogAccess::LockTimedOut;
    std::unique_lock<std::timed_mutex> lock(logLock, std::defer_lock);
    if (!lock.try_lock_for(timeout)) return LogAccess::LockTimedOut;
    HeldMark mark(this);
    if (!logFile && reopenPending_) ReopenAfterFailedClearLocked();
    if (!logFile) return LogAccess::NoLogFile;

    std::fflush(logFile);
    std::fseek(logFile, 0, SEEK_SET);
    char piece[kPieceLength + 1];
    std::size_t pieceLength = 0;
    // A piece that reached kPieceLength without a line feed is handed out only once a
    // further byte shows that the file goes on; cut off by the end it is a torn record.
    bool fullPieceWaiting = false;
    char chunk[64 * 1024];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, logFile)) > 0) {
        std::size_t i = 0;
        while (i < got) {
            if (fullPieceWaiting) {
                onPiece(piece, pieceLength);
                pieceLength = 0;
                fullPieceWaiting = false;
            }
            // Take up to the next line feed, or as much as still fits the piece.
            const std::size_t span = std::min(kPieceLength - pieceLength, got - i);
            const void* lineFeed = std::memchr(chunk + i, '\n', span);
            const std::size_t take =
                lineFeed
                    ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - (chunk + i)) + 1
                    : span;
            std::memcpy(piece + pieceLength, chunk + i, take);
            pieceLength += take;
            i += take;
            if (lineFeed) {
                piece[pieceLength] = '\0';
                onPiece(piece, pieceLength);
                pieceLength = 0;
            } else if (pieceLength == kPieceLength) {
                piece[pieceLength] = '\0';
                fullPieceWaiting = true;
            }
        }
    }
    // Whatever is left ended with the file without a line feed: a torn last record, dropped.
    std::clearerr(logFile);
    std::fseek(logFile, 0, SEEK_END);
    return LogAccess::Done;
}

// ---------------------------------------------------------------------------------------
// 6. Clear.

CEventLog::LogAccess CEventLog::Clear(std::chrono::milliseconds timeout) {
    if (lockHeldByThisThread == this) return LogAccess::LockTimedOut;
    std::unique_lock<std::timed_mutex> lock(logLock, std::defer_lock);
    if (!lock.try_lock_for(timeout)) return LogAccess::LockTimedOut;
    HeldMark mark(this);
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
    // The directory configured now: a reconfigure may have moved LogDirectory.
    const std::string path = LogFilePath();
    logFile = std::fopen(path.c_str(), "w+b");
    if (!logFile) {
        const int error = errno;
        reopenPending_ = true;
        lock.unlock();
        const std::string text =
            "WARNING: Event log file could not be re-created after a clear: " + path + " (error " +
            std::to_string(error) + "); records are dropped until it can be opened";
        ReportToServiceLog(kWarningEvent, text.c_str());
        return LogAccess::NoLogFile;
    }
    std::fseek(logFile, 0, SEEK_END);
    reopenPending_ = false;
    return LogAccess::Done;
}
