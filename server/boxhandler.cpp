// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The box handler thread: for the life of the service it connects to its box (TCP 3245,
// once a second until the box answers), agrees the session key, sends the box its on-line
// command, message pages and timings, and then serves the box's events until the
// connection is gone, when it starts over. It is the only thread that reads from a box
// connection and, since the cipher state belongs to the thread that ran the key exchange,
// the only one that writes to it; that includes the off-line packet of the service stop.
//
// Sections: the stop request shared with the service; one connection (CBoxSession); the
// thread's connection loop.

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "client/src/Protocol.h"
#include "client/src/Socket.h"
#include "platform/net/net.h"
#include "platform/service/eventsource.h"
#include "platform/sync/sync.h"
#include "server/boxsession.h"
#include "server/boxstatus.h"
#include "server/zuvexservice.h"

// ---------------------------------------------------------------------------------------
// The stop request.

namespace {

std::atomic<bool> sessionsStopping{false};

// Manual-reset, so every box thread sleeping between connection attempts sees it.
HANDLE StopEvent() {
    static HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    return event;
}

}  // namespace

void RequestBoxSessionsStop() {
    sessionsStopping.store(true);
    SetEvent(StopEvent());
}

void ResetBoxSessionsStop() {
    sessionsStopping.store(false);
    ResetEvent(StopEvent());
}

bool BoxSessionsStopping() { return sessionsStopping.load(); }

HANDLE BoxSessionsStopEvent() { return StopEvent(); }

// ---------------------------------------------------------------------------------------
// The record's fields that cross threads.

std::mutex& BoxRecordLock() { return ConfigLock(); }

void SetRecordSocket(t_ServerStartInfo* info, SOCKET sock) {
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    info->socket = sock;
}

void ClearRecordSocketIf(t_ServerStartInfo* info, SOCKET sock) {
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    if (info->socket == sock) info->socket = 0;
}

bool ShutdownRecordSocket(t_ServerStartInfo* info) {
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    if (info->socket <= 0) return false;
    shutdown(info->socket, SD_BOTH);
    return true;
}

void PublishUserName(t_ServerStartInfo* info, const char* name) {
    const std::size_t length = strnlen(name, sizeof info->userName - 1);
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    std::memcpy(info->userName, name, length);
    info->userName[length] = '\0';
}

t_ServerStartInfo* BoxLogView(t_ServerStartInfo* info) {
    if (!info) return nullptr;
    thread_local std::unique_ptr<t_ServerStartInfo> view;
    if (!view) {
        view = std::make_unique<t_ServerStartInfo>();
        std::memset(static_cast<void*>(view.get()), 0, sizeof *view);
    }
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    view->boxNumber = info->boxNumber;
    std::memcpy(view->userName, info->userName, sizeof view->userName);
    view->userName[sizeof view->userName - 1] = '\0';
    return view.get();
}

void RefreshWorkingRecord(t_ServerStartInfo* work, t_ServerStartInfo* info) {
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    std::memcpy(work->ipAddress, info->ipAddress, sizeof work->ipAddress);
    work->boxNumber = info->boxNumber;
    std::memcpy(work->authMaster, info->authMaster, sizeof work->authMaster);
    std::memcpy(work->netwareAuthData, info->netwareAuthData, sizeof work->netwareAuthData);
    work->authType = info->authType;
    std::memcpy(work->pcounterLocation, info->pcounterLocation, sizeof work->pcounterLocation);
    std::memcpy(work->printLinkLocation, info->printLinkLocation, sizeof work->printLinkLocation);
    work->printLinkType = info->printLinkType;
    std::memcpy(work->boxEvents, info->boxEvents, sizeof work->boxEvents);
    work->threadTermEvent = info->threadTermEvent;
    std::memcpy(work->messages, info->messages, sizeof work->messages);
    work->rotationDelay = info->rotationDelay;
    work->uiTimeout = info->uiTimeout;
}

// ---------------------------------------------------------------------------------------
// One connection.

namespace {

using Log = CEventLog;

// How a connection ended, for the thread's loop.
enum class SessionEnd {
    Reconnect,   // the connection is gone; connect again at once
    WaitFailed,  // the wait on the box's events failed; the thread ends
    Stopped,     // the service is stopping; the box has been taken off line
};

// The receive buffer of a box thread.
constexpr int kPacketBufferSize = 1024;

// How long a stopping box thread gives the box to acknowledge PKT_OFFLINE, per attempt of
// the packet layer (which makes five).
constexpr long kOfflineAttemptMs = kOfflineAckSeconds * 1000L / 5;

// One connection. The session works on a copy of the box record of its own (the working
// record): the requests, the back-ends and the session's log records read it, so nothing
// they read can change under them while a reconfigure rewrites the record on the control
// thread. The copy takes the record's configuration when the connection starts, before each
// request and on a reconfigure; its socket is this connection's; its user name lives for
// this connection only and is published to the record after every change, for the log
// records other threads write about the box.
class CBoxSession {
public:
    CBoxSession(t_ServerStartInfo* info, SOCKET sock);
    CBoxSession(const CBoxSession&) = delete;
    CBoxSession& operator=(const CBoxSession&) = delete;

