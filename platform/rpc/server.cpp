// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The server half of the runtime. Sections: the runtime state; the call pool; a client
// connection (PDU loop, bind and alter_context negotiation, request reassembly, response
// fragmentation); endpoints and accept threads; the surface functions of rpc.h.

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include <sys/resource.h>

#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"
#include "platform/rpc/transport.h"

namespace platform::rpc {

namespace {

// Features of the bind-time negotiation that we honour: keep the connection when a call
// is orphaned (we never close a connection for that).
constexpr std::uint16_t kSupportedFeatures = 0x0002;
// Call threads above the minimum end after this long without work.
constexpr auto kIdleThreadLifetime = std::chrono::seconds(30);
// The smallest listen backlog we ask for, whatever maxCalls says.
constexpr int kMinBacklog = 64;

class Connection;

struct Endpoint {
    Socket listener;
    std::uint16_t port = 0;
    bool isMapper = false;
    std::thread acceptor;
    ServerBinding binding{};
};

// Everything the server side holds. One per process, never destroyed, so threads that
// finish after main returns never touch a destroyed object.
struct Runtime {
    std::mutex lock;
    std::condition_variable changed;

    std::vector<RPC_IF_HANDLE> interfaces;
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    // The mapper's table: by UUID and major version, a list of (minor version, port) pairs.
    std::map<std::pair<std::string, std::uint16_t>, std::vector<std::uint16_t>> mapped;

    ServerLimits limits;  // for connections accepted from now on, cap already fitted
    bool listening = false;
    bool stopping = false;
    std::set<std::shared_ptr<Connection>> connections;
    std::uint32_t nextAssocGroup = 0x12340;

