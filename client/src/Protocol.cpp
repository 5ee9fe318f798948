// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/Protocol.h"

#include <cerrno>
#include <cstring>

#include <sys/random.h>
#include <zlib.h>

#include "client/src/des.h"

// Sections: cipher state, body cipher, CRC, sending, receiving, key exchange.

// ---- Cipher state --------------------------------------------------------------------------

thread_local int32_t Protocol_EncryptionActive = 0;
thread_local unsigned char Protocol_EncryptionKey[8] = {0, 0, 0, 0, 0, 0, 0, 0};
thread_local unsigned char Protocol_ExchangeKey[8] = {0x5A, 0x17, 0xC3, 0x88,
                                                      0x2E, 0x94, 0xD1, 0x6B};

namespace {

// The largest padded body: L = 1024 is already a multiple of 8.
constexpr int kMaxPaddedBody = kMaxFrameLength;
static_assert(kMaxPaddedBody % 8 == 0, "the largest body needs no padding");
static_assert(kMaxPayload + 5 == kMaxFrameLength && kReceiveBufferSize == kMaxPayload + 1);

constexpr int kSendAttempts = 5;

int PaddedSize(int length) { return (length + 7) & ~7; }

// The key of this thread's state, or null when bodies travel in clear.
const unsigned char* ActiveKey() {
    switch (Protocol_EncryptionActive) {
        case 1:
            return Protocol_ExchangeKey;
        case 2:
            return Protocol_EncryptionKey;
        default:
            return nullptr;
    }
}

// Enciphers (EN0) or deciphers (DE1) every 8-byte unit of a padded body in place.
void CipherBody(unsigned char* body, int paddedSize, short direction) {
    const unsigned char* key = ActiveKey();
    if (key == nullptr) return;
    DesKeySchedule schedule;
    deskey(key, direction, &schedule);
    for (int offset = 0; offset < paddedSize; offset += 8) {
        des(schedule, body + offset, body + offset);
    }
}

void PutBigEndian(unsigned char* into, uint32_t value) {
    into[0] = static_cast<unsigned char>(value >> 24);
    into[1] = static_cast<unsigned char>(value >> 16);
    into[2] = static_cast<unsigned char>(value >> 8);
    into[3] = static_cast<unsigned char>(value);
}

uint32_t GetBigEndian(const unsigned char* from) {
    return (static_cast<uint32_t>(from[0]) << 24) | (static_cast<uint32_t>(from[1]) << 16) |
           (static_cast<uint32_t>(from[2]) << 8) | static_cast<uint32_t>(from[3]);
}

}  // namespace

bool IsUnacknowledgedType(int type) {
    return type == PKT_ACK || type == PKT_NAK || type == PKT_KEEPALIVE || type == PKT_DOOR_STATE;
}

// ---- Body cipher ---------------------------------------------------------------------------

int ProtocolWrite(SOCKET sock, const unsigned char* data, int length) {
    if (length < 0 || length > kMaxPaddedBody) return -1;
    unsigned char body[kMaxPaddedBody] = {};
    if (length > 0) std::memcpy(body, data, static_cast<std::size_t>(length));
    int padded = PaddedSize(length);
    CipherBody(body, padded, EN0);
    if (sock_write(sock, reinterpret_cast<const char*>(body), static_cast<std::size_t>(padded)) !=
        padded) {
        return -1;
    }
    return length;
}

int ProtocolRead(SOCKET sock, unsigned char* buffer, int length) {
    if (length < 0 || length > kMaxPaddedBody) return -1;
    unsigned char body[kMaxPaddedBody] = {};
    int padded = PaddedSize(length);
    if (sock_read(sock, reinterpret_cast<char*>(body), static_cast<std::size_t>(padded)) !=
        padded) {
        return -1;
    }
    CipherBody(body, padded, DE1);
    if (length > 0) std::memcpy(buffer, body, static_cast<std::size_t>(length));
    return length;
}

// ---- CRC -----------------------------------------------------------------------------------

uint32_t GetPacketCRC(const unsigned char* data, int length) {
    // zlib answers a null buffer with its own initial value; no data leaves the start value.
    if (length <= 0 || data == nullptr) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(crc32(0xFFFFFFFFul, data, static_cast<uInt>(length)));
}

int CheckPacketCRC(const unsigned char* body, int length) {
    if (length < 4) return 0;
    return GetBigEndian(body + length - 4) == GetPacketCRC(body, length - 4) ? 1 : 0;
}

// ---- Sending -------------------------------------------------------------------------------

