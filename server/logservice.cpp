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
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "interface/dornellog.h"
#include "server/eventlog.h"

// ---------------------------------------------------------------------------------------
// Result sets and positions

std::atomic<int> LogResultMemoryMB{kDefaultLogResultMemoryMB};

namespace {

// Bytes held by the result sets of all clients.
std::atomic<std::size_t> resultBytes{0};

constexpr unsigned kMinIndexBits = 24;

// Lines are copied into blocks of this size, one after the other; a line (at most a piece,
// 1022 characters) never spans two blocks.
constexpr unsigned kOffsetBits = 16;
constexpr std::size_t kBlockSize = std::size_t{1} << kOffsetBits;
constexpr unsigned kLengthBits = 11;
// What one line's entry costs besides its text.
constexpr std::size_t kEntryCost = sizeof(std::uint64_t) + 1;

// One client's matches: copies of the lines, unaffected by appends and by a clear, held
// compactly and charged against the memory of all result sets.
class ResultSet {
  public:
    ResultSet() = default;
    ~ResultSet() { resultBytes.fetch_sub(charged_); }
    ResultSet(const ResultSet&) = delete;
    ResultSet& operator=(const ResultSet&) = delete;

    // Copies the line; false when the memory of all result sets would exceed the cap.
    bool Add(const char* line, std::size_t length) {
        if (blocks_.empty() || blockUsed_ + length > kBlockSize) {
            if (!Charge(kBlockSize)) return false;
            blocks_.emplace_back(new char[kBlockSize]);
            blockUsed_ = 0;
        }
        if (!Charge(kEntryCost)) return false;
        std::memcpy(blocks_.back().get() + blockUsed_, line, length);
        entries_.push_back((std::uint64_t{blocks_.size() - 1} << (kOffsetBits + kLengthBits)) |
                           (std::uint64_t{blockUsed_} << kLengthBits) | length);
        blockUsed_ += length;
        return true;
    }

    std::size_t size() const { return entries_.size(); }

    std::string_view Line(std::size_t index) const {
        const std::uint64_t entry = entries_[index];
        const std::size_t length = entry & ((1u << kLengthBits) - 1);
        const std::size_t offset = (entry >> kLengthBits) & ((1u << kOffsetBits) - 1);
        return {blocks_[entry >> (kOffsetBits + kLengthBits)].get() + offset, length};
    }

    // Sets the generation and the position layout once the set is complete.
    void Seal(unsigned generationCounter) {
        indexBits = kMinIndexBits;
        while (indexBits < 31 && (std::uint64_t{1} << indexBits) <= size()) ++indexBits;
        const std::uint32_t mask = (std::uint32_t{1} << (32 - indexBits)) - 1;
        generation = generationCounter & mask;
        if (generation == 0) generation = 1;  // never 0, so no position of a set is ever 0
    }

    std::uint32_t generation = 0;
    unsigned indexBits = kMinIndexBits;

  private:
    bool Charge(std::size_t bytes) {
        const std::size_t limit = LogResultMemoryLimit();
        std::size_t now = resultBytes.load();
        do {
            if (now + bytes > limit) return false;
        } while (!resultBytes.compare_exchange_weak(now, now + bytes));
        charged_ += bytes;
        return true;
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t blockUsed_ = 0;
    std::deque<std::uint64_t> entries_;  // block, offset and length of each line
    std::size_t charged_ = 0;
};

// Generations are drawn from one counter for the whole process, so a position kept from an
// earlier set of the same client (or another client's) does not fit the current one.
std::atomic<unsigned> nextGeneration{0};

DWORD PositionOf(const ResultSet& set, std::size_t index) {
    return (DWORD{set.generation} << set.indexBits) | static_cast<DWORD>(index + 1);
}

// The index a position names in the set, or -1 when it is not one of the set's own.
long IndexOf(const ResultSet& set, DWORD position) {
    if ((position >> set.indexBits) != set.generation) return -1;
    const DWORD index = position & ((DWORD{1} << set.indexBits) - 1);
    if (index == 0 || index > set.size()) return -1;
    return static_cast<long>(index - 1);
}

// Serialises the creation of the table itself.
std::mutex tableCreation;

}  // namespace

struct CEventLog::SearchResults {
    std::mutex lock;                                         // the map and every set in it
    std::map<handle_t, std::unique_ptr<ResultSet>> clients;  // by client connection
};

std::size_t LogResultMemoryLimit() {
    int megabytes = LogResultMemoryMB.load();
    if (megabytes <= 0) megabytes = kDefaultLogResultMemoryMB;
    if (megabytes > kMaxLogResultMemoryMB) megabytes = kMaxLogResultMemoryMB;
    return static_cast<std::size_t>(megabytes) << 20;
}

std::size_t LogResultMemoryInUse() { return resultBytes.load(); }

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

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

}  // namespace

