// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The runtime end to end on loopback: a server in this process offering a small test
// interface (echo, a sized answer, the caller's connection handle) through its own endpoint
// mapper, reached by our client and by hand-made PDUs on raw sockets.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"
#include "platform/rpc/transport.h"

using namespace platform::rpc;

namespace {

// ----- The test interface -----------------------------------------------------------------

std::mutex rundownLock;
std::set<RPC_BINDING_HANDLE> rundowns;

// 0: echo. Request: count, then count bytes; response: count, the bytes.
RPC_STATUS EchoStub(RPC_MESSAGE* message) {
    const std::uint8_t* bytes;
    std::uint32_t count;
    if (!message->In->ReadConformantBytes(1 << 24, bytes, count)) return RPC_X_BAD_STUB_DATA;
    message->Out->WriteConformantBytes(bytes, count);
    return RPC_S_OK;
}

// 1: a sized answer. Request: size; response: size bytes counting up.
RPC_STATUS SizedStub(RPC_MESSAGE* message) {
    std::uint32_t size;
    if (!message->In->ReadUInt32(size) || size > (1u << 24)) return RPC_X_BAD_STUB_DATA;
    for (std::uint32_t i = 0; i < size; ++i) message->Out->WriteUInt8(static_cast<std::uint8_t>(i));
    return RPC_S_OK;
}

// 2: the connection handle the runtime passed, as 8 bytes.
RPC_STATUS WhoStub(RPC_MESSAGE* message) {
    auto value = reinterpret_cast<std::uintptr_t>(message->Handle);
    message->Out->WriteBytes(&value, sizeof value);
    return RPC_S_OK;
}

// 3: blocks until released (at most 10 s), so a test can hold a call in progress.
std::mutex blockLock;
std::condition_variable blockChanged;
bool blockEntered = false;
bool blockReleased = false;

RPC_STATUS BlockStub(RPC_MESSAGE* message) {
    std::unique_lock<std::mutex> guard(blockLock);
    blockEntered = true;
    blockChanged.notify_all();
    blockChanged.wait_for(guard, std::chrono::seconds(10), [] { return blockReleased; });
    message->Out->WriteUInt32(0);
    return RPC_S_OK;
}

void TestRundown(RPC_BINDING_HANDLE connection) {
    std::lock_guard<std::mutex> guard(rundownLock);
    rundowns.insert(connection);
}

const RPC_DISPATCH_FUNCTION kTestDispatch[] = {EchoStub, SizedStub, WhoStub, BlockStub};
const RPC_INTERFACE kTestInterface = {
    {{0x7a5e0001, 0x1234, 0x4bcd, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}}, {1, 0}},
    kTestDispatch, 4, TestRundown};
// The same identity at version 2.0, which the server does not offer.
const RPC_INTERFACE kWrongVersion = {
    {{0x7a5e0001, 0x1234, 0x4bcd, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}}, {2, 0}},
    nullptr, 0, nullptr};

SyntaxId TestSyntax() { return InterfaceSyntax(&kTestInterface); }

std::uint16_t FreePort() {
    std::uint16_t port = 0;
    Socket probe = ListenTcp("127.0.0.1", 0, 1, port);
    return port;
}

std::vector<std::uint8_t> EchoRequest(const std::vector<std::uint8_t>& payload) {
    NdrWriter out;
    out.WriteConformantBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    return out.Take();
}

// ----- The fixture: one server for the whole suite -----------------------------------------

