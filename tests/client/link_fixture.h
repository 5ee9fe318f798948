// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Vocabulary of the box link tests: a connected socket pair whose near end the code under
// test uses and whose far end the test drives byte by byte ("send this raw frame", "what
// did the peer see"), and frame builders that do not go through the code under test.

#include <cstdint>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "client/src/des.h"

namespace linktest {

using Bytes = std::vector<unsigned char>;

inline Bytes BigEndian(uint32_t value) {
    return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

// A whole frame as the wire carries it: prefix, body with CRC and padding, the body
// enciphered under key when one is given.
inline Bytes Frame(int type, const std::string& payload, const unsigned char* key = nullptr) {
    Bytes body;
    body.push_back(static_cast<unsigned char>(type));
    body.insert(body.end(), payload.begin(), payload.end());
    uint32_t crc =
        static_cast<uint32_t>(crc32(0xFFFFFFFFul, body.data(), static_cast<uInt>(body.size())));
    Bytes crcBytes = BigEndian(crc);
    body.insert(body.end(), crcBytes.begin(), crcBytes.end());
    uint32_t length = static_cast<uint32_t>(body.size());
    while (body.size() % 8 != 0) body.push_back(0);
    if (key != nullptr) {
        DesKeySchedule schedule;
        deskey(key, EN0, &schedule);
        for (std::size_t i = 0; i < body.size(); i += 8) des(schedule, &body[i], &body[i]);
    }
    Bytes frame = BigEndian(length);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

inline Bytes Decipher(Bytes body, const unsigned char* key) {
    DesKeySchedule schedule;
    deskey(key, DE1, &schedule);
    for (std::size_t i = 0; i + 8 <= body.size(); i += 8) des(schedule, &body[i], &body[i]);
    return body;
}

class LinkPair : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        Protocol_EncryptionActive = 0;
    }
    void TearDown() override {
        CloseNear();
        ClosePeer();
        Protocol_EncryptionActive = 0;
    }

    SOCKET Near() const { return fds_[0]; }
    SOCKET Peer() const { return fds_[1]; }

    void PeerSends(const Bytes& bytes) {
        ASSERT_EQ(::send(fds_[1], bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Everything that has arrived at the far end within a short quiet period.
    Bytes PeerSaw(int quietMs = 50) const { return Drain(fds_[1], quietMs); }
    // Bytes still waiting at the near end, unread by the code under test.
    Bytes LeftUnread(int quietMs = 20) const { return Drain(fds_[0], quietMs); }

    void ClosePeer() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }
    void CloseNear() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }

    static Bytes Drain(int fd, int quietMs) {
        Bytes out;
        for (;;) {
            struct pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0) break;
            unsigned char chunk[4096];
            ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0) break;
            out.insert(out.end(), chunk, chunk + got);
        }
        return out;
    }

    int fds_[2] = {-1, -1};
};

}  // namespace linktest
