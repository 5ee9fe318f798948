// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CEventLog: the server's one event log, the text file "dornel.log" in LogDirectory.
//
// Record format (the contract with the log viewer): "%s|%d|%d|%s|%s|\n" with the local
// time "%A, %d/%m/%Y %H:%M:%S" (English day names), the box number (-1 for debug records
// about no box), the event type, the user ("N/A" when none) and the data (" " when none).
// Fields are not escaped. Every record is one write followed by a flush.
//
// Appends come from every thread of the server. Appends, the whole-file scans of search
// and cash-up, and the clear exclude one another through logLock; an append waits for a
// scan at most kAppendWait (2 s) and never the 10 seconds an RPC operation may wait. A
// record that cannot get the lock in that time is dropped and counted; the next record
// that is written reports the count once in the NT event log (event 100).
//
// The one instance is CZuvexService::EventLog.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
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

    // Opens LogDir + "\dornel.log" with "a+b" and, if that succeeded, starts the log RPC
    // interface. A failed open leaves the log closed and every append harmless.
    void Init();

    // Appends one record for the box (never null). data may be null (" " is written).
    void LogUserEvent(t_ServerStartInfo* info, EventType type, const char* data);

    // Appends a record of type 500 when debug logging is on. info may be null (box -1,
    // user "N/A"). The text is cut to 1023 characters.
    void LogDebugEvent(t_ServerStartInfo* info, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Reads the log from its start in pieces (a piece ends after a line feed or after 1022
    // characters; a last piece without a line feed is dropped), calling onPiece for each,
    // with logLock held (waiting at most timeout) so no append or clear runs meanwhile.
    // The stream is left at the end for appends. onPiece runs with the lock held: a record
    // it logs on this thread is dropped (and counted) rather than deadlock the scan.
    LogAccess ScanPieces(const std::function<void(const char* piece, std::size_t length)>& onPiece,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Empties the log: closes the stream and reopens the same path with "w+b", holding
    // logLock (at most timeout). A failed reopen leaves no file open and returns NoLogFile;
    // the next append tries to open the file again.
    LogAccess Clear(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The log RPC interface (DornelLog). 1 when registered and listening, else 0.
    int RegisterRPCServer();
    void UnregisterRPCServer();

    // The native path of the log file now configured (LogDir + "\dornel.log").
    static std::string LogFilePath();

    // Records dropped so far because logLock stayed busy longer than kAppendWait.
    unsigned long DroppedRecords() const { return droppedRecords_.load(); }

    // How long an append waits for a scan or a clear before it drops its record.
    static constexpr std::chrono::milliseconds kAppendWait{2000};

    std::FILE* logFile = nullptr;                  // the open log; null while closed
    RPC_BINDING_VECTOR* rpcBindings = nullptr;     // bindings of the registered interface
    struct SearchResults;                          // per-client result sets (log service)
    std::shared_ptr<SearchResults> searchResults;  // created by the log service
    std::timed_mutex logLock;                      // appends, scans and the clear

private:
    // Writes one formatted record: waits for logLock (kAppendWait), reopens the file after
    // a failed clear, then one write and a flush.
    void AppendRecord(int boxNumber, const char* userName, int type, const char* data);
    // Opens the file again with "a+b" after a failed clear; logLock held.
    void ReopenAfterFailedClearLocked();

    bool reopenPending_ = false;                     // a clear could not reopen the file
    std::atomic<unsigned long> droppedRecords_{0};   // all records dropped on a busy lock
    std::atomic<unsigned long> unreportedDrops_{0};  // dropped since the last NT event
};

// The log object once Init has opened the file; the RPC operations reach it through this.
extern CEventLog* ThisEventLog;
