// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The DornelLog stub data: golden request and response bytes, both byte orders in, and
// malformed requests refused before a manager routine runs. The manager routines here are
// recorders standing in for the log service.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interface/dornellog.h"

using platform::rpc::ByteOrder;
using platform::rpc::NdrReader;
using platform::rpc::NdrWriter;

namespace {

int managerCalls = 0;
std::string lastText;
LONG lastBox = 0;

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Runs a server stub on a request stub; returns its status and the response in *out.
RPC_STATUS RunStub(RPC_DISPATCH_FUNCTION stub, const std::vector<std::uint8_t>& request,
                   std::vector<std::uint8_t>* response, ByteOrder order = ByteOrder::Little) {
    NdrReader in(request.data(), request.size(), order);
    NdrWriter out;
    RPC_MESSAGE message{reinterpret_cast<RPC_BINDING_HANDLE>(0x10), 0, &in, &out};
    RPC_STATUS status = stub(&message);
    *response = out.Take();
    return status;
}

}  // namespace

// ----- Recording manager routines -----------------------------------------------------------

void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }
void MIDL_user_free(void* block) { std::free(block); }

error_status_t Ping(handle_t) { return ++managerCalls, 0; }
error_status_t UnPing(handle_t) { return ++managerCalls, 0; }
error_status_t DoLogSearch(handle_t, LogSearchRequest* request, LONG* count) {
    ++managerCalls;
    lastText = request->text ? reinterpret_cast<char*>(request->text) : "(null)";
    *count = 42;
    return 0;
}
error_status_t GetFirstEventEntry(handle_t, DWORD* position) {
    ++managerCalls;
    *position = 0x01000001;
    return 0;
}
error_status_t GetNextEventEntry(handle_t, DWORD* position, LogBuffer* entry) {
    ++managerCalls;
    if (*position == 0) return 5;
    MIDL_user_free(entry->data);
    entry->data = static_cast<unsigned char*>(MIDL_user_allocate(6));
    std::memcpy(entry->data, "a|b|\n", 6);
    entry->length = 6;
    *position = 0;
    return 0;
}
error_status_t CashUp(handle_t, LONG box, LogBuffer* result) {
    ++managerCalls;
    lastBox = box;
    MIDL_user_free(result->data);
    result->data = static_cast<unsigned char*>(MIDL_user_allocate(18));
    std::memcpy(result->data, "0,1,0,0,0,0,0,0,0", 18);
    result->length = 18;
    return 0;
}
error_status_t ClearLog(handle_t) { return ++managerCalls, 5; }
void DornelLog_ConnectionRundown(handle_t) {}

// ----- Tests -----------------------------------------------------------------------------

TEST(DornelLogStubs, SearchRequestIsRecordMaxCountTextPaddingAndCount) {
    unsigned char text[] = "closed";
    LogSearchRequest request{0, 7, text};
    NdrWriter out;
    dornellog::WriteSearchRequest(out, request);
    out.Align(4);
    out.WriteInt32(0);
    EXPECT_EQ(ToHex(out.Bytes()),
              "00000000" "07000000" "00000200"  // reserved, length, referent
              "07000000" "636c6f73656400" "00"  // max count, "closed\0", padding to 4
              "00000000");                      // count
    std::vector<std::uint8_t> response;
    managerCalls = 0;
    ASSERT_EQ(RunStub(DornelLog_DoLogSearch, out.Bytes(), &response), RPC_S_OK);
    EXPECT_EQ(lastText, "closed");
    EXPECT_EQ(ToHex(response), "2a000000" "00000000");
}

TEST(DornelLogStubs, BigEndianRequestsAreRead) {
    NdrWriter out(ByteOrder::Big);
    out.WriteInt32(3);  // box 3
    out.WriteInt32(0);  // empty LogBuffer
    out.WriteUInt32(0);
    std::vector<std::uint8_t> response;
    ASSERT_EQ(RunStub(DornelLog_CashUp, out.Bytes(), &response, ByteOrder::Big), RPC_S_OK);
    EXPECT_EQ(lastBox, 3);
    EXPECT_EQ(ToHex(response),
              "12000000" "00000200" "12000000" "302c312c302c302c302c302c302c302c3000"
              "0000" "00000000");  // padding to 4, status
}

