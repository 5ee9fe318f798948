// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The connection-oriented DCE 1.1 RPC PDUs: every wire format of the protocol in one place.
//
// A PDU is a 16-byte common header followed by a body that depends on its type. The header's
// data representation label (packed_drep) says in which byte order every integer of the
// PDU after it is written, header fields included; we decode both orders and always encode
// little-endian unless a caller (a test) asks otherwise. frag_length counts the whole PDU;
// auth_length counts the authentication verifier, which follows an 8-byte trailer at the
// end of the PDU.
//
// The decoders take a complete PDU (exactly frag_length bytes) and check every length,
// count and offset against it; they return std::nullopt for anything malformed. The codec
// knows no connection state: negotiation and fragmentation policy live in the runtime.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/ndr.h"

namespace platform::rpc {

// PDU types (PTYPE).
enum class PduType : std::uint8_t {
    Request = 0,
    Response = 2,
    Fault = 3,
    Bind = 11,
    BindAck = 12,
    BindNak = 13,
    AlterContext = 14,
    AlterContextResp = 15,
    Auth3 = 16,
    Shutdown = 17,
    CoCancel = 18,
    Orphaned = 19,
};

// pfc_flags.
inline constexpr std::uint8_t kPfcFirstFrag = 0x01;
inline constexpr std::uint8_t kPfcLastFrag = 0x02;
inline constexpr std::uint8_t kPfcPendingCancel = 0x04;
inline constexpr std::uint8_t kPfcConcMpx = 0x10;
inline constexpr std::uint8_t kPfcDidNotExecute = 0x20;
inline constexpr std::uint8_t kPfcMaybe = 0x40;
inline constexpr std::uint8_t kPfcObjectUuid = 0x80;

// Sizes.
inline constexpr std::size_t kCommonHeaderSize = 16;
inline constexpr std::size_t kRequestHeaderSize = 24;   // without the object UUID
inline constexpr std::size_t kResponseHeaderSize = 24;
inline constexpr std::size_t kFaultBodyEnd = 32;        // header, status and reserved word
inline constexpr std::size_t kAuthTrailerSize = 8;
inline constexpr std::uint16_t kMustRecvFragSize = 1432;  // every peer accepts this much
inline constexpr std::uint16_t kOurMaxFragSize = 5840;    // what we offer to send and receive

// The wire form of the common header, little-endian. Only its layout is used: the codec
// reads and writes fields one by one in the PDU's byte order.
struct WireCommonHeader {
    std::uint8_t rpc_vers;          // 5
    std::uint8_t rpc_vers_minor;    // 0 or 1
    std::uint8_t PTYPE;             // PduType
    std::uint8_t pfc_flags;         // kPfc*
    std::uint8_t packed_drep[4];    // integer order in the high nibble of byte 0
    std::uint16_t frag_length;      // whole PDU, bytes
    std::uint16_t auth_length;      // verifier bytes after the 8-byte trailer
    std::uint32_t call_id;
};
static_assert(sizeof(WireCommonHeader) == kCommonHeaderSize);
static_assert(offsetof(WireCommonHeader, packed_drep) == 4);
static_assert(offsetof(WireCommonHeader, frag_length) == 8);
static_assert(offsetof(WireCommonHeader, call_id) == 12);

// The request header after the common header (the object UUID follows when flagged).
struct WireRequestHeader {
    WireCommonHeader common;
    std::uint32_t alloc_hint;       // stub bytes of the whole call, a hint only
    std::uint16_t p_cont_id;        // presentation context
    std::uint16_t opnum;
};
static_assert(sizeof(WireRequestHeader) == kRequestHeaderSize);

// The response header; a fault has the same fields followed by the status.
struct WireResponseHeader {
    WireCommonHeader common;
    std::uint32_t alloc_hint;
    std::uint16_t p_cont_id;
    std::uint8_t cancel_count;
    std::uint8_t reserved;
};
static_assert(sizeof(WireResponseHeader) == kResponseHeaderSize);

struct WireFaultHeader {
    WireResponseHeader response;
    std::uint32_t status;           // nca_s_* or a platform status
    std::uint32_t reserved2;
};
static_assert(sizeof(WireFaultHeader) == kFaultBodyEnd);

// The fixed part of a bind, alter_context, bind_ack and alter_context_resp body.
struct WireBindFixed {
    WireCommonHeader common;
    std::uint16_t max_xmit_frag;
    std::uint16_t max_recv_frag;
    std::uint32_t assoc_group_id;
};
static_assert(sizeof(WireBindFixed) == 24);

// p_syntax_id_t: a UUID and a 32-bit version, major in the low half.
struct WireSyntaxId {
    std::uint8_t if_uuid[16];
    std::uint32_t if_version;
};
static_assert(sizeof(WireSyntaxId) == 20);

// p_result_t of a bind_ack.
struct WireContextResult {
    std::uint16_t result;
    std::uint16_t reason;
    WireSyntaxId transfer_syntax;
};
static_assert(sizeof(WireContextResult) == 24);

// Presentation context results and reasons (p_cont_def_result_t, p_provider_reason_t).
enum class ContextResult : std::uint16_t {
    Acceptance = 0,
    UserRejection = 1,
    ProviderRejection = 2,
    NegotiateAck = 3,  // answer to the bind-time feature negotiation context
};
enum class ProviderReason : std::uint16_t {
    NotSpecified = 0,
    AbstractSyntaxNotSupported = 1,
    ProposedTransferSyntaxesNotSupported = 2,
    LocalLimitExceeded = 3,
};

// bind_nak reasons (p_reject_reason_t).
enum class RejectReason : std::uint16_t {
    NotSpecified = 0,
    TemporaryCongestion = 1,
    LocalLimitExceeded = 2,
    ProtocolVersionNotSupported = 4,
    UserDataNotReadable = 6,  // a data representation we cannot read
    AuthenticationTypeNotRecognized = 8,
};

// Fault statuses this runtime sends and recognises.
inline constexpr std::uint32_t kNcaOpRangeError = 0x1c010002;     // nca_s_op_rng_error
inline constexpr std::uint32_t kNcaUnknownInterface = 0x1c010003; // nca_unk_if
inline constexpr std::uint32_t kNcaProtocolError = 0x1c01000b;    // nca_proto_error
inline constexpr std::uint32_t kNcaServerTooBusy = 0x1c010014;    // nca_server_too_busy
inline constexpr std::uint32_t kNcaUnsupportedType = 0x1c010017;  // nca_unsupported_type
inline constexpr std::uint32_t kNcaFaultUnspecified = 0x1c000012; // nca_s_fault_unspec
inline constexpr std::uint32_t kNcaRemoteNoMemory = 0x1c00001b;   // nca_s_fault_remote_no_memory
inline constexpr std::uint32_t kBadStubDataFault = 0x000006f7;    // rpc_x_bad_stub_data

struct SyntaxId {
    UUID uuid{};
    std::uint16_t major = 0;
    std::uint16_t minor = 0;

    friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

// NDR 2.0, the only transfer syntax this runtime speaks.
SyntaxId NdrSyntax();
// True for a bind-time feature negotiation syntax (6cb71c2c-9812-4540-xxxx-000000000000);
// stores the proposed feature bits (the first two bytes of the last group, little-endian).
bool IsFeatureNegotiation(const SyntaxId& syntax, std::uint16_t& features);

struct CommonHeader {
    std::uint8_t versionMajor = 5;
    std::uint8_t versionMinor = 0;
    PduType type = PduType::Request;
    std::uint8_t flags = kPfcFirstFrag | kPfcLastFrag;
    ByteOrder order = ByteOrder::Little;
    std::uint8_t characterRep = 0;  // low nibble of packed_drep[0]: 0 ASCII, 1 EBCDIC
    std::uint8_t floatRep = 0;      // packed_drep[1]: 0 IEEE, 1 VAX, 2 Cray, 3 IBM
    std::uint16_t fragLength = 0;
    std::uint16_t authLength = 0;
    std::uint32_t callId = 0;
};

// Decodes the first 16 bytes of a PDU (size may be larger). nullopt when fewer than 16
// bytes are given or the integer representation is neither big- nor little-endian. The
// character and float representations are decoded as labelled; whether this runtime can
// take them is SupportedRepresentation.
std::optional<CommonHeader> DecodeCommonHeader(const std::uint8_t* data, std::size_t size);

// True for ASCII characters with IEEE floats, the only representation our stubs read.
bool SupportedRepresentation(const CommonHeader& header);
// True for protocol version 5.0 or 5.1.
bool SupportedVersion(const CommonHeader& header);
// The protocol versions a bind_nak lists as ours.
std::vector<std::pair<std::uint8_t, std::uint8_t>> SupportedVersions();

struct ContextElement {
    std::uint16_t contextId = 0;
    SyntaxId abstractSyntax;
    std::vector<SyntaxId> transferSyntaxes;
};

// bind and alter_context.
struct BindPdu {
    std::uint16_t maxXmitFrag = kOurMaxFragSize;
    std::uint16_t maxRecvFrag = kOurMaxFragSize;
    std::uint32_t assocGroupId = 0;
    std::vector<ContextElement> contexts;
};

struct ContextResultItem {
    ContextResult result = ContextResult::Acceptance;
    std::uint16_t reason = 0;  // ProviderReason, or the feature bits of a NegotiateAck
    SyntaxId transferSyntax;   // the accepted syntax; nil when rejected
};

// bind_ack and alter_context_resp.
struct BindAckPdu {
    std::uint16_t maxXmitFrag = kOurMaxFragSize;
    std::uint16_t maxRecvFrag = kOurMaxFragSize;
    std::uint32_t assocGroupId = 0;
    std::string secondaryAddress;  // the port as decimal text; empty in alter_context_resp
    std::vector<ContextResultItem> results;
};

struct BindNakPdu {
    RejectReason reason = RejectReason::NotSpecified;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> versions;  // protocol versions we speak
};

struct RequestPdu {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint16_t opnum = 0;
    std::optional<UUID> object;
    const std::uint8_t* stub = nullptr;  // into the decoded PDU
    std::size_t stubSize = 0;
};

struct ResponsePdu {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint8_t cancelCount = 0;
    const std::uint8_t* stub = nullptr;  // into the decoded PDU
    std::size_t stubSize = 0;
};

struct FaultPdu {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint8_t cancelCount = 0;
    std::uint32_t status = 0;
};

// Decoders: pdu is one whole PDU (its header's fragLength bytes); header is what
// DecodeCommonHeader gave for it. nullopt on any inconsistency.
std::optional<BindPdu> DecodeBind(const CommonHeader& header, const std::uint8_t* pdu);
std::optional<BindAckPdu> DecodeBindAck(const CommonHeader& header, const std::uint8_t* pdu);
std::optional<BindNakPdu> DecodeBindNak(const CommonHeader& header, const std::uint8_t* pdu);
std::optional<RequestPdu> DecodeRequest(const CommonHeader& header, const std::uint8_t* pdu);
std::optional<ResponsePdu> DecodeResponse(const CommonHeader& header, const std::uint8_t* pdu);
std::optional<FaultPdu> DecodeFault(const CommonHeader& header, const std::uint8_t* pdu);

// Encoders: one whole PDU, frag_length filled in. type must fit the body (Bind or
// AlterContext; BindAck or AlterContextResp). flags of the header are used as given.
std::vector<std::uint8_t> EncodeBind(PduType type, std::uint32_t callId, const BindPdu& bind,
                                     ByteOrder order = ByteOrder::Little,
                                     std::uint8_t extraFlags = 0);
// extraFlags are added to the first and last fragment flags (kPfcConcMpx to accept a
// multiplexed connection).
std::vector<std::uint8_t> EncodeBindAck(PduType type, std::uint32_t callId, const BindAckPdu& ack,
                                        std::uint8_t extraFlags = 0);
std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, const BindNakPdu& nak);
std::vector<std::uint8_t> EncodeRequest(std::uint32_t callId, std::uint8_t flags,
                                        const RequestPdu& request,
                                        ByteOrder order = ByteOrder::Little);
std::vector<std::uint8_t> EncodeResponse(std::uint32_t callId, std::uint8_t flags,
                                         const ResponsePdu& response);
std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint8_t flags,
                                      const FaultPdu& fault);
std::vector<std::uint8_t> EncodeShutdown(std::uint32_t callId);

}  // namespace platform::rpc
