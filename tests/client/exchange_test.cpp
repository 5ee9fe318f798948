// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include <array>
#include <cstring>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/client/link_fixture.h"

namespace {

using linktest::Bytes;
using linktest::Frame;
using Key = std::array<unsigned char, 8>;

constexpr unsigned char kExchangeKey[8] = {0x5A, 0x17, 0xC3, 0x88, 0x2E, 0x94, 0xD1, 0x6B};

Key CurrentKey() {
    Key key;
    std::memcpy(key.data(), Protocol_EncryptionKey, key.size());
    return key;
}

// A listening TCP socket on this test's own loopback address and an ephemeral port.
class Listener {
  public:
    Listener() {
        fd_ = CreateSocket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.2.1");
        address.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~Listener() { closesocket(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    SOCKET Accept() const { return ::accept(fd_, nullptr, nullptr); }
    const std::string& Port() const { return port_; }

  private:
    SOCKET fd_ = -1;
    std::string port_;
};

TEST(CipherState, StartsClearWithTheBuiltInExchangeKey) {
    std::thread fresh([] {
        EXPECT_EQ(Protocol_EncryptionActive, 0);
        EXPECT_EQ(std::memcmp(Protocol_ExchangeKey, kExchangeKey, 8), 0);
        EXPECT_EQ(CurrentKey(), Key{});
    });
    fresh.join();
}

class Encipherment : public linktest::LinkPair {};

TEST_F(Encipherment, StateTwoChangesTheBodyButNotTheLengthPrefix) {
    ASSERT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, "12.50", 5), 1);
    Bytes clear = PeerSaw();
    ASSERT_EQ(clear, Frame(PKT_KEEPALIVE, "12.50"));

    const Key session = {1, 2, 3, 4, 5, 6, 7, 8};
    std::thread stateTwo([&] {
        Protocol_EncryptionActive = 2;
        std::memcpy(Protocol_EncryptionKey, session.data(), 8);
        EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, "12.50", 5), 1);
    });
    stateTwo.join();
    Bytes enciphered = PeerSaw();
    ASSERT_EQ(enciphered.size(), clear.size());
    EXPECT_TRUE(std::equal(clear.begin(), clear.begin() + 4, enciphered.begin()));
    EXPECT_FALSE(std::equal(clear.begin() + 4, clear.end(), enciphered.begin() + 4));
    EXPECT_EQ(enciphered, Frame(PKT_KEEPALIVE, "12.50", session.data()));
}

TEST_F(Encipherment, StatesOutsideOneAndTwoTravelInClear) {
    Protocol_EncryptionActive = 7;
    ASSERT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, "x", 1), 1);
    EXPECT_EQ(PeerSaw(), Frame(PKT_KEEPALIVE, "x"));
}

TEST_F(Encipherment, AFrameUnderTheWrongKeyFailsItsCrc) {
    const Key theirs = {9, 9, 9, 9, 9, 9, 9, 9};
    Protocol_EncryptionActive = 2;
    std::memcpy(Protocol_EncryptionKey, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    PeerSends(Frame(PKT_AUTH_REQUEST, "a|b", theirs.data()));
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), -1);
    EXPECT_TRUE(PeerSaw().empty());
    PeerSends(Frame(PKT_AUTH_REQUEST, "a|b", Protocol_EncryptionKey));
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), PKT_AUTH_REQUEST);
    EXPECT_EQ(PeerSaw(), Frame(PKT_ACK, "", Protocol_EncryptionKey));
}

TEST_F(Encipherment, TheKeyTravelsUnderTheExchangeKeyWithLength13) {
    Key sent{};
    std::thread server([&] {
        EXPECT_EQ(Server_ExchangeKey(Near()), 1);
        EXPECT_EQ(Protocol_EncryptionActive, 2);
        sent = CurrentKey();
    });
    // Read the 20 bytes of the PKT_KEY frame, then hang up without acknowledging: the server
    // switches to the session key all the same.
    Bytes frame;
    while (frame.size() < 20) {
        unsigned char chunk[32];
        ssize_t n = ::recv(Peer(), chunk, 20 - frame.size(), 0);
        ASSERT_GT(n, 0);
        frame.insert(frame.end(), chunk, chunk + n);
    }
    ClosePeer();
    server.join();
    EXPECT_EQ(frame[0], 0);
    EXPECT_EQ(frame[3], 13);
    Bytes body = linktest::Decipher(Bytes(frame.begin() + 4, frame.end()), kExchangeKey);
    EXPECT_EQ(body[0], PKT_KEY);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), body.begin() + 1));
    EXPECT_NE(CheckPacketCRC(body.data(), 13), 0);
    EXPECT_NE(sent, Key{});
}