    // Brings the connection up and serves it until it ends.
    SessionEnd Run();

private:
    // Socket options, key exchange, the wait thread and the start-up packets. False when
    // the wait thread could not start (the connection has then been ended).
    bool Start();
    // Packet 16 with the record's current timings.
    void SendSettings();
    // Reads and dispatches what is waiting. True while the connection lives.
    void OnSocketReady();
    void OnKeepAlive();
    // Sends PKT_OFFLINE with a bounded acknowledgement wait.
    void TakeOffLineForStop();
    // Forgets the user served at the box, in the working copy and the record.
    void ClearUser();
    // Tells the wait thread to end, waits for it, closes the socket, logs the disconnection
    // with the reason and clears the record's socket and user name. Leaves connected_ false.
    void EndConnection(const char* reason);

    // The box number of the link board (the working record's).
    int BoxNumber() const { return work_->boxNumber; }

    t_ServerStartInfo* info_;                  // the box record, shared with other threads
    std::unique_ptr<t_ServerStartInfo> work_;  // this thread's working copy
    SOCKET socket_;
    std::shared_ptr<SocketWaitContext> waitContext_;
    HANDLE waitThread_ = nullptr;
    bool connected_ = true;
    std::string linkFailure_;  // a failure of this connection the box overview shows
    char buffer_[kPacketBufferSize];
};

CBoxSession::CBoxSession(t_ServerStartInfo* info, SOCKET sock)
    : info_(info), work_(std::make_unique<t_ServerStartInfo>()), socket_(sock) {
    std::memset(static_cast<void*>(work_.get()), 0, sizeof *work_);
    RefreshWorkingRecord(work_.get(), info_);
    work_->socket = sock;
    // Nobody has logged in on a connection that has just been made.
    PublishUserName(info_, "");
}

SessionEnd CBoxSession::Run() {
    if (!Start()) return SessionEnd::Reconnect;

    while (connected_) {
        DWORD result = WaitForMultipleObjects(kBoxEventCount, info_->boxEvents, 0, INFINITE);
        if (result >= WAIT_OBJECT_0 + kBoxEventCount) {
            EndConnection("Wait failed");
            std::lock_guard<std::mutex> guard(BoxRecordLock());
            CZuvexService::CloseEventHandles(info_->boxEvents, &info_->threadTermEvent);
            return SessionEnd::WaitFailed;
        }
        const int index = static_cast<int>(result - WAIT_OBJECT_0);
        ResetEvent(info_->boxEvents[index]);

        switch (index) {
            case kEventSocketReady:
                OnSocketReady();
                break;
            case kEventEndThread:
                if (BoxSessionsStopping()) {
                    TakeOffLineForStop();
                    EndConnection("Service stopped");
                    return SessionEnd::Stopped;
                }
                CZuvexService::EventLog.LogDebugEvent(work_.get(),
                                                      "Box handling thread bombing back");
                EndConnection("select() causes disconnection");
                break;
            case kEventResetBox:
                SendControlPacket(socket_, PKT_RESET, nullptr, 0);
                Sleep(5);
                CZuvexService::EventLog.LogDebugEvent(work_.get(), "Sending reset event");
                EndConnection("Client reset");
                break;
            case kEventBoxOnline:
                SendControlPacket(socket_, PKT_ONLINE, nullptr, 0);
                NoteHeldOffLine(BoxNumber(), false);
                break;
            case kEventBoxOffline:
                SendControlPacket(socket_, PKT_OFFLINE, nullptr, 0);
                NoteHeldOffLine(BoxNumber(), true);
                break;
            case kEventKeepalive:
                OnKeepAlive();
                break;
            case kEventBoxReconf:
                // The box starts over with the new settings: whoever was logged in is gone.
                RefreshWorkingRecord(work_.get(), info_);
                ClearUser();
                CZuvexService::EventLog.LogDebugEvent(work_.get(), "Box reconfigure event");
                SendControlPacket(socket_, PKT_ONLINE, nullptr, 0);
                NoteHeldOffLine(BoxNumber(), false);
                CZuvexService::SendMessagesToBox(work_.get());
                SendSettings();
                break;
        }
    }
    CZuvexService::EventLog.LogDebugEvent(work_.get(), "No longer connected (%ld)",
                                          static_cast<long>(WSAGetLastError()));
    return SessionEnd::Reconnect;
}

bool CBoxSession::Start() {
    t_ServerStartInfo* work = work_.get();
    CZuvexService::EventLog.LogUserEvent(work, Log::ServerConnect, nullptr);
    CZuvexService::EventLog.LogDebugEvent(work, "Connected - setting socket options");
    int on = 1;
    if (setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        CZuvexService::EventLog.LogDebugEvent(work, "Could not enable TCP Keep Alives - %d",
                                              NoteSocketCallError());
    }

    CZuvexService::EventLog.LogDebugEvent(work, "Exchanging keys for connection encryption");
    Server_ExchangeKey(socket_);
    if (!Server_KeyAcknowledged()) {
        // The traffic that follows fails and ends the connection; the overview names why.
        linkFailure_ = "key exchange failed";
        NoteLinkFailure(BoxNumber(), linkFailure_);
        CZuvexService::EventLog.LogDebugEvent(work, "Key exchange with the box failed (%ld)",
                                              static_cast<long>(WSAGetLastError()));
    }
    CZuvexService::EventLog.LogDebugEvent(work, "Exchange complete.");

    waitContext_ = std::make_shared<SocketWaitContext>(info_, socket_);
    waitThread_ = StartSocketWaitThread(waitContext_);
    if (!waitThread_) {
        CZuvexService::EventLog.LogDebugEvent(work, "Cannot start the socket wait thread");
        EndConnection("Connection to client has died");
        return false;
    }
    Sleep(2);

    SendControlPacket(socket_, PKT_ONLINE, nullptr, 0);
    CZuvexService::SendMessagesToBox(work);
    SendSettings();
    return true;
}

void CBoxSession::SendSettings() {
    int rotationDelay;
    int uiTimeout;
    {
        std::lock_guard<std::mutex> guard(BoxRecordLock());
        rotationDelay = info_->rotationDelay;
        uiTimeout = info_->uiTimeout;
    }
    char text[32];
    int length = std::snprintf(text, sizeof text, "%d|%d|", rotationDelay, uiTimeout);
    SendControlPacket(socket_, PKT_SETTINGS, text, length);
}

void CBoxSession::OnSocketReady() {
    t_ServerStartInfo* work = work_.get();
    CZuvexService::EventLog.LogDebugEvent(work, "SOCKET_READY_EVENT received");
    if (CheckConnectionFailed(static_cast<unsigned int>(socket_))) {
        CZuvexService::EventLog.LogDebugEvent(work, "Connection broken (%ld)",
                                              static_cast<long>(WSAGetLastError()));
        EndConnection("Connection to client has died");
        return;
    }
    unsigned long waiting = 0;
    ioctlsocket(socket_, FIONREAD, &waiting);
    if (waiting == 0) {
        CZuvexService::EventLog.LogDebugEvent(work, "ioctlsocket gives zero bytes");
        return;
    }
    KeepAliveFlag(info_).store(0);
    int length = 0;
    int type = GetControlPacket(socket_, buffer_, &length);
    CZuvexService::EventLog.LogDebugEvent(work, "Box thread received packet %X",
                                          static_cast<unsigned>(type));
    if (type == -1) {
        CZuvexService::EventLog.LogDebugEvent(work, "Error packet received");
        KeepAliveFlag(info_).store(0);
        return;
    }
    // The request sees the configuration as it stands now, and answers on this connection.
    RefreshWorkingRecord(work, info_);
    CZuvexService::ProcessReceivedPacket(work, type, buffer_, length);
    PublishUserName(info_, work->userName);
    KeepAliveFlag(info_).store(0);
}

void CBoxSession::OnKeepAlive() {
    if (KeepAliveFlag(info_).load() == 0) return;
    CZuvexService::EventLog.LogDebugEvent(work_.get(), "Sending KEEPALIVE to box");
    SendControlPacket(socket_, PKT_KEEPALIVE, nullptr, 0);
    if (CheckConnectionFailed(static_cast<unsigned int>(socket_))) {
        CZuvexService::EventLog.LogDebugEvent(work_.get(), "Connection broken (%ld)",
                                              static_cast<long>(WSAGetLastError()));
        EndConnection("Connection to client has died");
    }
}

void CBoxSession::TakeOffLineForStop() {
    CZuvexService::EventLog.LogDebugEvent(work_.get(), "Service stopping: taking the box off line");
    // A box that stays silent must not hold up the stop: bound every wait of the send.
    timeval limit{kOfflineAttemptMs / 1000, (kOfflineAttemptMs % 1000) * 1000};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (!SendControlPacket(socket_, PKT_OFFLINE, nullptr, 0)) {
        CZuvexService::EventLog.LogDebugEvent(work_.get(),
                                              "The box did not acknowledge going off line");
    }
}

void CBoxSession::ClearUser() {
    work_->userName[0] = '\0';
    PublishUserName(info_, "");
}

void CBoxSession::EndConnection(const char* reason) {
    connected_ = false;
    if (waitContext_) {
        waitContext_->ClaimEnd();
        SetEvent(waitContext_->threadTerm);
    }
    // Wakes a wait thread blocked in select on this socket; the close comes only after the
    // thread has ended, so it never sees the descriptor reused by another connection.
    shutdown(socket_, SD_BOTH);
    if (waitThread_) {
        WaitForSingleObject(waitThread_, kWaitThreadEndMs);
        CloseHandle(waitThread_);
        waitThread_ = nullptr;
    }
    // The record lets go of the socket before it is closed, so the stop sequence never
    // shuts down a descriptor number that may already belong to something else.
    SetRecordSocket(info_, 0);
    closesocket(socket_);
    // A deposit on the next connection is credited only to whoever logs in there.
    ClearUser();
    CZuvexService::EventLog.LogUserEvent(work_.get(), Log::ServerDisconnect, reason);
    const bool stopping = std::strcmp(reason, "Service stopped") == 0;
    NoteDisconnected(BoxNumber(), stopping               ? std::string()
                                  : linkFailure_.empty() ? DisconnectReason(reason)
                                                         : linkFailure_);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The thread.

DWORD CZuvexService::BoxHandlerThread(void* arg) {
    auto* info = static_cast<t_ServerStartInfo*>(arg);
    t_ServerStartInfo* view = BoxLogView(info);
    EventLog.LogDebugEvent(view, "Entering box handling thread for server %d", view->boxNumber);
    EventLog.LogUserEvent(view, CEventLog::ServerStart, nullptr);
    KeepAliveFlag(info).store(0);

    // A box that cannot be reached is said so once (NT event log and syslog, and one debug
    // record) when it becomes unreachable, and once when it answers again; the attempts in
    // between, about once a second, are quiet.
    bool unreachable = false;
    for (;;) {
        for (HANDLE event : info->boxEvents) ResetEvent(event);
        ResetEvent(info->threadTermEvent);
        if (BoxSessionsStopping()) break;

        char address[sizeof info->ipAddress];
        GetConfigString(info->ipAddress, address, sizeof address);
        view = BoxLogView(info);
        const int box = view->boxNumber;
        if (!unreachable) {
            EventLog.LogDebugEvent(view, "Attempting to connect (to %s server %d)", address, box);
        }
        NoteConnecting(box, address);
        WSASetLastError(0);
        SOCKET sock = make_connection("3245", kConnectionStream, address);
        const int connectError = WSAGetLastError();
        SetRecordSocket(info, sock);
        if (sock == INVALID_SOCKET) {
            const std::string reason = ConnectFailureReason(connectError);
            if (NoteConnectFailed(box, address, reason)) {
                unreachable = true;
                char text[1200];
                std::snprintf(text, sizeof text,
                              "WARNING: Box%03d at %s cannot be reached: %s; retrying every "
                              "second",
                              box, address, reason.c_str());
                LogServiceEvent(EVENTLOG_INFORMATION_TYPE, 100, text);
                EventLog.LogDebugEvent(view, "Box unreachable at %s: %s; retrying quietly", address,
                                       reason.c_str());
            }
            // About once a second for as long as the box is away, unless the service stops.
            if (WaitForSingleObject(BoxSessionsStopEvent(), 1000) == WAIT_OBJECT_0) break;
            continue;
        }
        if (NoteConnected(box, address)) {
            char text[1200];
            std::snprintf(text, sizeof text, "Box%03d at %s can be reached again", box, address);
            LogServiceEvent(EVENTLOG_INFORMATION_TYPE, 108, text);
            EventLog.LogDebugEvent(view, "Box reachable again at %s", address);
        }
        unreachable = false;

        SessionEnd end;
        {
            CBoxSession session(info, sock);
            end = session.Run();
        }
        if (end != SessionEnd::Reconnect) return 0;
    }
    SetRecordSocket(info, 0);
    return 0;
}
