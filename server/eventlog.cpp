// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/eventlog.h"

// The event log file and its records.
//
// Sections:
//   1. Objects: CZuvexService::EventLog, ThisEventLog.
//   2. Record format: the time text, neutralised fields and the line.
//   3. Lifecycle: constructor, Init, destructor, the path, opening the file.
//   4. Append: LogUserEvent, LogDebugEvent and the locked write.
//   5. Scan: the piece splitter and ScanPieces, the reader of search and cash-up.
//   6. Clear.

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Debug texts are formatted into this many bytes, the terminator included.
constexpr std::size_t kDebugTextSize = 1024;

// The log file may hold user names: owner reads and writes, its group reads.
constexpr mode_t kLogFileMode = 0640;

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

// Debug records are on when the one service object is ours and asks for them.
bool DebugLoggingEnabled() {
    auto* service = dynamic_cast<CZuvexService*>(CNTService::m_pThis);
    return service && service->enableDebugLog.load() != 0;
}

// NT event ids: 100 for warnings, 108 for progress notices.
constexpr DWORD kWarningEvent = 100;
constexpr DWORD kNoticeEvent = 108;

void ReportToServiceLog(DWORD eventId, const std::string& text) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, eventId, text.c_str());
}

// Takes the lock within the time; false when it stayed busy. It polls try_lock (yielding
// first, then sleeping briefly): the lock is only ever held for moments, so the first
// tries win, and a plain mutex is one that thread checkers follow.
bool LockWithin(std::mutex& lock, std::chrono::milliseconds timeout) {
    if (lock.try_lock()) return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int spin = 0; spin < 200; ++spin) {
        std::this_thread::yield();
        if (lock.try_lock()) return true;
    }
    std::chrono::microseconds pause(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        if (lock.try_lock()) return true;
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
    return lock.try_lock();
}

std::string ErrorText(int error) {
    return "error " + std::to_string(error) + ": " + std::strerror(error);
}

}  // namespace

void AppendNeutralised(std::string& line, const char* text) {
    for (const char* at = text; *at; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        line += (c < 0x20 || c == 0x7F || c == '|') ? ' ' : static_cast<char>(c);
    }
}

std::string FormatLogRecord(const std::string& timeText, int boxNumber, const char* userName,
                            int type, const char* data) {
    std::string line = timeText;
    line += '|';
    line += std::to_string(boxNumber);
    line += '|';
    line += std::to_string(type);
    line += '|';
    AppendNeutralised(line, (userName && *userName) ? userName : "N/A");
    line += '|';
    AppendNeutralised(line, data ? data : " ");
    line += "|\n";
    return line;
}

// ---------------------------------------------------------------------------------------
// 3. Lifecycle.

std::FILE* OpenLogFile(const std::string& path, bool truncate) {
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC;
    // Created here: the mode is set explicitly, so the umask cannot widen or narrow it.
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, kLogFileMode);
    if (fd >= 0) {
        ::fchmod(fd, kLogFileMode);
    } else if (errno == EEXIST) {
        fd = ::open(path.c_str(), flags | (truncate ? O_TRUNC : 0));
    }
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "a+b");
    if (!file) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

CEventLog::CEventLog() = default;

CEventLog::~CEventLog() {
    if (rpcBindings) UnregisterRPCServer();
    {
        std::lock_guard<std::mutex> guard(logLock);
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
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(logLock);
        if (logFile) std::fclose(logFile);
        reopenPending_ = false;
        reopenReported_ = false;
        logFile = OpenLogFile(path, false);
        if (!logFile) error = errno;
    }
    if (error) {
        // The server serves its boxes without a log, but says so where an administrator
        // looks: the NT event log, which also goes to syslog.
        ReportToServiceLog(kWarningEvent,
                           "WARNING: Event log file could not be opened: " + path + " (" +
                               ErrorText(error) +
                               "); the server runs without an event log and without the log "
                               "RPC interface");
        return;
    }
    ThisEventLog = this;
    searchResults.reset();
    RegisterRPCServer();
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
    const std::string line = FormatLogRecord(FormatRecordTime(), boxNumber, userName, type, data);

    int error = 0;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10 << attempt));
        std::unique_lock<std::mutex> lock(logLock, std::defer_lock);
        if (LockWithin(logLock, kAppendWait)) {
            lock = std::unique_lock<std::mutex>(logLock, std::adopt_lock);
        } else {
            // Only a clear or the start of a scan takes the lock, for moments: something is
            // wrong, but the record still waits for its turn rather than vanish.
            ReportToServiceLog(kWarningEvent, "WARNING: Event log busy for more than " +
                                                  std::to_string(kAppendWait.count()) +
                                                  " ms; the record waits");
            lock.lock();
        }
        if (!logFile && reopenPending_) ReopenAfterFailedClearLocked();
        if (!logFile) return;  // no log at all: reported when the open failed
        error = WriteLocked(line);
        if (error == 0) return;
    }
    // The disk refuses: the record goes to the NT event log instead, so it is not lost.
    droppedRecords_.fetch_add(1);
    ReportToServiceLog(kWarningEvent, "WARNING: Event log record could not be written (" +
                                          ErrorText(error) +
                                          "): " + line.substr(0, line.size() - 1));
}