// A field is the text between the n-th and the (n+1)-th "|" (or the end of the piece).
LogRecordFields SplitLogRecord(std::string_view piece) {
    std::string_view fields[5];
    std::size_t start = 0;
    for (int n = 0; n < 5 && start <= piece.size(); ++n) {
        const void* bar = std::memchr(piece.data() + start, '|', piece.size() - start);
        std::size_t end =
            bar ? static_cast<std::size_t>(static_cast<const char*>(bar) - piece.data())
                : piece.size();
        fields[n] = piece.substr(start, end - start);
        if (!bar) break;
        start = end + 1;
    }
    return {fields[1], fields[2], fields[4]};
}

int LogFieldNumber(std::string_view field) {
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

// Candidates are found with memchr on the first letter in either case, so a line is mostly
// scanned at memchr's speed.
bool LogPieceMatches(std::string_view text, std::string_view lowerNeedle) {
    const std::size_t n = lowerNeedle.size();
    if (n == 0) return true;
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

namespace {

// True when the n bytes at text equal lowerNeedle's, ASCII letters without regard to case.
bool EqualsFolded(const char* text, const char* lowerNeedle, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (AsciiLower(text[i]) != lowerNeedle[i]) return false;
    }
    return true;
}

}  // namespace

const char* FindFolded(const char* from, const char* end, std::string_view lowerNeedle) {
    const std::size_t n = lowerNeedle.size();
    if (n == 0) return from;
    if (from > end || static_cast<std::size_t>(end - from) < n) return nullptr;
    const char* const last = end - n;  // the last possible start
    const char* at = from;
#if defined(__SSE2__)
    // Sixteen starts at a time: a start is a candidate when its first and its last byte are
    // the needle's (a letter in either case). Letters are compared with the 0x20 bit set,
    // which maps exactly the two cases of a letter to its lower case; other bytes exactly.
    const auto fold = [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? 0x20 : 0); };
    const __m128i first = _mm_set1_epi8(lowerNeedle[0]);
    const __m128i lastByte = _mm_set1_epi8(lowerNeedle[n - 1]);
    const __m128i firstFold = _mm_set1_epi8(fold(lowerNeedle[0]));
    const __m128i lastFold = _mm_set1_epi8(fold(lowerNeedle[n - 1]));
    while (last - at >= 15) {
        const __m128i heads = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i tails = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + n - 1));
        const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(heads, firstFold), first),
                                           _mm_cmpeq_epi8(_mm_or_si128(tails, lastFold), lastByte));
        auto candidates = static_cast<unsigned>(_mm_movemask_epi8(both));
        while (candidates != 0) {
            const char* candidate = at + __builtin_ctz(candidates);
            if (EqualsFolded(candidate, lowerNeedle.data(), n)) return candidate;
            candidates &= candidates - 1;
        }
        at += 16;
    }
#endif
    for (; at <= last; ++at) {
        if (EqualsFolded(at, lowerNeedle.data(), n)) return at;
    }
    return nullptr;
}

