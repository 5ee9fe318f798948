// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The client stubs of DornelLog and its client interface description. Each marshals its
// request, makes the call through the runtime (which throws RpcException on a runtime
// failure) and unmarshals the response; a response that does not unmarshal throws
// RpcException(RPC_X_BAD_STUB_DATA).

#include "interface/dornellog.h"

using platform::rpc::ByteOrder;
using platform::rpc::CallRemote;
using platform::rpc::NdrReader;
using platform::rpc::NdrWriter;

namespace {

const RPC_INTERFACE kClientInterface = {
    {{0x1f8fe9d7, 0x6bae, 0x11d4, {0x85, 0x15, 0x00, 0x40, 0x05, 0x43, 0x7d, 0x1d}},
     {kDornelLogMajorVersion, kDornelLogMinorVersion}},
    nullptr,
    0,
    nullptr,
};

// Makes the call; the answer is read through reader, which keeps the bytes alive.
struct Answer {
    std::vector<std::uint8_t> bytes;
    ByteOrder order = ByteOrder::Little;
    NdrReader Reader() const { return NdrReader(bytes.data(), bytes.size(), order); }
};

Answer Call(handle_t binding, unsigned opnum, const std::vector<std::uint8_t>& request) {
    Answer answer;
    answer.bytes = CallRemote(binding, &kClientInterface, opnum, request, answer.order);
    return answer;
}

[[noreturn]] void BadStub() { throw RpcException(RPC_X_BAD_STUB_DATA); }

error_status_t StatusOnly(handle_t binding, unsigned opnum) {
    Answer answer = Call(binding, opnum, {});
    NdrReader in = answer.Reader();
    DWORD status;
    if (!in.ReadUInt32(status)) BadStub();
    return status;
}

// Replaces the caller's buffer with the one that came back.
void Replace(LogBuffer& target, const LogBuffer& received) {
    if (target.data != received.data) MIDL_user_free(target.data);
    target = received;
}

}  // namespace

const RPC_IF_HANDLE DornelLog_v1_0_c_ifspec = &kClientInterface;

namespace DornelLogClient {

error_status_t Ping(handle_t binding) { return StatusOnly(binding, kOpPing); }

error_status_t UnPing(handle_t binding) { return StatusOnly(binding, kOpUnPing); }

error_status_t DoLogSearch(handle_t binding, LogSearchRequest* request, LONG* count) {
    if (!request || !count) throw RpcException(RPC_X_NULL_REF_POINTER);
    NdrWriter out;
    dornellog::WriteSearchRequest(out, *request);
    out.Align(4);
    out.WriteInt32(*count);
    Answer answer = Call(binding, kOpDoLogSearch, out.Bytes());
    NdrReader in = answer.Reader();
    LONG newCount;
    DWORD status;
    if (!in.ReadInt32(newCount) || !in.ReadUInt32(status)) BadStub();
    *count = newCount;
    return status;
}

error_status_t GetFirstEventEntry(handle_t binding, DWORD* position) {
    if (!position) throw RpcException(RPC_X_NULL_REF_POINTER);
    NdrWriter out;
    out.WriteUInt32(*position);
    Answer answer = Call(binding, kOpGetFirstEventEntry, out.Bytes());
    NdrReader in = answer.Reader();
    DWORD newPosition, status;
    if (!in.ReadUInt32(newPosition) || !in.ReadUInt32(status)) BadStub();
    *position = newPosition;
    return status;
}

error_status_t GetNextEventEntry(handle_t binding, DWORD* position, LogBuffer* entry) {
    if (!position || !entry) throw RpcException(RPC_X_NULL_REF_POINTER);
    NdrWriter out;
    out.WriteUInt32(*position);
    dornellog::WriteLogBuffer(out, *entry);
    Answer answer = Call(binding, kOpGetNextEventEntry, out.Bytes());
    NdrReader in = answer.Reader();
    DWORD newPosition, status;
    LogBuffer received{};
    if (!in.ReadUInt32(newPosition) || !dornellog::ReadLogBuffer(in, received)) BadStub();
    if (!in.Align(4) || !in.ReadUInt32(status)) {
        MIDL_user_free(received.data);
        BadStub();
    }
    *position = newPosition;
    Replace(*entry, received);
    return status;
}

error_status_t CashUp(handle_t binding, LONG boxNumber, LogBuffer* result) {
    if (!result) throw RpcException(RPC_X_NULL_REF_POINTER);
    NdrWriter out;
    out.WriteInt32(boxNumber);
    dornellog::WriteLogBuffer(out, *result);
    Answer answer = Call(binding, kOpCashUp, out.Bytes());
    NdrReader in = answer.Reader();
    DWORD status;
    LogBuffer received{};
    if (!dornellog::ReadLogBuffer(in, received)) BadStub();
    if (!in.Align(4) || !in.ReadUInt32(status)) {
        MIDL_user_free(received.data);
        BadStub();
    }
    Replace(*result, received);
    return status;
}

error_status_t ClearLog(handle_t binding) { return StatusOnly(binding, kOpClearLog); }

}  // namespace DornelLogClient
