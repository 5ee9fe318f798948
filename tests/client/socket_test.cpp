// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/Socket.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/client/link_fixture.h"

namespace {

class SocketHelpers : public linktest::LinkPair {
  protected:
    void PeerSendsText(const std::string& text) {
        PeerSends(linktest::Bytes(text.begin(), text.end()));
    }
};

// ---- atoport ------------------------------------------------------------------------------

TEST(Atoport, ParsesNumbersInTheAutomaticBase) {
    struct Row {
        const char* name;
        const char* text;
        int port;  // host order, or -1
    };
    const Row rows[] = {
        {"decimal box port", "3245", 3245},
        {"hexadecimal", "0x0CAD", 3245},
        {"octal", "010", 8},
        {"largest", "65535", 65535},
        {"zero", "0", -1},
        {"above 65535", "65536", -1},
        {"text after the number", "12ab", -1},
        {"negative", "-1", -1},
        {"empty", "", -1},
        {"far too large", "99999999999999999999", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int expected = row.port == -1 ? -1 : htons(static_cast<uint16_t>(row.port));
        EXPECT_EQ(atoport(row.text, "tcp"), expected);
    }
    EXPECT_EQ(atoport(nullptr, "tcp"), -1);
}

TEST(Atoport, LooksUpServiceNamesFirst) {
    struct servent entry;
    struct servent* found = nullptr;
    char scratch[1024];
    if (::getservbyname_r("ssh", "tcp", &entry, scratch, sizeof scratch, &found) != 0 ||
        found == nullptr) {
        GTEST_SKIP() << "no services database";
    }
    EXPECT_EQ(atoport("ssh", "tcp"), htons(22));
    EXPECT_EQ(atoport("no-such-service-here", "tcp"), -1);
}

// ---- atoaddr ------------------------------------------------------------------------------

TEST(Atoaddr, TakesDottedAddressesAndResolvesNames) {
    const struct in_addr* a = atoaddr("10.0.0.7");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->s_addr, inet_addr("10.0.0.7"));
    const struct in_addr* local = atoaddr("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(ntohl(local->s_addr) >> 24, 127u);
    EXPECT_EQ(atoaddr("no-such-host.invalid"), nullptr);
    EXPECT_EQ(atoaddr(nullptr), nullptr);
}

TEST(Atoaddr, EachThreadSeesItsOwnAddress) {
    constexpr int kThreads = 6;
    bool ok[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        ok[t] = true;
        threads.emplace_back([t, &ok] {
            std::string mine = "127.0.2." + std::to_string(t + 1);
            in_addr_t expected = inet_addr(mine.c_str());
            for (int i = 0; i < 20000; ++i) {
                const struct in_addr* a = atoaddr(mine.c_str());
                std::this_thread::yield();
                if (a == nullptr || a->s_addr != expected) ok[t] = false;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

// ---- make_connection ----------------------------------------------------------------------

int NextDescriptor() {
    int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    return fd;
}

TEST(MakeConnection, RefusesUnknownTypesPortsAndHostsWithoutASocket) {
    int before = NextDescriptor();
    EXPECT_EQ(make_connection("3245", 3, "127.0.2.2"), -1);
    EXPECT_EQ(make_connection("0", kConnectionStream, "127.0.2.2"), -1);
    EXPECT_EQ(make_connection("3245", kConnectionStream, "no-such-host.invalid"), -1);
    EXPECT_EQ(NextDescriptor(), before);
}

TEST(MakeConnection, ConnectsAStreamAndClosesItOnFailure) {
    SOCKET listener = CreateSocket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.2.2");
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::string port = std::to_string(ntohs(address.sin_port));

    SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.2");
    ASSERT_GE(s, 3);
    SOCKET accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(sock_puts(s, "status\n"), 7);
    char line[16];
    EXPECT_EQ(sock_gets(accepted, line, sizeof line), 6);
    EXPECT_STREQ(line, "status");
    closesocket(accepted);
    closesocket(s);
    closesocket(listener);

    // Nobody listens there any more.
    int before = NextDescriptor();
    EXPECT_EQ(make_connection(port.c_str(), kConnectionStream, "127.0.2.2"), -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(NextDescriptor(), before);
}

// A listening socket on address, port 0; its port as text in *port.
SOCKET ListenOn(const char* text, int backlog, std::string* port) {
    SOCKET listener = CreateSocket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(text);
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener, backlog), 0);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    *port = std::to_string(ntohs(address.sin_port));
    return listener;
}

int IntOption(SOCKET s, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(::getsockopt(s, level, name, &value, &size), 0) << name;
    return value;
}

// A box that loses power or its cable sends neither FIN nor RST. The connection must find
// that out by itself well within a minute: probes when idle, and a limit on how long sent
// data may stay unacknowledged. The socket is handed back blocking, as the link expects.
TEST(MakeConnection, StreamNoticesAVanishedPeerWithinAMinute) {
    std::string port;
    SOCKET listener = ListenOn("127.0.2.4", 1, &port);
    SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.4");
    ASSERT_GE(s, 3);
    EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), 1);
    const int idle = IntOption(s, IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = IntOption(s, IPPROTO_TCP, TCP_KEEPINTVL);
    const int probes = IntOption(s, IPPROTO_TCP, TCP_KEEPCNT);
    const int userTimeoutMs = IntOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT);
    EXPECT_GT(idle, 0);
    EXPECT_GT(interval, 0);
    EXPECT_GT(probes, 0);
    EXPECT_LE(idle + interval * probes, 60) << "an idle dead connection is found too late";
    EXPECT_GT(userTimeoutMs, 0) << "unacknowledged data would be retried for many minutes";
    EXPECT_LE(userTimeoutMs, 30000);
    EXPECT_EQ(::fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    closesocket(s);
    closesocket(listener);
}

// A box link sends an acknowledgement and then the answer as two small writes; with Nagle's
// algorithm on, the answer waits for the peer's delayed acknowledgement of the first.
TEST(MakeConnection, StreamSendsSmallFramesAtOnce) {
    std::string port;
    SOCKET listener = ListenOn("127.0.2.4", 1, &port);
    SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.4");
    ASSERT_GE(s, 3);
    EXPECT_NE(IntOption(s, IPPROTO_TCP, TCP_NODELAY), 0);
    closesocket(s);
    closesocket(listener);
}

// A connect to an address where nothing answers gives up after a few seconds instead of
// the two minutes of SYN retries. A listener whose backlog is full drops every further
// SYN, so the connect hangs as one to a switched-off box behind a router does. The connect
// runs in a child that the test ends after 30 seconds whatever happens.
TEST(MakeConnection, ConnectToAnAddressThatNeverAnswersIsBounded) {
    std::string port;
    SOCKET listener = ListenOn("127.0.2.5", 0, &port);
    SOCKET filler = make_connection(port.c_str(), kConnectionStream, "127.0.2.5");
    ASSERT_GE(filler, 3) << "the first connection fills the backlog";

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.5");
        ::_exit(s == -1 && WSAGetLastError() == WSAETIMEDOUT ? 0 : 1);
    }
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (done == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "make_connection was still connecting after 30 seconds";
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the connect did not end in a time-out (WSAETIMEDOUT)";
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
    closesocket(filler);
    closesocket(listener);
}

TEST(MakeConnection, BindsADatagramSocketAndReportsAFailedBind) {
    SOCKET s = make_connection("0x7FFE", kConnectionDatagram, "127.0.2.3");
    ASSERT_GE(s, 3);
    struct sockaddr_in bound {};
    socklen_t size = sizeof bound;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &size);
    EXPECT_EQ(ntohs(bound.sin_port), 0x7FFE);

    int before = NextDescriptor();
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_connection("0x7FFE", kConnectionDatagram, "127.0.2.3"), -1);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.rfind("bind: ", 0), 0u) << message;
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(NextDescriptor(), before);
    closesocket(s);
}

// ---- sock_read, sock_write, sock_gets -----------------------------------------------------

TEST_F(SocketHelpers, ReadGathersTheWholeCountAcrossSends) {
    std::thread peer([this] {
        for (const char* part : {"AB", "CDE", "FGH"}) {
            ::send(Peer(), part, std::strlen(part), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    char buffer[9] = {};
    EXPECT_EQ(sock_read(Near(), buffer, 8), 8);
    EXPECT_STREQ(buffer, "ABCDEFGH");
    peer.join();
}

TEST_F(SocketHelpers, ReadOfEightFromAPeerThatSendsThreeAndClosesIsZero) {
    PeerSendsText("abc");
    ClosePeer();
    char buffer[8];
    EXPECT_EQ(sock_read(Near(), buffer, 8), 0);
}

TEST_F(SocketHelpers, ReadAndWriteReportErrors) {
    char buffer[4];
    EXPECT_EQ(sock_read(-1, buffer, 4), -1);
    EXPECT_EQ(sock_write(-1, "abcd", 4), -1);
    ClosePeer();
    EXPECT_EQ(sock_write(Near(), "abcd", 4), -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(sock_write(Near(), "", 0), 0);
}

TEST_F(SocketHelpers, WriteSendsLargeBuffersWhole) {
    std::string big(1 << 20, 'q');
    std::string got;
    std::thread peer([&] {
        char chunk[65536];
        while (got.size() < big.size()) {
            ssize_t n = ::recv(Peer(), chunk, sizeof chunk, 0);
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(sock_write(Near(), big.data(), big.size()), static_cast<int>(big.size()));
    peer.join();
    EXPECT_EQ(got, big);
}

TEST_F(SocketHelpers, GetsEndsLinesAtCarriageReturnOrLineFeed) {
    PeerSendsText("AB\r\nCD\n");
    char line[16];
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), 2);
    EXPECT_STREQ(line, "AB");
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), 0);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), 2);
    EXPECT_STREQ(line, "CD");
}

TEST_F(SocketHelpers, GetsTruncatesALongLineAndConsumesAllOfIt) {
    PeerSendsText("ABCDEF\nG\n");
    char line[4];
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), 3);
    EXPECT_STREQ(line, "ABC");
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), 1);
    EXPECT_STREQ(line, "G");
}

TEST_F(SocketHelpers, GetsWithAZeroSizeBufferStoresNothing) {
    PeerSendsText("XYZ\n");
    char untouched = '#';
    EXPECT_EQ(sock_gets(Near(), &untouched, 0), 0);
    EXPECT_EQ(untouched, '#');
}

TEST_F(SocketHelpers, GetsAtTheCloseIsMinusOneWithWhatWasStored) {
    PeerSendsText("partial");
    ClosePeer();
    char line[16];
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), -1);
    EXPECT_STREQ(line, "partial");
    EXPECT_EQ(sock_gets(Near(), line, sizeof line), -1);
}

}  // namespace