int SendControlPacket(SOCKET sock, int type, const void* data, int length) {
    // A payload beyond the frame limit could not be framed (and would not fit the body).
    if (length < 0 || length > kMaxPayload || (length > 0 && data == nullptr)) return 0;
    const int frameLength = length + 5;
    const int padded = PaddedSize(frameLength);

    // The whole frame goes out in one write: a length prefix written on its own would sit
    // in the peer's delayed acknowledgement while the body waits behind it (Nagle), some
    // 40 ms for every packet.
    unsigned char frame[4 + kMaxPaddedBody] = {};
    PutBigEndian(frame, static_cast<uint32_t>(frameLength));
    unsigned char* body = frame + 4;
    body[0] = static_cast<unsigned char>(type);
    if (length > 0) std::memcpy(body + 1, data, static_cast<std::size_t>(length));
    PutBigEndian(body + 1 + length, GetPacketCRC(body, length + 1));
    CipherBody(body, padded, EN0);

    const std::size_t total = 4 + static_cast<std::size_t>(padded);
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        // Every attempt sends the whole frame again. A blocking write fails only when the
        // connection is gone, so a failed write ends the send.
        if (sock_write(sock, reinterpret_cast<const char*>(frame), total) !=
            static_cast<int>(total)) {
            return 0;
        }
        if (IsUnacknowledgedType(type)) return 1;
        // Anything but PKT_ACK (PKT_NAK, a request of the peer, a bad frame) is dropped.
        if (RealGetControlPacket(sock, nullptr, nullptr) == PKT_ACK) return 1;
    }
    return 0;
}

int SendACK(SOCKET sock) { return SendControlPacket(sock, PKT_ACK, nullptr, 0); }

int SendNAK(SOCKET sock) { return SendControlPacket(sock, PKT_NAK, nullptr, 0); }

// ---- Receiving -----------------------------------------------------------------------------

int RealGetControlPacket(SOCKET sock, char* buffer, int* length) {
    unsigned char prefix[4];
    if (sock_read(sock, reinterpret_cast<char*>(prefix), sizeof prefix) !=
        static_cast<int>(sizeof prefix)) {
        return -1;
    }
    uint32_t frameLength = GetBigEndian(prefix);
    // Nothing more is read: the stream is out of step and the caller drops the connection.
    if (frameLength < static_cast<uint32_t>(kMinFrameLength) ||
        frameLength > static_cast<uint32_t>(kMaxFrameLength)) {
        return -1;
    }
    const int frame = static_cast<int>(frameLength);
    unsigned char body[kMaxFrameLength];
    if (ProtocolRead(sock, body, frame) != frame) return -1;
    if (!CheckPacketCRC(body, frame)) return -1;

    const int payload = frame - 5;
    if (buffer != nullptr) {
        if (payload > 0) std::memcpy(buffer, body + 1, static_cast<std::size_t>(payload));
        buffer[payload] = '\0';
    }
    if (length != nullptr) *length = frame - 4;
    return static_cast<signed char>(body[0]);
}

int GetControlPacket(SOCKET sock, char* buffer, int* length) {
    int type = RealGetControlPacket(sock, buffer, length);
    if (type == -1 || IsUnacknowledgedType(type)) return type;
    // The acknowledgement goes out once the frame has checked, before the caller acts on it.
    (void)SendACK(sock);
    return type;
}

// ---- Key exchange --------------------------------------------------------------------------

namespace {

// Fills the key from the operating system's random source. Returns false only when the
// source cannot be read at all.
bool DrawSessionKey(unsigned char* key, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = ::getrandom(key + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

namespace {
// Whether the box acknowledged this thread's last PKT_KEY.
thread_local bool keyAcknowledged = false;
}  // namespace

int Server_KeyAcknowledged() { return keyAcknowledged ? 1 : 0; }

int Server_ExchangeKey(SOCKET sock) {
    keyAcknowledged = false;
    Protocol_EncryptionActive = 1;
    if (!DrawSessionKey(Protocol_EncryptionKey, sizeof Protocol_EncryptionKey)) {
        // Without the random source there is no key that cannot be guessed; the connection
        // is shut down rather than run under one, and the box thread reconnects.
        std::memset(Protocol_EncryptionKey, 0, sizeof Protocol_EncryptionKey);
        ::shutdown(sock, SHUT_RDWR);
        Protocol_EncryptionActive = 2;
        return 1;
    }
    // The box's acknowledgement comes back under the exchange key too.
    keyAcknowledged = SendControlPacket(sock, PKT_KEY, Protocol_EncryptionKey,
                                        sizeof Protocol_EncryptionKey) != 0;
    Protocol_EncryptionActive = 2;
    return 1;
}

int Client_ExchangeKey(SOCKET sock) {
    Protocol_EncryptionActive = 1;
    char buffer[kReceiveBufferSize];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        int type = GetControlPacket(sock, buffer, nullptr);
        if (type == -1) return 0;
        if (type == PKT_KEY) break;
    }
    std::memcpy(Protocol_EncryptionKey, buffer, sizeof Protocol_EncryptionKey);
    Protocol_EncryptionActive = 2;
    return 1;
}
