// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The board of box link states (see boxstatus.h).

#include "server/boxstatus.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/net/net.h"
#include "server/serverstartinfo.h"

namespace {

std::mutex boardLock;
BoxLinkStatus board[kMaxBoxes];

bool Valid(int box) { return box >= 0 && box < kMaxBoxes; }

const char* StateText(LinkState state) {
    switch (state) {
        case LinkState::Connecting:
            return "connecting";
        case LinkState::Connected:
            return "connected";
        case LinkState::Unreachable:
            return "offline";
        default:
            return "not-started";
    }
}

// A field of the report: no tab or line end inside.
std::string Field(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    return out;
}

}  // namespace

void ResetBoxLinks() {
    std::lock_guard<std::mutex> guard(boardLock);
    for (int i = 0; i < kMaxBoxes; ++i) {
        board[i] = BoxLinkStatus();
        board[i].box = i;
    }
}

void NoteConnecting(int box, const char* address) {
    if (!Valid(box)) return;
    std::lock_guard<std::mutex> guard(boardLock);
    BoxLinkStatus& entry = board[box];
    entry.address = address ? address : "";
    // A box already found unreachable stays so until it answers.
    if (entry.state == LinkState::Unreachable || entry.state == LinkState::Connecting) return;
    entry.state = LinkState::Connecting;
    entry.since = std::time(nullptr);
}

bool NoteConnectFailed(int box, const char* address, const std::string& reason) {
    if (!Valid(box)) return false;
    std::lock_guard<std::mutex> guard(boardLock);
    BoxLinkStatus& entry = board[box];
    entry.address = address ? address : "";
    entry.lastFailure = reason;
    entry.lastFailureAt = std::time(nullptr);
    if (entry.state == LinkState::Unreachable) return false;
    entry.state = LinkState::Unreachable;
    entry.since = entry.lastFailureAt;
    return true;
}

bool NoteConnected(int box, const char* address) {
    if (!Valid(box)) return false;
    std::lock_guard<std::mutex> guard(boardLock);
    BoxLinkStatus& entry = board[box];
    const bool wasUnreachable = entry.state == LinkState::Unreachable;
    entry.address = address ? address : "";
    entry.state = LinkState::Connected;
    entry.since = std::time(nullptr);
    entry.heldOffLine = false;  // a box always comes on line when it connects
    return wasUnreachable;
}

void NoteLinkFailure(int box, const std::string& reason) {
    if (!Valid(box)) return;
    std::lock_guard<std::mutex> guard(boardLock);
    board[box].lastFailure = reason;
    board[box].lastFailureAt = std::time(nullptr);
}

void NoteDisconnected(int box, const std::string& reason) {
    if (!Valid(box)) return;
    std::lock_guard<std::mutex> guard(boardLock);
    BoxLinkStatus& entry = board[box];
    if (!reason.empty()) {
        entry.lastFailure = reason;
        entry.lastFailureAt = std::time(nullptr);
    }
    entry.state = LinkState::Connecting;
    entry.since = std::time(nullptr);
    entry.heldOffLine = false;
}

void NoteHeldOffLine(int box, bool held) {
    if (!Valid(box)) return;
    std::lock_guard<std::mutex> guard(boardLock);
    if (board[box].state == LinkState::Connected) board[box].heldOffLine = held;
}

std::vector<BoxLinkStatus> BoxLinks(int count) {
    std::vector<BoxLinkStatus> entries;
    std::lock_guard<std::mutex> guard(boardLock);
    for (int i = 0; i < count && i < kMaxBoxes; ++i) {
        entries.push_back(board[i]);
        entries.back().box = i;
    }
    return entries;
}

bool BoxLinkUp(int box) {
    if (!Valid(box)) return false;
    std::lock_guard<std::mutex> guard(boardLock);
    return board[box].state == LinkState::Connected;
}

std::string ConnectFailureReason(int winsockError) {
    switch (winsockError) {
        case 0:
            return "address not found";
        case WSAECONNREFUSED:
            return "connection refused";
        case WSAETIMEDOUT:
            return "timed out";
        case WSAEHOSTUNREACH:
            return "host unreachable";
        case WSAENETUNREACH:
            return "network unreachable";
        case WSAEADDRNOTAVAIL:
            return "address not available";
        case WSAECONNRESET:
            return "connection reset";
        default: {
            char text[48];
            std::snprintf(text, sizeof text, "connect failed (error %d)", winsockError);
            return text;
        }
    }
}

std::string DisconnectReason(const char* eventText) {
    if (!eventText) return {};
    if (std::strcmp(eventText, "Connection to client has died") == 0) return "closed by the box";
    if (std::strcmp(eventText, "select() causes disconnection") == 0) return "closed by the box";
    if (std::strcmp(eventText, "Client reset") == 0) return "reset by an administrator";
    if (std::strcmp(eventText, "Service stopped") == 0) return "service stopped";
    if (std::strcmp(eventText, "Wait failed") == 0) return "wait failed";
    return eventText;
}

std::string BoxOverviewReport(int count, std::string (*userOf)(int box)) {
    std::string report;
    for (const BoxLinkStatus& entry : BoxLinks(count)) {
        char name[16];
        std::snprintf(name, sizeof name, "Box%03d", entry.box);
        report += std::to_string(entry.box) + "\t" + name + "\t" + Field(entry.address) + "\t" +
                  StateText(entry.state) + "\t" + std::to_string(entry.since) + "\t" +
                  Field(entry.lastFailure) + "\t" + std::to_string(entry.lastFailureAt) + "\t" +
                  Field(userOf ? userOf(entry.box) : std::string()) + "\t" +
                  (entry.heldOffLine ? "1" : "0") + "\n";
    }
    return report;
}
