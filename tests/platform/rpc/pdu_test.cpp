// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The PDU codec, the NDR primitives and the protocol towers: golden bytes (the bind and
// the tower as impacket encodes them, the rest laid out by hand from the wire formats),
// decoding both byte orders, round trips, and malformed input refused.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/runtime.h"

using namespace platform::rpc;

namespace {

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

SyntaxId DornelLogSyntax() {
    SyntaxId id;
    EXPECT_TRUE(ParseUuid("1F8FE9D7-6BAE-11d4-8515-004005437D1D", id.uuid));
    id.major = 1;
    return id;
}

CommonHeader HeaderOf(const std::vector<std::uint8_t>& pdu) {
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    EXPECT_TRUE(header.has_value());
    return header.value_or(CommonHeader{});
}

// impacket 0.10's bind of DornelLog 1.0 with NDR 2.0, call id 1, fragments of 4280.
const char* kImpacketBind =
    "05000b03100000004800000001000000b810b810000000000100000000000100d7e98f1fae6bd411851500"
    "4005437d1d01000000045d888aeb1cc9119fe808002b10486002000000";

// impacket 0.10's tower for DornelLog 1.0, NDR 2.0, TCP port 49650, 127.0.0.1.
const char* kImpacketTower =
    "050013000dd7e98f1fae6bd4118515004005437d1d01000200000013000d045d888aeb1cc9119fe808002b"
    "10486002000200000001000b020000000100070200c1f201000904007f000001";

}  // namespace

TEST(PduCodec, BindFromImpacketDecodesAndEncodesBackToTheSameBytes) {
    std::vector<std::uint8_t> pdu = Hex(kImpacketBind);
    CommonHeader header = HeaderOf(pdu);
    EXPECT_EQ(header.type, PduType::Bind);
    EXPECT_EQ(header.order, ByteOrder::Little);
    EXPECT_EQ(header.fragLength, pdu.size());
    EXPECT_EQ(header.callId, 1u);
    auto bind = DecodeBind(header, pdu.data());
    ASSERT_TRUE(bind);
    EXPECT_EQ(bind->maxXmitFrag, 4280);
    EXPECT_EQ(bind->maxRecvFrag, 4280);
    ASSERT_EQ(bind->contexts.size(), 1u);
    EXPECT_EQ(bind->contexts[0].abstractSyntax, DornelLogSyntax());
    ASSERT_EQ(bind->contexts[0].transferSyntaxes.size(), 1u);
    EXPECT_EQ(bind->contexts[0].transferSyntaxes[0], NdrSyntax());
    EXPECT_EQ(ToHex(EncodeBind(PduType::Bind, 1, *bind)), kImpacketBind);
}

TEST(PduCodec, BindAckCarriesTheSecondaryAddressPaddedToFour) {
    BindAckPdu ack;
    ack.maxXmitFrag = 4280;
    ack.maxRecvFrag = 4280;
    ack.assocGroupId = 0x12345;
    ack.secondaryAddress = "49650";
    ack.results.push_back({ContextResult::Acceptance, 0, NdrSyntax()});
    ContextResultItem rejected;
    rejected.result = ContextResult::ProviderRejection;
    rejected.reason = static_cast<std::uint16_t>(ProviderReason::AbstractSyntaxNotSupported);
    ack.results.push_back(rejected);
    std::vector<std::uint8_t> pdu = EncodeBindAck(PduType::BindAck, 7, ack);
    EXPECT_EQ(ToHex(pdu),
              "05000c03100000005400000007000000b810b81045230100"  // header, frags, group
              "0600343936353000"                                  // "49650\0", aligned
              "02000000"                                          // two results
              "00000000045d888aeb1cc9119fe808002b10486002000000"  // accepted, NDR 2.0
              "02000100" + std::string(40, '0'));                 // rejected, reason 1
    auto decoded = DecodeBindAck(HeaderOf(pdu), pdu.data());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->secondaryAddress, "49650");
    EXPECT_EQ(decoded->assocGroupId, 0x12345u);
    ASSERT_EQ(decoded->results.size(), 2u);
    EXPECT_EQ(decoded->results[1].result, ContextResult::ProviderRejection);
    EXPECT_EQ(decoded->results[1].reason, 1);

    ack.secondaryAddress.clear();  // alter_context_resp: no address, still padded
    std::vector<std::uint8_t> alter = EncodeBindAck(PduType::AlterContextResp, 8, ack);
    EXPECT_EQ(alter[2], 15);
    EXPECT_EQ(ToHex(std::vector<std::uint8_t>(alter.begin() + 24, alter.begin() + 28)), "00000000");
    ASSERT_TRUE(DecodeBindAck(HeaderOf(alter), alter.data()));
}