TEST_F(Encipherment, TheBoxEndDropsOtherPacketsAndStopsOnAFailedRead) {
    Key taken{};
    int result = -1;
    std::thread box([&] {
        result = Client_ExchangeKey(Near());
        taken = CurrentKey();
    });
    PeerSends(Frame(PKT_ONLINE, "", kExchangeKey));
    PeerSends(Frame(PKT_KEY, "ABCDEFGH", kExchangeKey));
    box.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(taken, (Key{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
    // Both acknowledged under the exchange key.
    Bytes ack = Frame(PKT_ACK, "", kExchangeKey);
    Bytes twice = ack;
    twice.insert(twice.end(), ack.begin(), ack.end());
    EXPECT_EQ(PeerSaw(), twice);

    std::thread failing([&] { result = Client_ExchangeKey(Near()); });
    ClosePeer();
    failing.join();
    EXPECT_EQ(result, 0);
}

TEST(KeyExchange, BothEndsAgreeOverTcpAndTalkUnderTheSessionKey) {
    Listener listener;
    Key boxKey{}, serverKey{};
    std::string boxGot, serverGot;
    std::thread box([&] {
        SOCKET s = listener.Accept();
        ASSERT_GE(s, 0);
        ASSERT_EQ(Client_ExchangeKey(s), 1);
        boxKey = CurrentKey();
        char buffer[kReceiveBufferSize];
        EXPECT_EQ(GetControlPacket(s, buffer, nullptr), PKT_MSG_TEXT);
        boxGot = buffer;
        EXPECT_EQ(SendControlPacket(s, PKT_AUTH_REQUEST, "jsmith|secret", 13), 1);
        closesocket(s);
    });
    SOCKET s = make_connection(listener.Port().c_str(), kConnectionStream, "127.0.2.1");
    ASSERT_GE(s, 3);
    EXPECT_EQ(Server_ExchangeKey(s), 1);
    serverKey = CurrentKey();
    EXPECT_EQ(SendControlPacket(s, PKT_MSG_TEXT, "Welcome", 7), 1);
    char buffer[kReceiveBufferSize];
    EXPECT_EQ(GetControlPacket(s, buffer, nullptr), PKT_AUTH_REQUEST);
    serverGot = buffer;
    box.join();
    closesocket(s);
    Protocol_EncryptionActive = 0;

    EXPECT_EQ(boxKey, serverKey);
    EXPECT_EQ(boxGot, "Welcome");
    EXPECT_EQ(serverGot, "jsmith|secret");
}

TEST(KeyExchange, TwoExchangesInTheSameSecondDrawDifferentKeys) {
    // Two server threads exchange at once against peers that take the key and hang up.
    Key keys[2];
    std::thread threads[2];
    int pairs[2][2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[i]), 0);
        ::shutdown(pairs[i][1], SHUT_RDWR);
    }
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&, i] {
            Server_ExchangeKey(pairs[i][0]);
            keys[i] = CurrentKey();
        });
    }
    for (auto& t : threads) t.join();
    for (auto& p : pairs) {
        ::close(p[0]);
        ::close(p[1]);
    }
    EXPECT_NE(keys[0], keys[1]);
    EXPECT_NE(keys[0], Key{});
}

TEST(KeyExchange, ARepeatedExchangeOnOneThreadReplacesTheKey) {
    Key first, second;
    for (Key* key : {&first, &second}) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ::shutdown(pair[1], SHUT_RDWR);
        EXPECT_EQ(Server_ExchangeKey(pair[0]), 1);
        *key = CurrentKey();
        ::close(pair[0]);
        ::close(pair[1]);
    }
    Protocol_EncryptionActive = 0;
    EXPECT_NE(first, second);
}

}  // namespace
