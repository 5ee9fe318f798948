// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// What the runtime's parts share behind the surface of rpc.h: the kinds of binding handle,
// the endpoint table the mapper answers from, the mapper's interface and towers, and the
// client's endpoint resolution. Not for callers outside platform/rpc (tests excepted).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc.h"

namespace platform::rpc {

// Every RPC_BINDING_HANDLE this runtime hands out points at one of these first.
enum class BindingKind : std::uint32_t {
    Server = 0x53525642,      // an endpoint of RpcServerInqBindings
    Client = 0x434c4e54,      // RpcBindingFromStringBinding
    Connection = 0x434f4e4e,  // the server-side handle of a client connection
};
struct BindingBase {
    BindingKind kind;
};

// A server binding: one listening endpoint.
struct ServerBinding : BindingBase {
    std::string address;  // the address shown in its string binding
    std::uint16_t port;
};

// The interface identity of an RPC_INTERFACE.
SyntaxId InterfaceSyntax(RPC_IF_HANDLE ifSpec);

// The endpoint table of this process's mapper.
void AddMappedEndpoint(const SyntaxId& interfaceId, std::uint16_t port);
void RemoveMappedEndpoint(const SyntaxId& interfaceId, std::uint16_t port);
// The port of an interface compatible with the one asked for (same UUID and major version,
// minor at least the one asked for); nullopt when none is registered.
std::optional<std::uint16_t> FindMappedEndpoint(const SyntaxId& interfaceId);

// The local IPv4 address (network order) of the connection a call arrived on.
std::uint32_t ConnectionLocalAddress(RPC_BINDING_HANDLE connection);

// The endpoint mapper interface (e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0), served by
// the runtime on the mapper's endpoint.
RPC_IF_HANDLE EndpointMapperInterface();
inline constexpr unsigned kEptMapOpnum = 3;
// ept_s_not_registered as the mapper reports it in its status.
inline constexpr std::uint32_t kEptNotRegistered = 0x16c9a0d6;

// A protocol tower for ncacn_ip_tcp: interface, transfer syntax, the connection-oriented
// protocol floor, TCP port and IPv4 address (network order).
struct TcpTower {
    SyntaxId interfaceId;
    SyntaxId transferSyntax;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
};
// The tower's octets (floor count, then each floor's left and right sides).
std::vector<std::uint8_t> EncodeTower(const TcpTower& tower);
// nullopt unless the octets hold at least five floors of the ncacn_ip_tcp shape.
std::optional<TcpTower> DecodeTower(const std::uint8_t* octets, std::size_t size);

// The ept_map request stub for an interface (as impacket and other clients send it) and the
// decoding of its response into a port. DecodeMapResponse returns the port, or nullopt
// with status set (kEptNotRegistered, or RPC_X_BAD_STUB_DATA for a malformed answer).
std::vector<std::uint8_t> EncodeMapRequest(const SyntaxId& interfaceId);
std::optional<std::uint16_t> DecodeMapResponse(const std::vector<std::uint8_t>& stub,
                                               ByteOrder order, RPC_STATUS& status);

// Asks the endpoint mapper on host for the interface's port, waiting at most timeoutMs for
// each answer. Throws RpcException (RPC_S_SERVER_UNAVAILABLE when the mapper cannot be
// reached, EPT_S_NOT_REGISTERED when the interface is not registered there,
// RPC_S_CALL_CANCELLED when it does not answer in time).
std::uint16_t ResolveEndpoint(const std::string& host, const SyntaxId& interfaceId, int timeoutMs);

// One server connection fed from bytes instead of a socket: the same PDU handling
// (negotiation, fragments, limits, calls on the registered interfaces, or the endpoint
// mapper's), with what the server would send counted, and calls run on the feeding
// thread. For the fuzz target and tests. The destructor runs the connection's rundown.
class ConnectionDriver {
public:
    explicit ConnectionDriver(bool mapper);
    ~ConnectionDriver();
    ConnectionDriver(const ConnectionDriver&) = delete;
    ConnectionDriver& operator=(const ConnectionDriver&) = delete;

    // Appends bytes to the stream and handles every whole PDU in it; false once the server
    // would have closed the connection (nothing more is read then).
    bool Feed(const std::uint8_t* data, std::size_t size);
    // Bytes the server has sent so far.
    std::size_t OutputBytes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform::rpc