class RpcRuntime : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartServer(3, 1234); }
    static void StartServer(unsigned minThreads, unsigned maxCalls) {
        setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        setenv("DORNEL_EPM_PORT", std::to_string(FreePort()).c_str(), 1);
        ASSERT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", 3, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerInqBindings(&bindings_), RPC_S_OK);
        ASSERT_EQ(RpcEpRegisterA(&kTestInterface, bindings_, nullptr, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerListen(minThreads, maxCalls, 1), RPC_S_OK);
        EXPECT_EQ(RpcServerListen(minThreads, maxCalls, 1), RPC_S_ALREADY_LISTENING);
        port_ = static_cast<ServerBinding*>(bindings_->BindingH[0])->port;
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
        EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
        EXPECT_EQ(RpcEpUnregister(&kTestInterface, bindings_, nullptr), RPC_S_OK);
        EXPECT_EQ(RpcBindingVectorFree(&bindings_), RPC_S_OK);
    }

    // A client binding; with an empty endpoint it goes through the endpoint mapper.
    static RPC_BINDING_HANDLE Bind(const std::string& endpoint) {
        RPC_CSTR text = nullptr;
        EXPECT_EQ(RpcStringBindingComposeA("7a5e0001-1234-4bcd-8001-020304050607", "ncacn_ip_tcp",
                                           "127.0.0.1", endpoint.c_str(), nullptr, &text),
                  RPC_S_OK);
        RPC_BINDING_HANDLE binding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingA(text, &binding), RPC_S_OK);
        RpcStringFreeA(&text);
        EXPECT_EQ(RpcBindingSetAuthInfoA(binding, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_AUTHN_NONE,
                                         nullptr, 0),
                  RPC_S_OK);
        return binding;
    }

    static std::vector<std::uint8_t> Call(RPC_BINDING_HANDLE binding, unsigned opnum,
                                          const std::vector<std::uint8_t>& request,
                                          RPC_IF_HANDLE ifSpec = &kTestInterface) {
        ByteOrder order;
        return CallRemote(binding, ifSpec, opnum, request, order);
    }

    static RPC_STATUS StatusOf(RPC_BINDING_HANDLE binding, unsigned opnum,
                               RPC_IF_HANDLE ifSpec = &kTestInterface) {
        try {
            Call(binding, opnum, EchoRequest({1, 2, 3}), ifSpec);
        } catch (const RpcException& failure) {
            return failure.status();
        }
        return RPC_S_OK;
    }

    // A raw connection to the interface's port.
    static Socket Raw() {
        Socket socket = ConnectTcp("127.0.0.1", port_, 5000);
        EXPECT_TRUE(socket.Valid());
        timeval timeout{10, 0};
        setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return socket;
    }
    static void SendRaw(const Socket& socket, const std::vector<std::uint8_t>& bytes) {
        ASSERT_TRUE(SendAll(socket, bytes.data(), bytes.size()));
    }
    static std::vector<std::uint8_t> Reply(const Socket& socket) {
        std::vector<std::uint8_t> pdu;
        EXPECT_EQ(ReadPdu(socket, 65535, pdu), ReadOutcome::Complete);
        return pdu;
    }
    // True when the server closed the connection (within the receive time-out).
    static bool ClosedByServer(const Socket& socket) {
        std::uint8_t byte;
        return ::recv(socket.Fd(), &byte, 1, 0) == 0;
    }
    static BindPdu BindOf(std::vector<ContextElement> contexts) {
        BindPdu bind;
        bind.maxXmitFrag = bind.maxRecvFrag = kMustRecvFragSize;
        bind.contexts = std::move(contexts);
        return bind;
    }
    static ContextElement Context(std::uint16_t id, SyntaxId abstract, SyntaxId transfer) {
        return ContextElement{id, abstract, {transfer}};
    }
    // A raw connection with context 0 bound to the test interface.
    static Socket BoundRaw() {
        Socket socket = Raw();
        SendRaw(socket, EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())})));
        std::vector<std::uint8_t> ack = Reply(socket);
        EXPECT_EQ(ack[2], static_cast<std::uint8_t>(PduType::BindAck));
        return socket;
    }

    static RPC_BINDING_VECTOR* bindings_;
    static std::uint16_t port_;
};

RPC_BINDING_VECTOR* RpcRuntime::bindings_ = nullptr;
std::uint16_t RpcRuntime::port_ = 0;

}  // namespace

TEST_F(RpcRuntime, CallThroughTheEndpointMapperEchoes) {
    RPC_BINDING_HANDLE binding = Bind("");
    std::vector<std::uint8_t> payload = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(Call(binding, 0, EchoRequest(payload)), EchoRequest(payload));
    RpcBindingFree(&binding);
    EXPECT_EQ(binding, nullptr);
}

TEST_F(RpcRuntime, LargeRequestsAndResponsesAreFragmentedAndReassembled) {
    RPC_BINDING_HANDLE binding = Bind(std::to_string(port_));
    std::vector<std::uint8_t> payload(100000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(Call(binding, 0, EchoRequest(payload)), EchoRequest(payload));
    NdrWriter size;
    size.WriteUInt32(50001);
    std::vector<std::uint8_t> answer = Call(binding, 1, size.Bytes());
    ASSERT_EQ(answer.size(), 50001u);
    EXPECT_EQ(answer[50000], static_cast<std::uint8_t>(50000));
    RpcBindingFree(&binding);
}

TEST_F(RpcRuntime, TheHandleNamesTheConnectionAndIsRunDownWhenItCloses) {
    RPC_BINDING_HANDLE first = Bind(std::to_string(port_));
    RPC_BINDING_HANDLE second = Bind(std::to_string(port_));
    std::vector<std::uint8_t> a1 = Call(first, 2, {});
    std::vector<std::uint8_t> a2 = Call(first, 2, {});
    std::vector<std::uint8_t> b = Call(second, 2, {});
    EXPECT_EQ(a1, a2);
    EXPECT_NE(a1, b);
    std::uintptr_t handle;
    std::memcpy(&handle, a1.data(), sizeof handle);
    RpcBindingFree(&first);
    bool ranDown = false;
    for (int i = 0; i < 200 && !ranDown; ++i) {
        {
            std::lock_guard<std::mutex> guard(rundownLock);
            ranDown = rundowns.count(reinterpret_cast<RPC_BINDING_HANDLE>(handle)) == 1;
        }
        if (!ranDown) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ranDown);
    EXPECT_EQ(Call(second, 2, {}), b);  // the other connection goes on
    RpcBindingFree(&second);
}

TEST_F(RpcRuntime, BindTimeFeatureNegotiationIsAnsweredBesideTheInterface) {
    Socket socket = Raw();
    SyntaxId negotiation;
    ASSERT_TRUE(ParseUuid("6cb71c2c-9812-4540-0300-000000000000", negotiation.uuid));
    negotiation.major = 1;
    SendRaw(socket, EncodeBind(PduType::Bind, 1,
                               BindOf({Context(0, TestSyntax(), NdrSyntax()),
                                       Context(1, TestSyntax(), negotiation)})));
    std::vector<std::uint8_t> pdu = Reply(socket);
    auto ack = DecodeBindAck(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data());
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->secondaryAddress, std::to_string(port_));
    ASSERT_EQ(ack->results.size(), 2u);
    EXPECT_EQ(ack->results[0].result, ContextResult::Acceptance);
    EXPECT_EQ(ack->results[0].transferSyntax, NdrSyntax());
    EXPECT_EQ(ack->results[1].result, ContextResult::NegotiateAck);
    EXPECT_EQ(ack->results[1].reason, 2);  // keep the connection on orphaned calls
}

