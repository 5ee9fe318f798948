// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The state of every box's link as the box threads see it, for the box overview that
// "dornelsc boxes dornelman" asks the running service for, and for the once-per-outage
// reports of a box that cannot be reached.
//
// Each box thread writes its own entry; the control socket's thread reads them all. One
// mutex guards the board; no call holds it while logging.

#include <ctime>
#include <string>
#include <vector>

enum class LinkState {
    NotStarted,   // no thread (no key or no address)
    Connecting,   // the thread is connecting (first attempt, or after a connection ended)
    Connected,    // the link is up
    Unreachable,  // connection attempts fail; retried every second
};

struct BoxLinkStatus {
    int box = 0;
    LinkState state = LinkState::NotStarted;
    std::time_t since = 0;    // when the state began
    std::string address;      // the address the thread connects to
    std::string lastFailure;  // why the link last failed ("" when it never did)
    std::time_t lastFailureAt = 0;
    bool heldOffLine = false;  // an administrator took the connected box off line
};

// Clears every entry (service start).
void ResetBoxLinks();
// The box's thread is about to connect to address.
void NoteConnecting(int box, const char* address);
// A connection attempt failed with the reason. True when the box has just become
// unreachable (the first failure since it was last connected or started): the caller reports
// that once.
bool NoteConnectFailed(int box, const char* address, const std::string& reason);
// The link is up. True when the box was unreachable before: the caller reports it back.
bool NoteConnected(int box, const char* address);
// A failure while connected that does not end the link by itself (a failed key exchange).
void NoteLinkFailure(int box, const std::string& reason);
// The connection ended with the reason; the thread starts connecting again.
void NoteDisconnected(int box, const std::string& reason);
// An administrator took the box off line (129) or on line again (130, 131).
void NoteHeldOffLine(int box, bool held);
// The entries of boxes 0 to count - 1.
std::vector<BoxLinkStatus> BoxLinks(int count);
// Whether the box's link is up now.
bool BoxLinkUp(int box);

// The reason of a failed connect, in words, from the socket layer's error (10061 connection
// refused, 10060 timed out, ...); 0 is an address that could not be resolved.
std::string ConnectFailureReason(int winsockError);
// The reason of a disconnection, in words, from the user event's text.
std::string DisconnectReason(const char* eventText);

// The report of the control socket: one line per box, fields separated by tabs:
// number, name, address, state, since, last failure, its time, user, held off line.
// Times are seconds since the epoch, 0 for none. userOf gives the user being served.
std::string BoxOverviewReport(int count, std::string (*userOf)(int box));
