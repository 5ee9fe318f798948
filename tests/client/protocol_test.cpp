// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/Protocol.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/client/link_fixture.h"

namespace {

using linktest::Bytes;
using linktest::Frame;

const Bytes kAckFrame = {0x00, 0x00, 0x00, 0x05, 0x01, 0x88, 0xF8, 0xCF, 0x69, 0x00, 0x00, 0x00};

// ---- CRC and the frame on the wire ----------------------------------------------------------

TEST(PacketCrc, GivesTheCheckValues) {
    EXPECT_EQ(GetPacketCRC(reinterpret_cast<const unsigned char*>("abc"), 3), 0x359A672Fu);
    EXPECT_EQ(GetPacketCRC(reinterpret_cast<const unsigned char*>("123456789"), 9), 0xD202D277u);
    const unsigned char ackType = PKT_ACK;
    EXPECT_EQ(GetPacketCRC(&ackType, 1), 0x88F8CF69u);
    EXPECT_EQ(GetPacketCRC(&ackType, 0), 0xFFFFFFFFu);
}

TEST(PacketCrc, ChecksTheBigEndianTrailer) {
    unsigned char body[] = {0x01, 0x88, 0xF8, 0xCF, 0x69};
    EXPECT_NE(CheckPacketCRC(body, 5), 0);
    body[4] ^= 0x01;
    EXPECT_EQ(CheckPacketCRC(body, 5), 0);
    EXPECT_EQ(CheckPacketCRC(body, 3), 0);
}

TEST(PacketTypes, OnlyAckNakKeepAliveAndDoorStateGoUnacknowledged) {
    for (int type = -128; type < 128; ++type) {
        bool expected =
            type == PKT_ACK || type == PKT_NAK || type == PKT_KEEPALIVE || type == PKT_DOOR_STATE;
        EXPECT_EQ(IsUnacknowledgedType(type), expected) << type;
    }
}

class Framing : public linktest::LinkPair {};

TEST_F(Framing, AnAckIsTheWorkedTwelveBytes) {
    EXPECT_EQ(SendACK(Near()), 1);
    EXPECT_EQ(PeerSaw(), kAckFrame);
}

TEST_F(Framing, BodiesThatFillWholeUnitsCarryNoPadding) {
    // Payloads of 3 and 11 bytes make bodies of 8 and 16 bytes.
    ASSERT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, "abc", 3), 1);
    ASSERT_EQ(SendControlPacket(Near(), PKT_DOOR_STATE, "Open Closed", 11), 1);
    Bytes expected = Frame(PKT_KEEPALIVE, "abc");
    Bytes second = Frame(PKT_DOOR_STATE, "Open Closed");
    ASSERT_EQ(expected.size(), 12u);
    ASSERT_EQ(second.size(), 20u);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(PeerSaw(), expected);
}

TEST_F(Framing, TheLargestPayloadIsSentAndReceived) {
    std::string payload(kMaxPayload, 'x');
    payload[0] = 'A';
    payload[kMaxPayload - 1] = 'Z';
    ASSERT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, payload.data(), kMaxPayload), 1);
    Bytes wire = PeerSaw();
    ASSERT_EQ(wire, Frame(PKT_KEEPALIVE, payload));
    EXPECT_EQ(wire.size(), 4u + 1024u);

    PeerSends(wire);
    char buffer[kReceiveBufferSize + 1];
    std::memset(buffer, '#', sizeof buffer);
    int length = 0;
    EXPECT_EQ(RealGetControlPacket(Near(), buffer, &length), PKT_KEEPALIVE);
    EXPECT_EQ(length, 1020);
    EXPECT_EQ(std::string(buffer, kMaxPayload), payload);
    EXPECT_EQ(buffer[kMaxPayload], '\0');
    EXPECT_EQ(buffer[kReceiveBufferSize], '#');
}

