// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The RPC runtime as the system calls it: DCE 1.1 connection-oriented RPC over TCP
// ("ncacn_ip_tcp") with NDR 2.0, server side and client side, and the endpoint mapper.
//
// Server: RpcServerUseProtseq opens a listening TCP endpoint on a port the runtime picks;
// RpcServerRegisterIf makes an interface callable; RpcServerInqBindings and RpcEpRegister
// publish its endpoints in the endpoint mapper, which this runtime serves itself on TCP 135
// (or on $DORNEL_EPM_PORT); RpcServerListen starts the accept threads and the pool of call
// threads. Listening sockets bind $DORNEL_RPC_ADDRESS when it is set (tests use 127.0.0.1),
// otherwise every local address. The binding handle a manager routine receives names the
// client's connection: it stays the same for every call made on that connection, and the
// interface's rundown routine is called with it once the connection has closed and its
// last call has returned.
//
// Client: a string binding ("<object>@ncacn_ip_tcp:host[endpoint]") becomes a binding
// handle; the first call connects (asking the host's endpoint mapper for the port when the
// endpoint is empty), binds the interface and keeps the connection for later calls. A call
// that fails in the runtime throws RpcException with the status.
//
// Every function is safe from any thread; calls on one client binding are serialised.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/base/wintypes.h"
#include "platform/rpc/ndr.h"

using RPC_STATUS = LONG;
using RPC_BINDING_HANDLE = void*;
using handle_t = RPC_BINDING_HANDLE;
using error_status_t = DWORD;
using RPC_CSTR = char*;

// Status codes.
inline constexpr RPC_STATUS RPC_S_OK = 0;
inline constexpr RPC_STATUS RPC_S_ACCESS_DENIED = 5;
inline constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
inline constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = 1701;
inline constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
inline constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr RPC_STATUS RPC_S_INVALID_RPC_PROTSEQ = 1704;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;
inline constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr RPC_STATUS RPC_S_INVALID_NET_ADDR = 1707;
inline constexpr RPC_STATUS RPC_S_NO_ENDPOINT_FOUND = 1708;
inline constexpr RPC_STATUS RPC_S_ALREADY_REGISTERED = 1711;
inline constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
inline constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
inline constexpr RPC_STATUS RPC_S_NO_BINDINGS = 1718;
inline constexpr RPC_STATUS RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED = 1726;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr RPC_STATUS RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr RPC_STATUS RPC_S_MAX_CALLS_TOO_SMALL = 1742;
inline constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_AUTHN_SERVICE = 1747;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_AUTHN_LEVEL = 1748;
inline constexpr RPC_STATUS RPC_S_INTERNAL_ERROR = 1766;
inline constexpr RPC_STATUS EPT_S_CANT_PERFORM_OP = 1752;
inline constexpr RPC_STATUS EPT_S_NOT_REGISTERED = 1753;
inline constexpr RPC_STATUS RPC_S_CALL_CANCELLED = 1818;  // the call time-out ran out
inline constexpr RPC_STATUS RPC_X_NULL_REF_POINTER = 1780;
inline constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;

// Values the system passes.
inline constexpr unsigned RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;
inline constexpr unsigned RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
inline constexpr unsigned RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr unsigned RPC_C_AUTHN_NONE = 0;
// RpcBindingSetOption: how long a call waits for its answer, in milliseconds.
inline constexpr unsigned long RPC_C_OPT_CALL_TIMEOUT = 12;

// An interface identity: UUID and major.minor version.
struct RPC_VERSION {
    WORD MajorVersion;
    WORD MinorVersion;
};
struct RPC_SYNTAX_IDENTIFIER {
    UUID SyntaxGUID;
    RPC_VERSION SyntaxVersion;
};

namespace platform::rpc {
class NdrReader;
class NdrWriter;
}  // namespace platform::rpc

// One call as a server stub sees it: the request stub to unmarshal (in the sender's byte
// order, checked reads) and the response stub to marshal into (little-endian).
struct RPC_MESSAGE {
    RPC_BINDING_HANDLE Handle;           // the client connection
    unsigned ProcNum;                    // opnum
    platform::rpc::NdrReader* In;        // request stub
    platform::rpc::NdrWriter* Out;       // response stub
};