TEST_F(RpcRuntime, BigEndianRequestIsAnsweredLittleEndian) {
    Socket socket = BoundRaw();
    NdrWriter stub(ByteOrder::Big);
    const std::uint8_t text[] = {'a', 'b', 'c', 'd', 'e'};
    stub.WriteConformantBytes(text, sizeof text);
    RequestPdu request;
    request.stub = stub.Bytes().data();
    request.stubSize = stub.Size();
    SendRaw(socket, EncodeRequest(2, kPfcFirstFrag | kPfcLastFrag, request, ByteOrder::Big));
    std::vector<std::uint8_t> pdu = Reply(socket);
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    ASSERT_EQ(header->type, PduType::Response);
    EXPECT_EQ(header->order, ByteOrder::Little);
    EXPECT_EQ(header->callId, 2u);
    auto response = DecodeResponse(*header, pdu.data());
    ASSERT_TRUE(response);
    EXPECT_EQ(std::vector<std::uint8_t>(response->stub, response->stub + response->stubSize),
              EchoRequest({'a', 'b', 'c', 'd', 'e'}));
}

TEST_F(RpcRuntime, RawFragmentsOfOneRequestAreJoined) {
    Socket socket = BoundRaw();
    std::vector<std::uint8_t> stub = EchoRequest({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    RequestPdu first;
    first.allocHint = static_cast<std::uint32_t>(stub.size());
    first.stub = stub.data();
    first.stubSize = 8;
    RequestPdu rest = first;
    rest.stub = stub.data() + 8;
    rest.stubSize = stub.size() - 8;
    SendRaw(socket, EncodeRequest(3, kPfcFirstFrag, first));
    SendRaw(socket, EncodeRequest(3, kPfcLastFrag, rest));
    std::vector<std::uint8_t> pdu = Reply(socket);
    auto response = DecodeResponse(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data());
    ASSERT_TRUE(response);
    EXPECT_EQ(std::vector<std::uint8_t>(response->stub, response->stub + response->stubSize), stub);
}

TEST_F(RpcRuntime, CallsOfAMultiplexedConnectionOverlap) {
    {
        std::lock_guard<std::mutex> guard(blockLock);
        blockEntered = blockReleased = false;
    }
    Socket socket = Raw();
    SendRaw(socket, EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}),
                               ByteOrder::Little, kPfcConcMpx));
    std::vector<std::uint8_t> pdu = Reply(socket);
    ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PduType::BindAck));
    EXPECT_TRUE(pdu[3] & kPfcConcMpx);
    RequestPdu block;
    block.opnum = 3;
    SendRaw(socket, EncodeRequest(2, kPfcFirstFrag | kPfcLastFrag, block));
    {
        std::unique_lock<std::mutex> guard(blockLock);
        ASSERT_TRUE(blockChanged.wait_for(guard, std::chrono::seconds(10), [] { return blockEntered; }));
    }
    std::vector<std::uint8_t> stub = EchoRequest({4, 2});
    RequestPdu echo;
    echo.stub = stub.data();
    echo.stubSize = stub.size();
    SendRaw(socket, EncodeRequest(3, kPfcFirstFrag | kPfcLastFrag, echo));
    // The echo is answered while the first call still holds.
    pdu = Reply(socket);
    EXPECT_EQ(DecodeCommonHeader(pdu.data(), pdu.size())->callId, 3u);
    {
        std::lock_guard<std::mutex> guard(blockLock);
        blockReleased = true;
    }
    blockChanged.notify_all();
    pdu = Reply(socket);
    EXPECT_EQ(DecodeCommonHeader(pdu.data(), pdu.size())->callId, 2u);
}

// --------------------------------------------------------------------------------------
// Refusals the client sees

TEST_F(RpcRuntime, UnknownOpnumFaultsAndTheConnectionStaysUsable) {
    RPC_BINDING_HANDLE binding = Bind(std::to_string(port_));
    EXPECT_EQ(StatusOf(binding, 9), RPC_S_PROCNUM_OUT_OF_RANGE);
    EXPECT_EQ(StatusOf(binding, 0), RPC_S_OK);
    RpcBindingFree(&binding);
}

TEST_F(RpcRuntime, UnknownInterfaceIsRejectedAtBindAndAtTheMapper) {
    RPC_BINDING_HANDLE direct = Bind(std::to_string(port_));
    EXPECT_EQ(StatusOf(direct, 0, &kWrongVersion), RPC_S_UNKNOWN_IF);
    RpcBindingFree(&direct);
    RPC_BINDING_HANDLE mapped = Bind("");
    EXPECT_EQ(StatusOf(mapped, 0, &kWrongVersion), EPT_S_NOT_REGISTERED);
    RpcBindingFree(&mapped);
}

