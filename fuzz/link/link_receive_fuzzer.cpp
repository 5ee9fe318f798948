// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The receive path of the box link over an arbitrary byte stream: frames are read with
// GetControlPacket (which also acknowledges) until the stream is used up.
//
// Input: one mode byte (bit 0 set: bodies enciphered under a session key, state 2; clear:
// state 0), in state 2 the 8 key bytes, then the stream as the peer sent it. The stream is
// fed through the socket layer's receive hook; acknowledgements go to a send hook that
// swallows them.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/src/Protocol.h"

namespace {

const uint8_t* streamData = nullptr;
std::size_t streamLeft = 0;
std::size_t acknowledgements = 0;

long FeedReceive(SOCKET, void* buffer, std::size_t length, int) {
    std::size_t take = length < streamLeft ? length : streamLeft;
    // Hand out odd-sized pieces so the exact-count loops are exercised too.
    if (take > 3 && (streamLeft & 1)) take = take / 2 + 1;
    std::memcpy(buffer, streamData, take);
    streamData += take;
    streamLeft -= take;
    return static_cast<long>(take);
}

long SwallowSend(SOCKET, const void*, std::size_t length, int) {
    ++acknowledgements;
    return static_cast<long>(length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    platform::net::NetHooks hooks;
    hooks.recv = FeedReceive;
    hooks.send = SwallowSend;
    platform::net::SetNetHooks(hooks);

    const bool enciphered = (data[0] & 1) != 0;
    std::size_t offset = 1;
    Protocol_EncryptionActive = 0;
    if (enciphered) {
        if (size < 9) return 0;
        std::memcpy(Protocol_EncryptionKey, data + 1, 8);
        Protocol_EncryptionActive = 2;
        offset = 9;
    }
    streamData = data + offset;
    streamLeft = size - offset;
    acknowledgements = 0;

    // A frame takes at least 12 bytes, so this bounds the loop by the input.
    for (int frames = 0; streamLeft > 0 && frames < 512; ++frames) {
        char buffer[kReceiveBufferSize + 8];
        std::memset(buffer, 0x5A, sizeof buffer);
        int length = -1;
        std::size_t before = acknowledgements;
        int type = GetControlPacket(3, buffer, &length);
        if (type == -1) continue;
        // A packet was accepted: its length and terminator are in range, and it was
        // acknowledged exactly when its type asks for it.
        if (length < 1 || length > kReceiveBufferSize || buffer[length - 1] != '\0') {
            __builtin_trap();
        }
        if (buffer[kReceiveBufferSize] != 0x5A) __builtin_trap();
        std::size_t sent = acknowledgements - before;
        // An acknowledgement is one frame, written in one send.
        if (sent != (IsUnacknowledgedType(type) ? 0u : 1u)) __builtin_trap();
    }
    Protocol_EncryptionActive = 0;
    return 0;
}
