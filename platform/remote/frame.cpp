// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/remote/frame.h"

namespace platform::remote {

namespace {

void PutU32(std::string* out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

std::uint32_t GetU32(std::string_view bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace

Writer& Writer::U32(std::uint32_t value) {
    PutU32(&payload_, value);
    return *this;
}

Writer& Writer::Text(std::string_view text) {
    PutU32(&payload_, static_cast<std::uint32_t>(text.size()));
    payload_.append(text);
    return *this;
}

Writer& Writer::Bytes(const BYTE* data, std::size_t size) {
    PutU32(&payload_, static_cast<std::uint32_t>(size));
    if (size) payload_.append(reinterpret_cast<const char*>(data), size);
    return *this;
}

bool Reader::Take(std::size_t size, std::string_view* taken) {
    if (size > rest_.size()) {
        rest_ = {};
        return false;
    }
    *taken = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return true;
}

bool Reader::U32(std::uint32_t* value) {
    std::string_view bytes;
    if (!Take(4, &bytes)) return false;
    *value = GetU32(bytes);
    return true;
}

bool Reader::Text(std::string* text) {
    std::uint32_t size = 0;
    std::string_view bytes;
    if (!U32(&size) || !Take(size, &bytes)) return false;
    text->assign(bytes);
    return true;
}

bool Reader::Bytes(std::vector<BYTE>* data) {
    std::uint32_t size = 0;
    std::string_view bytes;
    if (!U32(&size) || !Take(size, &bytes)) return false;
    data->assign(bytes.begin(), bytes.end());
    return true;
}

std::string Frame(const std::string& payload) {
    std::string frame;
    frame.reserve(payload.size() + 4);
    PutU32(&frame, static_cast<std::uint32_t>(payload.size()));
    frame += payload;
    return frame;
}

FrameStatus TakeFrame(std::string_view buffer, std::string_view* payload, std::size_t* used) {
    if (buffer.size() < 4) return FrameStatus::Partial;
    const std::uint32_t size = GetU32(buffer);
    if (size > kMaxFrame) return FrameStatus::TooLarge;
    if (buffer.size() - 4 < size) return FrameStatus::Partial;
    *payload = buffer.substr(4, size);
    *used = 4 + static_cast<std::size_t>(size);
    return FrameStatus::Complete;
}

}  // namespace platform::remote
