// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/net/net.h"

#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class SocketPair : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    void CloseTheirEnd() {
        ::close(fds_[1]);
        fds_[1] = -1;
    }
    int fds_[2] = {-1, -1};
};

TEST(CreateSocket, NeverHandsOutTheStandardDescriptors) {
    int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    SOCKET s = CreateSocket(AF_INET, SOCK_STREAM, 0);
    // Put stdin back before any assertion can return early.
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_GE(s, 3);
    EXPECT_TRUE(::fcntl(s, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(closesocket(s), 0);
}

TEST(CreateSocket, FailureSetsTheWinsockNumber) {
    EXPECT_EQ(CreateSocket(AF_INET, 12345, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(closesocket(-1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEBADF);
}

TEST(WinsockErrors, MapTheNumbersTheCodeTests) {
    using platform::net::WinsockErrorFromErrno;
    EXPECT_EQ(WinsockErrorFromErrno(0), 0);
    EXPECT_EQ(WinsockErrorFromErrno(EINTR), 10004);
    EXPECT_EQ(WinsockErrorFromErrno(EINVAL), 10022);
    EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(ENETRESET), 10052);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNABORTED), 10053);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTSOCK), 10038);
}

TEST(WinsockErrors, BelongToTheThreadThatFailed) {
    WSASetLastError(0);
    std::thread other([] {
        EXPECT_EQ(SocketRecv(-1, nullptr, 0, 0), -1);
        EXPECT_EQ(WSAGetLastError(), WSAEBADF);
    });
    other.join();
    EXPECT_EQ(WSAGetLastError(), 0);
}

TEST_F(SocketPair, IoctlCountsWaitingBytesAndSwitchesBlocking) {
    ASSERT_EQ(SocketSend(fds_[1], "hello", 5, 0), 5);
    unsigned long waiting = 0;
    ASSERT_EQ(ioctlsocket(fds_[0], FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 5u);

    char buffer[8];
    ASSERT_EQ(SocketRecv(fds_[0], buffer, sizeof buffer, 0), 5);
    unsigned long on = 1;
    ASSERT_EQ(ioctlsocket(fds_[0], FIONBIO, &on), 0);
    EXPECT_EQ(SocketRecv(fds_[0], buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    unsigned long off = 0;
    ASSERT_EQ(ioctlsocket(fds_[0], FIONBIO, &off), 0);
    EXPECT_FALSE(::fcntl(fds_[0], F_GETFL) & O_NONBLOCK);

    EXPECT_EQ(ioctlsocket(fds_[0], 0x1234, &on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(ioctlsocket(-1, FIONREAD, &waiting), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEBADF);
}

TEST_F(SocketPair, WritingToAClosedPeerIsAResetNotASignal) {
    // No WSAStartup here: the send itself must not raise SIGPIPE.
    CloseTheirEnd();
    EXPECT_EQ(SocketSend(fds_[0], "x", 1, 0), -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    char c;
    EXPECT_EQ(SocketRecv(fds_[0], &c, 1, 0), 0);
}

TEST(WSAStartup, ReportsTheVersionAndIgnoresSigpipe) {
    WSADATA data{};
    EXPECT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    // A plain write to a pipe without reader would kill the process were SIGPIPE not ignored.
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
    EXPECT_EQ(WSACleanup(), 0);
}

}  // namespace
