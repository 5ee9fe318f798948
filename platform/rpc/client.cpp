// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The client half of the runtime and the functions both sides share. Sections: statuses;
// string bindings and UUID text; a client binding (connection, bind and alter_context,
// request fragmentation, response reassembly); the surface functions of rpc.h.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"
#include "platform/rpc/transport.h"

namespace platform::rpc {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kDefaultCallTimeoutMs = 30000;
// A response larger than this when reassembled ends the connection.
constexpr std::size_t kMaxResponseStub = 64 * 1024 * 1024;

}  // namespace

std::uint16_t EndpointMapperPort() {
    const char* text = std::getenv("DORNEL_EPM_PORT");
    if (text && *text) {
        char* end = nullptr;
        long port = std::strtol(text, &end, 10);
        if (*end == '\0' && port >= 0 && port <= 65535) return static_cast<std::uint16_t>(port);
    }
    return 135;
}

// The call time-out of a new binding: $DORNEL_RPC_CALL_TIMEOUT (milliseconds) or 30 s.
int DefaultCallTimeoutMs() {
    const char* text = std::getenv("DORNEL_RPC_CALL_TIMEOUT");
    if (text && *text) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (*end == '\0' && value > 0 && value <= 24L * 3600 * 1000) return static_cast<int>(value);
    }
    return kDefaultCallTimeoutMs;
}

RPC_STATUS StatusFromFault(std::uint32_t faultStatus) {
    switch (faultStatus) {
        case kNcaOpRangeError: return RPC_S_PROCNUM_OUT_OF_RANGE;
        case kNcaUnknownInterface: return RPC_S_UNKNOWN_IF;
        case kNcaProtocolError: return RPC_S_PROTOCOL_ERROR;
        case kNcaServerTooBusy: return RPC_S_SERVER_TOO_BUSY;
        case kNcaRemoteNoMemory: return RPC_S_OUT_OF_MEMORY;
        case kBadStubDataFault: return RPC_X_BAD_STUB_DATA;
        case kNcaFaultUnspecified: return RPC_S_CALL_FAILED;
        case kEptNotRegistered: return EPT_S_NOT_REGISTERED;
        default: return static_cast<RPC_STATUS>(faultStatus);
    }
}

// ---------------------------------------------------------------------------------------
// A client binding

namespace {

struct ClientBinding : BindingBase {
    std::optional<UUID> object;
    std::string objectText;
    std::string host;
    std::string endpoint;  // empty: ask the host's endpoint mapper

    std::mutex lock;  // one call at a time on the binding
    Socket socket;
    std::map<const RPC_INTERFACE*, std::uint16_t> contexts;
    std::uint16_t nextContext = 0;
    std::uint32_t nextCallId = 1;
    std::uint16_t maxXmit = kMustRecvFragSize;
    int callTimeoutMs = DefaultCallTimeoutMs();
    // The end of the call in progress: each answer must arrive by then.
    std::chrono::steady_clock::time_point deadline;
};

ClientBinding* AsClient(RPC_BINDING_HANDLE handle) {
    auto* base = static_cast<BindingBase*>(handle);
    if (!base || base->kind != BindingKind::Client) return nullptr;
    return static_cast<ClientBinding*>(base);
}

// Drops the connection and throws; the next call connects afresh.
[[noreturn]] void Fail(ClientBinding& binding, RPC_STATUS status) {
    binding.socket.Close();
    binding.contexts.clear();
    throw RpcException(status);
}

int MillisecondsLeft(const ClientBinding& binding) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        binding.deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(1, left.count()));
}

// True when the server has closed the kept connection (or sent something unasked), so the
// next call connects afresh instead of failing on it.
bool ConnectionLost(const Socket& socket) {
    pollfd waiting{socket.Fd(), POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0) return false;
    return true;  // end of stream, a reset, or bytes nobody asked for
}