// A server stub: unmarshals, calls the manager routine, marshals. Returns RPC_S_OK, or
// RPC_X_BAD_STUB_DATA for a request that does not unmarshal (sent back as a fault), or
// RPC_S_OUT_OF_MEMORY.
using RPC_DISPATCH_FUNCTION = RPC_STATUS (*)(RPC_MESSAGE* message);

// An interface as the stubs describe it. A client-only description has no dispatch table.
struct RPC_INTERFACE {
    RPC_SYNTAX_IDENTIFIER InterfaceId;
    const RPC_DISPATCH_FUNCTION* DispatchTable;  // indexed by opnum; null on the client
    unsigned DispatchTableCount;
    // Called once for each client connection that called the interface, after the
    // connection closed and its last call returned; may be null.
    void (*ConnectionRundown)(RPC_BINDING_HANDLE connection);
};
using RPC_IF_HANDLE = const RPC_INTERFACE*;

// The server's bindings: one per endpoint opened with RpcServerUseProtseq.
struct RPC_BINDING_VECTOR {
    DWORD Count;
    RPC_BINDING_HANDLE* BindingH;
};

// A runtime failure on the client side.
class RpcException : public std::runtime_error {
public:
    explicit RpcException(RPC_STATUS status);
    RPC_STATUS status() const { return status_; }

private:
    RPC_STATUS status_;
};

// Text of a status for messages ("RPC server unavailable (1722)").
std::string RpcStatusText(RPC_STATUS status);

// ----- Server -------------------------------------------------------------------------

// Opens a listening endpoint for protseq ("ncacn_ip_tcp" only) on a port the system picks.
// maxCalls is the listen backlog (never below the runtime's own minimum). security is
// accepted and ignored.
RPC_STATUS RpcServerUseProtseqA(const char* protseq, unsigned maxCalls, void* security);
// The same on a given endpoint (a decimal port).
RPC_STATUS RpcServerUseProtseqEpA(const char* protseq, unsigned maxCalls, const char* endpoint,
                                  void* security);
// Makes the interface callable. typeUuid and managerEpv must be null (default manager
// routines). Registering the same interface again is harmless.
RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE ifSpec, UUID* typeUuid, void* managerEpv);
// Removes the interface (null: all of them) from those new binds may choose; contexts
// already bound keep working. Calls in progress are not waited for.
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE ifSpec, UUID* typeUuid, unsigned waitForCalls);
// A vector of the endpoints opened so far; free it with RpcBindingVectorFree.
RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** bindings);
// Publishes the interface at every binding of the vector in this process's endpoint
// mapper, starting the mapper's listening endpoint on first use. objects must be null.
RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE ifSpec, RPC_BINDING_VECTOR* bindings, void* objects,
                          const char* annotation);
RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE ifSpec, RPC_BINDING_VECTOR* bindings, void* objects);
RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** bindings);
// Starts serving: minThreads call threads at least (they grow on demand), at most
// maxCalls calls in progress (further calls get a server-too-busy fault). With dontWait 0
// the call blocks until listening stops.
RPC_STATUS RpcServerListen(unsigned minThreads, unsigned maxCalls, unsigned dontWait);
// Stops accepting connections and reading new calls; null binding only.
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding);
// Waits until listening has stopped and every call in progress has returned, then closes
// the runtime's connections and threads.
RPC_STATUS RpcMgmtWaitServerListen();

// ----- Bindings, both sides -----------------------------------------------------------

// "object@protseq:address[endpoint]"; null or empty parts are left out. Free the result
// with RpcStringFreeA.
RPC_STATUS RpcStringBindingComposeA(const char* objectUuid, const char* protseq,
                                    const char* networkAddress, const char* endpoint,
                                    const char* options, RPC_CSTR* stringBinding);
RPC_STATUS RpcBindingFromStringBindingA(const char* stringBinding, RPC_BINDING_HANDLE* binding);
// The string form of a client binding, or of a server binding from RpcServerInqBindings
// ("ncacn_ip_tcp:127.0.0.1[40123]").
RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE binding, RPC_CSTR* stringBinding);
// Authentication level none (RPC_C_AUTHN_LEVEL_NONE, service RPC_C_AUTHN_NONE) only;
// anything else is RPC_S_UNKNOWN_AUTHN_LEVEL or RPC_S_UNKNOWN_AUTHN_SERVICE.
RPC_STATUS RpcBindingSetAuthInfoA(RPC_BINDING_HANDLE binding, const char* serverPrincipal,
                                  unsigned long authnLevel, unsigned long authnService,
                                  void* authIdentity, unsigned long authzService);
