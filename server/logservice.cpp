// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The log service. Sections: result sets and positions; allocator pair; record fields;
// the seven operations; the connection rundown.

#include "server/logservice.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "interface/dornellog.h"
#include "server/eventlog.h"

// ---------------------------------------------------------------------------------------
// Result sets and positions

namespace {

constexpr unsigned kIndexBits = 24;
constexpr DWORD kIndexMask = (DWORD{1} << kIndexBits) - 1;

// One client's matches.
struct ResultSet {
    std::uint8_t generation = 0;     // never 0, so no position of a set is ever 0
    std::vector<std::string> lines;  // copies, line feed included
};

// Generations are drawn from one counter for the whole process, so a position kept from an
// earlier set of the same client (or another client's) does not fit the current one.
std::atomic<unsigned> nextGeneration{0};

std::uint8_t NewGeneration() {
    for (;;) {
        auto generation = static_cast<std::uint8_t>(nextGeneration.fetch_add(1) + 1);
        if (generation != 0) return generation;
    }
}

DWORD PositionOf(const ResultSet& set, std::size_t index) {
    return (DWORD{set.generation} << kIndexBits) | static_cast<DWORD>(index + 1);
}

// The index a position names in the set, or -1 when it is not one of the set's own.
long IndexOf(const ResultSet& set, DWORD position) {
    if ((position >> kIndexBits) != set.generation) return -1;
    DWORD index = position & kIndexMask;
    if (index == 0 || index > set.lines.size()) return -1;
    return static_cast<long>(index - 1);
}

// Serialises the creation of the table itself.
std::mutex tableCreation;

}  // namespace

struct CEventLog::SearchResults {
    std::mutex lock;                                         // the map and every set in it
    std::map<handle_t, std::unique_ptr<ResultSet>> clients;  // by client connection
};

void PrepareSearchResults(CEventLog& log) {
    std::lock_guard<std::mutex> guard(tableCreation);
    if (!log.searchResults) log.searchResults = std::make_shared<CEventLog::SearchResults>();
}