void Connect(ClientBinding& binding, RPC_IF_HANDLE ifSpec) {
    std::uint16_t port;
    if (binding.endpoint.empty()) {
        port = ResolveEndpoint(binding.host, InterfaceSyntax(ifSpec), MillisecondsLeft(binding));
    } else {
        port = static_cast<std::uint16_t>(std::strtol(binding.endpoint.c_str(), nullptr, 10));
    }
    binding.socket =
        ConnectTcp(binding.host, port, std::min(kConnectTimeoutMs, MillisecondsLeft(binding)));
    if (!binding.socket.Valid()) throw RpcException(RPC_S_SERVER_UNAVAILABLE);
    // A server that stops reading must not hold a send for longer than the call time-out.
    timeval sendLimit{binding.callTimeoutMs / 1000, (binding.callTimeoutMs % 1000) * 1000};
    ::setsockopt(binding.socket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    binding.contexts.clear();
    binding.nextContext = 0;
    binding.maxXmit = kMustRecvFragSize;
}

// Reads the next PDU of the connection; fails the binding on anything but a whole PDU.
CommonHeader ReadReply(ClientBinding& binding, std::vector<std::uint8_t>& pdu,
                       RPC_STATUS failure) {
    ReadDeadlines deadlines;
    deadlines.firstByte = deadlines.whole = binding.deadline;
    ReadOutcome outcome = ReadPdu(binding.socket, kOurMaxFragSize, pdu, deadlines);
    if (outcome == ReadOutcome::Idle || outcome == ReadOutcome::Stalled) {
        Fail(binding, RPC_S_CALL_CANCELLED);
    }
    if (outcome != ReadOutcome::Complete) Fail(binding, failure);
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    if (!header || !SupportedVersion(*header) || !SupportedRepresentation(*header)) {
        Fail(binding, RPC_S_PROTOCOL_ERROR);
    }
    if (header->type == PduType::Shutdown) Fail(binding, failure);
    return *header;
}

std::uint16_t BindInterface(ClientBinding& binding, RPC_IF_HANDLE ifSpec) {
    bool first = binding.contexts.empty();
    BindPdu bind;
    ContextElement element;
    element.contextId = binding.nextContext++;
    element.abstractSyntax = InterfaceSyntax(ifSpec);
    element.transferSyntaxes.push_back(NdrSyntax());
    bind.contexts.push_back(element);
    std::uint32_t callId = binding.nextCallId++;
    std::vector<std::uint8_t> pdu =
        EncodeBind(first ? PduType::Bind : PduType::AlterContext, callId, bind);
    if (!SendAll(binding.socket, pdu.data(), pdu.size())) Fail(binding, RPC_S_SERVER_UNAVAILABLE);

    CommonHeader header = ReadReply(binding, pdu, RPC_S_SERVER_UNAVAILABLE);
    if (header.callId != callId) Fail(binding, RPC_S_PROTOCOL_ERROR);
    if (header.type == PduType::BindNak) Fail(binding, RPC_S_CALL_FAILED_DNE);
    if (header.type == PduType::Fault) {
        auto fault = DecodeFault(header, pdu.data());
        Fail(binding, fault ? StatusFromFault(fault->status) : RPC_S_PROTOCOL_ERROR);
    }
    PduType expected = first ? PduType::BindAck : PduType::AlterContextResp;
    auto ack = header.type == expected ? DecodeBindAck(header, pdu.data()) : std::nullopt;
    if (!ack || ack->results.size() != 1) Fail(binding, RPC_S_PROTOCOL_ERROR);
    if (first) {
        binding.maxXmit = std::max(std::min(ack->maxRecvFrag, kOurMaxFragSize), kMustRecvFragSize);
    }
    const ContextResultItem& result = ack->results[0];
    if (result.result != ContextResult::Acceptance) {
        // The connection stays usable for other interfaces; this one is not offered.
        bool syntax = result.reason ==
                      static_cast<std::uint16_t>(ProviderReason::ProposedTransferSyntaxesNotSupported);
        if (first) binding.socket.Close();  // nothing bound: start afresh next time
        throw RpcException(syntax ? RPC_S_UNSUPPORTED_TRANS_SYN : RPC_S_UNKNOWN_IF);
    }
    binding.contexts[ifSpec] = element.contextId;
    return element.contextId;
}

}  // namespace