TEST(DornelLogStubs, EntryComesBackWithItsArrayAndTheEndLeavesItAsSent) {
    std::vector<std::uint8_t> response;
    NdrWriter out;
    out.WriteUInt32(0x01000001);
    out.WriteInt32(0);
    out.WriteUInt32(0);
    ASSERT_EQ(RunStub(DornelLog_GetNextEventEntry, out.Bytes(), &response), RPC_S_OK);
    EXPECT_EQ(ToHex(response),
              "00000000" "06000000" "00000200" "06000000" "617c627c0a00" "0000" "00000000");

    // At the end the in-value goes back: here a sent buffer of three bytes.
    NdrWriter end;
    end.WriteUInt32(0);
    const unsigned char sent[] = {'x', 'y', 0};
    LogBuffer buffer{3, const_cast<unsigned char*>(sent)};
    dornellog::WriteLogBuffer(end, buffer);
    ASSERT_EQ(RunStub(DornelLog_GetNextEventEntry, end.Bytes(), &response), RPC_S_OK);
    EXPECT_EQ(ToHex(response),
              "00000000" "03000000" "00000200" "03000000" "787900" "00" "05000000");
}

TEST(DornelLogStubs, ClientReadsBackWhatTheServerWrote) {
    NdrWriter out;
    const unsigned char text[] = "line\n";
    dornellog::WriteLogBuffer(out, LogBuffer{6, const_cast<unsigned char*>(text)});
    NdrReader in(out.Bytes().data(), out.Size(), ByteOrder::Little);
    LogBuffer read{};
    ASSERT_TRUE(dornellog::ReadLogBuffer(in, read));
    EXPECT_EQ(read.length, 6);
    EXPECT_STREQ(reinterpret_cast<char*>(read.data), "line\n");
    MIDL_user_free(read.data);
}

// --------------------------------------------------------------------------------------
// Malformed requests

TEST(DornelLogStubs, MalformedRequestsNeverReachTheManager) {
    struct Case {
        const char* name;
        RPC_DISPATCH_FUNCTION stub;
        std::vector<std::uint32_t> words;
    };
    const std::vector<Case> cases = {
        {"search cut before count", DornelLog_DoLogSearch, {0, 4, 0x20000, 4, 0x00636261}},
        {"max count above length", DornelLog_DoLogSearch, {0, 4, 0x20000, 8, 0, 0, 0}},
        {"max count above the bytes", DornelLog_DoLogSearch, {0, 0x7ffffff0, 0x20000, 0x7ffffff0}},
        {"negative length", DornelLog_DoLogSearch, {0, 0xffffffff, 0, 0}},
        {"no position", DornelLog_GetFirstEventEntry, {}},
        {"entry cut short", DornelLog_GetNextEventEntry, {1, 4}},
        {"entry array missing", DornelLog_GetNextEventEntry, {1, 4, 0x20000}},
        {"box without buffer", DornelLog_CashUp, {2}},
    };
    for (const Case& c : cases) {
        NdrWriter out;
        for (std::uint32_t word : c.words) out.WriteUInt32(word);
        managerCalls = 0;
        std::vector<std::uint8_t> response;
        EXPECT_EQ(RunStub(c.stub, out.Bytes(), &response), RPC_X_BAD_STUB_DATA) << c.name;
        EXPECT_EQ(managerCalls, 0) << c.name;
        EXPECT_TRUE(response.empty()) << c.name;
    }
}

TEST(DornelLogStubs, TheServerInterfaceDispatchesEveryOpnum) {
    ASSERT_EQ(DornelLog_v1_0_s_ifspec->DispatchTableCount, 7u);
    EXPECT_EQ(DornelLog_v1_0_s_ifspec->InterfaceId.SyntaxVersion.MajorVersion, 1);
    EXPECT_EQ(DornelLog_v1_0_s_ifspec->DispatchTable[kOpClearLog], DornelLog_ClearLog);
    UUID uuid;
    ASSERT_EQ(UuidFromStringA(kDornelLogUuid, &uuid), RPC_S_OK);
    EXPECT_EQ(uuid, DornelLog_v1_0_s_ifspec->InterfaceId.SyntaxGUID);
    EXPECT_EQ(uuid, DornelLog_v1_0_c_ifspec->InterfaceId.SyntaxGUID);
    std::vector<std::uint8_t> response;
    EXPECT_EQ(RunStub(DornelLog_ClearLog, {}, &response), RPC_S_OK);
    EXPECT_EQ(ToHex(response), "05000000");
}
