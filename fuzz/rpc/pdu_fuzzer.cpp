// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Feeds arbitrary bytes to everything that reads the network: the PDU decoders (as one
// PDU, the way the runtime hands them over), the towers and the ept_map answer, the NDR
// records of DornelLog and its server stubs in both byte orders. The manager routines here
// only answer; what is checked is that no read goes past the bytes given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "interface/dornellog.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/runtime.h"

using namespace platform::rpc;

namespace {

void DecodePdu(const std::uint8_t* data, std::size_t size) {
    auto header = DecodeCommonHeader(data, size);
    if (!header || header->fragLength > size) return;
    // The runtime only hands over whole PDUs of at least a header.
    std::vector<std::uint8_t> pdu(data, data + header->fragLength);
    if (pdu.size() < kCommonHeaderSize) return;
    (void)DecodeBind(*header, pdu.data());
    (void)DecodeBindAck(*header, pdu.data());
    (void)DecodeBindNak(*header, pdu.data());
    (void)DecodeRequest(*header, pdu.data());
    (void)DecodeResponse(*header, pdu.data());
    (void)DecodeFault(*header, pdu.data());
}

void RunStubs(const std::uint8_t* data, std::size_t size, ByteOrder order) {
    for (unsigned opnum = 0; opnum < kDornelLogOpCount; ++opnum) {
        NdrReader in(data, size, order);
        NdrWriter out;
        RPC_MESSAGE message{nullptr, opnum, &in, &out};
        (void)DornelLog_v1_0_s_ifspec->DispatchTable[opnum](&message);
    }
    NdrReader records(data, size, order);
    LogBuffer buffer{};
    if (dornellog::ReadLogBuffer(records, buffer)) MIDL_user_free(buffer.data);
    LogSearchRequest request{};
    if (dornellog::ReadSearchRequest(records, request)) MIDL_user_free(request.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DecodePdu(data, size);
    (void)DecodeTower(data, size);
    std::vector<std::uint8_t> stub(data, data + size);
    RPC_STATUS status;
    (void)DecodeMapResponse(stub, ByteOrder::Little, status);
    (void)DecodeMapResponse(stub, ByteOrder::Big, status);
    RunStubs(data, size, ByteOrder::Little);
    RunStubs(data, size, ByteOrder::Big);
    return 0;
}
