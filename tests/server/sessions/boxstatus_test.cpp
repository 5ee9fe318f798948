// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The board of box link states: an outage is reported once, its end once; the overview
// report keeps one line per box whatever a user name or an address holds.

#include "server/boxstatus.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/net.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

TEST(BoxLinks, AnOutageAndItsEndAreEachReportedOnce) {
    ResetBoxLinks();
    NoteConnecting(1, "192.0.2.7");
    EXPECT_EQ(BoxLinks(2)[1].state, LinkState::Connecting);
    EXPECT_TRUE(NoteConnectFailed(1, "192.0.2.7", ConnectFailureReason(WSAECONNREFUSED)));
    // The attempts that follow fail quietly, whatever their reason.
    for (int attempt = 0; attempt < 5; ++attempt) {
        NoteConnecting(1, "192.0.2.7");
        EXPECT_FALSE(NoteConnectFailed(1, "192.0.2.7", ConnectFailureReason(WSAETIMEDOUT)));
    }
    BoxLinkStatus entry = BoxLinks(2)[1];
    EXPECT_EQ(entry.state, LinkState::Unreachable);
    EXPECT_EQ(entry.lastFailure, "timed out");
    EXPECT_FALSE(BoxLinkUp(1));

    EXPECT_TRUE(NoteConnected(1, "192.0.2.7"));
    EXPECT_TRUE(BoxLinkUp(1));
    NoteDisconnected(1, DisconnectReason("Connection to client has died"));
    EXPECT_EQ(BoxLinks(2)[1].lastFailure, "closed by the box");
    // A connection that ends is no outage: reconnecting at once reports nothing.
    EXPECT_FALSE(NoteConnected(1, "192.0.2.7"));
    // Another box is untouched, and numbers outside the board are ignored.
    EXPECT_EQ(BoxLinks(2)[0].state, LinkState::NotStarted);
    EXPECT_FALSE(NoteConnectFailed(10, "x", "y"));
    EXPECT_FALSE(NoteConnectFailed(-1, "x", "y"));
}

TEST(BoxLinks, HeldOffLineLastsOnlyForTheConnection) {
    ResetBoxLinks();
    NoteHeldOffLine(0, true);  // not connected: nothing to hold
    EXPECT_FALSE(BoxLinks(1)[0].heldOffLine);
    NoteConnected(0, "192.0.2.1");
    NoteHeldOffLine(0, true);
    EXPECT_TRUE(BoxLinks(1)[0].heldOffLine);
    NoteDisconnected(0, "");
    NoteConnected(0, "192.0.2.1");
    EXPECT_FALSE(BoxLinks(1)[0].heldOffLine);
}

std::string TrickyUser(int box) { return box == 0 ? "ali\tce\nx" : ""; }

TEST(BoxLinks, TheOverviewKeepsOneLineOfNineFieldsPerBox) {
    ResetBoxLinks();
    NoteConnected(0, "192.0.2.1\t9");
    NoteConnecting(2, "box.example");
    EXPECT_TRUE(NoteConnectFailed(2, "box.example", ConnectFailureReason(0)));
    const std::vector<std::string> lines = Lines(BoxOverviewReport(3, TrickyUser));
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) EXPECT_EQ(Fields(line).size(), 9u) << line;
    std::vector<std::string> first = Fields(lines[0]);
    EXPECT_EQ(first[1], "Box000");
    EXPECT_EQ(first[2], "192.0.2.1 9");
    EXPECT_EQ(first[3], "connected");
    EXPECT_EQ(first[7], "ali ce x");
    EXPECT_EQ(Fields(lines[1])[3], "not-started");
    std::vector<std::string> third = Fields(lines[2]);
    EXPECT_EQ(third[3], "offline");
    EXPECT_EQ(third[5], "address not found");
    EXPECT_NE(third[6], "0");
}

}  // namespace
