// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// NDR 2.0 primitives and the UUID as the wire carries it.
//
// NdrReader reads a byte range that arrived from the network in the sender's byte order
// (the integer representation of its data representation label). Every read is checked
// against the end of the range: a read that would pass the end fails, leaves the reader
// where it was and returns false, so a caller never trusts a count or an offset it has not
// checked. Alignment is counted from the start of the range, which is how NDR aligns stub
// data (the stub starts 8-aligned in its PDU) and how PDU fields align in their header.
//
// NdrWriter builds a byte range in one byte order (little-endian unless asked otherwise).
// Both are plain values, used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An interface, object or syntax identifier, in the field layout DCE gives it: the first
// three fields are integers (byte-swapped with the data representation), the last eight
// bytes are a byte array.
struct UUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend bool operator==(const UUID& a, const UUID& b);
};
inline constexpr std::size_t kUuidWireSize = 16;

namespace platform::rpc {

// The integer representation of a data representation label (high nibble of byte 0).
enum class ByteOrder : std::uint8_t {
    Big = 0,
    Little = 1,
};

// Parses "1F8FE9D7-6BAE-11d4-8515-004005437D1D" (either case, no braces). False when the
// text is not exactly 36 characters of that shape.
bool ParseUuid(const std::string& text, UUID& uuid);
// Formats the UUID in lower case, 36 characters.
std::string FormatUuid(const UUID& uuid);
// The nil UUID (all zeros).
UUID NilUuid();

class NdrReader {
public:
    NdrReader(const std::uint8_t* data, std::size_t size, ByteOrder order);

    // Skips padding up to the next multiple of boundary (1, 2, 4 or 8) from the start.
    [[nodiscard]] bool Align(std::size_t boundary);
    [[nodiscard]] bool Skip(std::size_t count);
    [[nodiscard]] bool ReadUInt8(std::uint8_t& value);
    [[nodiscard]] bool ReadUInt16(std::uint16_t& value);   // unaligned; callers align
    [[nodiscard]] bool ReadUInt32(std::uint32_t& value);   // unaligned; callers align
    [[nodiscard]] bool ReadInt32(std::int32_t& value);
    [[nodiscard]] bool ReadUuid(UUID& uuid);               // 16 bytes, fields in the byte order
    // A view of the next count bytes, which stays valid as long as the range does.
    [[nodiscard]] bool ReadBytes(std::size_t count, const std::uint8_t*& bytes);

    // NDR constructed types.
    // An aligned 4-byte referent identifier of a unique pointer (0 is null).
    [[nodiscard]] bool ReadReferent(std::uint32_t& referent);
    // An aligned maximum count, then that many bytes. Fails when the count is above limit
    // or above the bytes that remain.
    [[nodiscard]] bool ReadConformantBytes(std::uint32_t limit, const std::uint8_t*& bytes,
                                           std::uint32_t& count);

    std::size_t Offset() const { return offset_; }
    std::size_t Remaining() const { return size_ - offset_; }
    ByteOrder Order() const { return order_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    ByteOrder order_;
};

class NdrWriter {
public:
    explicit NdrWriter(ByteOrder order = ByteOrder::Little) : order_(order) {}

    void Align(std::size_t boundary);  // zero padding from the start
    void WriteUInt8(std::uint8_t value);
    void WriteUInt16(std::uint16_t value);
    void WriteUInt32(std::uint32_t value);
    void WriteInt32(std::int32_t value) { WriteUInt32(static_cast<std::uint32_t>(value)); }
    void WriteUuid(const UUID& uuid);
    void WriteBytes(const void* bytes, std::size_t count);
    // Overwrites a 16-bit field written earlier (frag_length and the like).
    void PatchUInt16(std::size_t offset, std::uint16_t value);

    // An aligned referent identifier.
    void WriteReferent(std::uint32_t referent);
    // An aligned maximum count, then the bytes (no padding after them).
    void WriteConformantBytes(const void* bytes, std::uint32_t count);

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }
    std::size_t Size() const { return bytes_.size(); }
    ByteOrder Order() const { return order_; }

private:
    std::vector<std::uint8_t> bytes_;
    ByteOrder order_;
};

}  // namespace platform::rpc
