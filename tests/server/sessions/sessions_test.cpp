// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The box events, the connection test and the socket wait thread, on real loopback TCP
// connections and real named events, without a server around them.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/net/net.h"
#include "platform/sync/sync.h"
#include "server/boxsession.h"
#include "server/zuvexservice.h"

namespace {

// A connected TCP pair on a loopback address of this test: near is the server's end.
class Connection {
public:
    Connection() {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(0x7F0005FA);  // 127.0.5.250, any port
        socklen_t size = sizeof where;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&where), size), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
        near_ = CreateSocket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(near_, reinterpret_cast<sockaddr*>(&where), size), 0);
        far_ = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    }
    ~Connection() {
        CloseNear();
        CloseFar();
    }
    SOCKET near() const { return near_; }
    void FarSends(const std::string& bytes) {
        ASSERT_EQ(::send(far_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void FarSendsUrgent(char byte) {
        ASSERT_EQ(::send(far_, &byte, 1, MSG_OOB | MSG_NOSIGNAL), 1);
    }
    void CloseFar() {
        if (far_ >= 0) ::close(far_);
        far_ = -1;
    }
    void ResetFar() {
        linger hard{1, 0};
        ::setsockopt(far_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        CloseFar();
    }
    void CloseNear() {
        if (near_ >= 0) ::close(near_);
        near_ = -1;
    }

private:
    SOCKET near_ = -1;
    int far_ = -1;
};

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A box record with its events, as the service makes it.
struct BoxRecord {
    explicit BoxRecord(int number) {
        std::memset(&info, 0, sizeof info);
        info.boxNumber = number;
        CZuvexService::MakeEvents(number, info.boxEvents, &info.threadTermEvent);
    }
    ~BoxRecord() { CZuvexService::CloseEventHandles(info.boxEvents, &info.threadTermEvent); }
    t_ServerStartInfo info;
};

// ---------------------------------------------------------------------------------------
// Events.

TEST(BoxEvents, AreNamedWithTheBoxNumberInThreeDigits) {
    BoxRecord box(7);
    const char* names[] = {"EVENT_SOCKET_READY_007", "EVENT_END_THREAD_007", "EVENT_RESET_BOX_007",
                           "EVENT_BOX_ONLINE_007",   "EVENT_BOX_OFFLINE_007", "EVENT_KEEPALIVE_007",
                           "EVENT_BOX_RECONF_007"};
    for (int i = 0; i < kBoxEventCount; ++i) {
        ASSERT_NE(box.info.boxEvents[i], nullptr);
        HANDLE byName = OpenEventA(0, 0, names[i]);
        ASSERT_NE(byName, nullptr) << names[i];
        // The same event: set through the name, seen through the record, auto-reset.
        SetEvent(byName);
        EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[i], 0), WAIT_OBJECT_0) << names[i];
        EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[i], 0), WAIT_TIMEOUT) << names[i];
        CloseHandle(byName);
    }
    HANDLE term = OpenEventA(0, 0, "EVENT_THREADTERM_007");
    EXPECT_NE(term, nullptr);
    CloseHandle(term);

    CZuvexService::CloseEventHandles(box.info.boxEvents, &box.info.threadTermEvent);
    for (HANDLE h : box.info.boxEvents) EXPECT_EQ(h, nullptr);
    EXPECT_EQ(box.info.threadTermEvent, nullptr);
    EXPECT_EQ(OpenEventA(0, 0, "EVENT_RESET_BOX_007"), nullptr);
}

// ---------------------------------------------------------------------------------------
// The connection test.

TEST(CheckConnectionFailed, AHealthyConnectionIsAliveWithOrWithoutData) {
    Connection link;
    EXPECT_EQ(CheckConnectionFailed(link.near()), 0);
    link.FarSends("abc");
    EXPECT_EQ(CheckConnectionFailed(link.near()), 0);
    // The test only peeks: the bytes are still there.
    char buffer[8];
    EXPECT_EQ(::recv(link.near(), buffer, sizeof buffer, MSG_DONTWAIT), 3);
}

TEST(CheckConnectionFailed, AClosedOrResetConnectionIsDead) {
    Connection closed;
    closed.CloseFar();
    EXPECT_EQ(CheckConnectionFailed(closed.near()), 1);

    Connection reset;
    reset.ResetFar();
    EXPECT_EQ(CheckConnectionFailed(reset.near()), 1);
}

TEST(CheckConnectionFailed, ASocketThatIsNoLongerOpenIsDead) {
    Connection link;
    SOCKET gone = link.near();
    link.CloseNear();
    EXPECT_EQ(CheckConnectionFailed(gone), 1);
    EXPECT_EQ(CheckConnectionFailed(0), 1);
}

// ---------------------------------------------------------------------------------------
// The socket wait thread.

TEST(SocketWaitThread, PulsesTheHandlerWhileDataWaits) {
    BoxRecord box(3);
    Connection link;
    box.info.socket = link.near();
    auto context = std::make_shared<SocketWaitContext>(&box.info, link.near());
    HANDLE thread = StartSocketWaitThread(context);
    ASSERT_NE(thread, nullptr);

    link.FarSends("x");
    // Pulses repeat every 50 ms as long as the byte stays unread.
    EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[kEventSocketReady], 2000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[kEventSocketReady], 2000), WAIT_OBJECT_0);

    // Told to end, it ends without raising END_THREAD and leaves the socket alone.
    context->ClaimEnd();
    SetEvent(box.info.threadTermEvent);
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[kEventEndThread], 0), WAIT_TIMEOUT);
    EXPECT_EQ(box.info.socket, link.near());
    EXPECT_TRUE(IsOpen(link.near()));
}