namespace {

// The table of the open log, created on first use; null when no log object exists.
std::shared_ptr<CEventLog::SearchResults> Results() {
    CEventLog* log = ThisEventLog;
    if (!log) return nullptr;
    PrepareSearchResults(*log);
    std::lock_guard<std::mutex> guard(tableCreation);
    return log->searchResults;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Allocator pair

void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }

void MIDL_user_free(void* block) { std::free(block); }

// ---------------------------------------------------------------------------------------
// Record fields

namespace {

// The fields of a record that the cash-up reads: the text between the n-th and the
// (n+1)-th "|" (or the end of the piece); a field that does not exist is empty.
struct RecordFields {
    std::string_view box;    // field 1
    std::string_view type;   // field 2
    std::string_view data;   // field 4
};

RecordFields SplitRecord(std::string_view piece) {
    std::string_view fields[5];
    std::size_t start = 0;
    for (int n = 0; n < 5 && start <= piece.size(); ++n) {
        const void* bar = std::memchr(piece.data() + start, '|', piece.size() - start);
        std::size_t end = bar ? static_cast<std::size_t>(static_cast<const char*>(bar) - piece.data())
                              : piece.size();
        fields[n] = piece.substr(start, end - start);
        if (!bar) break;
        start = end + 1;
    }
    return {fields[1], fields[2], fields[4]};
}

// The number at the start of a field, as atoi reads it (white space, sign, digits), but
// saturating instead of overflowing.
int FieldNumber(std::string_view field) {
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    long long value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<int>(value);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// True when lowerNeedle (already in lower case, not empty) occurs in text with ASCII
// letters compared without regard to case. Candidates are found with memchr on the first
// letter in either case, so a line is mostly scanned at memchr's speed.
bool ContainsIgnoringCase(std::string_view text, std::string_view lowerNeedle) {
    const std::size_t n = lowerNeedle.size();
    if (text.size() < n) return false;
    const char first = lowerNeedle[0];
    const char firstUpper = AsciiUpper(first);
    const char* at = text.data();
    const char* const last = text.data() + (text.size() - n);  // the last possible start
    while (at <= last) {
        const std::size_t span = static_cast<std::size_t>(last - at) + 1;
        const char* lower = static_cast<const char*>(std::memchr(at, first, span));
        const char* upper = firstUpper == first
                                ? nullptr
                                : static_cast<const char*>(std::memchr(at, firstUpper, span));
        const char* candidate = !lower ? upper : !upper ? lower : std::min(lower, upper);
        if (!candidate) return false;
        std::size_t i = 1;
        while (i < n && AsciiLower(candidate[i]) == lowerNeedle[i]) ++i;
        if (i == n) return true;
        at = candidate + 1;
    }
    return false;
}

// Copies text into a new zero-filled block from MIDL_user_allocate; false when out of memory.
bool FillBuffer(LogBuffer& buffer, const std::string& text) {
    auto* block = static_cast<unsigned char*>(MIDL_user_allocate(text.size() + 1));
    if (!block) return false;
    std::memcpy(block, text.data(), text.size());
    MIDL_user_free(buffer.data);
    buffer.data = block;
    buffer.length = static_cast<LONG>(text.size() + 1);
    return true;
}

constexpr std::chrono::milliseconds kLockTimeout{kLogLockTimeoutMs};

}  // namespace

// ---------------------------------------------------------------------------------------
// The operations

error_status_t Ping(handle_t IDL_handle) { return kLogStatusOk; }

error_status_t UnPing(handle_t IDL_handle) { return kLogStatusOk; }

error_status_t DoLogSearch(handle_t IDL_handle, LogSearchRequest* request, LONG* count) {
    CEventLog* log = ThisEventLog;
    if (!log || !request || !count || !request->text || request->length < 0) {
        return kLogStatusFailed;
    }
    // The text up to its terminating zero; the block always holds one past length.
    std::string needle(reinterpret_cast<const char*>(request->text),
                       strnlen(reinterpret_cast<const char*>(request->text),
                               static_cast<std::size_t>(request->length)));
    for (char& c : needle) c = AsciiLower(c);

    auto set = std::make_unique<ResultSet>();
    bool tooMany = false;
    CEventLog::LogAccess access = log->ScanPieces(
        [&](const char* piece, std::size_t length) {
            if (tooMany) return;
            if (!needle.empty() && !ContainsIgnoringCase({piece, length}, needle)) return;
            if (set->lines.size() == kMaxResultLines) {
                tooMany = true;
                set->lines.clear();
                return;
            }
            set->lines.emplace_back(piece, length);
        },
        kLockTimeout);
    if (access != CEventLog::LogAccess::Done || tooMany) return kLogStatusFailed;

    set->generation = NewGeneration();
    const LONG matches = static_cast<LONG>(set->lines.size());
    auto results = Results();
    if (!results) return kLogStatusFailed;
    std::lock_guard<std::mutex> guard(results->lock);
    results->clients[IDL_handle] = std::move(set);  // an earlier set of the client goes
    *count = matches;
    return kLogStatusOk;
}

error_status_t GetFirstEventEntry(handle_t IDL_handle, DWORD* position) {
    auto results = Results();
    if (!results || !position) return kLogStatusFailed;
    std::lock_guard<std::mutex> guard(results->lock);
    auto found = results->clients.find(IDL_handle);
    if (found == results->clients.end()) return kLogStatusFailed;
    const ResultSet& set = *found->second;
    *position = set.lines.empty() ? 0 : PositionOf(set, 0);
    return kLogStatusOk;
}

error_status_t GetNextEventEntry(handle_t IDL_handle, DWORD* position, LogBuffer* entry) {
    auto results = Results();
    if (!results || !position || !entry) return kLogStatusFailed;
    std::lock_guard<std::mutex> guard(results->lock);
    auto found = results->clients.find(IDL_handle);
    if (found == results->clients.end()) return kLogStatusFailed;
    if (*position == 0) {
        // Read to the end: the set goes, and the client has none until it searches again.
        results->clients.erase(found);
        return kLogStatusFailed;
    }
    const ResultSet& set = *found->second;
    long index = IndexOf(set, *position);
    if (index < 0) return kLogStatusFailed;  // not a position of this client's set
    if (!FillBuffer(*entry, set.lines[static_cast<std::size_t>(index)])) return kLogStatusFailed;
    std::size_t next = static_cast<std::size_t>(index) + 1;
    *position = next < set.lines.size() ? PositionOf(set, next) : 0;
    return kLogStatusOk;
}

error_status_t CashUp(handle_t IDL_handle, LONG boxNumber, LogBuffer* result) {
    CEventLog* log = ThisEventLog;
    if (!log || !result) return kLogStatusFailed;
    int counters[9] = {};
    CEventLog::LogAccess access = log->ScanPieces(
        [&](const char* piece, std::size_t length) {
            const RecordFields record = SplitRecord({piece, length});
            if (FieldNumber(record.box) != boxNumber) return;
            const int type = FieldNumber(record.type);
            if (type == CEventLog::DepositUnits) {
                for (char letter : record.data) {
                    if (letter >= 'a' && letter <= 'i') ++counters[letter - 'a'];
                }
            } else if (type == CEventLog::DoorStateChange) {
                std::fill(std::begin(counters), std::end(counters), 0);
            }
        },
        kLockTimeout);
    if (access != CEventLog::LogAccess::Done) return kLogStatusFailed;
    char text[9 * 12];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d,%d,%d,%d", counters[0], counters[1],
                  counters[2], counters[3], counters[4], counters[5], counters[6], counters[7],
                  counters[8]);
    return FillBuffer(*result, text) ? kLogStatusOk : kLogStatusFailed;
}

error_status_t ClearLog(handle_t IDL_handle) {
    CEventLog* log = ThisEventLog;
    if (!log) return kLogStatusFailed;
    return log->Clear(kLockTimeout) == CEventLog::LogAccess::Done ? kLogStatusOk : kLogStatusFailed;
}

// ---------------------------------------------------------------------------------------
// The connection rundown

void DornelLog_ConnectionRundown(handle_t IDL_handle) {
    auto results = Results();
    if (!results) return;
    std::lock_guard<std::mutex> guard(results->lock);
    results->clients.erase(IDL_handle);
}