TEST_F(Framing, ReceiveTakesTheNullBufferAndLength) {
    PeerSends(Frame(PKT_DOOR_STATE, "Open"));
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), PKT_DOOR_STATE);
    PeerSends(Frame(PKT_AUTH_ACCEPT, "12.50"));
    char buffer[kReceiveBufferSize];
    int length = 0;
    EXPECT_EQ(RealGetControlPacket(Near(), buffer, &length), PKT_AUTH_ACCEPT);
    EXPECT_STREQ(buffer, "12.50");
    EXPECT_EQ(length, 6);
}

TEST_F(Framing, AnEmptyPayloadGivesAnEmptyString) {
    PeerSends(Frame(PKT_ONLINE, ""));
    char buffer[kReceiveBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    int length = -7;
    EXPECT_EQ(RealGetControlPacket(Near(), buffer, &length), PKT_ONLINE);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(length, 1);
}

TEST_F(Framing, BodiesArePaddedEncipheredAndReadBack) {
    const unsigned char body[5] = {PKT_ACK, 0x88, 0xF8, 0xCF, 0x69};
    EXPECT_EQ(ProtocolWrite(Near(), body, 5), 5);
    EXPECT_EQ(PeerSaw(), (Bytes{0x01, 0x88, 0xF8, 0xCF, 0x69, 0, 0, 0}));

    Protocol_EncryptionActive = 2;
    std::memcpy(Protocol_EncryptionKey, "\x10\x20\x30\x40\x50\x60\x70\x80", 8);
    ASSERT_EQ(ProtocolWrite(Near(), body, 5), 5);
    Bytes wire = PeerSaw();
    ASSERT_EQ(wire.size(), 8u);
    PeerSends(wire);
    unsigned char back[8];
    std::memset(back, 0xEE, sizeof back);
    EXPECT_EQ(ProtocolRead(Near(), back, 5), 5);
    EXPECT_EQ(std::memcmp(back, body, 5), 0);
    EXPECT_EQ(back[5], 0xEE);  // only the first length bytes are copied out

    EXPECT_EQ(ProtocolWrite(Near(), body, 1025), -1);
    EXPECT_EQ(ProtocolRead(Near(), back, -1), -1);
    PeerSends(Bytes(3, 0));
    ClosePeer();
    EXPECT_EQ(ProtocolRead(Near(), back, 5), -1);
}

// ---- Acknowledgement ----------------------------------------------------------------------

TEST_F(Framing, KeepAliveAndDoorStateAreNotAcknowledgedAnAuthRequestOnce) {
    PeerSends(Frame(PKT_KEEPALIVE, ""));
    PeerSends(Frame(PKT_DOOR_STATE, "Closed"));
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), PKT_KEEPALIVE);
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), PKT_DOOR_STATE);
    EXPECT_TRUE(PeerSaw().empty());

    PeerSends(Frame(PKT_AUTH_REQUEST, "jsmith|secret"));
    char buffer[kReceiveBufferSize];
    EXPECT_EQ(GetControlPacket(Near(), buffer, nullptr), PKT_AUTH_REQUEST);
    EXPECT_STREQ(buffer, "jsmith|secret");
    EXPECT_EQ(PeerSaw(), kAckFrame);
}

TEST_F(Framing, AnAcknowledgedSendReturnsOnceTheAckArrives) {
    PeerSends(kAckFrame);  // waiting already: the send reads it as its answer
    EXPECT_EQ(SendControlPacket(Near(), PKT_AUTH_ACCEPT, "12.50", 5), 1);
    EXPECT_EQ(PeerSaw(), Frame(PKT_AUTH_ACCEPT, "12.50"));
    EXPECT_TRUE(LeftUnread().empty());
}

// ---- Error paths --------------------------------------------------------------------------

TEST_F(Framing, ALengthOutsideTheLimitsIsRejectedBeforeTheBody) {
    for (uint32_t bad : {0u, 4u, 1025u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        Bytes frame = linktest::BigEndian(bad);
        Bytes rest(8, 0xAB);
        frame.insert(frame.end(), rest.begin(), rest.end());
        PeerSends(frame);
        EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), -1);
        EXPECT_EQ(LeftUnread(), rest);
    }
    EXPECT_TRUE(PeerSaw().empty());
}

