// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Fuzzes the reading of the log file by search and cash-up, and the writing of records.
// The input is a stretch of log file. The first byte picks the box of the cash-up and the
// size of the chunks the file arrives in; the next up to eight bytes are a search text.
// Checked for every input:
//   - the pieces are the file's bytes in order, each at most 1022 bytes and ending in a
//     line feed unless it is a full 1022; nothing after the last piece is handed out
//     unless the file goes on;
//   - the search match agrees with a plain case-blind comparison;
//   - a record written with any piece as its user name and its data is one line of
//     exactly five fields, and reads back as the piece with every control byte and "|"
//     made a space.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/eventlog.h"
#include "server/logservice.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool PlainMatch(std::string_view text, std::string_view lowerNeedle) {
    if (lowerNeedle.empty()) return true;
    for (std::size_t start = 0; start + lowerNeedle.size() <= text.size(); ++start) {
        std::size_t i = 0;
        while (i < lowerNeedle.size() && Lower(text[start + i]) == lowerNeedle[i]) ++i;
        if (i == lowerNeedle.size()) return true;
    }
    return false;
}

std::string Neutralised(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F || c == '|') ? ' ' : c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int box = data[0] & 0x0F;
    const std::size_t chunk = 1 + (data[0] >> 4) * 97;
    const std::size_t needleLength = std::min<std::size_t>(size - 1, 8);
    std::string needle(reinterpret_cast<const char*>(data + 1), needleLength);
    // The operation takes the text up to its terminating zero, in lower case.
    needle.resize(std::string_view(needle.c_str()).size());
    for (char& c : needle) c = Lower(c);
    const std::string_view file(reinterpret_cast<const char*>(data + 1 + needleLength),
                                size - 1 - needleLength);

    std::vector<std::string> pieces;
    CLogPieceSplitter splitter;
    for (std::size_t at = 0; at < file.size(); at += chunk) {
        const std::size_t count = std::min(chunk, file.size() - at);
        splitter.Feed(file.data() + at, count, [&](const char* piece, std::size_t length) {
            Check(piece[length] == '\0');
            pieces.emplace_back(piece, length);
            return true;
        });
    }

    CCashUpCounter counter(box);
    std::size_t offset = 0;
    for (const std::string& piece : pieces) {
        Check(!piece.empty() && piece.size() <= CLogPieceSplitter::kPieceLength);
        Check(piece.back() == '\n' || piece.size() == CLogPieceSplitter::kPieceLength);
        Check(piece.find('\n') == piece.size() - 1 || piece.find('\n') == std::string::npos);
        Check(file.substr(offset, piece.size()) == piece);
        offset += piece.size();
        Check(LogPieceMatches(piece, needle) == PlainMatch(piece, needle));

        const LogRecordFields fields = SplitLogRecord(piece);
        (void)LogFieldNumber(fields.box);
        (void)LogFieldNumber(fields.type);
        counter.Add(piece);

        const std::string record =
            FormatLogRecord("Tuesday, 08/12/2026 04:51:40", box, piece.c_str(), 17, piece.c_str());
        Check(record.back() == '\n' && record.find('\n') == record.size() - 1);
        std::size_t bars = 0;
        for (char c : record) bars += c == '|';
        Check(bars == 5);
        const LogRecordFields back = SplitLogRecord(record);
        Check(LogFieldNumber(back.box) == box && LogFieldNumber(back.type) == 17);
        const std::string expected = Neutralised(std::string_view(piece.c_str()));
        Check(back.data == expected);
    }
    // Every byte up to the last piece was handed out; what is left is shorter than a piece
    // or a full piece the file does not go on after, and holds no line feed.
    const std::string_view rest = file.substr(offset);
    Check(rest.size() <= CLogPieceSplitter::kPieceLength);
    Check(rest.find('\n') == std::string_view::npos);
    const std::string text = counter.Text();
    Check(!text.empty() && text.size() < 9 * 12);

    // The handed-out bytes as one block, as a block scan hands them out: cut, searched and
    // cashed up as a whole, they give what the pieces one by one gave.
    const std::string_view block = file.substr(0, offset);
    std::size_t index = 0;
    ForEachLogPiece(block.data(), block.size(), [&](const char* piece, std::size_t length) {
        Check(index < pieces.size() && pieces[index] == std::string_view(piece, length));
        ++index;
        return true;
    });
    Check(index == pieces.size());
    std::vector<std::string> matches;
    for (const std::string& piece : pieces) {
        if (LogPieceMatches(piece, needle)) matches.push_back(piece);
    }
    index = 0;
    SearchLogBlock(block.data(), block.size(), needle, [&](const char* piece, std::size_t length) {
        Check(index < matches.size() && matches[index] == std::string_view(piece, length));
        ++index;
        return true;
    });
    Check(index == matches.size());
    CCashUpCounter blockCounter(box);
    blockCounter.AddPieces(block.data(), block.size());
    Check(blockCounter.Text() == text);
    return 0;
}