std::vector<std::uint8_t> CallRemote(RPC_BINDING_HANDLE handle, RPC_IF_HANDLE ifSpec,
                                     unsigned opnum, const std::vector<std::uint8_t>& request,
                                     ByteOrder& responseOrder) {
    ClientBinding* binding = AsClient(handle);
    if (!binding) throw RpcException(RPC_S_INVALID_BINDING);
    if (!ifSpec) throw RpcException(RPC_S_INVALID_ARG);
    std::lock_guard<std::mutex> guard(binding->lock);
    binding->deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(binding->callTimeoutMs);
    if (binding->socket.Valid() && ConnectionLost(binding->socket)) {
        binding->socket.Close();  // the server let the idle connection go
        binding->contexts.clear();
    }
    if (!binding->socket.Valid()) Connect(*binding, ifSpec);
    auto context = binding->contexts.find(ifSpec);
    std::uint16_t contextId =
        context != binding->contexts.end() ? context->second : BindInterface(*binding, ifSpec);

    // The request, in fragments of whole 8-byte units of stub.
    std::uint32_t callId = binding->nextCallId++;
    std::size_t header = kRequestHeaderSize + (binding->object ? kUuidWireSize : 0);
    std::size_t perFragment = (binding->maxXmit - header) & ~std::size_t{7};
    std::size_t offset = 0;
    do {
        std::size_t chunk = std::min(perFragment, request.size() - offset);
        RequestPdu pdu;
        pdu.allocHint = static_cast<std::uint32_t>(request.size() - offset);
        pdu.contextId = contextId;
        pdu.opnum = static_cast<std::uint16_t>(opnum);
        pdu.object = binding->object;
        pdu.stub = request.data() + offset;
        pdu.stubSize = chunk;
        std::uint8_t flags = 0;
        if (offset == 0) flags |= kPfcFirstFrag;
        if (offset + chunk == request.size()) flags |= kPfcLastFrag;
        std::vector<std::uint8_t> bytes = EncodeRequest(callId, flags, pdu);
        if (!SendAll(binding->socket, bytes.data(), bytes.size())) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) Fail(*binding, RPC_S_CALL_CANCELLED);
            Fail(*binding, offset == 0 ? RPC_S_SERVER_UNAVAILABLE : RPC_S_CALL_FAILED);
        }
        offset += chunk;
    } while (offset < request.size());

    // The response, reassembled.
    std::vector<std::uint8_t> stub, pdu;
    bool first = true;
    for (;;) {
        CommonHeader reply = ReadReply(*binding, pdu, RPC_S_CALL_FAILED);
        if (reply.callId != callId) Fail(*binding, RPC_S_PROTOCOL_ERROR);
        if (reply.type == PduType::Fault) {
            auto fault = DecodeFault(reply, pdu.data());
            if (!fault) Fail(*binding, RPC_S_PROTOCOL_ERROR);
            throw RpcException(StatusFromFault(fault->status));  // the connection stays
        }
        auto response = reply.type == PduType::Response ? DecodeResponse(reply, pdu.data())
                                                        : std::nullopt;
        if (!response || first != bool(reply.flags & kPfcFirstFrag)) {
            Fail(*binding, RPC_S_PROTOCOL_ERROR);
        }
        if (first) responseOrder = reply.order;
        if (stub.size() + response->stubSize > kMaxResponseStub) Fail(*binding, RPC_S_PROTOCOL_ERROR);
        stub.insert(stub.end(), response->stub, response->stub + response->stubSize);
        first = false;
        if (reply.flags & kPfcLastFrag) return stub;
    }
}

}  // namespace platform::rpc

// ---------------------------------------------------------------------------------------
// The surface

using namespace platform::rpc;

RpcException::RpcException(RPC_STATUS status)
    : std::runtime_error(RpcStatusText(status)), status_(status) {}