    // The call pool. Idle call threads wait on workAvailable, one woken per call.
    std::condition_variable workAvailable;
    std::deque<std::function<void()>> queue;
    unsigned minThreads = 0;
    unsigned maxCalls = 0;
    unsigned threads = 0;
    unsigned idle = 0;
    unsigned callsInProgress = 0;
    bool poolStopping = false;
};

Runtime& TheRuntime() {
    static Runtime* runtime = new Runtime;
    return *runtime;
}

std::string BindAddress() {
    const char* address = std::getenv("DORNEL_RPC_ADDRESS");
    return address ? address : "";
}

}  // namespace

int ProbeListenPort(std::uint16_t port) { return ProbeTcpBind(BindAddress(), port); }

namespace {

// ---------------------------------------------------------------------------------------
// The call pool

void WorkerLoop() {
    Runtime& runtime = TheRuntime();
    std::unique_lock<std::mutex> guard(runtime.lock);
    for (;;) {
        while (runtime.queue.empty() && !runtime.poolStopping) {
            ++runtime.idle;
            bool woke = runtime.workAvailable.wait_for(guard, kIdleThreadLifetime, [&] {
                return !runtime.queue.empty() || runtime.poolStopping;
            });
            --runtime.idle;
            if (!woke && runtime.threads > runtime.minThreads) {
                --runtime.threads;
                runtime.changed.notify_all();
                return;
            }
        }
        if (runtime.queue.empty()) {  // stopping and nothing left to run
            --runtime.threads;
            runtime.changed.notify_all();
            return;
        }
        std::function<void()> work = std::move(runtime.queue.front());
        runtime.queue.pop_front();
        guard.unlock();
        work();
        guard.lock();
        --runtime.callsInProgress;
    }
}

// Starts a call thread; the caller holds the lock. False when the system has no thread.
bool StartWorker(Runtime& runtime) {
    try {
        std::thread(WorkerLoop).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++runtime.threads;
    return true;
}

// Counts a call that its connection's thread runs itself; false when maxCalls calls are
// already in progress.
bool ReserveCall() {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    if (runtime.callsInProgress >= runtime.maxCalls) return false;
    ++runtime.callsInProgress;
    return true;
}

void ReleaseCall() {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    --runtime.callsInProgress;
}

// Queues a call for the pool; false when maxCalls calls are already in progress.
bool SubmitCall(std::function<void()> work) {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    if (runtime.callsInProgress >= runtime.maxCalls) return false;
    ++runtime.callsInProgress;
    runtime.queue.push_back(std::move(work));
    if (runtime.idle < runtime.queue.size() && runtime.threads < runtime.maxCalls) {
        StartWorker(runtime);  // when this fails the call waits for a busy thread
    }
    runtime.workAvailable.notify_one();
    return true;
}

// ---------------------------------------------------------------------------------------
// A client connection

std::uint32_t FaultStatusFor(RPC_STATUS status) {
    switch (status) {
        case RPC_X_BAD_STUB_DATA: return kBadStubDataFault;
        case RPC_S_OUT_OF_MEMORY: return kNcaRemoteNoMemory;
        case RPC_S_PROCNUM_OUT_OF_RANGE: return kNcaOpRangeError;
        case RPC_S_UNKNOWN_IF: return kNcaUnknownInterface;
        default: return static_cast<std::uint32_t>(status);
    }
}

ServerLimits LimitsNow() {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    return runtime.limits;
}

class Connection : public BindingBase, public std::enable_shared_from_this<Connection> {
public:
    Connection(Socket socket, std::uint16_t port, bool isMapper, const ServerLimits& limits)
        : BindingBase{BindingKind::Connection}, socket_(std::move(socket)), port_(port),
          isMapper_(isMapper), limits_(limits) {
        if (socket_.Valid()) LocalAddress(socket_, &localAddress_);
    }

    // The PDU loop, on the connection's own thread.
    void Serve();
    // Ends the reading side, so Serve returns once the calls in progress have answered.
    void StopReading() { socket_.ShutdownRead(); }
    std::uint32_t LocalAddressValue() const { return localAddress_; }

    // One whole PDU from the client; false when the connection is to be closed.
    bool HandlePdu(const std::vector<std::uint8_t>& pdu);
    // The largest fragment the client may send now.
    std::size_t ReceiveLimit() const { return bound_ ? maxRecv_ : kOurMaxFragSize; }
    // Waits for the calls in progress and runs the interfaces' rundown routines.
    void Finish();
    // Without a socket: what the server sends goes to sink, and calls run at once on the
    // caller's thread (the buffer-driven connection of ConnectionDriver).
    void DriveFromBuffer(std::function<void(const std::vector<std::uint8_t>&)> sink) {
        sink_ = std::move(sink);
    }

private:
    // One call being reassembled.
    struct PendingCall {
        bool active = false;
        std::uint32_t callId = 0;
        std::uint16_t contextId = 0;
        std::uint16_t opnum = 0;
        ByteOrder order = ByteOrder::Little;
        std::vector<std::uint8_t> stub;
    };

    bool HandleBind(const CommonHeader& header, const std::vector<std::uint8_t>& pdu);
    bool HandleAlterContext(const CommonHeader& header, const std::vector<std::uint8_t>& pdu);
    bool HandleRequest(const CommonHeader& header, const std::vector<std::uint8_t>& pdu);
    bool RefuseRepresentation(const CommonHeader& header, const std::vector<std::uint8_t>& pdu);
    // Faults the call and drops its remaining fragments.
    void RefuseCall(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                    bool lastFragment);
    std::vector<ContextResultItem> Negotiate(const BindPdu& bind);
    void StartCall(PendingCall call, RPC_IF_HANDLE ifSpec);
    void RunCall(const PendingCall& call, RPC_IF_HANDLE ifSpec);
    void SendFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                   bool didNotExecute);
    void SendResponse(std::uint32_t callId, std::uint16_t contextId,
                      const std::vector<std::uint8_t>& stub);
    bool Send(const std::vector<std::uint8_t>& pdu);
    bool SendLocked(const std::vector<std::uint8_t>& pdu);  // sendLock_ held
    unsigned CallsRunning();

    Socket socket_;
    std::uint16_t port_;
    bool isMapper_;
    ServerLimits limits_;
    std::function<void(const std::vector<std::uint8_t>&)> sink_;
    std::uint32_t localAddress_ = 0;
    std::mutex sendLock_;

    // Reader thread only.
    bool bound_ = false;
    bool multiplexed_ = false;  // the bind asked for concurrent multiplexing (PFC_CONC_MPX)
    std::uint16_t maxRecv_ = kOurMaxFragSize;
    std::map<std::uint16_t, RPC_IF_HANDLE> contexts_;
    PendingCall pending_;
    ReadDeadlines::Clock::time_point pendingSince_;
    std::optional<std::uint32_t> discarding_;  // a refused call whose fragments still come

    // Shared with the call threads.
    std::mutex callsLock_;
    std::condition_variable callsDone_;
    unsigned callsRunning_ = 0;
    std::set<RPC_IF_HANDLE> calledInterfaces_;
    std::uint16_t maxXmit_ = kMustRecvFragSize;
};

void Connection::Serve() {
    using Clock = ReadDeadlines::Clock;
    std::vector<std::uint8_t> pdu;
    for (;;) {
        ReadDeadlines deadlines;
        deadlines.pduMs = static_cast<int>(limits_.pduTimeoutMs);
        if (pending_.active) {
            // The rest of a fragmented request has the PDU time-out from its first fragment.
            deadlines.whole = pendingSince_ + std::chrono::milliseconds(limits_.pduTimeoutMs);
        } else {
            deadlines.firstByte = Clock::now() + std::chrono::milliseconds(limits_.idleTimeoutMs);
        }
        ReadOutcome outcome = ReadPdu(socket_, ReceiveLimit(), pdu, deadlines);
        // Quiet while its own calls run (a multiplexed connection) is not idle.
        if (outcome == ReadOutcome::Idle && !pending_.active && CallsRunning() > 0) continue;
        if (outcome != ReadOutcome::Complete || !HandlePdu(pdu)) break;
    }
    Finish();
}

unsigned Connection::CallsRunning() {
    std::lock_guard<std::mutex> guard(callsLock_);
    return callsRunning_;
}

void Connection::Finish() {
    // Let the calls in progress answer on the write side, then release what clients held.
    socket_.ShutdownRead();
    std::set<RPC_IF_HANDLE> called;
    {
        std::unique_lock<std::mutex> guard(callsLock_);
        callsDone_.wait(guard, [&] { return callsRunning_ == 0; });
        called = calledInterfaces_;
        calledInterfaces_.clear();
    }
    for (RPC_IF_HANDLE ifSpec : called) {
        if (ifSpec->ConnectionRundown) ifSpec->ConnectionRundown(static_cast<BindingBase*>(this));
    }
    // The descriptor closes with the object, once the runtime has forgotten it, so a
    // concurrent StopReading never reaches a number the system has handed out again.
}

bool Connection::HandlePdu(const std::vector<std::uint8_t>& pdu) {
    auto header = DecodeCommonHeader(pdu.data(), pdu.size());
    if (!header || header->fragLength != pdu.size()) return false;
    if (!SupportedVersion(*header)) {
        // A bind of another version learns which ones we speak and may bind again.
        if (header->type != PduType::Bind || bound_) return false;
        BindNakPdu nak;
        nak.reason = RejectReason::ProtocolVersionNotSupported;
        nak.versions = SupportedVersions();
        return Send(EncodeBindNak(header->callId, nak));
    }
    if (!SupportedRepresentation(*header)) return RefuseRepresentation(*header, pdu);
    switch (header->type) {
        case PduType::Bind:
            return HandleBind(*header, pdu);
        case PduType::AlterContext:
            return HandleAlterContext(*header, pdu);
        case PduType::Request:
            return HandleRequest(*header, pdu);
        case PduType::Auth3:
        case PduType::CoCancel:
            return true;  // nothing to authenticate; calls run to completion
        case PduType::Orphaned:
            if (pending_.active && pending_.callId == header->callId) pending_ = {};
            return true;
        default:
            return false;  // a client never sends any other type
    }
}

// Our stubs read ASCII text and IEEE floats only: a bind in another representation is
// naked, a request faulted (the connection stays).
bool Connection::RefuseRepresentation(const CommonHeader& header,
                                      const std::vector<std::uint8_t>& pdu) {
    if (header.type == PduType::Bind) {
        BindNakPdu nak;
        nak.reason = bound_ ? RejectReason::NotSpecified : RejectReason::UserDataNotReadable;
        return Send(EncodeBindNak(header.callId, nak));
    }
    if (header.type != PduType::Request || header.authLength) return false;
    auto request = DecodeRequest(header, pdu.data());
    if (!request) return false;
    const bool first = (header.flags & kPfcFirstFrag) != 0;
    if (!first && discarding_ == header.callId) {
        if (header.flags & kPfcLastFrag) discarding_.reset();
        return true;  // already answered
    }
    if (pending_.active ? pending_.callId != header.callId : !first) return false;
    RefuseCall(header.callId, request->contextId, kNcaUnsupportedType,
               (header.flags & kPfcLastFrag) != 0);
    return true;
}

void Connection::RefuseCall(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                            bool lastFragment) {
    pending_ = {};
    if (lastFragment) {
        discarding_.reset();
    } else {
        discarding_ = callId;
    }
    SendFault(callId, contextId, status, true);
}

std::vector<ContextResultItem> Connection::Negotiate(const BindPdu& bind) {
    std::vector<RPC_IF_HANDLE> offered;
    {
        Runtime& runtime = TheRuntime();
        std::lock_guard<std::mutex> guard(runtime.lock);
        if (isMapper_) {
            offered.push_back(EndpointMapperInterface());
        } else {
            offered = runtime.interfaces;
        }
    }
    const SyntaxId ndr = NdrSyntax();
    std::vector<ContextResultItem> results;
    for (const ContextElement& element : bind.contexts) {
        ContextResultItem item;
        item.result = ContextResult::ProviderRejection;
        std::uint16_t features = 0;
        if (element.transferSyntaxes.size() == 1 &&
            IsFeatureNegotiation(element.transferSyntaxes[0], features)) {
            item.result = ContextResult::NegotiateAck;
            item.reason = features & kSupportedFeatures;
            results.push_back(item);
            continue;
        }
        RPC_IF_HANDLE match = nullptr;
        for (RPC_IF_HANDLE ifSpec : offered) {
            SyntaxId id = InterfaceSyntax(ifSpec);
            if (id.uuid == element.abstractSyntax.uuid && id.major == element.abstractSyntax.major &&
                id.minor >= element.abstractSyntax.minor) {
                match = ifSpec;
            }
        }
        bool speaksNdr = false;
        for (const SyntaxId& transfer : element.transferSyntaxes) speaksNdr |= transfer == ndr;
        if (!match) {
            item.reason = static_cast<std::uint16_t>(ProviderReason::AbstractSyntaxNotSupported);
        } else if (!speaksNdr) {
            item.reason =
                static_cast<std::uint16_t>(ProviderReason::ProposedTransferSyntaxesNotSupported);
        } else {
            item.result = ContextResult::Acceptance;
            item.transferSyntax = ndr;
            contexts_[element.contextId] = match;
        }
        results.push_back(item);
    }
    return results;
}

bool Connection::HandleBind(const CommonHeader& header, const std::vector<std::uint8_t>& pdu) {
    BindNakPdu nak;
    if (bound_) {
        nak.reason = RejectReason::NotSpecified;  // one association per connection
        return Send(EncodeBindNak(header.callId, nak));
    }
    if (header.authLength) {
        nak.reason = RejectReason::AuthenticationTypeNotRecognized;
        return Send(EncodeBindNak(header.callId, nak));
    }
    auto bind = DecodeBind(header, pdu.data());
    if (!bind) return false;
    BindAckPdu ack;
    {
        std::lock_guard<std::mutex> guard(callsLock_);
        maxXmit_ = std::max(std::min(bind->maxRecvFrag, kOurMaxFragSize), kMustRecvFragSize);
    }
    maxRecv_ = std::max(std::min(bind->maxXmitFrag, kOurMaxFragSize), kMustRecvFragSize);
    ack.maxXmitFrag = maxXmit_;
    ack.maxRecvFrag = maxRecv_;
    if (bind->assocGroupId) {
        ack.assocGroupId = bind->assocGroupId;
    } else {
        Runtime& runtime = TheRuntime();
        std::lock_guard<std::mutex> guard(runtime.lock);
        ack.assocGroupId = runtime.nextAssocGroup++;
    }
    ack.secondaryAddress = std::to_string(port_);
    ack.results = Negotiate(*bind);
    bound_ = true;
    multiplexed_ = (header.flags & kPfcConcMpx) != 0;
    return Send(EncodeBindAck(PduType::BindAck, header.callId, ack,
                              multiplexed_ ? kPfcConcMpx : std::uint8_t{0}));
}

bool Connection::HandleAlterContext(const CommonHeader& header,
                                    const std::vector<std::uint8_t>& pdu) {
    if (!bound_ || header.authLength) return false;
    auto bind = DecodeBind(header, pdu.data());
    if (!bind) return false;
    BindAckPdu ack;
    ack.maxXmitFrag = maxXmit_;
    ack.maxRecvFrag = maxRecv_;
    ack.assocGroupId = bind->assocGroupId;
    ack.results = Negotiate(*bind);
    return Send(EncodeBindAck(PduType::AlterContextResp, header.callId, ack));
}

bool Connection::HandleRequest(const CommonHeader& header, const std::vector<std::uint8_t>& pdu) {
    if (header.authLength) return false;  // no security context exists on our connections
    auto request = DecodeRequest(header, pdu.data());
    if (!request) return false;
    const bool last = (header.flags & kPfcLastFrag) != 0;
    if (discarding_ && !(header.flags & kPfcFirstFrag)) {
        // The rest of a refused call: read and dropped.
        if (*discarding_ != header.callId) return false;
        if (last) discarding_.reset();
        return true;
    }
    discarding_.reset();
    if (header.flags & kPfcFirstFrag) {
        if (pending_.active) return false;  // fragments of two calls interleaved
        if (request->allocHint > limits_.maxRequestBytes) {
            // Refused on the promise alone, before a byte of it is kept.
            RefuseCall(header.callId, request->contextId, kNcaProtocolError, last);
            return true;
        }
        pending_ = {};
        pending_.active = true;
        pending_.callId = header.callId;
        pending_.contextId = request->contextId;
        pending_.opnum = request->opnum;
        pending_.order = header.order;
        pendingSince_ = ReadDeadlines::Clock::now();
    } else if (!pending_.active || pending_.callId != header.callId) {
        return false;
    }
    if (pending_.stub.size() + request->stubSize > limits_.maxRequestBytes) {
        RefuseCall(header.callId, pending_.contextId, kNcaProtocolError, last);
        return true;
    }
    pending_.stub.insert(pending_.stub.end(), request->stub, request->stub + request->stubSize);
    if (!last) return true;

    PendingCall call = std::move(pending_);
    pending_ = {};
    auto context = contexts_.find(call.contextId);
    if (context == contexts_.end()) {
        SendFault(call.callId, call.contextId, kNcaUnknownInterface, true);
        return true;
    }
    RPC_IF_HANDLE ifSpec = context->second;
    if (call.opnum >= ifSpec->DispatchTableCount || !ifSpec->DispatchTable[call.opnum]) {
        SendFault(call.callId, call.contextId, kNcaOpRangeError, true);
        return true;
    }
    StartCall(std::move(call), ifSpec);
    return true;
}

void Connection::StartCall(PendingCall call, RPC_IF_HANDLE ifSpec) {
    bool alone;
    {
        std::lock_guard<std::mutex> guard(callsLock_);
        alone = callsRunning_ == 0;
        ++callsRunning_;
        calledInterfaces_.insert(ifSpec);
    }
    // A connection bound without concurrent multiplexing carries one call at a time (the
    // viewer, dornellog and impacket bind so): the connection's own thread runs it, saving
    // a hand-over to a pool thread and back on every call. A multiplexed connection's
    // calls go to the pool, so they overlap.
    if (sink_) {
        RunCall(call, ifSpec);
        std::lock_guard<std::mutex> guard(callsLock_);
        --callsRunning_;
        callsDone_.notify_all();
        return;
    }
    if (!multiplexed_ && alone) {
        if (ReserveCall()) {
            RunCall(call, ifSpec);
            ReleaseCall();
        } else {
            SendFault(call.callId, call.contextId, kNcaServerTooBusy, true);
        }
        std::lock_guard<std::mutex> guard(callsLock_);
        --callsRunning_;
        callsDone_.notify_all();
        return;
    }
    auto self = shared_from_this();
    auto shared = std::make_shared<PendingCall>(std::move(call));
    bool queued = SubmitCall([self, shared, ifSpec] {
        self->RunCall(*shared, ifSpec);
        std::lock_guard<std::mutex> guard(self->callsLock_);
        --self->callsRunning_;
        self->callsDone_.notify_all();
    });
    if (!queued) {
        SendFault(shared->callId, shared->contextId, kNcaServerTooBusy, true);
        std::lock_guard<std::mutex> guard(callsLock_);
        --callsRunning_;
        callsDone_.notify_all();
    }
}

void Connection::RunCall(const PendingCall& call, RPC_IF_HANDLE ifSpec) {
    NdrReader in(call.stub.data(), call.stub.size(), call.order);
    NdrWriter out;
    RPC_MESSAGE message{static_cast<BindingBase*>(this), call.opnum, &in, &out};
    RPC_STATUS status;
    try {
        status = ifSpec->DispatchTable[call.opnum](&message);
    } catch (const std::bad_alloc&) {
        status = RPC_S_OUT_OF_MEMORY;
    } catch (...) {
        status = static_cast<RPC_STATUS>(kNcaFaultUnspecified);
    }
    if (status == RPC_S_OK) {
        SendResponse(call.callId, call.contextId, out.Bytes());
    } else {
        SendFault(call.callId, call.contextId, FaultStatusFor(status), false);
    }
}

void Connection::SendFault(std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                           bool didNotExecute) {
    FaultPdu fault;
    fault.contextId = contextId;
    fault.status = status;
    std::uint8_t flags = kPfcFirstFrag | kPfcLastFrag;
    if (didNotExecute) flags |= kPfcDidNotExecute;
    Send(EncodeFault(callId, flags, fault));
}

void Connection::SendResponse(std::uint32_t callId, std::uint16_t contextId,
                              const std::vector<std::uint8_t>& stub) {
    std::uint16_t maxXmit;
    {
        std::lock_guard<std::mutex> guard(callsLock_);
        maxXmit = maxXmit_;
    }
    // Every fragment but the last carries a multiple of 8 stub bytes, so NDR alignment
    // holds in each fragment on its own.
    const std::size_t perFragment = (maxXmit - kResponseHeaderSize) & ~std::size_t{7};
    std::lock_guard<std::mutex> guard(sendLock_);  // fragments of one response stay together
    std::size_t offset = 0;
    do {
        std::size_t chunk = std::min(perFragment, stub.size() - offset);
        ResponsePdu response;
        response.allocHint = static_cast<std::uint32_t>(stub.size() - offset);
        response.contextId = contextId;
        response.stub = stub.data() + offset;
        response.stubSize = chunk;
        std::uint8_t flags = 0;
        if (offset == 0) flags |= kPfcFirstFrag;
        if (offset + chunk == stub.size()) flags |= kPfcLastFrag;
        std::vector<std::uint8_t> pdu = EncodeResponse(callId, flags, response);
        if (!SendLocked(pdu)) return;
        offset += chunk;
    } while (offset < stub.size());
}

bool Connection::Send(const std::vector<std::uint8_t>& pdu) {
    std::lock_guard<std::mutex> guard(sendLock_);
    return SendLocked(pdu);
}

bool Connection::SendLocked(const std::vector<std::uint8_t>& pdu) {
    if (sink_) {
        sink_(pdu);
        return true;
    }
    return SendAll(socket_, pdu.data(), pdu.size());
}

// ---------------------------------------------------------------------------------------
// Endpoints and accept threads

void ServeConnection(std::shared_ptr<Connection> connection) {
    connection->Serve();
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    runtime.connections.erase(connection);
    runtime.changed.notify_all();
}

void AcceptLoop(Endpoint* endpoint) {
    Runtime& runtime = TheRuntime();
    for (;;) {
        Socket accepted = AcceptTcp(endpoint->listener);
        if (!accepted.Valid()) return;
        std::lock_guard<std::mutex> guard(runtime.lock);
        if (runtime.stopping) return;
        // Over the cap: closed at once (the socket goes with this scope); the connections
        // already there, and the descriptors the rest of the process needs, are untouched.
        if (runtime.connections.size() >= runtime.limits.maxConnections) continue;
        auto connection = std::make_shared<Connection>(std::move(accepted), endpoint->port,
                                                       endpoint->isMapper, runtime.limits);
        try {
            std::thread(ServeConnection, connection).detach();
        } catch (const std::system_error&) {
            continue;  // no thread for it: the socket closes with the connection object
        }
        runtime.connections.insert(connection);
    }
}

// Starts an endpoint's accept thread; the caller holds the lock.
void StartAccepting(Endpoint& endpoint) {
    endpoint.acceptor = std::thread(AcceptLoop, &endpoint);
}

RPC_STATUS AddEndpoint(std::uint16_t port, unsigned maxCalls, bool isMapper) {
    Runtime& runtime = TheRuntime();
    auto endpoint = std::make_unique<Endpoint>();
    int backlog = std::max<int>(kMinBacklog, static_cast<int>(std::min(maxCalls, 4096u)));
    endpoint->listener = ListenTcp(BindAddress(), port, backlog, endpoint->port);
    if (!endpoint->listener.Valid()) {
        return isMapper ? EPT_S_CANT_PERFORM_OP : RPC_S_CANT_CREATE_ENDPOINT;
    }
    endpoint->isMapper = isMapper;
    endpoint->binding.kind = BindingKind::Server;
    std::string address = BindAddress();
    endpoint->binding.address = address.empty() || address == "0.0.0.0" ? "127.0.0.1" : address;
    endpoint->binding.port = endpoint->port;
    std::lock_guard<std::mutex> guard(runtime.lock);
    try {
        if (runtime.listening && !runtime.stopping) StartAccepting(*endpoint);
    } catch (const std::system_error&) {
        return RPC_S_OUT_OF_RESOURCES;
    }
    runtime.endpoints.push_back(std::move(endpoint));
    return RPC_S_OK;
}

bool HasMapperEndpoint() {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    for (const auto& endpoint : runtime.endpoints) {
        if (endpoint->isMapper) return true;
    }
    return false;
}

std::string UuidKey(const SyntaxId& id) { return FormatUuid(id.uuid); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Runtime internals shared with the mapper

SyntaxId InterfaceSyntax(RPC_IF_HANDLE ifSpec) {
    SyntaxId id;
    id.uuid = ifSpec->InterfaceId.SyntaxGUID;
    id.major = ifSpec->InterfaceId.SyntaxVersion.MajorVersion;
    id.minor = ifSpec->InterfaceId.SyntaxVersion.MinorVersion;
    return id;
}

namespace {
// Mapped entries are keyed by UUID and major version; the value lists minor|port pairs.
std::pair<std::string, std::uint16_t> MapKey(const SyntaxId& id) { return {UuidKey(id), id.major}; }
}  // namespace

void AddMappedEndpoint(const SyntaxId& interfaceId, std::uint16_t port) {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    auto& entry = runtime.mapped[MapKey(interfaceId)];
    for (std::size_t i = 0; i + 1 < entry.size(); i += 2) {
        if (entry[i + 1] == port) {
            entry[i] = interfaceId.minor;
            return;
        }
    }
    entry.push_back(interfaceId.minor);
    entry.push_back(port);
}

void RemoveMappedEndpoint(const SyntaxId& interfaceId, std::uint16_t port) {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    auto found = runtime.mapped.find(MapKey(interfaceId));
    if (found == runtime.mapped.end()) return;
    auto& entry = found->second;
    for (std::size_t i = 0; i + 1 < entry.size(); i += 2) {
        if (entry[i + 1] == port) {
            entry.erase(entry.begin() + static_cast<std::ptrdiff_t>(i),
                        entry.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            break;
        }
    }
    if (entry.empty()) runtime.mapped.erase(found);
}

std::optional<std::uint16_t> FindMappedEndpoint(const SyntaxId& interfaceId) {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    auto found = runtime.mapped.find(MapKey(interfaceId));
    if (found == runtime.mapped.end()) return std::nullopt;
    const auto& entry = found->second;
    for (std::size_t i = 0; i + 1 < entry.size(); i += 2) {
        if (entry[i] >= interfaceId.minor) return entry[i + 1];
    }
    return std::nullopt;
}

std::uint32_t ConnectionLocalAddress(RPC_BINDING_HANDLE connection) {
    auto* base = static_cast<BindingBase*>(connection);
    if (!base || base->kind != BindingKind::Connection) return 0;
    return static_cast<Connection*>(base)->LocalAddressValue();
}

// ---------------------------------------------------------------------------------------
// Limits

unsigned FitConnectionCap(unsigned wanted, std::uint64_t descriptorLimit) {
    std::uint64_t available = descriptorLimit >= 2 * std::uint64_t{kReservedDescriptors}
                                  ? descriptorLimit - kReservedDescriptors
                                  : descriptorLimit / 4;
    std::uint64_t cap = std::min<std::uint64_t>(wanted, available);
    return static_cast<unsigned>(std::max<std::uint64_t>(cap, 1));
}

ServerLimits SetServerLimits(const ServerLimits& wanted) {
    const ServerLimits defaults;
    ServerLimits limits = wanted;
    if (!limits.maxConnections) limits.maxConnections = defaults.maxConnections;
    if (!limits.pduTimeoutMs) limits.pduTimeoutMs = defaults.pduTimeoutMs;
    if (!limits.idleTimeoutMs) limits.idleTimeoutMs = defaults.idleTimeoutMs;
    if (!limits.maxRequestBytes) limits.maxRequestBytes = defaults.maxRequestBytes;
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        limits.maxConnections = FitConnectionCap(limits.maxConnections, descriptors.rlim_cur);
    }
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    runtime.limits = limits;
    return limits;
}

ServerLimits CurrentServerLimits() { return LimitsNow(); }

void CloseServerEndpoints(RPC_BINDING_VECTOR* bindings) {
    if (!bindings) return;
    std::set<std::uint16_t> ports;
    for (DWORD i = 0; i < bindings->Count; ++i) {
        auto* base = static_cast<BindingBase*>(bindings->BindingH[i]);
        if (base && base->kind == BindingKind::Server) {
            ports.insert(static_cast<ServerBinding*>(base)->port);
        }
    }
    std::vector<std::unique_ptr<Endpoint>> closing;
    Runtime& runtime = TheRuntime();
    {
        std::lock_guard<std::mutex> guard(runtime.lock);
        for (auto it = runtime.endpoints.begin(); it != runtime.endpoints.end();) {
            if (!(*it)->isMapper && ports.count((*it)->port)) {
                (*it)->listener.Shutdown();
                closing.push_back(std::move(*it));
                it = runtime.endpoints.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& endpoint : closing) {
        if (endpoint->acceptor.joinable()) endpoint->acceptor.join();
    }
}

// ---------------------------------------------------------------------------------------
// A connection driven from a buffer

struct ConnectionDriver::State {
    std::shared_ptr<Connection> connection;
    std::vector<std::uint8_t> input;
    std::size_t output = 0;
    bool open = true;
};

ConnectionDriver::ConnectionDriver(bool mapper) : state_(std::make_unique<State>()) {
    state_->connection = std::make_shared<Connection>(Socket(), 0, mapper, LimitsNow());
    State* state = state_.get();
    state_->connection->DriveFromBuffer(
        [state](const std::vector<std::uint8_t>& pdu) { state->output += pdu.size(); });
}

ConnectionDriver::~ConnectionDriver() { state_->connection->Finish(); }

bool ConnectionDriver::Feed(const std::uint8_t* data, std::size_t size) {
    State& state = *state_;
    if (!state.open) return false;
    state.input.insert(state.input.end(), data, data + size);
    std::size_t used = 0;
    while (state.open && state.input.size() - used >= kCommonHeaderSize) {
        auto length =
            AcceptablePduLength(state.input.data() + used, state.connection->ReceiveLimit());
        if (!length) {
            state.open = false;
            break;
        }
        if (state.input.size() - used < *length) break;
        std::vector<std::uint8_t> pdu(
            state.input.begin() + static_cast<std::ptrdiff_t>(used),
            state.input.begin() + static_cast<std::ptrdiff_t>(used + *length));
        used += *length;
        state.open = state.connection->HandlePdu(pdu);
    }
    state.input.erase(state.input.begin(), state.input.begin() + static_cast<std::ptrdiff_t>(used));
    return state.open;
}

std::size_t ConnectionDriver::OutputBytes() const { return state_->output; }

}  // namespace platform::rpc

// ---------------------------------------------------------------------------------------
// The surface

using namespace platform::rpc;

RPC_STATUS RpcServerUseProtseqA(const char* protseq, unsigned maxCalls, void* security) {
    if (!protseq || std::strcmp(protseq, "ncacn_ip_tcp") != 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
    return AddEndpoint(0, maxCalls, false);
}

RPC_STATUS RpcServerUseProtseqEpA(const char* protseq, unsigned maxCalls, const char* endpoint,
                                  void* security) {
    if (!protseq || std::strcmp(protseq, "ncacn_ip_tcp") != 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (!endpoint) return RPC_S_INVALID_ENDPOINT_FORMAT;
    char* end = nullptr;
    long port = std::strtol(endpoint, &end, 10);
    if (end == endpoint || *end != '\0' || port < 1 || port > 65535) {
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    }
    return AddEndpoint(static_cast<std::uint16_t>(port), maxCalls, false);
}

RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE ifSpec, UUID* typeUuid, void* managerEpv) {
    if (!ifSpec || !ifSpec->DispatchTable) return RPC_S_INVALID_ARG;
    if (typeUuid || managerEpv) return RPC_S_INVALID_ARG;  // only the default manager exists
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    for (RPC_IF_HANDLE known : runtime.interfaces) {
        if (known == ifSpec) return RPC_S_OK;
        if (InterfaceSyntax(known) == InterfaceSyntax(ifSpec)) return RPC_S_ALREADY_REGISTERED;
    }
    runtime.interfaces.push_back(ifSpec);
    return RPC_S_OK;
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE ifSpec, UUID* typeUuid, unsigned waitForCalls) {
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    if (!ifSpec) {
        runtime.interfaces.clear();
        return RPC_S_OK;
    }
    for (auto it = runtime.interfaces.begin(); it != runtime.interfaces.end(); ++it) {
        if (*it == ifSpec) {
            runtime.interfaces.erase(it);
            return RPC_S_OK;
        }
    }
    return RPC_S_UNKNOWN_IF;
}

RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** bindings) {
    if (!bindings) return RPC_S_INVALID_ARG;
    *bindings = nullptr;
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    std::vector<RPC_BINDING_HANDLE> handles;
    for (const auto& endpoint : runtime.endpoints) {
        if (endpoint->isMapper) continue;
        handles.push_back(new ServerBinding(endpoint->binding));
    }
    if (handles.empty()) return RPC_S_NO_BINDINGS;
    auto* vector = new RPC_BINDING_VECTOR;
    vector->Count = static_cast<DWORD>(handles.size());
    vector->BindingH = new RPC_BINDING_HANDLE[handles.size()];
    std::copy(handles.begin(), handles.end(), vector->BindingH);
    *bindings = vector;
    return RPC_S_OK;
}

RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** bindings) {
    if (!bindings || !*bindings) return RPC_S_INVALID_ARG;
    for (DWORD i = 0; i < (*bindings)->Count; ++i) {
        delete static_cast<ServerBinding*>((*bindings)->BindingH[i]);
    }
    delete[] (*bindings)->BindingH;
    delete *bindings;
    *bindings = nullptr;
    return RPC_S_OK;
}

namespace {

RPC_STATUS CheckServerVector(RPC_BINDING_VECTOR* bindings) {
    if (!bindings || bindings->Count == 0) return RPC_S_NO_BINDINGS;
    for (DWORD i = 0; i < bindings->Count; ++i) {
        auto* base = static_cast<BindingBase*>(bindings->BindingH[i]);
        if (!base || base->kind != BindingKind::Server) return RPC_S_WRONG_KIND_OF_BINDING;
    }
    return RPC_S_OK;
}

}  // namespace

RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE ifSpec, RPC_BINDING_VECTOR* bindings, void* objects,
                          const char* annotation) {
    if (!ifSpec || objects) return RPC_S_INVALID_ARG;
    if (RPC_STATUS status = CheckServerVector(bindings); status != RPC_S_OK) return status;
    if (!HasMapperEndpoint()) {
        if (RPC_STATUS status = AddEndpoint(EndpointMapperPort(), kMinBacklog, true);
            status != RPC_S_OK) {
            return status;
        }
    }
    for (DWORD i = 0; i < bindings->Count; ++i) {
        AddMappedEndpoint(InterfaceSyntax(ifSpec),
                          static_cast<ServerBinding*>(bindings->BindingH[i])->port);
    }
    return RPC_S_OK;
}

RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE ifSpec, RPC_BINDING_VECTOR* bindings, void* objects) {
    if (!ifSpec || objects) return RPC_S_INVALID_ARG;
    if (RPC_STATUS status = CheckServerVector(bindings); status != RPC_S_OK) return status;
    for (DWORD i = 0; i < bindings->Count; ++i) {
        RemoveMappedEndpoint(InterfaceSyntax(ifSpec),
                             static_cast<ServerBinding*>(bindings->BindingH[i])->port);
    }
    return RPC_S_OK;
}

RPC_STATUS RpcServerListen(unsigned minThreads, unsigned maxCalls, unsigned dontWait) {
    Runtime& runtime = TheRuntime();
    {
        std::lock_guard<std::mutex> guard(runtime.lock);
        if (runtime.listening) return RPC_S_ALREADY_LISTENING;
        if (runtime.endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
        if (minThreads == 0 || maxCalls < minThreads) return RPC_S_MAX_CALLS_TOO_SMALL;
        runtime.minThreads = minThreads;
        runtime.maxCalls = maxCalls;
        runtime.poolStopping = false;
        runtime.stopping = false;
        while (runtime.threads < minThreads) {
            if (!StartWorker(runtime)) return RPC_S_OUT_OF_RESOURCES;
        }
        try {
            for (auto& endpoint : runtime.endpoints) {
                if (!endpoint->acceptor.joinable()) StartAccepting(*endpoint);
            }
        } catch (const std::system_error&) {
            return RPC_S_OUT_OF_RESOURCES;
        }
        runtime.listening = true;
    }
    if (dontWait) return RPC_S_OK;
    return RpcMgmtWaitServerListen();
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) {
    if (binding) return RPC_S_WRONG_KIND_OF_BINDING;  // remote management is not offered
    Runtime& runtime = TheRuntime();
    std::lock_guard<std::mutex> guard(runtime.lock);
    if (!runtime.listening) return RPC_S_NOT_LISTENING;
    if (runtime.stopping) return RPC_S_OK;
    runtime.stopping = true;
    for (auto& endpoint : runtime.endpoints) endpoint->listener.Shutdown();
    for (const auto& connection : runtime.connections) connection->StopReading();
    runtime.changed.notify_all();
    return RPC_S_OK;
}

RPC_STATUS RpcMgmtWaitServerListen() {
    Runtime& runtime = TheRuntime();
    std::unique_lock<std::mutex> guard(runtime.lock);
    if (!runtime.listening) return RPC_S_NOT_LISTENING;
    runtime.changed.wait(guard, [&] { return runtime.stopping; });
    std::vector<std::unique_ptr<Endpoint>> endpoints = std::move(runtime.endpoints);
    runtime.endpoints.clear();
    guard.unlock();
    for (auto& endpoint : endpoints) {
        if (endpoint->acceptor.joinable()) endpoint->acceptor.join();
    }
    guard.lock();
    runtime.changed.wait(guard, [&] { return runtime.connections.empty(); });
    runtime.poolStopping = true;
    runtime.workAvailable.notify_all();
    runtime.changed.wait(guard, [&] { return runtime.threads == 0; });
    runtime.listening = false;
    runtime.stopping = false;
    runtime.poolStopping = false;
    return RPC_S_OK;
}