int CEventLog::WriteLocked(const std::string& line) {
    const int fd = ::fileno(logFile);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int error = n < 0 ? errno : ENOSPC;
        // A part of the record reached the file: take it back, so the file holds whole
        // records only and the retry does not start in the middle of a line.
        struct stat status {};
        if (written > 0 && ::fstat(fd, &status) == 0 &&
            status.st_size >= static_cast<off_t>(written)) {
            if (::ftruncate(fd, status.st_size - static_cast<off_t>(written)) != 0) {
                // Nothing better to do: the torn piece is dropped by every reader.
            }
        }
        return error;
    }
    return 0;
}

void CEventLog::ReopenAfterFailedClearLocked() {
    const std::string path = LogFilePath();
    logFile = OpenLogFile(path, false);
    if (!logFile) {
        const int error = errno;
        if (!reopenReported_) {
            reopenReported_ = true;
            ReportToServiceLog(kWarningEvent,
                               "WARNING: Event log file could not be opened: " + path + " (" +
                                   ErrorText(error) + "); records are not written until it can be");
        }
        return;
    }
    reopenPending_ = false;
    reopenReported_ = false;
    ReportToServiceLog(kNoticeEvent, "Event log file reopened: " + path);
}

// ---------------------------------------------------------------------------------------
// 5. Scan.

bool CLogPieceSplitter::Feed(
    const char* bytes, std::size_t count,
    const std::function<bool(const char* piece, std::size_t length)>& onPiece) {
    std::size_t i = 0;
    while (i < count) {
        if (fullPieceWaiting_) {
            fullPieceWaiting_ = false;
            const std::size_t length = length_;
            length_ = 0;
            if (!onPiece(piece_, length)) return false;
        }
        // Take up to the next line feed, or as much as still fits the piece.
        const std::size_t span = std::min(kPieceLength - length_, count - i);
        const void* lineFeed = std::memchr(bytes + i, '\n', span);
        const std::size_t take =
            lineFeed
                ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - (bytes + i)) + 1
                : span;
        std::memcpy(piece_ + length_, bytes + i, take);
        length_ += take;
        i += take;
        if (lineFeed) {
            piece_[length_] = '\0';
            const std::size_t length = length_;
            length_ = 0;
            if (!onPiece(piece_, length)) return false;
        } else if (length_ == kPieceLength) {
            piece_[length_] = '\0';
            fullPieceWaiting_ = true;
        }
    }
    return true;
}

CEventLog::LogAccess CEventLog::ScanPieces(
    const std::function<void(const char* piece, std::size_t length)>& onPiece,
    std::chrono::milliseconds timeout) {
    return ScanPiecesWhile(
        [&onPiece](const char* piece, std::size_t length) {
            onPiece(piece, length);
            return true;
        },
        timeout);
}

CEventLog::LogAccess CEventLog::ScanPiecesWhile(
    const std::function<bool(const char* piece, std::size_t length)>& onPiece,
    std::chrono::milliseconds timeout) {
    return ScanBlocksWhile(
        [&onPiece](const char* block, std::size_t length) {
            return ForEachLogPiece(block, length, onPiece);
        },
        timeout);
}