TEST(SocketWaitThread, AFailureOfItsOwnSocketNeverTouchesALaterConnection) {
    BoxRecord box(4);
    Connection later;
    Connection old;
    const SOCKET oldSocket = old.near();
    old.CloseNear();  // select on it fails at once
    box.info.socket = later.near();
    ASSERT_NE(oldSocket, later.near());

    auto context = std::make_shared<SocketWaitContext>(&box.info, oldSocket);
    HANDLE thread = StartSocketWaitThread(context);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    CloseHandle(thread);

    // The handler hears of the failure; the record and the later socket are untouched.
    EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[kEventEndThread], 0), WAIT_OBJECT_0);
    EXPECT_EQ(box.info.socket, later.near());
    EXPECT_TRUE(IsOpen(later.near()));
    EXPECT_EQ(CheckConnectionFailed(later.near()), 0);
}

TEST(SocketWaitThread, AFailureOfTheCurrentSocketClearsTheRecordAndLeavesTheCloseToTheHandler) {
    BoxRecord box(5);
    Connection link;
    box.info.socket = link.near();
    auto context = std::make_shared<SocketWaitContext>(&box.info, link.near());
    HANDLE thread = StartSocketWaitThread(context);
    ASSERT_NE(thread, nullptr);

    // Urgent data is an exception condition on the socket: the connection is given up.
    link.FarSendsUrgent('!');
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(box.info.boxEvents[kEventEndThread], 0), WAIT_OBJECT_0);
    EXPECT_EQ(box.info.socket, 0);
    // Shut down, so every read and write fails, but still open: only the handler closes.
    EXPECT_TRUE(IsOpen(link.near()));
    EXPECT_EQ(CheckConnectionFailed(link.near()), 1);
    EXPECT_EQ(SocketSend(link.near(), "x", 1, 0), -1);
}

// ---------------------------------------------------------------------------------------
// The record's fields that cross threads.

TEST(BoxRecordFields, TheStopShutsDownOnlyASocketTheRecordStillHolds) {
    BoxRecord box(6);
    Connection current;
    Connection other;
    SetRecordSocket(&box.info, current.near());
    EXPECT_TRUE(ShutdownRecordSocket(&box.info));
    EXPECT_EQ(CheckConnectionFailed(current.near()), 1);

    // The handler let go of its socket; the number now belongs to another connection.
    SetRecordSocket(&box.info, 0);
    EXPECT_FALSE(ShutdownRecordSocket(&box.info));
    SetRecordSocket(&box.info, INVALID_SOCKET);
    EXPECT_FALSE(ShutdownRecordSocket(&box.info));
    EXPECT_EQ(CheckConnectionFailed(other.near()), 0);

    // A wait thread clears the record only while it still holds that wait thread's socket.
    SetRecordSocket(&box.info, other.near());
    ClearRecordSocketIf(&box.info, current.near());
    EXPECT_EQ(box.info.socket, other.near());
    ClearRecordSocketIf(&box.info, other.near());
    EXPECT_EQ(box.info.socket, 0);
}

TEST(BoxRecordFields, TheWorkingCopyTakesTheConfigurationButKeepsItsConnectionAndUser) {
    BoxRecord box(2);
    std::strcpy(box.info.ipAddress, "127.0.5.9");
    std::strcpy(box.info.authMaster, "STAFF");
    box.info.authType = 2;
    box.info.printLinkType = 1;
    std::strcpy(box.info.messages[3][9], "last line");
    box.info.rotationDelay = 20;
    box.info.uiTimeout = 45;
    box.info.socket = 17;
    PublishUserName(&box.info, "alice");

    auto work = std::make_unique<t_ServerStartInfo>();
    std::memset(work.get(), 0, sizeof *work);
    work->socket = 42;
    std::strcpy(work->userName, "bob");
    RefreshWorkingRecord(work.get(), &box.info);
    EXPECT_STREQ(work->ipAddress, "127.0.5.9");
    EXPECT_EQ(work->boxNumber, 2);
    EXPECT_STREQ(work->authMaster, "STAFF");
    EXPECT_EQ(work->authType, 2);
    EXPECT_EQ(work->printLinkType, 1);
    EXPECT_STREQ(work->messages[3][9], "last line");
    EXPECT_EQ(work->rotationDelay, 20);
    EXPECT_EQ(work->uiTimeout, 45);
    EXPECT_EQ(work->boxEvents[kEventBoxReconf], box.info.boxEvents[kEventBoxReconf]);
    EXPECT_EQ(work->socket, 42);
    EXPECT_STREQ(work->userName, "bob");

    // Other threads log the box number and the published name, from a copy of their own.
    t_ServerStartInfo* view = BoxLogView(&box.info);
    EXPECT_EQ(view->boxNumber, 2);
    EXPECT_STREQ(view->userName, "alice");
    PublishUserName(&box.info, "");
    EXPECT_STREQ(view->userName, "alice");
    EXPECT_STREQ(BoxLogView(&box.info)->userName, "");
}

}  // namespace
