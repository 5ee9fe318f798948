// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Fuzzes DHCP request handling with whatever a host on the network might send to port 67:
// the input is the datagram. It goes through ProcessRequest of a listener whose interface
// address is 10.77.0.1, against a real registry in a private DORNEL_ROOT that lists the box
// 02:00:00:77:00:02 with every option configured, so the longest replies are built too.
// Beyond memory safety, every reply must be one this server may send: only to the listed
// box, of the type its request calls for, naming this server, and ended by the end tag.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/registry/registry.h"
#include "server/dhcpsrv.h"

namespace {

// A listener that only answers: its socket never binds (10.77.0.1 is no local address),
// ProcessRequest needs only the address text.
class FuzzListener : public CUdpConnection {
  public:
    FuzzListener() : CUdpConnection("10.77.0.1", 0, 0) {}
};

std::string& Root() {
    static std::string root;
    return root;
}

void RemoveRoot() {
    std::error_code ignored;
    if (!Root().empty()) std::filesystem::remove_all(Root(), ignored);
}

void SetString(const char* key, const char* name, const char* text) {
    HKEY handle = nullptr;
    const std::string path = std::string(kDhcpKey) + "\\" + key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
        std::abort();
    }
    RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(handle);
}

FuzzListener& Listener() {
    static FuzzListener* listener = [] {
        char pattern[] = "/tmp/dornel-dhcp-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        Root() = pattern;
        ::setenv("DORNEL_ROOT", pattern, 1);
        std::atexit(RemoveRoot);
        const char* box = "02-00-00-77-00-02";
        SetString(box, "IPADDR", "10.77.0.2");
        SetString(box, "DOMAINNAME", "boxes.lan");
        SetString("General", "SUBNETMASK", "255.255.255.0");
        for (int n = 1; n <= 10; ++n) {
            const std::string address = "10.77.1." + std::to_string(n);
            for (const char* list : {"ROUTER", "DNS", "WINS"}) {
                SetString("General", (std::string(list) + "_" + std::to_string(n)).c_str(),
                          address.c_str());
            }
        }
        return new FuzzListener;
    }();
    return *listener;
}

// The server identifier a request names, as a plain walk of its options finds it; 0 when
// it names none (or the options end first).
std::uint32_t NamedServer(const std::uint8_t* options, std::size_t length) {
    std::size_t at = 0;
    while (at < length && options[at] != DHCP_OPT_END) {
        if (options[at] == DHCP_OPT_PAD) {
            ++at;
            continue;
        }
        if (at + 1 >= length) return 0;
        const std::size_t size = options[at + 1];
        if (options[at] == DHCP_OPT_SERVER_ID) {
            std::uint32_t named = 0;
            if (size < 4 || at + 2 + 4 > length) return 0;
            std::memcpy(&named, options + at + 2, 4);
            return named;
        }
        at += size + 2;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzListener& listener = Listener();
    // The receive buffer holds 4096 bytes; the server drops anything larger unread.
    if (size > static_cast<size_t>(kDhcpBufferSize)) return 0;
    static RFC1541_PACKET request;
    static RFC1541_PACKET reply;
    std::memset(&request, 0, sizeof request);
    std::memcpy(&request, data, size);
    const int length = listener.ProcessRequest(&request, static_cast<int>(size), &reply,
                                               static_cast<int>(sizeof reply));
    if (length == 0) return 0;
    if (length < kDhcpOptionsOffset + 4 || length > kDhcpBufferSize) __builtin_trap();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&reply);

    // Only the listed box gets answers, and only to a DISCOVER or a REQUEST.
    char key[kDhcpClientKeySize];
    MakeClientKeyName(request.hlen, request.chaddr, key);
    if (std::strcmp(key, "02-00-00-77-00-02") != 0) __builtin_trap();
    if (reply.op != BOOTREPLY || bytes[240] != DHCP_OPT_MESSAGE_TYPE || bytes[241] != 1) {
        __builtin_trap();
    }
    const std::uint8_t type = bytes[242];
    const std::uint8_t asked = get_msg_type(request.options, static_cast<int>(size) - 240);
    if (type == DHCPOFFER && asked != DHCPDISCOVER) __builtin_trap();
    if ((type == DHCPACK || type == DHCPNAK) && asked != DHCPREQUEST) __builtin_trap();
    if (type != DHCPOFFER && type != DHCPACK && type != DHCPNAK) __builtin_trap();
    if (type == DHCPNAK && length != kDhcpNakLength) __builtin_trap();
    // A request that names another server is that server's business.
    const std::uint32_t named = NamedServer(request.options, size - kDhcpOptionsOffset);
    if (asked == DHCPREQUEST && named != 0 && named != inet_addr("10.77.0.1")) __builtin_trap();

    // The reply names this server just before its end tag, and the end tag closes it.
    const std::uint8_t serverId[] = {DHCP_OPT_SERVER_ID, 4, 10, 77, 0, 1, DHCP_OPT_END};
    if (std::memcmp(bytes + length - sizeof serverId, serverId, sizeof serverId) != 0) {
        __builtin_trap();
    }
    // The transaction and the client's hardware address come back as they came.
    if (reply.xid != request.xid || std::memcmp(reply.chaddr, request.chaddr, 16) != 0) {
        __builtin_trap();
    }
    return 0;
}
