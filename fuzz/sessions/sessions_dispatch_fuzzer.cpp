// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Fuzzes the box request dispatch with whatever a box might send once a frame has passed
// its CRC: the first input byte is the packet type, the rest the payload. The record's
// authentication and accounting types name no back-end, so every request runs its parsing
// and logging and then stops at the "invalid type" branch; answers to the box go nowhere
// (every send fails at once).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/src/Protocol.h"
#include "platform/net/net.h"
#include "server/zuvexservice.h"

namespace {

long RefuseSend(SOCKET, const void*, std::size_t, int) {
    WSASetLastError(WSAECONNRESET);
    return -1;
}

long RefuseRecv(SOCKET, void*, std::size_t, int) {
    WSASetLastError(WSAECONNRESET);
    return -1;
}

t_ServerStartInfo* Record() {
    static t_ServerStartInfo* record = [] {
        static t_ServerStartInfo info;
        std::memset(&info, 0, sizeof info);
        info.socket = 3;
        info.authType = 7;       // no such authentication type
        info.printLinkType = 9;  // no such accounting link
        platform::net::SetNetHooks({RefuseSend, RefuseRecv});
        return &info;
    }();
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    t_ServerStartInfo* info = Record();
    // The packet layer's buffer: the payload, its NUL, and room the deposit may terminate in.
    char buffer[1024];
    std::size_t payload = size - 1 < kMaxPayload ? size - 1 : kMaxPayload;
    std::memcpy(buffer, data + 1, payload);
    buffer[payload] = '\0';
    const int type = static_cast<int8_t>(data[0]);
    CZuvexService::ProcessReceivedPacket(info, type, buffer, static_cast<long>(payload + 1));
    // The user is cleared by every authentication request and by nothing else here.
    if (type == PKT_AUTH_REQUEST && info->userName[0] != '\0') __builtin_trap();
    return 0;
}