TEST_F(RpcRuntime, RawRejectionsCarryTheDceResultsAndFaults) {
    Socket socket = Raw();
    SyntaxId ndr64;
    ASSERT_TRUE(ParseUuid("71710533-beba-4937-8319-b5dbef9ccc36", ndr64.uuid));
    ndr64.major = 1;
    SyntaxId unknown = TestSyntax();
    unknown.uuid.Data1 ^= 1;
    SendRaw(socket, EncodeBind(PduType::Bind, 1,
                               BindOf({Context(0, unknown, NdrSyntax()),
                                       Context(1, TestSyntax(), ndr64)})));
    std::vector<std::uint8_t> pdu = Reply(socket);
    auto ack = DecodeBindAck(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data());
    ASSERT_TRUE(ack);
    ASSERT_EQ(ack->results.size(), 2u);
    EXPECT_EQ(ack->results[0].result, ContextResult::ProviderRejection);
    EXPECT_EQ(ack->results[0].reason, 1);  // abstract syntax not supported
    EXPECT_EQ(ack->results[1].result, ContextResult::ProviderRejection);
    EXPECT_EQ(ack->results[1].reason, 2);  // proposed transfer syntaxes not supported

    // A request on a context that was never accepted.
    RequestPdu request;
    SendRaw(socket, EncodeRequest(2, kPfcFirstFrag | kPfcLastFrag, request));
    pdu = Reply(socket);
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    ASSERT_EQ(header->type, PduType::Fault);
    EXPECT_TRUE(header->flags & kPfcDidNotExecute);
    EXPECT_EQ(DecodeFault(*header, pdu.data())->status, kNcaUnknownInterface);

    // An alter_context then makes the interface callable on the same connection.
    SendRaw(socket, EncodeBind(PduType::AlterContext, 3, BindOf({Context(2, TestSyntax(), NdrSyntax())})));
    pdu = Reply(socket);
    EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PduType::AlterContextResp));
    std::vector<std::uint8_t> stub = EchoRequest({9});
    request.contextId = 2;
    request.stub = stub.data();
    request.stubSize = stub.size();
    SendRaw(socket, EncodeRequest(4, kPfcFirstFrag | kPfcLastFrag, request));
    pdu = Reply(socket);
    EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PduType::Response));
}

TEST_F(RpcRuntime, ProtocolViolationsCloseOnlyThatConnection) {
    RPC_BINDING_HANDLE bystander = Bind(std::to_string(port_));
    ASSERT_EQ(StatusOf(bystander, 0), RPC_S_OK);

    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool bindFirst;
    };
    std::vector<std::uint8_t> oversized = EncodeShutdown(1);
    oversized[8] = 0x70;  // frag_length 6000, above what was negotiated
    oversized[9] = 0x17;
    std::vector<std::uint8_t> wrongVersion = EncodeShutdown(1);
    wrongVersion[0] = 4;
    std::vector<std::uint8_t> shortFrag = EncodeShutdown(1);
    shortFrag[8] = 8;  // frag_length below the header
    std::vector<std::uint8_t> truncated =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    truncated.resize(30);  // the rest never comes: the peer half-closes
    RequestPdu request;
    std::vector<std::uint8_t> twoFirsts = EncodeRequest(5, kPfcFirstFrag, request);
    std::vector<std::uint8_t> second = EncodeRequest(6, kPfcFirstFrag, request);
    twoFirsts.insert(twoFirsts.end(), second.begin(), second.end());
    std::vector<std::uint8_t> serverType = EncodeShutdown(1);  // only servers send shutdown
    std::vector<std::uint8_t> badBind =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    badBind[24] = 9;  // nine context elements announced, one there
    const std::vector<Case> cases = {
        {"oversized", oversized, true},      {"wrong version", wrongVersion, false},
        {"short frag_length", shortFrag, false}, {"truncated", truncated, false},
        {"interleaved fragments", twoFirsts, true}, {"shutdown from a client", serverType, true},
        {"bind with missing contexts", badBind, false},
    };
    for (const Case& c : cases) {
        Socket socket = c.bindFirst ? BoundRaw() : Raw();
        SendRaw(socket, c.bytes);
        if (std::string(c.name) == "truncated") ::shutdown(socket.Fd(), SHUT_WR);
        EXPECT_TRUE(ClosedByServer(socket)) << c.name;
        EXPECT_EQ(StatusOf(bystander, 0), RPC_S_OK) << c.name;
    }
    RpcBindingFree(&bystander);
}

TEST_F(RpcRuntime, BindWithAuthenticationIsNakedAndASecondBindToo) {
    Socket socket = Raw();
    std::vector<std::uint8_t> bind =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    std::vector<std::uint8_t> withAuth = bind;
    withAuth.insert(withAuth.end(), {10, 2, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4});  // trailer, 4 bytes
    withAuth[8] = static_cast<std::uint8_t>(withAuth.size());
    withAuth[10] = 4;
    SendRaw(socket, withAuth);
    std::vector<std::uint8_t> pdu = Reply(socket);
    ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PduType::BindNak));
    auto nak = DecodeBindNak(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data());
    EXPECT_EQ(nak->reason, RejectReason::AuthenticationTypeNotRecognized);
    SendRaw(socket, bind);
    EXPECT_EQ(Reply(socket)[2], static_cast<std::uint8_t>(PduType::BindAck));
    SendRaw(socket, bind);
    EXPECT_EQ(Reply(socket)[2], static_cast<std::uint8_t>(PduType::BindNak));
}

