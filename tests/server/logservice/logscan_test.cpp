// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Search and cash-up over blocks of whole pieces give what matching and counting piece by
// piece gives: the same pieces in the same order, the same counters, on tricky text.

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "server/eventlog.h"
#include "server/logservice.h"

namespace {

constexpr std::size_t kPiece = CLogPieceSplitter::kPieceLength;

std::vector<std::string> Pieces(const std::string& block) {
    std::vector<std::string> pieces;
    ForEachLogPiece(block.data(), block.size(), [&](const char* piece, std::size_t length) {
        pieces.emplace_back(piece, length);
        return true;
    });
    return pieces;
}

std::vector<std::string> MatchesPieceByPiece(const std::string& block, std::string_view needle) {
    std::vector<std::string> matches;
    for (const std::string& piece : Pieces(block)) {
        if (LogPieceMatches(piece, needle)) matches.push_back(piece);
    }
    return matches;
}

std::vector<std::string> MatchesOfBlock(const std::string& block, std::string_view needle) {
    std::vector<std::string> matches;
    SearchLogBlock(block.data(), block.size(), needle, [&](const char* piece, std::size_t length) {
        matches.emplace_back(piece, length);
        return true;
    });
    return matches;
}

// Text of whole lines with the needle's letters in every case, near line ends and
// starts, split over pieces of long lines, and bytes above 0x7F.
std::string TrickyLines() {
    std::string text;
    const char* lines[] = {
        "Tuesday, 06/03/2001 14:05:09|3|16|jsmith|Closed|",
        "Tuesday, 06/03/2001 14:05:09|3|16|jsmith|Open|",
        "CLOSED",
        "cLoSeD at the start",
        "closeclosed",
        "clos",
        "closedclosed twice on one line",
        "caf\xc3\xa9 Caf\xc3\x89 \xe9t\xe9",
        "",
        "x",
        "lines with @ and ` and [ and { that fold like letters under 0x20 but are not letters",
    };
    for (int round = 0; round < 3; ++round) {
        for (const char* line : lines) {
            text += std::string(static_cast<std::size_t>(round * 7), ' ') + line + "\n";
        }
        // A long line: the needle inside one piece, and across the cut between two.
        std::string longLine(3 * kPiece + 5, '-');
        longLine.replace(100, 6, "Closed");
        longLine.replace(kPiece - 3, 6, "closed");  // crosses the first cut: no match there
        longLine.replace(2 * kPiece + 10, 6, "CLOSED");
        text += longLine + "\n";
        text += std::string(kPiece - 1, 'c') + "\n";  // exactly one piece
        text += std::string(kPiece, 'd') + "\n";      // one piece, then the line feed alone
    }
    return text;
}

TEST(LogBlockSearch, FindsWhatPieceByPieceMatchingFinds) {
    const std::string lines = TrickyLines();
    // A run of full pieces of a line that goes on (no line feed), as a long line's head is
    // handed out before its end has been read.
    std::string run(2 * kPiece, 'z');
    run.replace(kPiece - 2, 6, "closed");
    run.replace(kPiece + 40, 6, "ClOsEd");
    for (const std::string& block : {lines, run, std::string()}) {
        for (std::string_view needle : {"closed", "c", "d", "closedclosed", "|16|", "open|\n",
                                        "d\nt", "\n", "", "caf\xc3\xa9", "\xe9t\xe9", "@", "`", "[",
                                        "a needle longer than sixteen bytes", "-closed-", "zz"}) {
            EXPECT_EQ(MatchesOfBlock(block, needle), MatchesPieceByPiece(block, needle))
                << "needle \"" << needle << "\" in a block of " << block.size();
        }
    }
}

TEST(LogBlockSearch, FoldedFindAgreesWithAPlainSearchAtEveryOffset) {
    // Every start and end offset around the 16-byte steps, hits in the last bytes included.
    const std::string text = "..ClosedXXclosed...CLOSE..cLOSEd.....................Closed";
    const std::string lower = [&] {
        std::string copy = text;
        for (char& c : copy) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return copy;
    }();
    for (std::string_view needle : {"closed", "c", "d.", "closedxx", "..."}) {
        for (std::size_t from = 0; from <= text.size(); ++from) {
            for (std::size_t end = from; end <= text.size(); ++end) {
                const std::size_t plain = lower.substr(from, end - from).find(needle);
                const char* found = FindFolded(text.data() + from, text.data() + end, needle);
                if (plain == std::string::npos) {
                    ASSERT_EQ(found, nullptr) << needle << " " << from << ".." << end;
                } else {
                    ASSERT_EQ(found, text.data() + from + plain)
                        << needle << " " << from << ".." << end;
                }
            }
        }
    }
}

TEST(LogBlockSearch, StopsAtTheFirstRefusedMatch) {
    const std::string block = "closed 1\nnothing\nclosed 2\nclosed 3\n";
    int calls = 0;
    EXPECT_FALSE(SearchLogBlock(block.data(), block.size(), "closed",
                                [&](const char*, std::size_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

// The cash-up as it reads a record: the box and type fields as numbers (white space, sign,
// digits, saturating), door records resetting, coin letters "a" to "i" counting.
void CountPieceByPiece(int box, const std::vector<std::string>& pieces, int* counters) {
    for (const std::string& piece : pieces) {
        const LogRecordFields record = SplitLogRecord(piece);
        if (LogFieldNumber(record.box) != box) continue;
        const int type = LogFieldNumber(record.type);
        if (type == CEventLog::DepositUnits) {
            for (char letter : record.data) {
                if (letter >= 'a' && letter <= 'i') ++counters[letter - 'a'];
            }
        } else if (type == CEventLog::DoorStateChange) {
            for (int i = 0; i < 9; ++i) counters[i] = 0;
        }
    }
}

TEST(LogBlockCashUp, CountsWhatReadingEveryFieldCounts) {
    const std::vector<std::string> records = {
        "t|3|17|u|aabci|\n",
        "t| 3|17|u|b|\n",
        "t|+3|17|u|c|\n",
        "t|03|17|u|d|\n",
        "t|3x|17|u|e|\n",
        "t|3 |17|u|f|\n",
        "t|-3|17|u|g|\n",
        "t|13|17|u|h|\n",
        "t||17|u|i|\n",
        "t|0|17|u|a|\n",
        "no bar at all, box 0 and type 0\n",
        "t|0\n",
        "t|3|\n",
        "t|3|17\n",
        "t|3|17|u\n",
        "t|3|17|u|abc\n",
        "t|3|17|u|abc|trailing|fields|\n",
        "t|99999999999|17|u|a|\n",
        "t|2147483647|17|u|b|\n",
        "t|9999999999|17|u|d|\n",
        "t|2147483648|17|u|e|\n",
        "t|-1|17|u|c|\n",
        "t|3|16|u|Open|\n",
        "t|3|17|u|ghi|\n",
        "t|3| 17 |u|hh|\n",
        "t|3|017|u|ii|\n",
        "t|\t3|17|u|a|\n",
        "t|3|17|u|" + std::string(kPiece, 'a') + "|\n",  // split over pieces
    };
    std::string lines;
    for (const std::string& record : records) lines += record;
    // The records at every offset of the scanner's sixteen-byte steps, and blocks that end in
    // full pieces of a line that goes on.
    for (std::size_t shift = 0; shift <= 17; ++shift) {
        for (const std::string& run : {std::string(), std::string(2 * kPiece, 'a')}) {
            const std::string block = std::string(shift, 'x') + "|3|17|u|b|\n" + lines + run;
            const std::vector<std::string> pieces = Pieces(block);
            for (int box : {0, 3, 13, -3, -1, 2147483647, 1}) {
                int expected[9] = {};
                CountPieceByPiece(box, pieces, expected);
                CCashUpCounter counter(box);
                for (const std::string& piece : pieces) counter.Add(piece);
                CCashUpCounter blockCounter(box);
                blockCounter.AddPieces(block.data(), block.size());
                for (int letter = 0; letter < 9; ++letter) {
                    EXPECT_EQ(counter.Count(letter), expected[letter])
                        << "box " << box << " letter " << static_cast<char>('a' + letter);
                    EXPECT_EQ(blockCounter.Count(letter), expected[letter])
                        << "whole block: box " << box << " letter "
                        << static_cast<char>('a' + letter) << " shift " << shift << " run "
                        << run.size();
                }
            }
        }
    }
}

}  // namespace