CEventLog::LogAccess CEventLog::ScanBlocksWhile(
    const std::function<bool(const char* block, std::size_t length)>& onBlock,
    std::chrono::milliseconds timeout) {
    // The file and its size now, under the lock; the reading goes on without it.
    int fd = -1;
    off_t size = 0;
    {
        if (!LockWithin(logLock, timeout)) return LogAccess::LockTimedOut;
        std::unique_lock<std::mutex> lock(logLock, std::adopt_lock);
        if (!logFile && reopenPending_) ReopenAfterFailedClearLocked();
        if (!logFile) return LogAccess::NoLogFile;
        fd = ::fcntl(::fileno(logFile), F_DUPFD_CLOEXEC, 0);
        struct stat status {};
        if (fd < 0 || ::fstat(fd, &status) != 0) {
            if (fd >= 0) ::close(fd);
            return LogAccess::NoLogFile;
        }
        size = status.st_size;
    }

    // Large reads into one buffer. The unfinished end of a read (the start of a line whose
    // line feed comes later, always shorter than a piece) moves to the front of the buffer,
    // and the next read goes behind it, so every block handed out is whole pieces that lie
    // in the buffer as read: no piece is copied on its own.
    constexpr std::size_t kPiece = CLogPieceSplitter::kPieceLength;
    static constexpr std::size_t kChunk = 256 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk + kPiece]);
    std::size_t carried = 0;  // bytes of an unfinished piece at the front of the buffer
    off_t offset = 0;
    while (offset < size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<off_t>(size - offset, static_cast<off_t>(kChunk)));
        const ssize_t got = ::pread(fd, buffer.get() + carried, want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the file shrank: what was read is all there is
        offset += got;
        const std::size_t filled = carried + static_cast<std::size_t>(got);
        const char* lastFeed = static_cast<const char*>(::memrchr(buffer.get(), '\n', filled));
        std::size_t whole = lastFeed ? static_cast<std::size_t>(lastFeed - buffer.get()) + 1 : 0;
        // A line longer than a piece: its full pieces go out once a further byte shows the
        // line goes on, as the splitter hands them out; at least one byte stays behind.
        const std::size_t rest = filled - whole;
        if (rest > kPiece) whole += (rest - 1) / kPiece * kPiece;
        if (whole > 0 && !onBlock(buffer.get(), whole)) break;
        carried = filled - whole;
        if (carried > 0) std::memmove(buffer.get(), buffer.get() + whole, carried);
    }
    // Whatever is left ended with the file without a line feed: a torn last record, dropped.
    ::close(fd);
    return LogAccess::Done;
}

// ---------------------------------------------------------------------------------------
// 6. Clear.

CEventLog::LogAccess CEventLog::Clear(std::chrono::milliseconds timeout) {
    // The directory configured now: a reconfigure may have moved LogDirectory.
    const std::string path = LogFilePath();
    // The new, empty file is made beside the old one and put in its place, so scans that
    // still read the old one finish on the records they started with.
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_APPEND | O_CLOEXEC);
    std::FILE* fresh = nullptr;
    if (fd >= 0) {
        ::fchmod(fd, kLogFileMode);
        fresh = ::fdopen(fd, "a+b");
        if (!fresh) {
            ::close(fd);
            ::unlink(temporary.c_str());
        }
    }
    if (!fresh) temporary.clear();

    if (!LockWithin(logLock, timeout)) {
        if (fresh) {
            std::fclose(fresh);
            ::unlink(temporary.c_str());
        }
        return LogAccess::LockTimedOut;
    }
    std::unique_lock<std::mutex> lock(logLock, std::adopt_lock);
    if (fresh && ::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fclose(fresh);
        ::unlink(temporary.c_str());
        fresh = nullptr;
    }
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
    // A folder that takes no new file may still let the old one be emptied in place.
    if (!fresh) fresh = OpenLogFile(path, true);
    if (!fresh) {
        const int error = errno;
        reopenPending_ = true;
        reopenReported_ = false;
        lock.unlock();
        ReportToServiceLog(
            kWarningEvent,
            "WARNING: Event log file could not be re-created after a clear: " + path + " (error " +
                std::to_string(error) + "); records are dropped until it can be opened");
        return LogAccess::NoLogFile;
    }
    logFile = fresh;
    reopenPending_ = false;
    return LogAccess::Done;
}