TEST_F(Framing, ABadCrcIsDroppedUnacknowledgedAndTheNextFrameReads) {
    Bytes broken = Frame(PKT_AUTH_REQUEST, "jsmith|secret");
    broken[6] ^= 0x20;
    PeerSends(broken);
    PeerSends(Frame(PKT_DEPOSIT, "abc"));
    char buffer[kReceiveBufferSize];
    EXPECT_EQ(GetControlPacket(Near(), buffer, nullptr), -1);
    EXPECT_TRUE(PeerSaw().empty());
    EXPECT_EQ(GetControlPacket(Near(), buffer, nullptr), PKT_DEPOSIT);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(PeerSaw(), kAckFrame);
}

TEST_F(Framing, TypeFFIsAReceiveErrorAndHighTypesComeBackNegative) {
    PeerSends(Frame(0xFF, "x"));
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), -1);
    EXPECT_TRUE(PeerSaw().empty());
    PeerSends(Frame(0x80, ""));
    EXPECT_EQ(RealGetControlPacket(Near(), nullptr, nullptr), -128);
    PeerSends(Frame(0xC8, ""));
    EXPECT_EQ(RealGetControlPacket(Near(), nullptr, nullptr), static_cast<signed char>(0xC8));
}

TEST_F(Framing, AShortBodyOrAClosedPeerFailsTheRead) {
    Bytes frame = Frame(PKT_ONLINE, "abcdef");
    frame.resize(frame.size() - 3);
    PeerSends(frame);
    ClosePeer();
    EXPECT_EQ(RealGetControlPacket(Near(), nullptr, nullptr), -1);
    EXPECT_EQ(RealGetControlPacket(Near(), nullptr, nullptr), -1);
}

TEST_F(Framing, APeerAnsweringNakSeesTheFrameFiveTimes) {
    const Bytes frame = Frame(PKT_RESET, "");
    std::atomic<int> framesSeen{0};
    std::thread peer([&] {
        Bytes got;
        unsigned char chunk[256];
        for (int i = 0; i < 5; ++i) {
            while (got.size() < frame.size()) {
                ssize_t n = ::recv(Peer(), chunk, sizeof chunk, 0);
                if (n <= 0) return;
                got.insert(got.end(), chunk, chunk + n);
            }
            if (!std::equal(frame.begin(), frame.end(), got.begin())) return;
            got.erase(got.begin(), got.begin() + static_cast<long>(frame.size()));
            ++framesSeen;
            Bytes nak = Frame(PKT_NAK, "");
            ::send(Peer(), nak.data(), nak.size(), MSG_NOSIGNAL);
        }
    });
    EXPECT_EQ(SendControlPacket(Near(), PKT_RESET, nullptr, 0), 0);
    peer.join();
    EXPECT_EQ(framesSeen.load(), 5);
    EXPECT_TRUE(PeerSaw().empty());
}

TEST_F(Framing, AnOversizedOrMissingPayloadIsNotSent) {
    std::string tooLong(kMaxPayload + 1, 'x');
    EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, tooLong.data(), kMaxPayload + 1), 0);
    EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, nullptr, 4), 0);
    EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, "x", -1), 0);
    EXPECT_TRUE(PeerSaw().empty());
}

TEST_F(Framing, SendingToAClosedPeerFails) {
    ClosePeer();
    EXPECT_EQ(SendControlPacket(Near(), PKT_ONLINE, nullptr, 0), 0);
    EXPECT_EQ(SendACK(Near()), 0);
}

// ---- Fault injection through the socket layer ---------------------------------------------