TEST_F(RpcRuntime, ManyClientsAtOnceAreAllServed) {
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            RPC_BINDING_HANDLE binding = Bind("");
            std::vector<std::uint8_t> payload(3000 + t, static_cast<std::uint8_t>(t));
            for (int i = 0; i < 20; ++i) {
                if (Call(binding, 0, EchoRequest(payload)) == EchoRequest(payload)) ++served;
            }
            RpcBindingFree(&binding);
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(served.load(), 160);
}

// A server that allows one call at a time, set up after the suite above has stopped its own.
class RpcRuntimeOneCall : public RpcRuntime {
protected:
    static void SetUpTestSuite() { StartServer(1, 1); }
};

TEST_F(RpcRuntimeOneCall, ACallBeyondTheLimitIsTooBusyAndTheHeldOneCompletes) {
    {
        std::lock_guard<std::mutex> guard(blockLock);
        blockEntered = blockReleased = false;
    }
    RPC_BINDING_HANDLE holder = Bind(std::to_string(port_));
    RPC_BINDING_HANDLE other = Bind(std::to_string(port_));
    ASSERT_EQ(StatusOf(other, 0), RPC_S_OK);  // connected and bound before the limit is hit
    // The slot that other's call just used is freed a moment after its answer went out, so
    // the held call may meet the limit too: it tries again until it gets in. Nothing it
    // throws may leave the thread.
    std::thread held([&] {
        for (int attempt = 0; attempt < 400; ++attempt) {
            try {
                EXPECT_EQ(Call(holder, 3, {}), std::vector<std::uint8_t>(4, 0));
                return;
            } catch (const RpcException& failure) {
                if (failure.status() != RPC_S_SERVER_TOO_BUSY) {
                    ADD_FAILURE() << "held call failed with " << failure.status();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ADD_FAILURE() << "the held call never got the server's one call slot";
    });
    bool entered = false;
    {
        std::unique_lock<std::mutex> guard(blockLock);
        entered = blockChanged.wait_for(guard, std::chrono::seconds(10), [] { return blockEntered; });
    }
    if (!entered) {
        {
            std::lock_guard<std::mutex> guard(blockLock);
            blockReleased = true;
        }
        blockChanged.notify_all();
        held.join();
        RpcBindingFree(&holder);
        RpcBindingFree(&other);
        FAIL() << "the held call never reached the server";
    }
    EXPECT_EQ(StatusOf(other, 0), RPC_S_SERVER_TOO_BUSY);
    {
        std::lock_guard<std::mutex> guard(blockLock);
        blockReleased = true;
    }
    blockChanged.notify_all();
    held.join();
    // The server frees the slot just after the answer went out: allow it that moment.
    RPC_STATUS after = RPC_S_SERVER_TOO_BUSY;
    for (int i = 0; i < 200 && after == RPC_S_SERVER_TOO_BUSY; ++i) {
        after = StatusOf(other, 0);
        if (after == RPC_S_SERVER_TOO_BUSY) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(after, RPC_S_OK);
    RpcBindingFree(&holder);
    RpcBindingFree(&other);
}

// --------------------------------------------------------------------------------------
// Bindings

TEST(RpcBindings, StringBindingsAreComposedAndCheckedWhenParsed) {
    RPC_CSTR text = nullptr;
    ASSERT_EQ(RpcStringBindingComposeA("1F8FE9D7-6BAE-11d4-8515-004005437D1D", "ncacn_ip_tcp",
                                       "10.0.0.5", "", nullptr, &text),
              RPC_S_OK);
    EXPECT_STREQ(text, "1F8FE9D7-6BAE-11d4-8515-004005437D1D@ncacn_ip_tcp:10.0.0.5");
    RpcStringFreeA(&text);
    EXPECT_EQ(text, nullptr);

    RPC_BINDING_HANDLE binding = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA("ncacn_np:host[\\pipe\\x]", &binding),
              RPC_S_PROTSEQ_NOT_SUPPORTED);
    EXPECT_EQ(RpcBindingFromStringBindingA("ncacn_ip_tcp:host[http]", &binding),
              RPC_S_INVALID_ENDPOINT_FORMAT);
    EXPECT_EQ(RpcBindingFromStringBindingA("not-a-uuid@ncacn_ip_tcp:host", &binding),
              RPC_S_INVALID_STRING_UUID);
    EXPECT_EQ(RpcBindingFromStringBindingA("nothing", &binding), RPC_S_INVALID_STRING_BINDING);
    EXPECT_EQ(binding, nullptr);

    ASSERT_EQ(RpcBindingFromStringBindingA("ncacn_ip_tcp:", &binding), RPC_S_OK);
    ASSERT_EQ(RpcBindingToStringBindingA(binding, &text), RPC_S_OK);
    EXPECT_STREQ(text, "ncacn_ip_tcp:127.0.0.1");  // no address: this machine
    RpcStringFreeA(&text);
    EXPECT_EQ(RpcBindingSetAuthInfoA(binding, nullptr, 2, 0, nullptr, 0), RPC_S_UNKNOWN_AUTHN_LEVEL);
    EXPECT_EQ(RpcBindingSetAuthInfoA(binding, nullptr, 1, 10, nullptr, 0),
              RPC_S_UNKNOWN_AUTHN_SERVICE);
    RpcBindingFree(&binding);
}

TEST(RpcBindings, NoServerOnThePortIsServerUnavailable) {
    std::string port = std::to_string(FreePort());
    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(("ncacn_ip_tcp:127.0.0.1[" + port + "]").c_str(), &binding),
              RPC_S_OK);
    ByteOrder order;
    try {
        CallRemote(binding, &kTestInterface, 0, {}, order);
        ADD_FAILURE() << "the call went through";
    } catch (const RpcException& failure) {
        EXPECT_EQ(failure.status(), RPC_S_SERVER_UNAVAILABLE);
    }
    RpcBindingFree(&binding);
}

// --------------------------------------------------------------------------------------
// Protocol edges

TEST_F(RpcRuntime, ABindOfAnotherVersionIsNakedWithOursAndMayBindAgain) {
    Socket socket = Raw();
    std::vector<std::uint8_t> bind =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    for (std::pair<std::uint8_t, std::uint8_t> version :
         {std::pair<std::uint8_t, std::uint8_t>{5, 2}, {4, 0}}) {
        std::vector<std::uint8_t> other = bind;
        other[0] = version.first;
        other[1] = version.second;
        SendRaw(socket, other);
        std::vector<std::uint8_t> pdu = Reply(socket);
        ASSERT_EQ(pdu.size() > 2 ? pdu[2] : 0, static_cast<std::uint8_t>(PduType::BindNak));
        auto nak = DecodeBindNak(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data());
        ASSERT_TRUE(nak);
        EXPECT_EQ(nak->reason, RejectReason::ProtocolVersionNotSupported);
        std::vector<std::pair<std::uint8_t, std::uint8_t>> ours = {{5, 0}, {5, 1}};
        EXPECT_EQ(nak->versions, ours);
    }
    SendRaw(socket, bind);  // the connection is still there for a bind we speak
    EXPECT_EQ(Reply(socket)[2], static_cast<std::uint8_t>(PduType::BindAck));
}

TEST_F(RpcRuntime, DataRepresentationsOtherThanAsciiAndIeeeAreRefused) {
    Socket socket = Raw();
    std::vector<std::uint8_t> bind =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    std::vector<std::uint8_t> ebcdic = bind;
    ebcdic[4] |= 0x01;
    SendRaw(socket, ebcdic);
    std::vector<std::uint8_t> pdu = Reply(socket);
    ASSERT_EQ(pdu.size() > 2 ? pdu[2] : 0, static_cast<std::uint8_t>(PduType::BindNak));
    EXPECT_EQ(DecodeBindNak(*DecodeCommonHeader(pdu.data(), pdu.size()), pdu.data())->reason,
              RejectReason::UserDataNotReadable);

    SendRaw(socket, bind);
    ASSERT_EQ(Reply(socket)[2], static_cast<std::uint8_t>(PduType::BindAck));
    std::vector<std::uint8_t> stub = EchoRequest({7, 7});
    RequestPdu request;
    request.stub = stub.data();
    request.stubSize = stub.size();
    for (std::uint8_t floatRep : {1, 3}) {  // VAX, IBM
        std::vector<std::uint8_t> vax = EncodeRequest(2, kPfcFirstFrag | kPfcLastFrag, request);
        vax[5] = floatRep;
        SendRaw(socket, vax);
        pdu = Reply(socket);
        auto header = DecodeCommonHeader(pdu.data(), pdu.size());
        ASSERT_TRUE(header);
        ASSERT_EQ(header->type, PduType::Fault);
        EXPECT_TRUE(header->flags & kPfcDidNotExecute);
        EXPECT_EQ(DecodeFault(*header, pdu.data())->status, kNcaUnsupportedType);
    }
    SendRaw(socket, EncodeRequest(3, kPfcFirstFrag | kPfcLastFrag, request));
    EXPECT_EQ(Reply(socket)[2], static_cast<std::uint8_t>(PduType::Response));
}

TEST_F(RpcRuntime, TheMapperSizesTheTowersArrayByTheCallersMaxTowers) {
    std::string mapper = std::to_string(EndpointMapperPort());
    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(
        RpcBindingFromStringBindingA(("ncacn_ip_tcp:127.0.0.1[" + mapper + "]").c_str(), &binding),
        RPC_S_OK);
    for (std::uint32_t maxTowers : {1u, 4u, 100u, 5000u}) {
        std::vector<std::uint8_t> request = EncodeMapRequest(TestSyntax());
        std::memcpy(request.data() + request.size() - 4, &maxTowers, 4);  // max_towers, last
        ByteOrder order;
        std::vector<std::uint8_t> answer =
            CallRemote(binding, EndpointMapperInterface(), kEptMapOpnum, request, order);
        NdrReader in(answer.data(), answer.size(), order);
        std::uint32_t numTowers, maxCount;
        ASSERT_TRUE(in.Skip(20) && in.ReadUInt32(numTowers) && in.ReadUInt32(maxCount));
        EXPECT_EQ(numTowers, 1u);
        EXPECT_EQ(maxCount, maxTowers);
        RPC_STATUS status;
        EXPECT_EQ(DecodeMapResponse(answer, order, status), port_);
    }
    RpcBindingFree(&binding);
}

TEST(RpcClient, AServerThatNeverAnswersEndsTheCallAtTheTimeOut) {
    std::uint16_t port = 0;
    Socket silent = ListenTcp("127.0.0.1", 0, 4, port);  // connections wait in the backlog
    ASSERT_TRUE(silent.Valid());
    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(
                  ("ncacn_ip_tcp:127.0.0.1[" + std::to_string(port) + "]").c_str(), &binding),
              RPC_S_OK);
    EXPECT_EQ(RpcBindingSetOption(binding, RPC_C_OPT_CALL_TIMEOUT, 0), RPC_S_INVALID_ARG);
    EXPECT_EQ(RpcBindingSetOption(binding, 99, 300), RPC_S_INVALID_ARG);
    ASSERT_EQ(RpcBindingSetOption(binding, RPC_C_OPT_CALL_TIMEOUT, 300), RPC_S_OK);
    auto started = std::chrono::steady_clock::now();
    RPC_STATUS status = RPC_S_OK;
    try {
        ByteOrder order;
        CallRemote(binding, &kTestInterface, 0, EchoRequest({1}), order);
    } catch (const RpcException& failure) {
        status = failure.status();
        EXPECT_NE(std::string(failure.what()).find("did not answer"), std::string::npos);
    }
    EXPECT_EQ(status, RPC_S_CALL_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    RpcBindingFree(&binding);
}

TEST(RpcLimits, TheConnectionCapLeavesTheReserveOfTheDescriptorLimit) {
    EXPECT_EQ(FitConnectionCap(256, 8192), 256u);
    EXPECT_EQ(FitConnectionCap(256, 1024), 256u);
    EXPECT_EQ(FitConnectionCap(1000, 1024), 1024u - kReservedDescriptors);
    EXPECT_EQ(FitConnectionCap(256, 300), 75u);  // below twice the reserve: a quarter
    EXPECT_EQ(FitConnectionCap(256, 2), 1u);
}

TEST(RpcLimits, ABufferDrivenConnectionBindsCallsAndStopsAtAViolation) {
    ASSERT_EQ(RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), RPC_S_OK);
    std::vector<std::uint8_t> stream =
        EncodeBind(PduType::Bind, 1,
                   BindPdu{kMustRecvFragSize,
                           kMustRecvFragSize,
                           0,
                           {ContextElement{0, TestSyntax(), {NdrSyntax()}}}});
    std::vector<std::uint8_t> stub = EchoRequest({1, 2, 3});
    RequestPdu request;
    request.stub = stub.data();
    request.stubSize = stub.size();
    std::vector<std::uint8_t> call = EncodeRequest(2, kPfcFirstFrag | kPfcLastFrag, request);
    stream.insert(stream.end(), call.begin(), call.end());
    ConnectionDriver driver(false);
    // Fed in uneven pieces, the stream is still two PDUs: a bind_ack and a response.
    for (std::size_t at = 0; at < stream.size(); at += 7) {
        ASSERT_TRUE(driver.Feed(stream.data() + at, std::min<std::size_t>(7, stream.size() - at)));
    }
    std::size_t answered = driver.OutputBytes();
    EXPECT_GT(answered, kResponseHeaderSize + stub.size());
    std::vector<std::uint8_t> bad = EncodeShutdown(3);
    bad[8] = 4;  // frag_length shorter than a header
    EXPECT_FALSE(driver.Feed(bad.data(), bad.size()));
    EXPECT_FALSE(driver.Feed(call.data(), call.size()));  // nothing more is read
    EXPECT_EQ(driver.OutputBytes(), answered);
}

// --------------------------------------------------------------------------------------
// Limits: a server with a cap of 8 connections and requests of at most 64 KiB

class RpcRuntimeCapped : public RpcRuntime {
protected:
    static void SetUpTestSuite() {
        ServerLimits limits;
        limits.maxConnections = 8;
        limits.maxRequestBytes = 64 * 1024;
        limits.pduTimeoutMs = 60000;
        limits.idleTimeoutMs = 60000;
        SetServerLimits(limits);
        StartServer(3, 1234);
    }
    static void TearDownTestSuite() {
        RpcRuntime::TearDownTestSuite();
        SetServerLimits(ServerLimits{});
    }
    // True when the server has closed the socket, without waiting.
    static bool ClosedNow(const Socket& socket) {
        std::uint8_t byte;
        return ::recv(socket.Fd(), &byte, 1, MSG_DONTWAIT) == 0;
    }
};

TEST_F(RpcRuntimeCapped, ConnectionsBeyondTheCapAreClosedAtOnceAndTheOthersGoOn) {
    RPC_BINDING_HANDLE client = Bind(std::to_string(port_));
    ASSERT_EQ(StatusOf(client, 0), RPC_S_OK);
    std::vector<Socket> idle;
    for (int i = 0; i < 8 + 50; ++i) idle.push_back(Raw());
    // Seven fit beside the client; the accept thread closes the other 51.
    int closed = 0;
    for (int round = 0; round < 200 && closed < 51; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closed = 0;
        for (const Socket& socket : idle) closed += ClosedNow(socket) ? 1 : 0;
    }
    EXPECT_EQ(closed, 51);
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(ClosedNow(idle[i])) << i;
    EXPECT_EQ(StatusOf(client, 0), RPC_S_OK);  // the connection already there is served

    // Once the idle ones go, a new client gets in.
    idle.clear();
    RPC_STATUS later = RPC_S_SERVER_UNAVAILABLE;
    for (int i = 0; i < 100 && later != RPC_S_OK; ++i) {
        RPC_BINDING_HANDLE fresh = Bind(std::to_string(port_));
        later = StatusOf(fresh, 0);
        RpcBindingFree(&fresh);
        if (later != RPC_S_OK) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(later, RPC_S_OK);
    RpcBindingFree(&client);
}

TEST_F(RpcRuntimeCapped, AnOversizedRequestIsFaultedBeforeItIsKept) {
    Socket socket = BoundRaw();
    std::vector<std::uint8_t> piece(1024, 0x55);  // fragments within the bound 1432 bytes
    RequestPdu request;
    request.stub = piece.data();
    request.stubSize = piece.size();

    // An alloc_hint of 4 MiB is refused on the first fragment; its other fragments are
    // read and dropped, and the connection serves the next call.
    request.allocHint = 4 * 1024 * 1024;
    SendRaw(socket, EncodeRequest(2, kPfcFirstFrag, request));
    std::vector<std::uint8_t> pdu = Reply(socket);
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    ASSERT_TRUE(header);
    ASSERT_EQ(header->type, PduType::Fault);
    EXPECT_EQ(header->callId, 2u);
    EXPECT_TRUE(header->flags & kPfcDidNotExecute);
    EXPECT_EQ(DecodeFault(*header, pdu.data())->status, kNcaProtocolError);
    SendRaw(socket, EncodeRequest(2, 0, request));
    SendRaw(socket, EncodeRequest(2, kPfcLastFrag, request));

    // A request that hides its size (alloc_hint 0) is refused once it passes the cap.
    request.allocHint = 0;
    SendRaw(socket, EncodeRequest(3, kPfcFirstFrag, request));
    for (int i = 0; i < 64; ++i) SendRaw(socket, EncodeRequest(3, 0, request));  // 65 KiB in all
    pdu = Reply(socket);
    header = DecodeCommonHeader(pdu.data(), pdu.size());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, PduType::Fault);
    EXPECT_EQ(header->callId, 3u);
    SendRaw(socket, EncodeRequest(3, kPfcLastFrag, request));

    std::vector<std::uint8_t> stub = EchoRequest({1, 2});
    RequestPdu echo;
    echo.stub = stub.data();
    echo.stubSize = stub.size();
    SendRaw(socket, EncodeRequest(4, kPfcFirstFrag | kPfcLastFrag, echo));
    pdu = Reply(socket);
    EXPECT_EQ(DecodeCommonHeader(pdu.data(), pdu.size())->callId, 4u);
    EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PduType::Response));

    // Our own client sees the refusal as a failed call, and its connection stays.
    RPC_BINDING_HANDLE client = Bind(std::to_string(port_));
    try {
        Call(client, 0, EchoRequest(std::vector<std::uint8_t>(100000, 1)));
        ADD_FAILURE() << "a 100 kB request went through";
    } catch (const RpcException& failure) {
        EXPECT_EQ(failure.status(), RPC_S_PROTOCOL_ERROR);
    }
    EXPECT_EQ(StatusOf(client, 0), RPC_S_OK);
    RpcBindingFree(&client);
}