std::string RpcStatusText(RPC_STATUS status) {
    const char* text;
    switch (status) {
        case RPC_S_OK: text = "success"; break;
        case RPC_S_ACCESS_DENIED: text = "access denied"; break;
        case RPC_S_OUT_OF_MEMORY: text = "out of memory"; break;
        case RPC_S_INVALID_ARG: text = "invalid argument"; break;
        case RPC_S_INVALID_STRING_BINDING: text = "the string binding is invalid"; break;
        case RPC_S_WRONG_KIND_OF_BINDING: text = "wrong kind of binding"; break;
        case RPC_S_INVALID_BINDING: text = "the binding handle is invalid"; break;
        case RPC_S_PROTSEQ_NOT_SUPPORTED: text = "protocol sequence not supported"; break;
        case RPC_S_INVALID_STRING_UUID: text = "the UUID text is invalid"; break;
        case RPC_S_INVALID_ENDPOINT_FORMAT: text = "the endpoint is not a port number"; break;
        case RPC_S_INVALID_NET_ADDR: text = "the network address is invalid"; break;
        case RPC_S_UNKNOWN_IF: text = "the interface is unknown to the server"; break;
        case RPC_S_NO_BINDINGS: text = "no bindings"; break;
        case RPC_S_CANT_CREATE_ENDPOINT: text = "cannot create the endpoint"; break;
        case RPC_S_SERVER_UNAVAILABLE: text = "the RPC server is unavailable"; break;
        case RPC_S_SERVER_TOO_BUSY: text = "the RPC server is too busy"; break;
        case RPC_S_CALL_FAILED: text = "the remote procedure call failed"; break;
        case RPC_S_CALL_FAILED_DNE: text = "the remote procedure call failed and did not execute"; break;
        case RPC_S_PROTOCOL_ERROR: text = "RPC protocol error"; break;
        case RPC_S_UNSUPPORTED_TRANS_SYN: text = "transfer syntax not supported"; break;
        case RPC_S_PROCNUM_OUT_OF_RANGE: text = "the procedure number is out of range"; break;
        case RPC_S_UNKNOWN_AUTHN_SERVICE: text = "unknown authentication service"; break;
        case RPC_S_UNKNOWN_AUTHN_LEVEL: text = "unknown authentication level"; break;
        case EPT_S_CANT_PERFORM_OP: text = "the endpoint mapper cannot perform the operation"; break;
        case EPT_S_NOT_REGISTERED: text = "no endpoint is registered for the interface"; break;
        case RPC_X_BAD_STUB_DATA: text = "the stub received bad data"; break;
        case RPC_S_CALL_CANCELLED:
            text = "the RPC server did not answer within the call time-out";
            break;
        default: text = "RPC failure"; break;
    }
    return std::string(text) + " (" + std::to_string(status) + ")";
}