TEST(PduCodec, OtherTypesHaveTheirGoldenLayouts) {
    BindNakPdu nak;
    nak.reason = RejectReason::ProtocolVersionNotSupported;
    nak.versions = {{5, 0}};
    std::vector<std::uint8_t> nakPdu = EncodeBindNak(3, nak);
    EXPECT_EQ(ToHex(nakPdu), "05000d03100000001800000003000000" "0400010500000000");
    auto decodedNak = DecodeBindNak(HeaderOf(nakPdu), nakPdu.data());
    ASSERT_TRUE(decodedNak);
    EXPECT_EQ(decodedNak->reason, RejectReason::ProtocolVersionNotSupported);
    ASSERT_EQ(decodedNak->versions.size(), 1u);

    FaultPdu fault;
    fault.status = kNcaOpRangeError;
    std::vector<std::uint8_t> faultPdu =
        EncodeFault(4, kPfcFirstFrag | kPfcLastFrag | kPfcDidNotExecute, fault);
    EXPECT_EQ(ToHex(faultPdu),
              "0500032310000000200000000400000000000000000000000200011c00000000");
    auto decodedFault = DecodeFault(HeaderOf(faultPdu), faultPdu.data());
    ASSERT_TRUE(decodedFault);
    EXPECT_EQ(decodedFault->status, kNcaOpRangeError);

    const std::uint8_t stub[] = {0, 0, 0, 0};
    ResponsePdu response;
    response.allocHint = 4;
    response.stub = stub;
    response.stubSize = sizeof stub;
    std::vector<std::uint8_t> responsePdu = EncodeResponse(5, kPfcFirstFrag | kPfcLastFrag, response);
    EXPECT_EQ(ToHex(responsePdu), "05000203100000001c00000005000000040000000000000000000000");
    auto decodedResponse = DecodeResponse(HeaderOf(responsePdu), responsePdu.data());
    ASSERT_TRUE(decodedResponse);
    EXPECT_EQ(decodedResponse->stubSize, 4u);

    EXPECT_EQ(ToHex(EncodeShutdown(6)), "05001103100000001000000006000000");

    RequestPdu request;
    request.allocHint = 4;
    request.opnum = 5;
    request.object = DornelLogSyntax().uuid;
    request.stub = stub;
    request.stubSize = sizeof stub;
    std::vector<std::uint8_t> requestPdu = EncodeRequest(9, kPfcFirstFrag | kPfcLastFrag, request);
    EXPECT_EQ(ToHex(requestPdu),
              "05000083100000002c00000009000000040000000000050"
              "0d7e98f1fae6bd4118515004005437d1d00000000");
    auto decodedRequest = DecodeRequest(HeaderOf(requestPdu), requestPdu.data());
    ASSERT_TRUE(decodedRequest);
    ASSERT_TRUE(decodedRequest->object);
    EXPECT_EQ(*decodedRequest->object, DornelLogSyntax().uuid);
    EXPECT_EQ(decodedRequest->opnum, 5);
    EXPECT_EQ(decodedRequest->stubSize, 4u);
}