// Limits: PDUs must arrive whole within half a second, and connections idle for a second go.
class RpcRuntimeTimed : public RpcRuntime {
protected:
    static void SetUpTestSuite() {
        ServerLimits limits;
        limits.pduTimeoutMs = 500;
        limits.idleTimeoutMs = 1000;
        SetServerLimits(limits);
        StartServer(3, 1234);
    }
    static void TearDownTestSuite() {
        RpcRuntime::TearDownTestSuite();
        SetServerLimits(ServerLimits{});
    }
};

TEST_F(RpcRuntimeTimed, UnfinishedPdusAndRequestsAreDroppedAfterTheTimeOut) {
    std::vector<std::uint8_t> bind =
        EncodeBind(PduType::Bind, 1, BindOf({Context(0, TestSyntax(), NdrSyntax())}));
    // Half a header; a whole header with part of its body.
    for (std::size_t sent : {std::size_t{8}, std::size_t{30}}) {
        Socket socket = Raw();
        SendRaw(socket, std::vector<std::uint8_t>(
                            bind.begin(), bind.begin() + static_cast<std::ptrdiff_t>(sent)));
        EXPECT_TRUE(ClosedByServer(socket)) << sent;
    }
    // The first fragment of a request whose other fragments never come.
    Socket socket = BoundRaw();
    std::vector<std::uint8_t> stub = EchoRequest({1, 2, 3, 4, 5, 6, 7, 8, 9});
    RequestPdu first;
    first.stub = stub.data();
    first.stubSize = 8;
    SendRaw(socket, EncodeRequest(2, kPfcFirstFrag, first));
    EXPECT_TRUE(ClosedByServer(socket));
}

TEST_F(RpcRuntimeTimed, AnIdleConnectionIsClosedAndTheClientConnectsAgain) {
    Socket socket = BoundRaw();
    EXPECT_TRUE(ClosedByServer(socket));

    RPC_BINDING_HANDLE client = Bind(std::to_string(port_));
    EXPECT_EQ(StatusOf(client, 0), RPC_S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // past the idle time-out
    EXPECT_EQ(StatusOf(client, 0), RPC_S_OK);  // connected again, without a failed call
    RpcBindingFree(&client);
}
