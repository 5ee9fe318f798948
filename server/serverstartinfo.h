// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// t_ServerStartInfo: everything the server holds about one box. The service object owns
// ten of them for the life of the process; each box's threads keep a pointer to theirs.
// The record is plain data: the service clears it with memset at start.

#include "platform/base/wintypes.h"
#include "platform/net/net.h"

inline constexpr int kMaxBoxes = 10;        // records in CZuvexService::boxes
inline constexpr int kMessagePages = 32;    // Message00-xx .. Message31-xx
inline constexpr int kMessageLines = 10;    // MessageNN-00 .. MessageNN-09
inline constexpr int kMessageLineSize = 40; // 39 characters and a NUL
inline constexpr int kBoxEventCount = 7;    // the wait set of a box thread

// Indexes of t_ServerStartInfo::boxEvents; the lowest signalled index wins a wait.
enum BoxEventIndex : int {
    kEventSocketReady = 0,  // "EVENT_SOCKET_READY_%03d": data can be read (pulsed)
    kEventEndThread = 1,    // "EVENT_END_THREAD_%03d": wait thread ended, or service stops
    kEventResetBox = 2,     // "EVENT_RESET_BOX_%03d": control code 128
    kEventBoxOnline = 3,    // "EVENT_BOX_ONLINE_%03d": control code 130
    kEventBoxOffline = 4,   // "EVENT_BOX_OFFLINE_%03d": control code 129
    kEventKeepalive = 5,    // "EVENT_KEEPALIVE_%03d": send a keep-alive (pulsed)
    kEventBoxReconf = 6,    // "EVENT_BOX_RECONF_%03d": control code 131
};

struct t_ServerStartInfo {
    char ipAddress[1024];          // IPAddress: host name or dotted address of the box
    int boxNumber;                 // 0-based index; set only when the box key opens
    SOCKET socket;                 // session socket; 0 (or -1 after a failed connect) when none
    char userName[1024];           // user being served; empty between users ("N/A" in the log)
    char authMaster[1024];         // AuthMaster: domain or host of NT logons, given to plug-ins
    char netwareAuthData[1024];    // NetwareAuthData: "tree|context," entries for dornnw
    int authType;                  // AuthType: 0 NT, 1 NetWare, 2 custom plug-in
    char pcounterLocation[1024];   // PCounterLocation: folder of account.exe
    char printLinkLocation[1024];  // PrintLinkLocation: shown by the applet, unused here
    int printLinkType;             // PrintLinkType: 0 PCounter, 1 printlink plug-in
    HANDLE boxEvents[kBoxEventCount];  // wait set, in BoxEventIndex order
    HANDLE threadTermEvent;        // "EVENT_THREADTERM_%03d": tells the wait thread to end
    char messages[kMessagePages][kMessageLines][kMessageLineSize];  // display pages
    int rotationDelay;             // RotationDelay, seconds (default 15)
    int uiTimeout;                 // UITimeout, seconds (default 30)
    int keepAlivePending;          // set on an idle time-out; a keep-alive goes out while set
};
