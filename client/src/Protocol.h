// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The box link: frames, CRC, stop-and-wait acknowledgement and DES encipherment of the
// packets exchanged between the server and a box, and both ends of the session-key
// exchange.
//
// A frame is a 4-byte big-endian length L (payload + 5, 5..1024, always in clear), then the
// body: the type byte, the payload, the CRC-32 of type and payload (big-endian), and zero
// padding to a multiple of 8. The body is enciphered as a whole under the sending thread's
// cipher state.
//
// The cipher state is per thread (Protocol_EncryptionActive and the two keys), so the
// thread that ran a connection's key exchange is the one that must send and receive its
// packets. The layer takes no locks and logs nothing.

#include <cstdint>

#include "client/src/Socket.h"

// Packet types of the box link.
enum : int {
    PKT_ACK = 1,              // both ways; not acknowledged
    PKT_NAK = 2,              // box to server; not acknowledged
    PKT_ONLINE = 3,           // server to box
    PKT_OFFLINE = 4,          // server to box
    PKT_RESET = 5,            // server to box
    PKT_MSG_CLEAR = 6,        // server to box
    PKT_MSG_TEXT = 7,         // server to box: one page of ten lines
    PKT_MSG_END = 8,          // server to box
    PKT_MSG_BEGIN = 9,        // server to box
    PKT_AUTH_REQUEST = 10,    // box to server: "user|password"
    PKT_KEEPALIVE = 11,       // both ways; not acknowledged
    PKT_AUTH_ACCEPT = 12,     // server to box: balance "%.2f"
    PKT_AUTH_DECLINE = 13,    // server to box
    PKT_DEPOSIT = 14,         // box to server: one coin letter per coin
    PKT_DEPOSIT_RESULT = 15,  // server to box: new balance "%.2f", or "ERRO"
    PKT_SETTINGS = 16,        // server to box: "%d|%d|" rotation delay, input time-out
    PKT_DOOR_STATE = 17,      // box to server: "O..." open, anything else closed; not acknowledged
    PKT_KEY = 18,             // server to box: the 8-byte session key
};

// Frame limits.
inline constexpr int kMinFrameLength = 5;        // type and CRC, no payload
inline constexpr int kMaxFrameLength = 1024;     // L
inline constexpr int kMaxPayload = 1019;         // kMaxFrameLength - 5
inline constexpr int kReceiveBufferSize = 1020;  // payload and its NUL

// True for the types that are never acknowledged: ACK, NAK, keep-alive and door state.
bool IsUnacknowledgedType(int type);

// Per-thread cipher state: 0 clear, 1 under Protocol_ExchangeKey, 2 under
// Protocol_EncryptionKey; any other value behaves like 0.
extern thread_local int32_t Protocol_EncryptionActive;
extern thread_local unsigned char Protocol_EncryptionKey[8];
extern thread_local unsigned char Protocol_ExchangeKey[8];  // 5A17C3882E94D16B

// Sends one packet; data may be null when length is 0. For an acknowledged type waits for
// PKT_ACK, sending the whole frame again up to 5 attempts in all. Returns 1 when sent (and
// acknowledged), 0 otherwise: after 5 unacknowledged attempts, a failed write, or a payload
// longer than kMaxPayload (nothing is sent). Each frame goes out in one write.
int SendControlPacket(SOCKET sock, int type, const void* data, int length);

// Reads one frame, checks its length and CRC, and acknowledges it when its type asks for
// it. Returns the type as a signed byte, or -1 on a failed read, a length outside 5..1024
// or a bad CRC. On success the payload and a NUL are in buffer and *length holds L - 4.
// buffer (at least kReceiveBufferSize bytes) and length may each be null.
int GetControlPacket(SOCKET sock, char* buffer, int* length);

// As GetControlPacket, without acknowledging.
int RealGetControlPacket(SOCKET sock, char* buffer, int* length);

// SendControlPacket of PKT_ACK or PKT_NAK with no payload.
int SendACK(SOCKET sock);
int SendNAK(SOCKET sock);

// Pads the first length body bytes with zeros to a multiple of 8, enciphers them under
// this thread's state and writes them. Returns length, or -1 when the write fell short.
int ProtocolWrite(SOCKET sock, const unsigned char* data, int length);

// Reads the padded body of length bytes, deciphers it under this thread's state and copies
// the first length bytes out. Returns length, or -1 on a short read.
int ProtocolRead(SOCKET sock, unsigned char* buffer, int length);

// zlib crc32 of the data, started from 0xFFFFFFFF ("abc" gives 0x359A672F).
uint32_t GetPacketCRC(const unsigned char* data, int length);

// Non-zero when the big-endian value in the last 4 of the L bytes equals the CRC of the
// first L - 4.
int CheckPacketCRC(const unsigned char* body, int length);

// Server end of the key exchange, run right after connecting: draws a fresh session key
// from the operating system's random source, sends it in PKT_KEY under the exchange key and
// switches this thread to the session key. Returns 1, whether or not the box acknowledged.
int Server_ExchangeKey(SOCKET sock);
// 1 when the box acknowledged the PKT_KEY of this thread's last Server_ExchangeKey, else 0
// (the box overview names a key exchange that failed).
int Server_KeyAcknowledged();

// Box end: waits for PKT_KEY under the exchange key (other packets are dropped), takes the
// key and switches this thread to it. Returns 1, or 0 when the connection fails first.
int Client_ExchangeKey(SOCKET sock);
