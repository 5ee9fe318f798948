// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include <cstring>

#include "interface/dornellog.h"

namespace dornellog {

namespace {

// Reads the deferred array of a unique pointer whose record said length bytes. The block
// gets one zero byte more than sent, so it is terminated whatever the peer sent.
bool ReadText(platform::rpc::NdrReader& in, std::uint32_t referent, LONG length,
              unsigned char*& text) {
    text = nullptr;
    if (length < 0 || static_cast<std::uint32_t>(length) > kMaxTextBytes) return false;
    if (!referent) return true;
    const std::uint8_t* bytes;
    std::uint32_t count;
    if (!in.ReadConformantBytes(kMaxTextBytes, bytes, count) ||
        count != static_cast<std::uint32_t>(length)) {
        return false;
    }
    text = static_cast<unsigned char*>(MIDL_user_allocate(count + 1));
    if (!text) return false;
    if (count) std::memcpy(text, bytes, count);
    return true;
}

void WriteText(platform::rpc::NdrWriter& out, LONG length, const unsigned char* text) {
    if (text) out.WriteConformantBytes(text, static_cast<std::uint32_t>(length < 0 ? 0 : length));
}

}  // namespace

void WriteSearchRequest(platform::rpc::NdrWriter& out, const LogSearchRequest& request) {
    out.Align(4);
    out.WriteInt32(request.reserved);
    out.WriteInt32(request.length);
    out.WriteReferent(request.text ? kReferentId : 0);
    WriteText(out, request.length, request.text);
}

bool ReadSearchRequest(platform::rpc::NdrReader& in, LogSearchRequest& request) {
    std::uint32_t referent;
    LogSearchRequest parsed{};
    if (!in.Align(4) || !in.ReadInt32(parsed.reserved) || !in.ReadInt32(parsed.length) ||
        !in.ReadReferent(referent) || !ReadText(in, referent, parsed.length, parsed.text)) {
        return false;
    }
    request = parsed;
    return true;
}

void WriteLogBuffer(platform::rpc::NdrWriter& out, const LogBuffer& buffer) {
    out.Align(4);
    out.WriteInt32(buffer.length);
    out.WriteReferent(buffer.data ? kReferentId : 0);
    WriteText(out, buffer.length, buffer.data);
}

bool ReadLogBuffer(platform::rpc::NdrReader& in, LogBuffer& buffer) {
    std::uint32_t referent;
    LogBuffer parsed{};
    if (!in.Align(4) || !in.ReadInt32(parsed.length) || !in.ReadReferent(referent) ||
        !ReadText(in, referent, parsed.length, parsed.data)) {
        return false;
    }
    buffer = parsed;
    return true;
}

}  // namespace dornellog
