// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The eight named events of a box, and the socket wait thread that watches one box
// connection and turns what it sees into those events for the box handler thread.

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/net/net.h"
#include "platform/sync/sync.h"
#include "server/boxsession.h"
#include "server/zuvexservice.h"

namespace {

// Names of the wait set, in BoxEventIndex order, then of the thread-termination event; each
// is followed by "_" and the box number in three digits (EVENT_SOCKET_READY_007).
constexpr const char* kEventNames[kBoxEventCount] = {
    "EVENT_SOCKET_READY", "EVENT_END_THREAD", "EVENT_RESET_BOX", "EVENT_BOX_ONLINE",
    "EVENT_BOX_OFFLINE",  "EVENT_KEEPALIVE",  "EVENT_BOX_RECONF",
};
constexpr const char* kThreadTermName = "EVENT_THREADTERM";

// Creates (or opens, when it exists) the auto-reset event of the name and box number.
HANDLE CreateBoxEvent(const char* prefix, int boxNumber) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%03d", prefix, boxNumber);
    return CreateEventA(nullptr, 0, 0, name);
}

DWORD RunSocketWaitThread(void* arg) { return CZuvexService::SocketWaitThread(arg); }

// Ends the connection after a failure the wait thread found: shuts the socket down so the
// handler's reads and writes fail at once, takes it out of the record if the record still
// holds it, and raises END_THREAD. Nothing is done when the handler has already claimed the
// end of this connection (it told the thread to end).
void ReportConnectionFailure(SocketWaitContext& context) {
    if (!context.ClaimEnd()) return;
    shutdown(context.socket, SD_BOTH);
    ClearRecordSocketIf(context.info, context.socket);
    SetEvent(context.endThread);
}

// True when the handler told the thread to end; consumes the thread-termination event.
bool ToldToEnd(SocketWaitContext& context) {
    if (WaitForSingleObject(context.threadTerm, 0) == WAIT_OBJECT_0) return true;
    return context.ended.load();
}

}  // namespace

SocketWaitContext::SocketWaitContext(t_ServerStartInfo* record, SOCKET connection)
    : info(record), socket(connection) {
    const int boxNumber = BoxLogView(record)->boxNumber;
    socketReady = CreateBoxEvent(kEventNames[kEventSocketReady], boxNumber);
    endThread = CreateBoxEvent(kEventNames[kEventEndThread], boxNumber);
    keepAlive = CreateBoxEvent(kEventNames[kEventKeepalive], boxNumber);
    threadTerm = CreateBoxEvent(kThreadTermName, boxNumber);
}

SocketWaitContext::~SocketWaitContext() {
    for (HANDLE handle : {socketReady, endThread, keepAlive, threadTerm}) {
        if (handle) CloseHandle(handle);
    }
}

int NoteSocketCallError() {
    int error = platform::net::WinsockErrorFromErrno(errno);
    WSASetLastError(error);
    return error;
}

HANDLE StartSocketWaitThread(const std::shared_ptr<SocketWaitContext>& context) {
    auto* share = new std::shared_ptr<SocketWaitContext>(context);
    HANDLE thread = BeginThread(RunSocketWaitThread, share);
    if (!thread) delete share;
    return thread;
}

void CZuvexService::MakeEvents(int boxNumber, HANDLE* events, HANDLE* threadTermEvent) {
    for (int i = 0; i < kBoxEventCount; ++i) events[i] = CreateBoxEvent(kEventNames[i], boxNumber);
    *threadTermEvent = CreateBoxEvent(kThreadTermName, boxNumber);
}

void CZuvexService::CloseEventHandles(HANDLE* events, HANDLE* threadTermEvent) {
    for (int i = 0; i < kBoxEventCount; ++i) {
        if (events[i]) CloseHandle(events[i]);
        events[i] = nullptr;
    }
    if (*threadTermEvent) CloseHandle(*threadTermEvent);
    *threadTermEvent = nullptr;
}

// One pass per select call. The read and exception sets hold only this connection's socket;
// the thread never looks at the record's socket, which may already belong to a later
// connection. Its log records take the record's box number and user name through
// BoxLogView, since the handler and a reconfigure change them meanwhile.
DWORD CZuvexService::SocketWaitThread(void* arg) {
    std::unique_ptr<std::shared_ptr<SocketWaitContext>> share(
        static_cast<std::shared_ptr<SocketWaitContext>*>(arg));
    std::shared_ptr<SocketWaitContext> context = *share;
    share.reset();
    t_ServerStartInfo* info = context->info;
    const SOCKET sock = context->socket;

    for (;;) {
        int result;
        int selectError = 0;
        fd_set readSet;
        fd_set exceptSet;
        FD_ZERO(&readSet);
        FD_ZERO(&exceptSet);
        if (sock <= 0 || sock >= FD_SETSIZE) {
            // A descriptor outside what select can watch is treated as a failed select.
            result = SOCKET_ERROR;
            selectError = WSAENOTSOCK;
        } else {
            FD_SET(sock, &readSet);
            FD_SET(sock, &exceptSet);
            timeval timeout{kSocketWaitSeconds, 0};
            result = select(sock + 1, &readSet, nullptr, &exceptSet, &timeout);
            if (result == SOCKET_ERROR) selectError = NoteSocketCallError();
        }
        EventLog.LogDebugEvent(BoxLogView(info), "Select returns %d", result);

        if (ToldToEnd(*context)) {
            EventLog.LogDebugEvent(BoxLogView(info),
                                   "Socket wait thread exiting because it's told so");
            return 0;
        }

        if (result == 0) {
            unsigned long waiting = 0;
            ioctlsocket(sock, FIONREAD, &waiting);
            EventLog.LogDebugEvent(BoxLogView(info),
                                   "TimeOut:There are %u bytes to read from the socket",
                                   static_cast<unsigned>(waiting));
            if (waiting != 0) {
                PulseEvent(context->socketReady);
                Sleep(50);
                continue;
            }
            // Idle. A keep-alive is due when the previous idle pass found nothing either.
            if (KeepAliveFlag(info).load() != 0) PulseEvent(context->keepAlive);
            // Probe the connection with a non-blocking peek. The socket's own mode is left
            // alone: the handler may be blocked in an acknowledgement wait on it right now,
            // and switching it to non-blocking would make that wait fail.
            char probe;
            long got = SocketRecv(sock, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got < 0) {
                int error = WSAGetLastError();
                if (error != WSAEWOULDBLOCK) {
                    EventLog.LogDebugEvent(BoxLogView(info),
                                           "SocketWait thread is exiting with code %ld by MSG_PEEK",
                                           static_cast<long>(error));
                    ReportConnectionFailure(*context);
                    return 0;
                }
            }
            KeepAliveFlag(info).store(1);
            continue;
        }

        if (result == SOCKET_ERROR) {
            EventLog.LogDebugEvent(BoxLogView(info), "SocketWait thread is exiting with code %ld",
                                   static_cast<long>(selectError));
            ReportConnectionFailure(*context);
            return 0;
        }

        if (FD_ISSET(sock, &exceptSet)) {
            EventLog.LogDebugEvent(BoxLogView(info), "select has excepted");
            ReportConnectionFailure(*context);
            return 0;
        }
        if (FD_ISSET(sock, &readSet)) PulseEvent(context->socketReady);
        Sleep(50);
    }
}
