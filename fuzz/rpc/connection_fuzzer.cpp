// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Drives one server connection of the RPC runtime with a stream of PDUs: binds, alter
// contexts, fragmented requests and whatever else the input makes, fed in pieces that
// split PDUs anywhere, through the same PDU handling a socket connection uses (the
// DornelLog interface registered, or the endpoint mapper with one endpoint in its table).
// What is checked is that no state of the connection reads or keeps what it should not.
//
// Input: byte 0 picks the endpoint (bit 0: the mapper) and the limits (bit 1: requests of
// at most 8 KiB); then operations, each a byte and its arguments:
//   0 raw      n, n bytes fed as they are
//   1 pdu      type, flags, drep, call id, length (2 bytes), body: a header made to fit
//   2 bind     type (bind or alter_context), context id, version: the interface or mapper
//   3 request  flags, context id, opnum, alloc_hint (4 bytes), n, n stub bytes
// Operations 1 to 3 are fed in two pieces, split where the next byte says.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "interface/dornellog.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/runtime.h"

using namespace platform::rpc;

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::uint32_t Long() { return static_cast<std::uint32_t>(Word() | (Word() << 16)); }
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        count = std::min(count, size_ - std::min(at_, size_));
        std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + count);
        at_ += count;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

SyntaxId DornelLogSyntax() { return InterfaceSyntax(DornelLog_v1_0_s_ifspec); }

// The stream as the operations make it; false once the connection is closed.
bool FeedSplit(ConnectionDriver& driver, const std::vector<std::uint8_t>& pdu, std::uint8_t split) {
    std::size_t first = pdu.empty() ? 0 : split % (pdu.size() + 1);
    return driver.Feed(pdu.data(), first) && driver.Feed(pdu.data() + first, pdu.size() - first);
}

bool RunOperation(ConnectionDriver& driver, Input& in, bool mapper) {
    switch (in.Byte() % 4) {
        case 0: {
            std::vector<std::uint8_t> bytes = in.Bytes(in.Byte());
            return driver.Feed(bytes.data(), bytes.size());
        }
        case 1: {
            std::vector<std::uint8_t> pdu(kCommonHeaderSize);
            pdu[0] = 5;
            pdu[2] = in.Byte() % 20;
            pdu[3] = in.Byte();
            pdu[4] = in.Byte();
            std::uint8_t callId = in.Byte();
            std::vector<std::uint8_t> body = in.Bytes(in.Word() % 6000);
            pdu.insert(pdu.end(), body.begin(), body.end());
            std::uint16_t length = static_cast<std::uint16_t>(pdu.size());
            bool little = (pdu[4] & 0xf0) == 0x10;
            pdu[8] = static_cast<std::uint8_t>(little ? length : length >> 8);
            pdu[9] = static_cast<std::uint8_t>(little ? length >> 8 : length);
            pdu[little ? 12 : 15] = callId;
            return FeedSplit(driver, pdu, in.Byte());
        }
        case 2: {
            PduType type = in.Byte() & 1 ? PduType::AlterContext : PduType::Bind;
            BindPdu bind;
            ContextElement element;
            element.contextId = in.Byte() % 4;
            element.abstractSyntax =
                mapper ? InterfaceSyntax(EndpointMapperInterface()) : DornelLogSyntax();
            element.abstractSyntax.minor = in.Byte() % 2;
            element.transferSyntaxes.push_back(NdrSyntax());
            bind.contexts.push_back(element);
            return FeedSplit(driver, EncodeBind(type, 1, bind), in.Byte());
        }
        default: {
            std::uint8_t flags = in.Byte();
            RequestPdu request;
            request.contextId = in.Byte() % 4;
            request.opnum = in.Byte() % 8;
            request.allocHint = in.Long();
            std::vector<std::uint8_t> stub = in.Bytes(in.Byte() * 8);
            request.stub = stub.data();
            request.stubSize = stub.size();
            std::vector<std::uint8_t> pdu =
                EncodeRequest(in.Byte() % 4, flags & 0x7f, request,
                              flags & 0x80 ? ByteOrder::Big : ByteOrder::Little);
            return FeedSplit(driver, pdu, in.Byte());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    RpcServerRegisterIf(DornelLog_v1_0_s_ifspec, nullptr, nullptr);
    AddMappedEndpoint(DornelLogSyntax(), 40123);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t setup = in.Byte();
    ServerLimits limits;
    if (setup & 2) limits.maxRequestBytes = 8 * 1024;
    SetServerLimits(limits);
    const bool mapper = setup & 1;
    ConnectionDriver driver(mapper);
    for (int operations = 0; !in.Empty() && operations < 256; ++operations) {
        if (!RunOperation(driver, in, mapper)) break;
    }
    return 0;
}
