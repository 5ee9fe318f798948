// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The framing of remote requests and replies on ssh's standard input and output.
//
// A frame is a 4-byte little-endian payload length followed by the payload. A payload is a
// sequence of fields: numbers are 4 bytes little-endian; texts and byte strings are a 4-byte
// length and that many bytes. No frame is larger than kMaxFrame; a peer that announces a
// larger one is broken and its connection ends.
//
// Conversation: the client sends a hello (kMagic, kVersion, the service name: "registry" or
// "service"); the server answers (kMagic, kVersion, 0), or (kMagic, kVersion, an error code)
// and ends when it does not offer that service. Then each request is one frame whose first
// number is the operation, answered by exactly one reply frame. The client ends the
// conversation by closing the server's input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/wintypes.h"

namespace platform::remote {

inline constexpr std::uint32_t kMagic = 0x4C4E5244;  // "DRNL"
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kMaxFrame = 16u << 20;

// Builds one payload.
class Writer {
  public:
    Writer& U32(std::uint32_t value);
    Writer& Text(std::string_view text);
    Writer& Bytes(const BYTE* data, std::size_t size);
    Writer& Bytes(const std::vector<BYTE>& data) { return Bytes(data.data(), data.size()); }
    const std::string& Payload() const { return payload_; }

  private:
    std::string payload_;
};

// Reads the fields of one payload. Every call fails (false) once the payload runs out or a
// length points past its end; nothing is read past the payload.
class Reader {
  public:
    explicit Reader(std::string_view payload) : rest_(payload) {}
    bool U32(std::uint32_t* value);
    bool Text(std::string* text);
    bool Bytes(std::vector<BYTE>* data);
    // True when every byte was read (a well-formed request has nothing left over).
    bool AtEnd() const { return rest_.empty(); }

  private:
    bool Take(std::size_t size, std::string_view* taken);
    std::string_view rest_;
};

// The frame around a payload (length prefix added).
std::string Frame(const std::string& payload);

enum class FrameStatus {
    Complete,  // *payload is the first frame's payload; *used bytes of buffer belong to it
    Partial,   // more bytes are needed
    TooLarge,  // the length is above kMaxFrame: the peer is broken
};
// Looks for a whole frame at the start of buffer.
FrameStatus TakeFrame(std::string_view buffer, std::string_view* payload, std::size_t* used);

}  // namespace platform::remote
