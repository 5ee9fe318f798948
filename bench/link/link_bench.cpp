// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Box link timings: DES throughput of our cipher beside OpenSSL's DES in the same run, and
// packets per second of send plus acknowledgement between two threads over loopback TCP
// under a session key. Prints, never asserts.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <openssl/des.h>

#include "client/src/Protocol.h"
#include "client/src/des.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

constexpr unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

// Enciphers the buffer in place block by block, several times; returns MB/s.
double OurDes(std::vector<unsigned char>& data, int rounds) {
    DesKeySchedule schedule;
    deskey(kKey, EN0, &schedule);
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < data.size(); i += 8) des(schedule, &data[i], &data[i]);
    }
    return static_cast<double>(data.size()) * rounds / 1e6 / Seconds(start);
}

double OpenSslDes(std::vector<unsigned char>& data, int rounds) {
    DES_cblock key;
    std::memcpy(key, kKey, sizeof key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < data.size(); i += 8) {
            auto* block = reinterpret_cast<DES_cblock*>(&data[i]);
            DES_ecb_encrypt(block, block, &schedule, DES_ENCRYPT);
        }
    }
    return static_cast<double>(data.size()) * rounds / 1e6 / Seconds(start);
}

// A whole packet body's cipher work as the link does it: a schedule per body, then the
// units of a 400-byte page. Returns bodies per second.
double BodiesPerSecond(int count) {
    unsigned char body[408] = {};
    auto start = Clock::now();
    for (int n = 0; n < count; ++n) {
        DesKeySchedule schedule;
        deskey(kKey, EN0, &schedule);
        for (std::size_t i = 0; i < sizeof body; i += 8) des(schedule, body + i, body + i);
    }
    return count / Seconds(start);
}

// Sends count acknowledged packets of the payload from this thread to a receiving thread
// over loopback; returns packets per second (or -1 if the link failed).
double PacketsPerSecond(int count, const std::string& payload) {
    SOCKET listener = CreateSocket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = inet_addr("127.0.2.20");
    if (::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener, 1) != 0) {
        std::perror("listen");
        return -1;
    }
    socklen_t size = sizeof where;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
    std::string port = std::to_string(ntohs(where.sin_port));

    std::atomic<int> received{0};
    std::thread box([&] {
        SOCKET s = ::accept(listener, nullptr, nullptr);
        Protocol_EncryptionActive = 2;
        std::memcpy(Protocol_EncryptionKey, kKey, 8);
        char buffer[kReceiveBufferSize];
        while (GetControlPacket(s, buffer, nullptr) == PKT_MSG_TEXT) ++received;
        closesocket(s);
    });
    SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.20");
    if (s < 0) {
        closesocket(listener);
        box.join();
        return -1;
    }
    Protocol_EncryptionActive = 2;
    std::memcpy(Protocol_EncryptionKey, kKey, 8);
    auto start = Clock::now();
    int sent = 0;
    for (int n = 0; n < count; ++n) {
        sent +=
            SendControlPacket(s, PKT_MSG_TEXT, payload.data(), static_cast<int>(payload.size()));
    }
    double elapsed = Seconds(start);
    closesocket(s);
    box.join();
    closesocket(listener);
    Protocol_EncryptionActive = 0;
    if (sent != count || received != count) return -1;
    return count / elapsed;
}

// The anchor of PacketsPerSecond: the same bytes over the same kind of connection with no
// link layer: the sender writes a frame's worth, the receiver reads it whole and writes back
// the twelve bytes of an acknowledgement, which the sender reads whole. Packets per second.
double BarePingPongPerSecond(int count, std::size_t payload) {
    const std::size_t frame = 4 + ((payload + 5 + 7) & ~std::size_t{7});
    SOCKET listener = CreateSocket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = inet_addr("127.0.2.20");
    if (::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener, 1) != 0) {
        std::perror("listen");
        return -1;
    }
    socklen_t size = sizeof where;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
    std::string port = std::to_string(ntohs(where.sin_port));
    std::thread peer([&] {
        SOCKET s = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(frame);
        char ack[12] = {};
        while (sock_read(s, buffer.data(), frame) == static_cast<int>(frame) &&
               sock_write(s, ack, sizeof ack) == static_cast<int>(sizeof ack)) {
        }
        closesocket(s);
    });
    SOCKET s = make_connection(port.c_str(), kConnectionStream, "127.0.2.20");
    if (s < 0) {
        closesocket(listener);
        peer.join();
        return -1;
    }
    std::vector<char> bytes(frame, 'p');
    char ack[12];
    auto start = Clock::now();
    int done = 0;
    for (int n = 0; n < count; ++n) {
        if (sock_write(s, bytes.data(), frame) != static_cast<int>(frame) ||
            sock_read(s, ack, sizeof ack) != static_cast<int>(sizeof ack)) {
            break;
        }
        ++done;
    }
    double elapsed = Seconds(start);
    closesocket(s);
    peer.join();
    closesocket(listener);
    return done == count ? count / elapsed : -1;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: %s   (loopback 127.0.2.20; run it inside unshare -n)\n", argv[0]);
        return 0;
    }
    std::vector<unsigned char> data(1 << 20, 0xA5);
    const int rounds = 16;
    // Warm both up once, then measure.
    OurDes(data, 1);
    OpenSslDes(data, 1);
    double ours = OurDes(data, rounds);
    double openssl = OpenSslDes(data, rounds);
    std::printf("des ecb, 16 MB:           ours %8.1f MB/s   openssl %8.1f MB/s   ratio %.2f\n",
                ours, openssl, ours / openssl);
    std::printf("cipher per 400-byte body: %10.0f bodies/s (key schedule each)\n",
                BodiesPerSecond(200000));
    std::printf("send + acknowledge, loopback TCP, session key, medians of 3 rounds:\n");
    for (std::size_t size : {0u, 400u, 1019u}) {
        std::vector<double> link;
        std::vector<double> bare;
        for (int round = 0; round < 3; ++round) {
            link.push_back(PacketsPerSecond(10000, std::string(size, 'p')));
            bare.push_back(BarePingPongPerSecond(10000, size));
            if (link.back() < 0 || bare.back() < 0) {
                std::printf("  payload %4zu bytes: link failed\n", size);
                return 1;
            }
        }
        const double packets = Median(link);
        const double anchor = Median(bare);
        std::printf(
            "  payload %4zu bytes: %10.0f packets/s   bare ping-pong %10.0f/s   ratio %.2f\n", size,
            packets, anchor, packets / anchor);
        std::printf(
            "TABLE|link|send + acknowledge, %zu-byte payload|%.0f packets/s|bare TCP "
            "ping-pong|%.0f /s|%.2f|(shown)\n",
            size, packets, anchor, packets / anchor);
    }
    std::printf("TABLE|link|DES, 16 MB|%.1f MB/s|OpenSSL DES|%.1f MB/s|%.2f|(shown)\n", ours,
                openssl, ours / openssl);
    return 0;
}