class InjectedFaults : public linktest::LinkPair {
  protected:
    void TearDown() override {
        platform::net::SetNetHooks({});
        LinkPair::TearDown();
    }
    // Fails the send calls numbered failFrom and later (1-based); the others go through.
    static void FailSendsFrom(int failFrom) {
        sendCalls = 0;
        failSendsFrom = failFrom;
        platform::net::NetHooks hooks;
        hooks.send = [](SOCKET s, const void* data, std::size_t length, int flags) -> long {
            if (++sendCalls >= failSendsFrom) {
                errno = ECONNRESET;
                return -1;
            }
            return ::send(s, data, length, flags | MSG_NOSIGNAL);
        };
        platform::net::SetNetHooks(hooks);
    }
    // Fails only the receive call numbered failAt.
    static void FailReceive(int failAt) {
        recvCalls = 0;
        failRecvAt = failAt;
        platform::net::NetHooks hooks;
        hooks.recv = [](SOCKET s, void* buffer, std::size_t length, int flags) -> long {
            if (++recvCalls == failRecvAt) {
                errno = ECONNRESET;
                return -1;
            }
            return ::recv(s, buffer, length, flags);
        };
        platform::net::SetNetHooks(hooks);
    }
    static inline int sendCalls = 0;
    static inline int failSendsFrom = 0;
    static inline int recvCalls = 0;
    static inline int failRecvAt = 0;
};

TEST_F(InjectedFaults, AFailedWriteFailsTheSendAtOnce) {
    FailSendsFrom(1);
    EXPECT_EQ(SendControlPacket(Near(), PKT_ONLINE, nullptr, 0), 0);
    EXPECT_EQ(sendCalls, 1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_TRUE(PeerSaw().empty());
}

TEST_F(InjectedFaults, TheNthSendFailing) {
    // One write per frame: the first two keep-alives go out, the third fails.
    FailSendsFrom(3);
    EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, nullptr, 0), 1);
    EXPECT_EQ(SendControlPacket(Near(), PKT_DOOR_STATE, "Open", 4), 1);
    EXPECT_EQ(SendControlPacket(Near(), PKT_KEEPALIVE, nullptr, 0), 0);
    EXPECT_EQ(sendCalls, 3);
    Bytes expected = Frame(PKT_KEEPALIVE, "");
    Bytes door = Frame(PKT_DOOR_STATE, "Open");
    expected.insert(expected.end(), door.begin(), door.end());
    EXPECT_EQ(PeerSaw(), expected);
}

TEST_F(InjectedFaults, AFailedAckWriteLeavesTheReceivedPacketValid) {
    PeerSends(Frame(PKT_AUTH_REQUEST, "a|b"));
    FailSendsFrom(1);
    char buffer[kReceiveBufferSize];
    EXPECT_EQ(GetControlPacket(Near(), buffer, nullptr), PKT_AUTH_REQUEST);
    EXPECT_STREQ(buffer, "a|b");
    EXPECT_EQ(sendCalls, 1);
}

TEST_F(InjectedFaults, AFailedAcknowledgementWaitSendsTheFrameAgain) {
    // The peer has acknowledged twice; the first wait fails, the second reads an ACK.
    PeerSends(kAckFrame);
    PeerSends(kAckFrame);
    FailReceive(1);
    EXPECT_EQ(SendControlPacket(Near(), PKT_MSG_CLEAR, nullptr, 0), 1);
    Bytes frame = Frame(PKT_MSG_CLEAR, "");
    Bytes twice = frame;
    twice.insert(twice.end(), frame.begin(), frame.end());
    EXPECT_EQ(PeerSaw(), twice);
    EXPECT_EQ(LeftUnread(), kAckFrame);
}

TEST_F(InjectedFaults, AFailedReceiveIsMinusOneWithNothingAcknowledged) {
    PeerSends(Frame(PKT_AUTH_REQUEST, "a|b"));
    FailReceive(2);  // the body read after the prefix
    EXPECT_EQ(GetControlPacket(Near(), nullptr, nullptr), -1);
    EXPECT_TRUE(PeerSaw().empty());
}

}  // namespace
