// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The server stubs of DornelLog and its server interface description. Each stub checks
// the request against the bytes that arrived (a malformed one is refused with
// RPC_X_BAD_STUB_DATA before the manager routine runs), calls the manager routine, marshals
// its results and releases every block it or the manager allocated.

#include "interface/dornellog.h"

using platform::rpc::NdrReader;
using platform::rpc::NdrWriter;

namespace {

// Frees a buffer's data when the stub goes out of scope, whoever allocated it last.
struct BufferGuard {
    LogBuffer& buffer;
    ~BufferGuard() { MIDL_user_free(buffer.data); }
};

}  // namespace

RPC_STATUS DornelLog_Ping(RPC_MESSAGE* message) {
    message->Out->WriteUInt32(Ping(message->Handle));
    return RPC_S_OK;
}

RPC_STATUS DornelLog_UnPing(RPC_MESSAGE* message) {
    message->Out->WriteUInt32(UnPing(message->Handle));
    return RPC_S_OK;
}

RPC_STATUS DornelLog_DoLogSearch(RPC_MESSAGE* message) {
    NdrReader& in = *message->In;
    LogSearchRequest request{};
    LONG count;
    if (!dornellog::ReadSearchRequest(in, request)) return RPC_X_BAD_STUB_DATA;
    if (!in.Align(4) || !in.ReadInt32(count)) {
        MIDL_user_free(request.text);
        return RPC_X_BAD_STUB_DATA;
    }
    error_status_t status = DoLogSearch(message->Handle, &request, &count);
    MIDL_user_free(request.text);
    message->Out->WriteInt32(count);
    message->Out->WriteUInt32(status);
    return RPC_S_OK;
}

RPC_STATUS DornelLog_GetFirstEventEntry(RPC_MESSAGE* message) {
    DWORD position;
    if (!message->In->Align(4) || !message->In->ReadUInt32(position)) return RPC_X_BAD_STUB_DATA;
    error_status_t status = GetFirstEventEntry(message->Handle, &position);
    message->Out->WriteUInt32(position);
    message->Out->WriteUInt32(status);
    return RPC_S_OK;
}

RPC_STATUS DornelLog_GetNextEventEntry(RPC_MESSAGE* message) {
    NdrReader& in = *message->In;
    DWORD position;
    LogBuffer entry{};
    if (!in.Align(4) || !in.ReadUInt32(position) || !dornellog::ReadLogBuffer(in, entry)) {
        return RPC_X_BAD_STUB_DATA;
    }
    BufferGuard guard{entry};
    error_status_t status = GetNextEventEntry(message->Handle, &position, &entry);
    NdrWriter& out = *message->Out;
    out.WriteUInt32(position);
    dornellog::WriteLogBuffer(out, entry);
    out.Align(4);
    out.WriteUInt32(status);
    return RPC_S_OK;
}

RPC_STATUS DornelLog_CashUp(RPC_MESSAGE* message) {
    NdrReader& in = *message->In;
    LONG boxNumber;
    LogBuffer result{};
    if (!in.Align(4) || !in.ReadInt32(boxNumber) || !dornellog::ReadLogBuffer(in, result)) {
        return RPC_X_BAD_STUB_DATA;
    }
    BufferGuard guard{result};
    error_status_t status = CashUp(message->Handle, boxNumber, &result);
    NdrWriter& out = *message->Out;
    dornellog::WriteLogBuffer(out, result);
    out.Align(4);
    out.WriteUInt32(status);
    return RPC_S_OK;
}

RPC_STATUS DornelLog_ClearLog(RPC_MESSAGE* message) {
    message->Out->WriteUInt32(ClearLog(message->Handle));
    return RPC_S_OK;
}

namespace {

const RPC_DISPATCH_FUNCTION kDispatchTable[kDornelLogOpCount] = {
    DornelLog_Ping,     DornelLog_UnPing, DornelLog_DoLogSearch, DornelLog_GetFirstEventEntry,
    DornelLog_GetNextEventEntry, DornelLog_CashUp, DornelLog_ClearLog,
};

const RPC_INTERFACE kServerInterface = {
    {{0x1f8fe9d7, 0x6bae, 0x11d4, {0x85, 0x15, 0x00, 0x40, 0x05, 0x43, 0x7d, 0x1d}},
     {kDornelLogMajorVersion, kDornelLogMinorVersion}},
    kDispatchTable,
    kDornelLogOpCount,
    DornelLog_ConnectionRundown,
};

}  // namespace

const RPC_IF_HANDLE DornelLog_v1_0_s_ifspec = &kServerInterface;