bool SearchLogBlock(const char* block, std::size_t length, std::string_view lowerNeedle,
                    const std::function<bool(const char* piece, std::size_t length)>& onMatch) {
    const auto matchPiece = [&](const char* piece, std::size_t size) {
        return !LogPieceMatches({piece, size}, lowerNeedle) || onMatch(piece, size);
    };
    // An empty needle matches every piece; one with a line feed may end a piece with it.
    // Both are rare: piece by piece.
    if (lowerNeedle.empty() || lowerNeedle.find('\n') != std::string_view::npos) {
        return ForEachLogPiece(block, length, matchPiece);
    }
    const char* at = block;  // always a piece boundary: the block's start or a line's
    const char* const end = block + length;
    while (at < end) {
        const char* hit = FindFolded(at, end, lowerNeedle);
        if (!hit) return true;
        // The line of the hit: a match without line feed never crosses one.
        const void* before = ::memrchr(at, '\n', static_cast<std::size_t>(hit - at));
        const char* start = before ? static_cast<const char*>(before) + 1 : at;
        const void* feed = std::memchr(hit, '\n', static_cast<std::size_t>(end - hit));
        const char* stop = feed ? static_cast<const char*>(feed) + 1 : end;
        const std::size_t size = static_cast<std::size_t>(stop - start);
        if (size <= CLogPieceSplitter::kPieceLength) {
            if (!onMatch(start, size)) return false;
        } else if (!ForEachLogPiece(start, size, matchPiece)) {
            return false;  // a line of several pieces: each is matched on its own
        }
        at = stop;
    }
    return true;
}

void CCashUpCounter::Add(std::string_view piece) {
    // Most records are another box's: the box number alone decides them. It is read from
    // just after the first "|" on; the reading stops at the next "|" as it would at the
    // field's end, and a record without "|" has an empty box field (0).
    const void* bar = std::memchr(piece.data(), '|', piece.size());
    const std::string_view afterBar =
        bar ? piece.substr(static_cast<std::size_t>(static_cast<const char*>(bar) - piece.data()) +
                           1)
            : std::string_view();
    if (LogFieldNumber(afterBar) != box_) return;
    const LogRecordFields record = SplitLogRecord(piece);
    const int type = LogFieldNumber(record.type);
    if (type == CEventLog::DepositUnits) {
        for (char letter : record.data) {
            if (letter >= 'a' && letter <= 'i') ++counters_[letter - 'a'];
        }
    } else if (type == CEventLog::DoorStateChange) {
        std::fill(std::begin(counters_), std::end(counters_), 0);
    }
}

void CCashUpCounter::AddPieces(const char* block, std::size_t length) {
    const char* at = block;
    const char* const end = block + length;
    while (at < end) {
        // One pass over the piece finds its end (a line feed, or the piece length) and its
        // first "|", which is all a record of another box needs.
        const std::size_t span =
            std::min(CLogPieceSplitter::kPieceLength, static_cast<std::size_t>(end - at));
        const char* bar = nullptr;
        const char* feed = nullptr;
        std::size_t offset = 0;
#if defined(__SSE2__)
        const __m128i feeds = _mm_set1_epi8('\n');
        const __m128i bars = _mm_set1_epi8('|');
        for (; offset + 16 <= span; offset += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + offset));
            const auto feedBits =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feeds)));
            const auto barBits =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, bars)));
            if (!bar && barBits != 0 &&
                (feedBits == 0 || (barBits & -barBits) < (feedBits & -feedBits))) {
                bar = at + offset + __builtin_ctz(barBits);
            }
            if (feedBits != 0) {
                feed = at + offset + __builtin_ctz(feedBits);
                break;
            }
        }
#endif
        for (; !feed && offset < span; ++offset) {
            if (at[offset] == '\n') {
                feed = at + offset;
            } else if (at[offset] == '|' && !bar) {
                bar = at + offset;
            }
        }
        const std::size_t take = feed ? static_cast<std::size_t>(feed - at) + 1 : span;
        int box = 0;
        if (bar) {
            // The usual field, digits up to the next "|", is read here; anything else (white
            // space, a sign, other text after the digits) as LogFieldNumber reads it.
            const char* const stop = at + take;
            const char* digit = bar + 1;
            long long value = 0;
            while (digit < stop && *digit >= '0' && *digit <= '9' && digit - bar <= 10) {
                value = value * 10 + (*digit - '0');
                ++digit;
            }
            if (digit > bar + 1 && digit < stop && *digit == '|') {
                box = static_cast<int>(std::min<long long>(value, 2147483647LL));
            } else {
                box = LogFieldNumber({bar + 1, static_cast<std::size_t>(stop - bar - 1)});
            }
        }
        if (box == box_) Add({at, take});
        at += take;
    }
}