namespace {

RPC_CSTR CopyString(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool ValidPort(const std::string& endpoint) {
    if (endpoint.empty() || endpoint.size() > 5) return false;
    for (char c : endpoint) {
        if (c < '0' || c > '9') return false;
    }
    long port = std::strtol(endpoint.c_str(), nullptr, 10);
    return port > 0 && port <= 65535;
}

}  // namespace

RPC_STATUS RpcStringBindingComposeA(const char* objectUuid, const char* protseq,
                                    const char* networkAddress, const char* endpoint,
                                    const char* options, RPC_CSTR* stringBinding) {
    if (!stringBinding) return RPC_S_INVALID_ARG;
    std::string text;
    if (objectUuid && *objectUuid) text += std::string(objectUuid) + "@";
    if (protseq) text += std::string(protseq) + ":";
    if (networkAddress) text += networkAddress;
    bool hasEndpoint = endpoint && *endpoint;
    bool hasOptions = options && *options;
    if (hasEndpoint || hasOptions) {
        text += "[";
        if (hasEndpoint) text += endpoint;
        if (hasOptions) text += std::string(",") + options;
        text += "]";
    }
    *stringBinding = CopyString(text);
    return *stringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcBindingFromStringBindingA(const char* stringBinding, RPC_BINDING_HANDLE* binding) {
    if (!stringBinding || !binding) return RPC_S_INVALID_ARG;
    *binding = nullptr;
    std::string text = stringBinding;
    std::string objectText;
    std::size_t at = text.find('@');
    if (at != std::string::npos) {
        objectText = text.substr(0, at);
        text = text.substr(at + 1);
    }
    std::size_t colon = text.find(':');
    if (colon == std::string::npos) return RPC_S_INVALID_STRING_BINDING;
    if (text.substr(0, colon) != "ncacn_ip_tcp") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    std::string rest = text.substr(colon + 1);
    std::string host = rest, endpoint;
    std::size_t open = rest.find('[');
    if (open != std::string::npos) {
        if (rest.back() != ']') return RPC_S_INVALID_STRING_BINDING;
        host = rest.substr(0, open);
        endpoint = rest.substr(open + 1, rest.size() - open - 2);
        endpoint = endpoint.substr(0, endpoint.find(','));  // options are not used
        if (!endpoint.empty() && !ValidPort(endpoint)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    }
    if (host.find_first_of(" []@,") != std::string::npos) return RPC_S_INVALID_NET_ADDR;
    auto client = std::make_unique<ClientBinding>();
    client->kind = BindingKind::Client;
    if (!objectText.empty()) {
        UUID object;
        if (!ParseUuid(objectText, object)) return RPC_S_INVALID_STRING_UUID;
        client->object = object;
        client->objectText = objectText;
    }
    client->host = host.empty() ? "127.0.0.1" : host;  // no address: this machine
    client->endpoint = endpoint;
    *binding = static_cast<BindingBase*>(client.release());
    return RPC_S_OK;
}

RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE binding, RPC_CSTR* stringBinding) {
    auto* base = static_cast<BindingBase*>(binding);
    if (!base || !stringBinding) return RPC_S_INVALID_ARG;
    std::string text;
    if (base->kind == BindingKind::Server) {
        auto* server = static_cast<ServerBinding*>(base);
        text = "ncacn_ip_tcp:" + server->address + "[" + std::to_string(server->port) + "]";
    } else if (ClientBinding* client = AsClient(binding)) {
        text = (client->objectText.empty() ? "" : client->objectText + "@") + "ncacn_ip_tcp:" +
               client->host + (client->endpoint.empty() ? "" : "[" + client->endpoint + "]");
    } else {
        return RPC_S_WRONG_KIND_OF_BINDING;
    }
    *stringBinding = CopyString(text);
    return *stringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcBindingSetAuthInfoA(RPC_BINDING_HANDLE binding, const char* serverPrincipal,
                                  unsigned long authnLevel, unsigned long authnService,
                                  void* authIdentity, unsigned long authzService) {
    if (!AsClient(binding)) return RPC_S_INVALID_BINDING;
    if (authnLevel != RPC_C_AUTHN_LEVEL_NONE) return RPC_S_UNKNOWN_AUTHN_LEVEL;
    if (authnService != RPC_C_AUTHN_NONE) return RPC_S_UNKNOWN_AUTHN_SERVICE;
    return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) {
    if (!binding) return RPC_S_INVALID_ARG;
    ClientBinding* client = AsClient(*binding);
    if (!client) return RPC_S_INVALID_BINDING;
    delete client;
    *binding = nullptr;
    return RPC_S_OK;
}

RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option,
                               std::uintptr_t value) {
    ClientBinding* client = AsClient(binding);
    if (!client) return RPC_S_INVALID_BINDING;
    if (option != RPC_C_OPT_CALL_TIMEOUT || value < 1 || value > 24UL * 3600 * 1000) {
        return RPC_S_INVALID_ARG;
    }
    std::lock_guard<std::mutex> guard(client->lock);
    client->callTimeoutMs = static_cast<int>(value);
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* string) {
    if (!string) return RPC_S_INVALID_ARG;
    std::free(*string);
    *string = nullptr;
    return RPC_S_OK;
}

RPC_STATUS UuidFromStringA(const char* text, UUID* uuid) {
    if (!uuid) return RPC_S_INVALID_ARG;
    if (!text || !*text) {
        *uuid = NilUuid();
        return RPC_S_OK;
    }
    return ParseUuid(text, *uuid) ? RPC_S_OK : RPC_S_INVALID_STRING_UUID;
}

RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* text) {
    if (!uuid || !text) return RPC_S_INVALID_ARG;
    *text = CopyString(FormatUuid(*uuid));
    return *text ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}
