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
#include <mutex>

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

// The lock of a box record's fields that cross threads. A reconfigure rewrites the record's
// configuration under it (ReadBoxConfiguration holds ConfigLock); the handler publishes the
// user name and the connection's socket under it; the stop sequence shuts down only a
// socket the record still holds, under it; the events a control code sets are read under
// it. Only short copies are made while it is held: never a log record, send or back-end call.
std::mutex& BoxRecordLock();

// The record's socket. The handler stores the new connection (or -1 after a failed connect)
// and 0 once it is done with it, always before it closes the descriptor.
void SetRecordSocket(t_ServerStartInfo* info, SOCKET sock);
// Stores 0 when the record still holds sock (a wait thread giving up its connection).
void ClearRecordSocketIf(t_ServerStartInfo* info, SOCKET sock);
// Shuts down, under the lock, the socket the record holds, if any: a descriptor another
// thread has closed (and perhaps reused) is never touched. True when one was shut down.
bool ShutdownRecordSocket(t_ServerStartInfo* info);

// The record's user name, as the handler last published it (other threads' log records
// show it). Only the box's handler thread calls this.
void PublishUserName(t_ServerStartInfo* info, const char* name);

// A copy of the record's box number and published user name, taken under the lock, in a
// record of the calling thread's own: what a thread other than the box's handler (its
// socket wait thread, the control thread) hands to the event log, which reads both fields.
// Valid until the same thread calls it again.
t_ServerStartInfo* BoxLogView(t_ServerStartInfo* info);

// Copies the configuration of the record (the fields a reconfigure rewrites: address, box
// number, back-end settings, pages and timings, and the event handles) into the handler's
// working copy under the lock. The working copy's socket, user name and keep-alive flag are
// left alone.
void RefreshWorkingRecord(t_ServerStartInfo* work, t_ServerStartInfo* info);

// The record's keep-alive flag, read and written by the handler and its wait thread.
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