// Closes the binding's connection and frees it; sets *binding to null.
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);
// RPC_C_OPT_CALL_TIMEOUT only: the longest a call on the binding waits for the server
// (connecting, sending, and each fragment of the answer), in milliseconds, at least 1. A
// call that runs out fails with RPC_S_CALL_CANCELLED and the connection is dropped. The
// default is $DORNEL_RPC_CALL_TIMEOUT (milliseconds) when set, else 30 seconds.
RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option,
                               std::uintptr_t value);
RPC_STATUS RpcStringFreeA(RPC_CSTR* string);

RPC_STATUS UuidFromStringA(const char* text, UUID* uuid);
RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* text);

// The allocator pair that stubs use for data handed to or taken from routines. The
// program defines them (the server in its log service, a client beside its main).
void* MIDL_user_allocate(std::size_t size);  // zero-filled block, null when out of memory
void MIDL_user_free(void* block);            // null is ignored

namespace platform::rpc {

// The client half of a call, used by client stubs: sends the request stub for opnum on
// the interface through the binding and returns the response stub; responseOrder is the
// byte order the server wrote it in. Throws RpcException on any runtime failure,
// including a fault from the server.
std::vector<std::uint8_t> CallRemote(RPC_BINDING_HANDLE binding, RPC_IF_HANDLE ifSpec,
                                     unsigned opnum, const std::vector<std::uint8_t>& request,
                                     ByteOrder& responseOrder);

// The endpoint mapper's TCP port: $DORNEL_EPM_PORT when it holds a port number, else 135.
// 0 (set for test programs that never ask a mapper) gives the server's mapper a port the
// system picks and leaves a client nothing to ask (RPC_S_SERVER_UNAVAILABLE).
std::uint16_t EndpointMapperPort();

// Whether this runtime's listeners could bind TCP port now, on the address they use
// ($DORNEL_RPC_ADDRESS, an IPv4 address or a name of one; else every local address): 0, -1
// when that address does not resolve, else the errno of the bind (EADDRINUSE: taken).
int ProbeListenPort(std::uint16_t port);

// What a server lets one client connection hold. Every connection (the interface's and the
// endpoint mapper's alike) counts against maxConnections; one more is accepted and closed
// at once, and the connections already there go on. A PDU must be complete within
// pduTimeoutMs of its first byte, and a fragmented request within pduTimeoutMs of its first
// fragment; a connection with no call in progress that sends nothing for idleTimeoutMs is
// closed. A request whose stub (alloc_hint, or the fragments received) exceeds
// maxRequestBytes gets a fault before anything is allocated for it, and its remaining
// fragments are read and dropped.
struct ServerLimits {
    unsigned maxConnections = 256;
    unsigned pduTimeoutMs = 10 * 1000;
    unsigned idleTimeoutMs = 300 * 1000;
    std::size_t maxRequestBytes = 256 * 1024;
};

// Descriptors kept for the rest of the process (box links, the boot services, the log,
// the registry, child processes) when the connection cap is fitted to RLIMIT_NOFILE.
inline constexpr unsigned kReservedDescriptors = 256;

// The connection cap for a process whose descriptor limit is descriptorLimit: the wanted
// one, lowered so that kReservedDescriptors stay free (a quarter of the limit when it is
// below twice the reserve), and at least 1.
unsigned FitConnectionCap(unsigned wanted, std::uint64_t descriptorLimit);

// Sets the limits for connections accepted from now on, the cap fitted to this process's
// RLIMIT_NOFILE; returns the limits in force. Zero fields take the defaults.
ServerLimits SetServerLimits(const ServerLimits& limits);
ServerLimits CurrentServerLimits();

// Closes the listening endpoints of the bindings (from RpcServerInqBindings), for a server
// that gives up publishing its interface: nobody can connect to a port that no mapper names.
void CloseServerEndpoints(RPC_BINDING_VECTOR* bindings);

// Maps a fault status from the wire to the status a client reports.
RPC_STATUS StatusFromFault(std::uint32_t faultStatus);

}  // namespace platform::rpc