TEST(PduCodec, BigEndianRequestDecodesWithEveryIntegerSwapped) {
    // drep 00: big-endian integers; frag_length 0x0020, call id 0x01020304, alloc hint 8,
    // context 1, opnum 3, then 8 stub bytes: the position 0x0000002a and status 0.
    std::vector<std::uint8_t> pdu = Hex(
        "050000030000000000200000010203040000000800010003" "0000002a00000000");
    CommonHeader header = HeaderOf(pdu);
    EXPECT_EQ(header.order, ByteOrder::Big);
    EXPECT_EQ(header.callId, 0x01020304u);
    auto request = DecodeRequest(header, pdu.data());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->allocHint, 8u);
    EXPECT_EQ(request->contextId, 1);
    EXPECT_EQ(request->opnum, 3);
    NdrReader stub(request->stub, request->stubSize, header.order);
    std::uint32_t position;
    ASSERT_TRUE(stub.ReadUInt32(position));
    EXPECT_EQ(position, 42u);
    // And what we encode big-endian reads back the same.
    RequestPdu again = *request;
    std::vector<std::uint8_t> encoded = EncodeRequest(header.callId, header.flags, again, ByteOrder::Big);
    EXPECT_EQ(encoded, pdu);
}

TEST(PduCodec, FeatureNegotiationSyntaxIsRecognisedWithItsBits) {
    SyntaxId syntax;
    ASSERT_TRUE(ParseUuid("6cb71c2c-9812-4540-0300-000000000000", syntax.uuid));
    std::uint16_t features = 0;
    EXPECT_TRUE(IsFeatureNegotiation(syntax, features));
    EXPECT_EQ(features, 3);
    EXPECT_FALSE(IsFeatureNegotiation(NdrSyntax(), features));
}

TEST(Towers, TowerMatchesImpacketAndDecodesBack) {
    TcpTower tower;
    tower.interfaceId = DornelLogSyntax();
    tower.transferSyntax = NdrSyntax();
    tower.port = 49650;
    tower.address = htonl(0x7f000001);
    EXPECT_EQ(ToHex(EncodeTower(tower)), kImpacketTower);
    std::vector<std::uint8_t> octets = Hex(kImpacketTower);
    auto decoded = DecodeTower(octets.data(), octets.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->port, 49650);
    EXPECT_EQ(decoded->interfaceId, DornelLogSyntax());
}

TEST(Towers, MapResponseWithAPortDecodesAndNotRegisteredReportsIt) {
    // entry handle, one tower of the array of four, the tower, status 0.
    std::vector<std::uint8_t> octets = Hex(kImpacketTower);
    NdrWriter out;
    out.WriteBytes(std::vector<std::uint8_t>(20, 0).data(), 20);
    for (std::uint32_t v : {1u, 4u, 0u, 1u, 3u, 75u, 75u}) out.WriteUInt32(v);
    out.WriteBytes(octets.data(), octets.size());
    out.Align(4);
    out.WriteUInt32(0);
    RPC_STATUS status;
    auto port = DecodeMapResponse(out.Bytes(), ByteOrder::Little, status);
    ASSERT_TRUE(port);
    EXPECT_EQ(*port, 49650);

    NdrWriter none;
    none.WriteBytes(std::vector<std::uint8_t>(20, 0).data(), 20);
    for (std::uint32_t v : {0u, 4u, 0u, 0u, kEptNotRegistered}) none.WriteUInt32(v);
    EXPECT_FALSE(DecodeMapResponse(none.Bytes(), ByteOrder::Little, status));
    EXPECT_EQ(status, EPT_S_NOT_REGISTERED);
}

// --------------------------------------------------------------------------------------
// Malformed input

