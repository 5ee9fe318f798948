// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CEventLog: the server's one event log, the text file "dornel.log" in LogDirectory.
//
// Record format (the contract with the log viewer): "%s|%d|%d|%s|%s|\n" with the local
// time "%A, %d/%m/%Y %H:%M:%S" (English day names), the box number (-1 for debug records
// about no box), the event type, the user ("N/A" when none) and the data (" " when none).
// The record writer neutralises every field it is given: "|", CR, LF and every other
// control byte (0x00-0x1F, 0x7F) become a space, so no box or tool can forge or tear a
// record. Fields without such bytes are written exactly as given.
//
// Appends are independent of scans. An append is one write() of the whole record on a
// descriptor opened for appending, under logLock, which is held only for that write (and
// briefly by the start of a scan and by the clear). A scan takes its own descriptor of the
// file and the file's size under logLock, then reads up to that size without the lock, so a
// search or cash-up of a large log never holds an append back. A clear re-creates the file
// under a new inode, so scans still running go on reading the records they started on.
//
// No record is dropped: a failed write is retried, and a record the disk still refuses is
// reported in the NT event log (event 100) with its text. A log that cannot be opened at
// start is reported (event 100, also in syslog) and the server runs on without it. The file
// is created with mode 0640 whatever the umask.
//
// The one instance is CZuvexService::EventLog.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct t_ServerStartInfo;
struct RPC_BINDING_VECTOR;

class CEventLog {
  public:
    enum EventType {
        ServerStart = 0,
        ServerStop = 1,
        ServerConnect = 2,
        ServerDisconnect = 3,
        ServerReconfigureRequest = 4,
        ServerOnlineRequest = 5,
        ServerOfflineRequest = 6,
        ServerRebootRequest = 7,
        AuthRequestNT = 8,
        AuthRequestNetware = 9,
        AuthRequestCustom = 10,
        AuthOK = 11,
        AuthDeclined = 12,
        DepositRequest = 13,
        DepositOK = 14,
        DepositError = 15,
        DoorStateChange = 16,
        DepositUnits = 17,
        DebugEvent = 500,
    };

    // Outcome of a scan or a clear.
    enum class LogAccess {
        Done,          // the operation completed
        LockTimedOut,  // logLock was not obtained within the time-out
        NoLogFile,     // no log file is open (or the clear could not reopen it)
    };

    CEventLog();
    ~CEventLog();  // UnregisterRPCServer if registered, closes the file, frees result sets
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // Opens LogDir + "\dornel.log" for appending (created with mode 0640 when missing)
    // and, if that succeeded, starts the log RPC interface. A failed open is reported in the
    // NT event log and leaves the log closed and every append harmless.
    void Init();

    // Appends one record for the box (never null). data may be null (" " is written).
    void LogUserEvent(t_ServerStartInfo* info, EventType type, const char* data);

