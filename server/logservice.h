// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The log service: the bodies of the DornelLog operations (declared with the interface in
// interface/dornellog.h) on the event log reached through ThisEventLog, and the per-client
// result sets they keep in CEventLog::searchResults.
//
// A client is its connection (the binding handle the runtime passes in). Its result set
// holds copies of the matching lines, so appends and clears do not change it; it is freed
// when the client reads past its end, searches again, or its connection closes.
//
// Positions handed to clients are opaque: the set's generation in the top bits and the
// index of the next line plus one in the low bits (24, or as many as the set needs when it
// holds more than 16,777,215 lines). A position coming back is checked against the caller's
// own set (generation and range) before it is used; anything else is status 5.
//
// All result sets together (every client's) hold at most LogResultMemory megabytes; a
// search that would need more returns status 5. A search or cash-up reads the log without
// holding appends back, and neither waits for the other.
// Every operation is safe from any RPC worker thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/wintypes.h"

class CEventLog;

// Creates the log's result-set table if it has none. Called before the interface is
// offered; the operations also create it on first use.
void PrepareSearchResults(CEventLog& log);

// Memory of all result sets together, in megabytes: the registry value LogResultMemory,
// read with the other log settings. Values of 0 or less mean the default; more than the
// maximum means the maximum.
inline constexpr int kDefaultLogResultMemoryMB = 256;
inline constexpr int kMaxLogResultMemoryMB = 4096;
extern std::atomic<int> LogResultMemoryMB;
// The cap in bytes that LogResultMemoryMB stands for.
std::size_t LogResultMemoryLimit();
// Bytes that the result sets of all clients hold now.
std::size_t LogResultMemoryInUse();

// The record parser of search and cash-up. A record line is split at every "|"; fields are
// numbered from 0 (1 box, 2 event type, 4 data); a field that does not exist is empty.
struct LogRecordFields {
    std::string_view box;
    std::string_view type;
    std::string_view data;
};
LogRecordFields SplitLogRecord(std::string_view piece);
// The number at the start of a field as atoi reads it (white space, sign, digits),
// saturating instead of overflowing.
int LogFieldNumber(std::string_view field);
// True when lowerNeedle (in lower case) occurs in text, ASCII letters compared without
// regard to case; an empty needle matches everything.
bool LogPieceMatches(std::string_view text, std::string_view lowerNeedle);
// The first place in [from, end) where lowerNeedle occurs, ASCII letters compared without
// regard to case (as LogPieceMatches compares them), or null; an empty needle is found at
// from. Scans many bytes at a time, not line by line.
const char* FindFolded(const char* from, const char* end, std::string_view lowerNeedle);
// Calls onMatch(piece, length), in order, for every piece of a block of whole pieces (see
// ForEachLogPiece) that LogPieceMatches the needle. The block is searched as a whole and
// only the lines of hits are split out. Returns false as soon as onMatch does.
bool SearchLogBlock(const char* block, std::size_t length, std::string_view lowerNeedle,
                    const std::function<bool(const char* piece, std::size_t length)>& onMatch);

// The cash-up of one box over the pieces of a scan: the nine coin counters "a" to "i".
class CCashUpCounter {
  public:
    explicit CCashUpCounter(int boxNumber) : box_(boxNumber) {}
    void Add(std::string_view piece);
    // Adds every piece of a block of whole pieces (see ForEachLogPiece), as Add on each
    // would, reading each piece once.
    void AddPieces(const char* block, std::size_t length);
    // "%d,%d,%d,%d,%d,%d,%d,%d,%d", "a" first.
    std::string Text() const;
    int Count(int letter) const { return counters_[letter]; }

  private:
    int box_;
    int counters_[9] = {};
};
// How long search, cash-up and clear wait for the log lock.
inline constexpr DWORD kLogLockTimeoutMs = 10000;