TEST(PduCodec, EveryTruncationOfEveryPduIsRefused) {
    BindAckPdu ack;
    ack.secondaryAddress = "135";
    ack.results.push_back({ContextResult::Acceptance, 0, NdrSyntax()});
    FaultPdu fault;
    RequestPdu request;
    const std::vector<std::vector<std::uint8_t>> pdus = {
        Hex(kImpacketBind), EncodeBindAck(PduType::BindAck, 1, ack),
        EncodeFault(1, 3, fault), EncodeRequest(1, 3 | kPfcObjectUuid, request)};
    for (const auto& whole : pdus) {
        // A fault is read up to its status; the reserved word after it may be missing.
        std::size_t end = whole[2] == static_cast<std::uint8_t>(PduType::Fault) ? 28 : whole.size();
        for (std::size_t cut = kCommonHeaderSize; cut < end; ++cut) {
            std::vector<std::uint8_t> pdu(whole.begin(), whole.begin() + static_cast<long>(cut));
            pdu[8] = static_cast<std::uint8_t>(cut);  // frag_length says what is there
            pdu[9] = 0;
            CommonHeader header = HeaderOf(pdu);
            switch (header.type) {
                case PduType::Bind: EXPECT_FALSE(DecodeBind(header, pdu.data())) << cut; break;
                case PduType::BindAck: EXPECT_FALSE(DecodeBindAck(header, pdu.data())) << cut; break;
                case PduType::Fault: EXPECT_FALSE(DecodeFault(header, pdu.data())) << cut; break;
                default: EXPECT_FALSE(DecodeRequest(header, pdu.data())) << cut; break;
            }
        }
    }
}

TEST(PduCodec, AuthLengthBeyondTheFragmentIsRefused) {
    std::vector<std::uint8_t> pdu = Hex(kImpacketBind);
    pdu[10] = 0x70;  // auth_length 112 > the 72 bytes there are
    EXPECT_FALSE(DecodeBind(HeaderOf(pdu), pdu.data()));
    std::vector<std::uint8_t> header = Hex("05000b03200000004800000001000000");
    EXPECT_FALSE(DecodeCommonHeader(header.data(), header.size()));  // drep 0x20: no such order
    EXPECT_FALSE(DecodeCommonHeader(header.data(), 15));
}

TEST(NdrReader, CountsAreCheckedAgainstTheBytesThatArrived) {
    // A max count of 0x7fffffff with four bytes behind it.
    std::vector<std::uint8_t> data = Hex("ffffff7f41424344");
    NdrReader reader(data.data(), data.size(), ByteOrder::Little);
    const std::uint8_t* bytes;
    std::uint32_t count;
    EXPECT_FALSE(reader.ReadConformantBytes(0xffffffff, bytes, count));
    EXPECT_EQ(reader.Offset(), 0u);  // nothing consumed
    data[0] = 4;
    data[1] = data[2] = data[3] = 0;
    EXPECT_FALSE(reader.ReadConformantBytes(3, bytes, count));  // above the caller's limit
    ASSERT_TRUE(reader.ReadConformantBytes(4, bytes, count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(bytes[0], 'A');
    std::uint8_t extra;
    EXPECT_FALSE(reader.ReadUInt8(extra));
}

TEST(NdrReader, AlignmentCountsFromTheStartAndBigEndianSwaps) {
    std::vector<std::uint8_t> data = Hex("01000000000000020000000000000003");
    NdrReader reader(data.data(), data.size(), ByteOrder::Big);
    std::uint8_t first;
    std::uint32_t second;
    ASSERT_TRUE(reader.ReadUInt8(first));
    ASSERT_TRUE(reader.Align(4));
    ASSERT_TRUE(reader.ReadUInt32(second));
    EXPECT_EQ(second, 2u);
    ASSERT_TRUE(reader.Align(8));
    EXPECT_EQ(reader.Offset(), 8u);
    ASSERT_TRUE(reader.Skip(4));
    ASSERT_TRUE(reader.ReadUInt32(second));
    EXPECT_EQ(second, 3u);
    EXPECT_FALSE(reader.Align(8) && reader.Remaining() > 0);
}
