// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/rpc/ndr.h"

#include <cstdio>
#include <cstring>

bool operator==(const UUID& a, const UUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

namespace platform::rpc {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads count hex digits at text[at]; false on any non-digit.
bool ParseHex(const std::string& text, std::size_t at, std::size_t count, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int digit = HexDigit(text[at + i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return true;
}

}  // namespace

bool ParseUuid(const std::string& text, UUID& uuid) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return false;
    }
    std::uint64_t value;
    UUID parsed{};
    if (!ParseHex(text, 0, 8, value)) return false;
    parsed.Data1 = static_cast<std::uint32_t>(value);
    if (!ParseHex(text, 9, 4, value)) return false;
    parsed.Data2 = static_cast<std::uint16_t>(value);
    if (!ParseHex(text, 14, 4, value)) return false;
    parsed.Data3 = static_cast<std::uint16_t>(value);
    static constexpr std::size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(text, kByteAt[i], 2, value)) return false;
        parsed.Data4[i] = static_cast<std::uint8_t>(value);
    }
    uuid = parsed;
    return true;
}

std::string FormatUuid(const UUID& uuid) {
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  uuid.Data1, uuid.Data2, uuid.Data3, uuid.Data4[0], uuid.Data4[1], uuid.Data4[2],
                  uuid.Data4[3], uuid.Data4[4], uuid.Data4[5], uuid.Data4[6], uuid.Data4[7]);
    return text;
}

UUID NilUuid() { return UUID{}; }

// ---------------------------------------------------------------------------------------
// NdrReader

NdrReader::NdrReader(const std::uint8_t* data, std::size_t size, ByteOrder order)
    : data_(data), size_(size), order_(order) {}

bool NdrReader::Align(std::size_t boundary) {
    std::size_t pad = (boundary - offset_ % boundary) % boundary;
    return Skip(pad);
}

bool NdrReader::Skip(std::size_t count) {
    if (count > Remaining()) return false;
    offset_ += count;
    return true;
}

bool NdrReader::ReadUInt8(std::uint8_t& value) {
    if (Remaining() < 1) return false;
    value = data_[offset_++];
    return true;
}

bool NdrReader::ReadUInt16(std::uint16_t& value) {
    if (Remaining() < 2) return false;
    const std::uint8_t* p = data_ + offset_;
    value = order_ == ByteOrder::Little ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
                                        : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    offset_ += 2;
    return true;
}

bool NdrReader::ReadUInt32(std::uint32_t& value) {
    if (Remaining() < 4) return false;
    const std::uint8_t* p = data_ + offset_;
    if (order_ == ByteOrder::Little) {
        value = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    } else {
        value = (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
                (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
    }
    offset_ += 4;
    return true;
}

bool NdrReader::ReadInt32(std::int32_t& value) {
    std::uint32_t raw;
    if (!ReadUInt32(raw)) return false;
    value = static_cast<std::int32_t>(raw);
    return true;
}

bool NdrReader::ReadUuid(UUID& uuid) {
    if (Remaining() < kUuidWireSize) return false;
    UUID parsed;
    const std::uint8_t* tail;
    bool ok = ReadUInt32(parsed.Data1) && ReadUInt16(parsed.Data2) && ReadUInt16(parsed.Data3) &&
              ReadBytes(8, tail);
    if (!ok) return false;  // not reached: the size was checked above
    std::memcpy(parsed.Data4, tail, 8);
    uuid = parsed;
    return true;
}

bool NdrReader::ReadBytes(std::size_t count, const std::uint8_t*& bytes) {
    if (count > Remaining()) return false;
    bytes = data_ + offset_;
    offset_ += count;
    return true;
}

bool NdrReader::ReadReferent(std::uint32_t& referent) {
    std::size_t start = offset_;
    if (Align(4) && ReadUInt32(referent)) return true;
    offset_ = start;
    return false;
}

bool NdrReader::ReadConformantBytes(std::uint32_t limit, const std::uint8_t*& bytes,
                                    std::uint32_t& count) {
    std::size_t start = offset_;
    std::uint32_t maxCount;
    if (Align(4) && ReadUInt32(maxCount) && maxCount <= limit && ReadBytes(maxCount, bytes)) {
        count = maxCount;
        return true;
    }
    offset_ = start;
    return false;
}

// ---------------------------------------------------------------------------------------
// NdrWriter

void NdrWriter::Align(std::size_t boundary) {
    while (bytes_.size() % boundary != 0) bytes_.push_back(0);
}

void NdrWriter::WriteUInt8(std::uint8_t value) { bytes_.push_back(value); }

void NdrWriter::WriteUInt16(std::uint16_t value) {
    std::size_t at = bytes_.size();
    bytes_.resize(at + 2);
    PatchUInt16(at, value);
}

void NdrWriter::WriteUInt32(std::uint32_t value) {
    if (order_ == ByteOrder::Little) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    } else {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void NdrWriter::WriteUuid(const UUID& uuid) {
    WriteUInt32(uuid.Data1);
    WriteUInt16(uuid.Data2);
    WriteUInt16(uuid.Data3);
    WriteBytes(uuid.Data4, sizeof uuid.Data4);
}

void NdrWriter::WriteBytes(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (count) bytes_.insert(bytes_.end(), p, p + count);
}

void NdrWriter::PatchUInt16(std::size_t offset, std::uint16_t value) {
    if (order_ == ByteOrder::Little) {
        bytes_[offset] = static_cast<std::uint8_t>(value);
        bytes_[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    } else {
        bytes_[offset] = static_cast<std::uint8_t>(value >> 8);
        bytes_[offset + 1] = static_cast<std::uint8_t>(value);
    }
}

void NdrWriter::WriteReferent(std::uint32_t referent) {
    Align(4);
    WriteUInt32(referent);
}

void NdrWriter::WriteConformantBytes(const void* bytes, std::uint32_t count) {
    Align(4);
    WriteUInt32(count);
    WriteBytes(bytes, count);
}

}  // namespace platform::rpc
