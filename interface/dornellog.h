// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// DornelLog: the log RPC interface between the server and the log viewers, as both ends
// compile it. Identity 1F8FE9D7-6BAE-11d4-8515-004005437D1D version 1.0 over ncacn_ip_tcp,
// NDR 2.0, explicit binding handles, no security.
//
// Every operation returns a 32-bit status last in its response: 0 for success, 5 for a
// declined or finished operation (that is not a runtime failure). The stub data, little-
// endian as sent (a receiver honours the sender's byte order), every item 4-aligned:
//   0 Ping, 1 UnPing, 6 ClearLog   request empty; response status
//   2 DoLogSearch      request LogSearchRequest (reserved, length, referent of text; max
//                      count, text bytes; padding to 4), count; response count, status
//   3 GetFirstEventEntry  request position; response position, status
//   4 GetNextEventEntry   request position, LogBuffer (length, referent; max count and bytes
//                      when present); response position, LogBuffer, padding, status
//   5 CashUp           request box number, LogBuffer; response LogBuffer, padding, status
//
// The server links the server stubs (DornelLog_Ping ...), which call the manager routines
// the log service defines (Ping ...); clients call the client stubs in DornelLogClient,
// which throw RpcException when the runtime fails. Data handed across in a LogBuffer or a
// LogSearchRequest is allocated with MIDL_user_allocate and released with MIDL_user_free.

#include <cstdint>
#include <vector>

#include "platform/base/wintypes.h"
#include "platform/rpc/ndr.h"
#include "platform/rpc/rpc.h"

inline constexpr char kDornelLogUuid[] = "1F8FE9D7-6BAE-11d4-8515-004005437D1D";
inline constexpr WORD kDornelLogMajorVersion = 1;
inline constexpr WORD kDornelLogMinorVersion = 0;

// Operation numbers.
enum DornelLogOpnum : unsigned {
    kOpPing = 0,
    kOpUnPing = 1,
    kOpDoLogSearch = 2,
    kOpGetFirstEventEntry = 3,
    kOpGetNextEventEntry = 4,
    kOpCashUp = 5,
    kOpClearLog = 6,
    kDornelLogOpCount = 7,
};

// The two statuses an operation returns.
inline constexpr error_status_t kLogStatusOk = 0;
inline constexpr error_status_t kLogStatusFailed = 5;

// A search: the text to look for.
struct LogSearchRequest {
    LONG reserved;       // carried, never interpreted
    LONG length;         // bytes of text, its terminating zero included
    unsigned char* text; // zero-terminated 8-bit text; unique pointer (may be null)
};

// A text handed back: one record line, or the cash-up counts.
struct LogBuffer {
    LONG length;         // bytes of data, its terminating zero included; 0 when empty
    unsigned char* data; // zero-terminated 8-bit text; null when empty
};

// The interface descriptions: the server's with its dispatch table, the client's for calls.
extern const RPC_IF_HANDLE DornelLog_v1_0_s_ifspec;
extern const RPC_IF_HANDLE DornelLog_v1_0_c_ifspec;

// ----- Manager routines: defined by the log service, called on RPC worker threads -----

error_status_t Ping(handle_t IDL_handle);
error_status_t UnPing(handle_t IDL_handle);
error_status_t DoLogSearch(handle_t IDL_handle, LogSearchRequest* request, LONG* count);
error_status_t GetFirstEventEntry(handle_t IDL_handle, DWORD* position);
error_status_t GetNextEventEntry(handle_t IDL_handle, DWORD* position, LogBuffer* entry);
error_status_t CashUp(handle_t IDL_handle, LONG boxNumber, LogBuffer* result);
error_status_t ClearLog(handle_t IDL_handle);
// Called once a client connection that used the interface has closed (its handle is never
// seen again); the log service frees what the client held.
void DornelLog_ConnectionRundown(handle_t IDL_handle);

// ----- Server stubs: unmarshal, call the manager routine, marshal ----------------------

RPC_STATUS DornelLog_Ping(RPC_MESSAGE* message);
RPC_STATUS DornelLog_UnPing(RPC_MESSAGE* message);
RPC_STATUS DornelLog_DoLogSearch(RPC_MESSAGE* message);
RPC_STATUS DornelLog_GetFirstEventEntry(RPC_MESSAGE* message);
RPC_STATUS DornelLog_GetNextEventEntry(RPC_MESSAGE* message);
RPC_STATUS DornelLog_CashUp(RPC_MESSAGE* message);
RPC_STATUS DornelLog_ClearLog(RPC_MESSAGE* message);

// ----- Client stubs: each returns the operation's status or throws RpcException --------

namespace DornelLogClient {

error_status_t Ping(handle_t binding);
error_status_t UnPing(handle_t binding);
// request->text is sent as request->length bytes (none when null); *count is replaced.
error_status_t DoLogSearch(handle_t binding, LogSearchRequest* request, LONG* count);
error_status_t GetFirstEventEntry(handle_t binding, DWORD* position);
// entry->data must be null or from MIDL_user_allocate; it is replaced by the answer's
// (free it with MIDL_user_free).
error_status_t GetNextEventEntry(handle_t binding, DWORD* position, LogBuffer* entry);
error_status_t CashUp(handle_t binding, LONG boxNumber, LogBuffer* result);
error_status_t ClearLog(handle_t binding);

}  // namespace DornelLogClient

// ----- NDR forms of the records, shared by both ends ----------------------------------

namespace dornellog {

// Referent identifier written for a non-null pointer.
inline constexpr std::uint32_t kReferentId = 0x00020000;
// The largest text either end accepts in one record.
inline constexpr std::uint32_t kMaxTextBytes = 1024 * 1024;

// LogSearchRequest: reserved, length, referent; then max count and the text when present.
void WriteSearchRequest(platform::rpc::NdrWriter& out, const LogSearchRequest& request);
// Reads what WriteSearchRequest wrote; request.text is a new zero-terminated block from
// MIDL_user_allocate (or null). False, with nothing allocated, when the data is malformed:
// short, a max count other than length, a negative length, or above kMaxTextBytes.
[[nodiscard]] bool ReadSearchRequest(platform::rpc::NdrReader& in, LogSearchRequest& request);

// LogBuffer: length, referent; then max count and the bytes when present.
void WriteLogBuffer(platform::rpc::NdrWriter& out, const LogBuffer& buffer);
[[nodiscard]] bool ReadLogBuffer(platform::rpc::NdrReader& in, LogBuffer& buffer);

}  // namespace dornellog