std::string CCashUpCounter::Text() const {
    char text[9 * 12];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d,%d,%d,%d", counters_[0], counters_[1],
                  counters_[2], counters_[3], counters_[4], counters_[5], counters_[6],
                  counters_[7], counters_[8]);
    return text;
}

namespace {

// Copies text into a new zero-filled block from MIDL_user_allocate; false when out of memory.
bool FillBuffer(LogBuffer& buffer, std::string_view text) {
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
    auto results = Results();
    if (!results) return kLogStatusFailed;
    {
        // The caller's earlier set goes now, so its memory is free for the new one.
        std::unique_ptr<ResultSet> earlier;
        std::lock_guard<std::mutex> guard(results->lock);
        auto found = results->clients.find(IDL_handle);
        if (found != results->clients.end()) {
            earlier = std::move(found->second);
            results->clients.erase(found);
        }
    }
    // The text up to its terminating zero; the block always holds one past length.
    std::string needle(reinterpret_cast<const char*>(request->text),
                       strnlen(reinterpret_cast<const char*>(request->text),
                               static_cast<std::size_t>(request->length)));
    for (char& c : needle) c = AsciiLower(c);

    auto set = std::make_unique<ResultSet>();
    bool full = false;
    const std::function<bool(const char*, std::size_t)> keep = [&](const char* piece,
                                                                   std::size_t length) {
        // A count beyond a LONG cannot be told to the client either.
        if (set->size() >= 0x7FFFFFFF || !set->Add(piece, length)) {
            full = true;
            return false;
        }
        return true;
    };
    CEventLog::LogAccess access = log->ScanBlocksWhile(
        [&](const char* block, std::size_t length) {
            return SearchLogBlock(block, length, needle, keep);
        },
        kLockTimeout);
    if (access != CEventLog::LogAccess::Done || full) return kLogStatusFailed;

    set->Seal(nextGeneration.fetch_add(1) + 1);
    const LONG matches = static_cast<LONG>(set->size());
    std::lock_guard<std::mutex> guard(results->lock);
    results->clients[IDL_handle] = std::move(set);
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
    *position = set.size() == 0 ? 0 : PositionOf(set, 0);
    return kLogStatusOk;
}

error_status_t GetNextEventEntry(handle_t IDL_handle, DWORD* position, LogBuffer* entry) {
    auto results = Results();
    if (!results || !position || !entry) return kLogStatusFailed;
    std::unique_ptr<ResultSet> finished;  // freed after the table's lock is released
    std::lock_guard<std::mutex> guard(results->lock);
    auto found = results->clients.find(IDL_handle);
    if (found == results->clients.end()) return kLogStatusFailed;
    if (*position == 0) {
        // Read to the end: the set goes, and the client has none until it searches again.
        finished = std::move(found->second);
        results->clients.erase(found);
        return kLogStatusFailed;
    }
    const ResultSet& set = *found->second;
    long index = IndexOf(set, *position);
    if (index < 0) return kLogStatusFailed;  // not a position of this client's set
    if (!FillBuffer(*entry, set.Line(static_cast<std::size_t>(index)))) {
        return kLogStatusFailed;
    }
    std::size_t next = static_cast<std::size_t>(index) + 1;
    *position = next < set.size() ? PositionOf(set, next) : 0;
    return kLogStatusOk;
}

error_status_t CashUp(handle_t IDL_handle, LONG boxNumber, LogBuffer* result) {
    CEventLog* log = ThisEventLog;
    if (!log || !result) return kLogStatusFailed;
    CCashUpCounter counter(boxNumber);
    CEventLog::LogAccess access = log->ScanBlocksWhile(
        [&](const char* block, std::size_t length) {
            counter.AddPieces(block, length);
            return true;
        },
        kLockTimeout);
    if (access != CEventLog::LogAccess::Done) return kLogStatusFailed;
    return FillBuffer(*result, counter.Text()) ? kLogStatusOk : kLogStatusFailed;
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