    // Appends a record of type 500 when debug logging is on. info may be null (box -1,
    // user "N/A"). The text is cut to 1023 characters.
    void LogDebugEvent(t_ServerStartInfo* info, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Reads the log from its start up to the size it had when the scan began, in pieces (a
    // piece ends after a line feed or after 1022 characters; a last piece without a line
    // feed is dropped), calling onPiece for each. logLock is held only to take the file and
    // its size (waiting at most timeout), never while reading, so appends, other scans and
    // a clear go on meanwhile; onPiece may log. ScanPiecesWhile stops when onPiece returns
    // false (and still returns Done).
    LogAccess ScanPieces(const std::function<void(const char* piece, std::size_t length)>& onPiece,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    LogAccess ScanPiecesWhile(
        const std::function<bool(const char* piece, std::size_t length)>& onPiece,
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The same scan in blocks: each block is the text of whole pieces as it lies in the read
    // buffer (split it with ForEachLogPiece), so a scan that looks at every record pays no
    // copy and no call per piece. Pieces are not zero-terminated. Stops when onBlock
    // returns false (and still returns Done).
    LogAccess ScanBlocksWhile(
        const std::function<bool(const char* block, std::size_t length)>& onBlock,
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Empties the log: re-creates LogDir + "\dornel.log" (mode 0640) and appends go to the
    // new file, holding logLock (at most timeout) only for the swap. A failed re-creation
    // leaves no file open and returns NoLogFile; the next append tries to open it again.
    LogAccess Clear(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The log RPC interface (DornelLog). 1 when registered and listening, else 0.
    int RegisterRPCServer();
    void UnregisterRPCServer();

    // The native path of the log file now configured (LogDir + "\dornel.log").
    static std::string LogFilePath();

    // Records that could not be written, even after retries (each reported in the NT event
    // log with its text).
    unsigned long DroppedRecords() const { return droppedRecords_.load(); }

    // An append that waits this long for logLock (which only a clear or the start of a scan
    // holds, briefly) reports the busy log in the NT event log and goes on waiting.
    static constexpr std::chrono::milliseconds kAppendWait{2000};
    // Attempts at writing one record before it is reported as refused.
    static constexpr int kWriteAttempts = 4;

    std::FILE* logFile = nullptr;                  // the open log; null while closed
    RPC_BINDING_VECTOR* rpcBindings = nullptr;     // bindings of the registered interface
    struct SearchResults;                          // per-client result sets (log service)
    std::shared_ptr<SearchResults> searchResults;  // created by the log service
    std::mutex logLock;                            // logFile: appends, scan starts, clear

  private:
    // Writes one neutralised record: logLock, reopen after a failed clear, one write.
    void AppendRecord(int boxNumber, const char* userName, int type, const char* data);
    // One attempt at writing the whole line; 0 or the error number. logLock held.
    int WriteLocked(const std::string& line);
    // Opens the file again after a failed clear; logLock held.
    void ReopenAfterFailedClearLocked();

    bool reopenPending_ = false;                    // a clear could not reopen the file
    bool reopenReported_ = false;                   // the failed reopen was reported
    std::atomic<unsigned long> droppedRecords_{0};  // records the disk refused
};

// The record line "%s|%d|%d|%s|%s|\n" with the given time text, the user ("N/A" when null
// or empty) and the data (" " when null); user and data are neutralised.
std::string FormatLogRecord(const std::string& timeText, int boxNumber, const char* userName,
                            int type, const char* data);

// Appends text to line with "|", CR, LF and every other control byte (below 0x20, and 0x7F)
// replaced by a space.
void AppendNeutralised(std::string& line, const char* text);

// Opens (creating with mode 0640, whatever the umask) the log file for reading and
// appending; truncate empties it. The stream, or null with errno set.
std::FILE* OpenLogFile(const std::string& path, bool truncate);

// Splits a byte stream into the pieces a scan hands out: a piece ends after a line feed or
// after 1022 characters. A full piece of 1022 characters is handed out only once a further
// byte shows that the stream goes on, so the stream's end never yields a torn piece.
class CLogPieceSplitter {
  public:
    static constexpr std::size_t kPieceLength = 1022;
    // Feeds bytes; calls onPiece(piece, length) for every finished piece (the piece is
    // zero-terminated). Returns false as soon as onPiece does.
    bool Feed(const char* bytes, std::size_t count,
              const std::function<bool(const char* piece, std::size_t length)>& onPiece);

  private:
    char piece_[kPieceLength + 1] = {};
    std::size_t length_ = 0;
    bool fullPieceWaiting_ = false;
};

// Hands the pieces of text to onPiece(piece, length) in order, without copying them, as
// CLogPieceSplitter would cut them: text begins at a piece boundary and holds whole pieces
// only (it ends after a line feed, or it is a run of full pieces of a line that goes on),
// as the blocks of CEventLog::ScanBlocksWhile do. Returns false as soon as onPiece does.
template <typename OnPiece>
bool ForEachLogPiece(const char* text, std::size_t length, OnPiece&& onPiece) {
    const char* at = text;
    const char* const end = text + length;
    while (at < end) {
        const std::size_t span =
            std::min(CLogPieceSplitter::kPieceLength, static_cast<std::size_t>(end - at));
        const void* feed = std::memchr(at, '\n', span);
        const std::size_t take =
            feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - at) + 1 : span;
        if (!onPiece(at, take)) return false;
        at += take;
    }
    return true;
}

// The log object once Init has opened the file; the RPC operations reach it through this.
extern CEventLog* ThisEventLog;
