// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/rpc/pdu.h"

#include <cstring>

namespace platform::rpc {

namespace {

constexpr std::uint8_t kDrepLittle = 0x10;  // little-endian integers, ASCII, IEEE floats
constexpr std::uint8_t kDrepBig = 0x00;

// The bytes of the PDU that precede the authentication trailer, if any.
std::size_t BodyEnd(const CommonHeader& header) {
    std::size_t end = header.fragLength;
    if (header.authLength) end -= header.authLength + kAuthTrailerSize;
    return end;
}

// A reader over the PDU's body, positioned after the common header; nullopt when the
// header's lengths do not even cover the common header and the trailer.
std::optional<NdrReader> BodyReader(const CommonHeader& header, const std::uint8_t* pdu) {
    std::size_t trailer = header.authLength ? header.authLength + kAuthTrailerSize : 0;
    if (header.fragLength < kCommonHeaderSize + trailer) return std::nullopt;
    NdrReader reader(pdu, BodyEnd(header), header.order);
    if (!reader.Skip(kCommonHeaderSize)) return std::nullopt;
    return reader;
}

bool ReadSyntax(NdrReader& reader, SyntaxId& syntax) {
    std::uint32_t version;
    if (!reader.ReadUuid(syntax.uuid) || !reader.ReadUInt32(version)) return false;
    syntax.major = static_cast<std::uint16_t>(version & 0xffff);
    syntax.minor = static_cast<std::uint16_t>(version >> 16);
    return true;
}

void WriteSyntax(NdrWriter& writer, const SyntaxId& syntax) {
    writer.WriteUuid(syntax.uuid);
    writer.WriteUInt32(static_cast<std::uint32_t>(syntax.major) |
                       (static_cast<std::uint32_t>(syntax.minor) << 16));
}

// The common header with frag_length 0; FinishPdu fills it in.
NdrWriter StartPdu(PduType type, std::uint8_t flags, std::uint32_t callId, ByteOrder order) {
    NdrWriter writer(order);
    writer.WriteUInt8(5);
    writer.WriteUInt8(0);
    writer.WriteUInt8(static_cast<std::uint8_t>(type));
    writer.WriteUInt8(flags);
    writer.WriteUInt8(order == ByteOrder::Little ? kDrepLittle : kDrepBig);
    writer.WriteUInt8(0);
    writer.WriteUInt8(0);
    writer.WriteUInt8(0);
    writer.WriteUInt16(0);  // frag_length
    writer.WriteUInt16(0);  // auth_length
    writer.WriteUInt32(callId);
    return writer;
}

std::vector<std::uint8_t> FinishPdu(NdrWriter& writer) {
    writer.PatchUInt16(offsetof(WireCommonHeader, frag_length),
                       static_cast<std::uint16_t>(writer.Size()));
    return writer.Take();
}

}  // namespace

SyntaxId NdrSyntax() {
    SyntaxId syntax;
    ParseUuid("8a885d04-1ceb-11c9-9fe8-08002b104860", syntax.uuid);
    syntax.major = 2;
    syntax.minor = 0;
    return syntax;
}

bool IsFeatureNegotiation(const SyntaxId& syntax, std::uint16_t& features) {
    UUID prefix;
    ParseUuid("6cb71c2c-9812-4540-0000-000000000000", prefix);
    if (syntax.uuid.Data1 != prefix.Data1 || syntax.uuid.Data2 != prefix.Data2 ||
        syntax.uuid.Data3 != prefix.Data3) {
        return false;
    }
    for (int i = 2; i < 8; ++i) {
        if (syntax.uuid.Data4[i] != 0) return false;
    }
    features = static_cast<std::uint16_t>(syntax.uuid.Data4[0] | (syntax.uuid.Data4[1] << 8));
    return true;
}

std::optional<CommonHeader> DecodeCommonHeader(const std::uint8_t* data, std::size_t size) {
    if (size < kCommonHeaderSize) return std::nullopt;
    std::uint8_t integerRep = data[4] >> 4;
    if (integerRep > 1) return std::nullopt;
    CommonHeader header;
    header.order = integerRep == 1 ? ByteOrder::Little : ByteOrder::Big;
    NdrReader reader(data, kCommonHeaderSize, header.order);
    std::uint8_t type;
    bool ok = reader.ReadUInt8(header.versionMajor) && reader.ReadUInt8(header.versionMinor) &&
              reader.ReadUInt8(type) && reader.ReadUInt8(header.flags) && reader.Skip(4) &&
              reader.ReadUInt16(header.fragLength) && reader.ReadUInt16(header.authLength) &&
              reader.ReadUInt32(header.callId);
    if (!ok) return std::nullopt;
    header.type = static_cast<PduType>(type);
    header.characterRep = data[4] & 0x0f;
    header.floatRep = data[5];
    return header;
}

bool SupportedRepresentation(const CommonHeader& header) {
    return header.characterRep == 0 && header.floatRep == 0;
}

bool SupportedVersion(const CommonHeader& header) {
    return header.versionMajor == 5 && header.versionMinor <= 1;
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> SupportedVersions() { return {{5, 0}, {5, 1}}; }

std::optional<BindPdu> DecodeBind(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    BindPdu bind;
    std::uint8_t count, reserved8;
    std::uint16_t reserved16;
    if (!reader->ReadUInt16(bind.maxXmitFrag) || !reader->ReadUInt16(bind.maxRecvFrag) ||
        !reader->ReadUInt32(bind.assocGroupId) || !reader->ReadUInt8(count) ||
        !reader->ReadUInt8(reserved8) || !reader->ReadUInt16(reserved16)) {
        return std::nullopt;
    }
    for (int i = 0; i < count; ++i) {
        ContextElement element;
        std::uint8_t syntaxes;
        if (!reader->ReadUInt16(element.contextId) || !reader->ReadUInt8(syntaxes) ||
            !reader->ReadUInt8(reserved8) || !ReadSyntax(*reader, element.abstractSyntax)) {
            return std::nullopt;
        }
        for (int j = 0; j < syntaxes; ++j) {
            SyntaxId transfer;
            if (!ReadSyntax(*reader, transfer)) return std::nullopt;
            element.transferSyntaxes.push_back(transfer);
        }
        bind.contexts.push_back(std::move(element));
    }
    return bind;
}

std::optional<BindAckPdu> DecodeBindAck(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    BindAckPdu ack;
    std::uint16_t addressLength, reserved16;
    const std::uint8_t* address;
    std::uint8_t count, reserved8;
    if (!reader->ReadUInt16(ack.maxXmitFrag) || !reader->ReadUInt16(ack.maxRecvFrag) ||
        !reader->ReadUInt32(ack.assocGroupId) || !reader->ReadUInt16(addressLength) ||
        !reader->ReadBytes(addressLength, address) || !reader->Align(4) ||
        !reader->ReadUInt8(count) || !reader->ReadUInt8(reserved8) ||
        !reader->ReadUInt16(reserved16)) {
        return std::nullopt;
    }
    ack.secondaryAddress.assign(reinterpret_cast<const char*>(address),
                                strnlen(reinterpret_cast<const char*>(address), addressLength));
    for (int i = 0; i < count; ++i) {
        ContextResultItem item;
        std::uint16_t result;
        if (!reader->ReadUInt16(result) || !reader->ReadUInt16(item.reason) ||
            !ReadSyntax(*reader, item.transferSyntax)) {
            return std::nullopt;
        }
        item.result = static_cast<ContextResult>(result);
        ack.results.push_back(item);
    }
    return ack;
}

std::optional<BindNakPdu> DecodeBindNak(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    BindNakPdu nak;
    std::uint16_t reason;
    if (!reader->ReadUInt16(reason)) return std::nullopt;
    nak.reason = static_cast<RejectReason>(reason);
    std::uint8_t count;
    if (!reader->ReadUInt8(count)) return nak;  // the version list is optional
    for (int i = 0; i < count; ++i) {
        std::uint8_t major, minor;
        if (!reader->ReadUInt8(major) || !reader->ReadUInt8(minor)) return std::nullopt;
        nak.versions.emplace_back(major, minor);
    }
    return nak;
}

std::optional<RequestPdu> DecodeRequest(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    RequestPdu request;
    if (!reader->ReadUInt32(request.allocHint) || !reader->ReadUInt16(request.contextId) ||
        !reader->ReadUInt16(request.opnum)) {
        return std::nullopt;
    }
    if (header.flags & kPfcObjectUuid) {
        UUID object;
        if (!reader->ReadUuid(object)) return std::nullopt;
        request.object = object;
    }
    request.stubSize = reader->Remaining();
    if (!reader->ReadBytes(request.stubSize, request.stub)) return std::nullopt;
    return request;
}

std::optional<ResponsePdu> DecodeResponse(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    ResponsePdu response;
    std::uint8_t reserved;
    if (!reader->ReadUInt32(response.allocHint) || !reader->ReadUInt16(response.contextId) ||
        !reader->ReadUInt8(response.cancelCount) || !reader->ReadUInt8(reserved)) {
        return std::nullopt;
    }
    response.stubSize = reader->Remaining();
    if (!reader->ReadBytes(response.stubSize, response.stub)) return std::nullopt;
    return response;
}

std::optional<FaultPdu> DecodeFault(const CommonHeader& header, const std::uint8_t* pdu) {
    auto reader = BodyReader(header, pdu);
    if (!reader) return std::nullopt;
    FaultPdu fault;
    std::uint8_t reserved;
    if (!reader->ReadUInt32(fault.allocHint) || !reader->ReadUInt16(fault.contextId) ||
        !reader->ReadUInt8(fault.cancelCount) || !reader->ReadUInt8(reserved) ||
        !reader->ReadUInt32(fault.status)) {
        return std::nullopt;
    }
    return fault;
}

std::vector<std::uint8_t> EncodeBind(PduType type, std::uint32_t callId, const BindPdu& bind,
                                     ByteOrder order, std::uint8_t extraFlags) {
    NdrWriter writer = StartPdu(type, kPfcFirstFrag | kPfcLastFrag | extraFlags, callId, order);
    writer.WriteUInt16(bind.maxXmitFrag);
    writer.WriteUInt16(bind.maxRecvFrag);
    writer.WriteUInt32(bind.assocGroupId);
    writer.WriteUInt8(static_cast<std::uint8_t>(bind.contexts.size()));
    writer.WriteUInt8(0);
    writer.WriteUInt16(0);
    for (const ContextElement& element : bind.contexts) {
        writer.WriteUInt16(element.contextId);
        writer.WriteUInt8(static_cast<std::uint8_t>(element.transferSyntaxes.size()));
        writer.WriteUInt8(0);
        WriteSyntax(writer, element.abstractSyntax);
        for (const SyntaxId& transfer : element.transferSyntaxes) WriteSyntax(writer, transfer);
    }
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeBindAck(PduType type, std::uint32_t callId, const BindAckPdu& ack,
                                        std::uint8_t extraFlags) {
    NdrWriter writer =
        StartPdu(type, kPfcFirstFrag | kPfcLastFrag | extraFlags, callId, ByteOrder::Little);
    writer.WriteUInt16(ack.maxXmitFrag);
    writer.WriteUInt16(ack.maxRecvFrag);
    writer.WriteUInt32(ack.assocGroupId);
    if (ack.secondaryAddress.empty()) {
        writer.WriteUInt16(0);
    } else {
        writer.WriteUInt16(static_cast<std::uint16_t>(ack.secondaryAddress.size() + 1));
        writer.WriteBytes(ack.secondaryAddress.c_str(), ack.secondaryAddress.size() + 1);
    }
    writer.Align(4);
    writer.WriteUInt8(static_cast<std::uint8_t>(ack.results.size()));
    writer.WriteUInt8(0);
    writer.WriteUInt16(0);
    for (const ContextResultItem& item : ack.results) {
        writer.WriteUInt16(static_cast<std::uint16_t>(item.result));
        writer.WriteUInt16(item.reason);
        WriteSyntax(writer, item.transferSyntax);
    }
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, const BindNakPdu& nak) {
    NdrWriter writer =
        StartPdu(PduType::BindNak, kPfcFirstFrag | kPfcLastFrag, callId, ByteOrder::Little);
    writer.WriteUInt16(static_cast<std::uint16_t>(nak.reason));
    writer.WriteUInt8(static_cast<std::uint8_t>(nak.versions.size()));
    for (const auto& [major, minor] : nak.versions) {
        writer.WriteUInt8(major);
        writer.WriteUInt8(minor);
    }
    writer.Align(4);
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeRequest(std::uint32_t callId, std::uint8_t flags,
                                        const RequestPdu& request, ByteOrder order) {
    if (request.object) flags |= kPfcObjectUuid;
    NdrWriter writer = StartPdu(PduType::Request, flags, callId, order);
    writer.WriteUInt32(request.allocHint);
    writer.WriteUInt16(request.contextId);
    writer.WriteUInt16(request.opnum);
    if (request.object) writer.WriteUuid(*request.object);
    writer.WriteBytes(request.stub, request.stubSize);
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeResponse(std::uint32_t callId, std::uint8_t flags,
                                         const ResponsePdu& response) {
    NdrWriter writer = StartPdu(PduType::Response, flags, callId, ByteOrder::Little);
    writer.WriteUInt32(response.allocHint);
    writer.WriteUInt16(response.contextId);
    writer.WriteUInt8(response.cancelCount);
    writer.WriteUInt8(0);
    writer.WriteBytes(response.stub, response.stubSize);
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint8_t flags,
                                      const FaultPdu& fault) {
    NdrWriter writer = StartPdu(PduType::Fault, flags, callId, ByteOrder::Little);
    writer.WriteUInt32(fault.allocHint);
    writer.WriteUInt16(fault.contextId);
    writer.WriteUInt8(fault.cancelCount);
    writer.WriteUInt8(0);
    writer.WriteUInt32(fault.status);
    writer.WriteUInt32(0);
    return FinishPdu(writer);
}

std::vector<std::uint8_t> EncodeShutdown(std::uint32_t callId) {
    NdrWriter writer =
        StartPdu(PduType::Shutdown, kPfcFirstFrag | kPfcLastFrag, callId, ByteOrder::Little);
    return FinishPdu(writer);
}

}  // namespace platform::rpc
