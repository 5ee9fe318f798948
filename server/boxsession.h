// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// What the box handler thread, its socket wait thread and the service's stop sequence
// share beyond the box record: the per-connection context of a socket wait thread, and
// the process-wide "sessions are stopping" request.
//
// A socket wait thread lives for one connection and works only on the socket it was
// started for. It never closes that socket: when it finds the connection dead it shuts it
// down (so every read and write on it fails at once), stores 0 in the record if the record
// still holds that socket, and raises END_THREAD; the handler, which alone closes its
// sockets, does so only after the wait thread has ended. A descriptor number is therefore
// never closed while another thread may still be using it, and a wait thread can never
// touch the socket or the events of a later connection.
//
// Threads: the context is shared by one handler thread and one wait thread; the stop
// request is raised by the control thread and read by every box thread.

#include <atomic>
#include <memory>

#include "platform/base/wintypes.h"
#include "platform/net/net.h"
#include "server/serverstartinfo.h"

// Winsock's shutdown() direction for both halves of a connection.
inline constexpr int SD_BOTH = SHUT_RDWR;

// Socket wait threads poll their socket every this many seconds when it is idle.
inline constexpr int kSocketWaitSeconds = 10;

// The handler waits this long for a socket wait thread to end before it reuses the record.
inline constexpr DWORD kWaitThreadEndMs = 15000;

// One connection's socket wait thread: the record, the socket it watches and its own
// handles on the box's events (opened by name, closed when the context goes).
struct SocketWaitContext {
    SocketWaitContext(t_ServerStartInfo* record, SOCKET connection);
    ~SocketWaitContext();
    SocketWaitContext(const SocketWaitContext&) = delete;
    SocketWaitContext& operator=(const SocketWaitContext&) = delete;

    // Claims the end of this connection; true for the first caller only. The handler claims
    // it before it tears the connection down, the wait thread before it reports a failure,
    // so a wait thread told to end never raises END_THREAD.
    bool ClaimEnd() { return !ended.exchange(true); }

    t_ServerStartInfo* info;      // the box record (lives as long as the process)
    SOCKET socket;                // the connection this thread watches
    HANDLE socketReady = nullptr; // "EVENT_SOCKET_READY_%03d"
    HANDLE endThread = nullptr;   // "EVENT_END_THREAD_%03d"
    HANDLE keepAlive = nullptr;   // "EVENT_KEEPALIVE_%03d"
    HANDLE threadTerm = nullptr;  // "EVENT_THREADTERM_%03d"
    std::atomic<bool> ended{false};  // the connection's end has been claimed
};

// Starts SocketWaitThread for the connection; the thread shares ownership of the context.
// Returns the thread handle, or null when the thread could not start.
HANDLE StartSocketWaitThread(const std::shared_ptr<SocketWaitContext>& context);

// Records this thread's Winsock error after a failed call made straight on the descriptor
// (select, setsockopt, shutdown), which the socket layer does not see, and returns it.
int NoteSocketCallError();

// The record's socket and keep-alive flag, read and written by several threads.
inline std::atomic_ref<SOCKET> RecordSocket(t_ServerStartInfo* info) {
    return std::atomic_ref<SOCKET>(info->socket);
}
inline std::atomic_ref<int> KeepAliveFlag(t_ServerStartInfo* info) {
    return std::atomic_ref<int>(info->keepAlivePending);
}

// The process-wide stop of the box sessions. RequestBoxSessionsStop sets the flag and a
// manual-reset event that box threads sleeping between connection attempts wait on; every
// box thread then takes its box off line (when connected) and ends. ResetBoxSessionsStop
// clears both, at the start of the service.
void RequestBoxSessionsStop();
void ResetBoxSessionsStop();
bool BoxSessionsStopping();
HANDLE BoxSessionsStopEvent();

// How long a box thread that is stopping waits for the box to acknowledge PKT_OFFLINE.
inline constexpr int kOfflineAckSeconds = 2;
