// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/dhcpsrv.h"

// Sections: the boot globals and thread entry; CUdpConnection (sockets); the option writers
// and scanners; the registry readers; the client table; request handling; CDhcpServer
// (interfaces, Run).

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/registry/registry.h"
#include "server/zuvexservice.h"

CDhcpServer* pDhcpServer = nullptr;
HANDLE hDhcpThread = nullptr;

DWORD DhcpThread(void* server) {
    static_cast<CDhcpServer*>(server)->Run();
    return 0;
}

// ---------------------------------------------------------------------------------------
// CUdpConnection
// ---------------------------------------------------------------------------------------

CUdpConnection::CUdpConnection(const char* text, WORD localPort, int broadcast,
                               const char* deviceName) {
    if (text) std::snprintf(addressText, sizeof addressText, "%s", text);
    // A listener tied to a device binds the wildcard address: Linux hands broadcasts only
    // to sockets bound to 0.0.0.0. addressText keeps the interface's own address.
    const std::uint32_t bindAddress =
        (deviceName && *deviceName) ? htonl(INADDR_ANY) : inet_addr(addressText);
    Init(bindAddress, localPort, broadcast, deviceName);
}

CUdpConnection::CUdpConnection(std::uint32_t localAddress, WORD localPort, int broadcast) {
    Init(localAddress, localPort, broadcast, nullptr);
}

CUdpConnection::~CUdpConnection() {
    if (socket != INVALID_SOCKET) closesocket(socket);
    socket = INVALID_SOCKET;
}

void CUdpConnection::Init(std::uint32_t bindAddress, WORD localPort, int broadcast,
                          const char* deviceName) {
    port = localPort;
    socket = CreateSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET) {
        lastError = WSAGetLastError();
        return;
    }
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = bindAddress;
    address.sin_port = htons(localPort);

    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    bool ok = true;
    if (deviceName && *deviceName) {
        std::snprintf(device, sizeof device, "%s", deviceName);
        interfaceIndex = ::if_nametoindex(device);
        // Several listeners share 0.0.0.0:67, one per device.
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ok = ::setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, device,
                          static_cast<socklen_t>(std::strlen(device) + 1)) == 0;
    }
    if (ok) {
        ok = ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    if (!ok) {
        lastError = platform::net::WinsockErrorFromErrno(errno);
        WSASetLastError(lastError);
        closesocket(socket);
        socket = INVALID_SOCKET;
        return;
    }
    if (broadcast) address.sin_addr.s_addr = htonl(INADDR_BROADCAST);
}

int CUdpConnection::recvfrom(char* buffer, int size) {
    // MSG_TRUNC makes the kernel report the datagram's full length, so the caller can tell
    // a datagram that did not fit from one that did.
    for (;;) {
        const long n = SocketRecv(socket, buffer, static_cast<std::size_t>(size), MSG_TRUNC);
        if (n >= 0) return static_cast<int>(n);
        if (WSAGetLastError() != WSAEINTR) return -1;
    }
}

int CUdpConnection::sendto(const char* data, int length, unsigned outInterface) {
    iovec part{const_cast<char*>(data), static_cast<std::size_t>(length)};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    // A limited broadcast (255.255.255.255) has no route in a network without a default
    // route; naming the outgoing interface sends it out all the same.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (outInterface != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(outInterface);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) {
            WSASetLastError(platform::net::WinsockErrorFromErrno(errno));
            return -1;
        }
    }
}

int CUdpConnection::sendto(const char* data, int length, std::uint32_t toAddress, WORD toPort) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = toAddress;
    to.sin_port = htons(toPort);
    for (;;) {
        const ssize_t n = ::sendto(socket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) {
            WSASetLastError(platform::net::WinsockErrorFromErrno(errno));
            return -1;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Option writers and scanners
// ---------------------------------------------------------------------------------------

void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, std::uint8_t value) {
    *position++ = tag;
    *position++ = 1;
    *position++ = value;
    length += 3;
}

void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, std::uint32_t value) {
    *position++ = tag;
    *position++ = 4;
    std::memcpy(position, &value, 4);
    position += 4;
    length += 6;
}

void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    *position++ = tag;
    *position++ = static_cast<std::uint8_t>(size);
    std::memcpy(position, text, size);
    position += size;
    length += static_cast<int>(size) + 2;
}

void add_raw(std::uint8_t*& position, int& length, std::uint8_t value) {
    *position++ = value;
    length += 1;
}

void add_raw(std::uint8_t*& position, int& length, std::uint32_t value) {
    std::memcpy(position, &value, 4);
    position += 4;
    length += 4;
}

namespace {

// Walks the options area (pads, tag-length-value triples, the end tag) for one tag. Returns
// the offset of the tag's value when the tag is there with valueSize bytes of value inside
// the area, -1 when the end tag comes first, or -2 when the options run off the end.
int FindOption(const std::uint8_t* options, int optionsLength, std::uint8_t wanted, int valueSize) {
    int at = 0;
    for (;;) {
        if (at >= optionsLength) return -2;
        const std::uint8_t tag = options[at];
        if (tag == DHCP_OPT_END) return -1;
        if (tag == DHCP_OPT_PAD) {
            ++at;
            continue;
        }
        if (at + 1 >= optionsLength) return -2;
        if (tag == wanted) return at + 2 + valueSize <= optionsLength ? at + 2 : -2;
        at += options[at + 1] + 2;
    }
}

}  // namespace

std::uint8_t get_msg_type(const std::uint8_t* options, int optionsLength) {
    const int at = FindOption(options, optionsLength, DHCP_OPT_MESSAGE_TYPE, 1);
    if (at == -2) CZuvexService::EventLog.LogDebugEvent(nullptr, "Got malformed DHCP packet [2]");
    return at >= 0 ? options[at] : 0;
}

int get_requested_address(const std::uint8_t* options, std::uint32_t* address, int optionsLength) {
    const int at = FindOption(options, optionsLength, DHCP_OPT_REQUESTED_ADDRESS, 4);
    if (at == -2) CZuvexService::EventLog.LogDebugEvent(nullptr, "Got malformed DHCP packet [3]");
    if (at < 0) return 0;
    std::memcpy(address, options + at, 4);
    return 1;
}

namespace {

// 1 with the four bytes of option 54 (server identifier) in *address, else 0. Options that
// run off the end count as no identifier; the message-type scan has reported them already.
int get_server_identifier(const std::uint8_t* options, std::uint32_t* address, int optionsLength) {
    const int at = FindOption(options, optionsLength, DHCP_OPT_SERVER_ID, 4);
    if (at < 0) return 0;
    std::memcpy(address, options + at, 4);
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Registry readers
// ---------------------------------------------------------------------------------------

namespace {

// An open registry key, closed on scope exit; null when the key could not be opened.
class RegistryKeyHandle {
  public:
    explicit RegistryKeyHandle(const std::string& path) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_) !=
            ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~RegistryKeyHandle() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKeyHandle(const RegistryKeyHandle&) = delete;
    RegistryKeyHandle& operator=(const RegistryKeyHandle&) = delete;
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

std::string ClientKeyPath(const char* clientKey) {
    return std::string(kDhcpKey) + "\\" + clientKey;
}

// Reads one string value of an open key into buffer (size bytes) and makes sure it ends
// in a zero. Returns the bytes stored with the terminator, or 0 when the key is null, the
// value is missing, or it does not fit with its terminator.
int ReadStringValue(HKEY key, const char* valueName, char* buffer, int size) {
    if (!key || size <= 0) return 0;
    DWORD type = 0;
    DWORD stored = static_cast<DWORD>(size);
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &stored) != ERROR_SUCCESS) {
        return 0;
    }
    // A value stored without its terminator reads back as just its characters.
    if (stored > 0 && buffer[stored - 1] == '\0') return static_cast<int>(stored);
    if (static_cast<int>(stored) >= size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[stored] = '\0';
    return static_cast<int>(stored) + 1;
}

int ReadWithFallback(HKEY client, HKEY general, const char* valueName, char* buffer, int size) {
    const int read = ReadStringValue(client, valueName, buffer, size);
    if (read > 0) return read;
    return ReadStringValue(general, valueName, buffer, size);
}

// Reads NAME_1, NAME_2 ... into entries until one is found in neither key, or 10 are read.
int ReadNumberedList(HKEY client, HKEY general, const char* prefix,
                     char (&entries)[kDhcpMaxListEntries][24]) {
    int count = 0;
    while (count < kDhcpMaxListEntries) {
        char valueName[32];
        std::snprintf(valueName, sizeof valueName, "%s_%d", prefix, count + 1);
        if (ReadWithFallback(client, general, valueName, entries[count], sizeof entries[count]) ==
            0) {
            break;
        }
        ++count;
    }
    return count;
}

}  // namespace

void MakeClientKeyName(int hlen, const std::uint8_t* chaddr, char* name) {
    if (hlen > kDhcpMaxHardwareLength) hlen = kDhcpMaxHardwareLength;
    char* out = name;
    for (int i = 0; i < hlen; ++i) {
        if (i > 0) *out++ = '-';
        std::snprintf(out, 3, "%02X", chaddr[i]);
        out += 2;
    }
    *out = '\0';
}

int ReadStringFromIniFile(const char* clientKey, const char* valueName, char* buffer, int size) {
    int read = 0;
    if (clientKey && *clientKey) {
        RegistryKeyHandle client(ClientKeyPath(clientKey));
        read = ReadStringValue(client.get(), valueName, buffer, size);
    }
    if (read > 0) return read;
    RegistryKeyHandle general(ClientKeyPath(kDhcpGeneralKey));
    return ReadStringValue(general.get(), valueName, buffer, size);
}

namespace {

// Fills client from the client's own key (null for none) and General (null when missing),
// value by value; 1 when IPADDR is found in either, else 0 with client zeroed.
int ReadClientData(HKEY own, HKEY general, clientdata_t* client) {
    std::memset(client, 0, sizeof *client);
    if (ReadWithFallback(own, general, "IPADDR", client->ipAddress, sizeof client->ipAddress) ==
        0) {
        std::memset(client, 0, sizeof *client);
        return 0;
    }
    ReadWithFallback(own, general, "SUBNETMASK", client->subnetMask, sizeof client->subnetMask);
    // At most 15 bytes with the terminator, as the field was always read.
    ReadWithFallback(own, general, "DOMAINNAME", client->domainName, sizeof client->domainName - 1);
    client->routerCount = ReadNumberedList(own, general, "ROUTER", client->routers);
    client->dnsCount = ReadNumberedList(own, general, "DNS", client->dnsServers);
    client->winsCount = ReadNumberedList(own, general, "WINS", client->winsServers);
    return 1;
}

}  // namespace

int LookupClientData(int hlen, const std::uint8_t* chaddr, clientdata_t* client) {
    char keyName[kDhcpClientKeySize];
    MakeClientKeyName(hlen, chaddr, keyName);
    // Both keys are opened once per request; each value still falls back on its own. An
    // empty name (hlen 0) names no client key, so only General is read.
    RegistryKeyHandle clientKey(keyName[0] ? ClientKeyPath(keyName) : std::string());
    const HKEY own = keyName[0] ? clientKey.get() : nullptr;
    RegistryKeyHandle general(ClientKeyPath(kDhcpGeneralKey));
    return ReadClientData(own, general.get(), client);
}

// ---------------------------------------------------------------------------------------
// The client table
// ---------------------------------------------------------------------------------------

namespace {

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

CDhcpClientTable& DhcpClientTable() {
    // Never destroyed: the DHCP thread may still answer while the process exits.
    static CDhcpClientTable* table = new CDhcpClientTable;
    return *table;
}

unsigned long CDhcpClientTable::Loads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loads_;
}

void CDhcpClientTable::Load(std::uint64_t counter) {
    clients_.clear();
    generalKnown_ = false;
    std::memset(&general_, 0, sizeof general_);
    counter_ = counter;
    ++loads_;
    RegistryKeyHandle dhcp(kDhcpKey);
    if (!dhcp.get()) return;  // no DHCP key: nobody is known
    RegistryKeyHandle general(ClientKeyPath(kDhcpGeneralKey));
    generalKnown_ = ReadClientData(nullptr, general.get(), &general_) != 0;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        const LONG rc =
            RegEnumKeyExA(dhcp.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            // The registry failed half-way (or changed under the walk): what was read stands
            // for this request, and the next one reads the table again.
            CZuvexService::EventLog.LogDebugEvent(nullptr, "DHCP cannot list its clients, error %d",
                                                  static_cast<int>(rc));
            counter_ = 0;
            break;
        }
        const std::string upper = UpperCase(name);
        if (upper == UpperCase(kDhcpGeneralKey)) continue;
        RegistryKeyHandle own(ClientKeyPath(name));
        if (!own.get()) continue;  // deleted since the listing
        clientdata_t client;
        if (ReadClientData(own.get(), general.get(), &client)) clients_[upper] = client;
    }
}

int CDhcpClientTable::Lookup(int hlen, const std::uint8_t* chaddr, clientdata_t* client) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t counter = RegChangeCounter();
    if (counter == 0) {
        // The registry cannot be read now: keep nothing, and answer as a direct read does.
        counter_ = 0;
        clients_.clear();
        return LookupClientData(hlen, chaddr, client);
    }
    if (counter != counter_) Load(counter);
    char keyName[kDhcpClientKeySize];
    MakeClientKeyName(hlen, chaddr, keyName);
    if (keyName[0]) {
        const auto found = clients_.find(keyName);
        if (found != clients_.end()) {
            *client = found->second;
            return 1;
        }
    }
    if (generalKnown_) {
        *client = general_;
        return 1;
    }
    std::memset(client, 0, sizeof *client);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Request handling
// ---------------------------------------------------------------------------------------

namespace {

// The computer name as written into sname: the host name up to its first dot, at most 15
// characters.
void ComputerName(char (&name)[kDhcpServerNameLength + 1]) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::size_t length = std::strcspn(host, ".");
    if (length > kDhcpServerNameLength) length = kDhcpServerNameLength;
    std::memcpy(name, host, length);
    name[length] = '\0';
}

// Bytes of the longest positive reply: header, 53, 1, 15 (up to 15 bytes), three lists of
// ten addresses, 51, 54 and the end tag.
constexpr int kLongestPositiveReply =
    kDhcpOptionsOffset + 3 + 6 + (2 + 15) + 3 * (2 + 4 * kDhcpMaxListEntries) + 6 + 6 + 1;

void AddAddressList(std::uint8_t*& position, int& length, std::uint8_t tag, int count,
                    const char (*addresses)[24]) {
    add_raw(position, length, tag);
    add_raw(position, length, static_cast<std::uint8_t>(4 * count));
    for (int i = 0; i < count; ++i) {
        add_raw(position, length, static_cast<std::uint32_t>(inet_addr(addresses[i])));
    }
}

}  // namespace

int CUdpConnection::PreparePositiveResponse(RFC1541_PACKET* reply, const RFC1541_PACKET* request,
                                            int replySize, std::uint8_t messageType,
                                            const clientdata_t* client) {
    if (replySize < kLongestPositiveReply) return 0;
    std::memcpy(reply, request, kDhcpOptionsOffset);
    reply->op = BOOTREPLY;
    reply->secs = 0;
    reply->ciaddr = 0;
    reply->yiaddr = inet_addr(client->ipAddress);
    reply->siaddr = inet_addr(addressText);
    char name[kDhcpServerNameLength + 1];
    ComputerName(name);
    std::memcpy(reply->sname, name, std::strlen(name) + 1);
    std::memcpy(reply->file, kDhcpBootFile, std::strlen(kDhcpBootFile) + 1);

    std::uint8_t* position = reply->options;
    int length = 0;
    add_tag(position, length, DHCP_OPT_MESSAGE_TYPE, messageType);
    add_tag(position, length, DHCP_OPT_SUBNET_MASK,
            static_cast<std::uint32_t>(inet_addr(client->subnetMask)));
    add_tag(position, length, DHCP_OPT_DOMAIN_NAME, client->domainName);
    if (client->routerCount > 0) {
        AddAddressList(position, length, DHCP_OPT_ROUTER, client->routerCount, client->routers);
    }
    if (client->winsCount > 0) {
        AddAddressList(position, length, DHCP_OPT_NETBIOS_NAME_SERVER, client->winsCount,
                       client->winsServers);
    }
    if (client->dnsCount > 0) {
        AddAddressList(position, length, DHCP_OPT_DNS_SERVER, client->dnsCount, client->dnsServers);
    }
    add_tag(position, length, DHCP_OPT_LEASE_TIME, kDhcpInfiniteLease);
    add_tag(position, length, DHCP_OPT_SERVER_ID,
            static_cast<std::uint32_t>(inet_addr(addressText)));
    add_raw(position, length, DHCP_OPT_END);
    return kDhcpOptionsOffset + length;
}

int CUdpConnection::PrepareNegativeResponse(RFC1541_PACKET* reply, const RFC1541_PACKET* request,
                                            int replySize, std::uint8_t messageType) {
    if (replySize < kDhcpNakLength) return 0;
    std::memcpy(reply, request, kDhcpOptionsOffset);
    reply->op = BOOTREPLY;
    // A relay agent passes a DHCPNAK on as a broadcast only when asked to: the client has no
    // address it could be sent to.
    if (request->giaddr != 0) reply->flags |= htons(kDhcpBroadcastFlag);
    std::uint8_t* position = reply->options;
    int length = 0;
    add_tag(position, length, DHCP_OPT_MESSAGE_TYPE, messageType);
    // The identifier lets a client that talks to several servers tell whose refusal it is.
    add_tag(position, length, DHCP_OPT_SERVER_ID,
            static_cast<std::uint32_t>(inet_addr(addressText)));
    add_raw(position, length, DHCP_OPT_END);
    return kDhcpOptionsOffset + length;
}

int CUdpConnection::ProcessRequest(const RFC1541_PACKET* request, int requestLength,
                                   RFC1541_PACKET* reply, int replySize) {
    if (requestLength < kDhcpOptionsOffset) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "Got malformed DHCP packet [1]");
        return 0;
    }
    if (requestLength > static_cast<int>(sizeof *request)) {
        requestLength = static_cast<int>(sizeof *request);
    }
    const int optionsLength = requestLength - kDhcpOptionsOffset;

    clientdata_t client;
    const int known = DhcpClientTable().Lookup(request->hlen, request->chaddr, &client);
    const std::uint8_t messageType = get_msg_type(request->options, optionsLength);
    // A host the registry does not list may well be served by another DHCP server on the same
    // network: whatever it sends, it is not ours to answer, not even with a refusal.
    if (!known) return 0;

    switch (messageType) {
        case DHCPDISCOVER:
            CZuvexService::EventLog.LogDebugEvent(nullptr, "Got a DHCPDISCOVER packet");
            return PreparePositiveResponse(reply, request, replySize, DHCPOFFER, &client);
        case DHCPREQUEST: {
            CZuvexService::EventLog.LogDebugEvent(nullptr, "Got a DHCPREQUEST packet");
            // A box that names a server has chosen that server's offer; when it is another
            // server, the box's business is with that one.
            std::uint32_t serverId = 0;
            if (get_server_identifier(request->options, &serverId, optionsLength) &&
                serverId != static_cast<std::uint32_t>(inet_addr(addressText))) {
                char named[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &serverId, named, sizeof named);
                CZuvexService::EventLog.LogDebugEvent(
                    nullptr, "DHCPREQUEST names server %s, not this one: not answered", named);
                return 0;
            }
            std::uint32_t requested = 0;
            if (get_requested_address(request->options, &requested, optionsLength) &&
                requested != static_cast<std::uint32_t>(inet_addr(client.ipAddress))) {
                return PrepareNegativeResponse(reply, request, replySize, DHCPNAK);
            }
            return PreparePositiveResponse(reply, request, replySize, DHCPACK, &client);
        }
        default:
            CZuvexService::EventLog.LogDebugEvent(nullptr, "Got an unhandled DHCP packet, %d",
                                                  messageType);
            return 0;
    }
}

// ---------------------------------------------------------------------------------------
// CDhcpServer
// ---------------------------------------------------------------------------------------

namespace {

struct DhcpInterface {
    std::string name;     // device name
    std::string address;  // its first IPv4 address, dotted
};

// The interfaces to listen on: DORNEL_DHCP_INTERFACES when set (the named devices, in the
// system's order, loopback allowed), else every interface that is up, not loopback, and has
// an IPv4 address. One entry per device, with its first IPv4 address.
std::vector<DhcpInterface> ChooseInterfaces() {
    std::vector<DhcpInterface> chosen;
    std::vector<std::string> wanted;
    const char* list = std::getenv("DORNEL_DHCP_INTERFACES");
    const bool restricted = list && *list;
    if (restricted) {
        std::string rest = list;
        std::size_t start = 0;
        while (start <= rest.size()) {
            std::size_t comma = rest.find(',', start);
            if (comma == std::string::npos) comma = rest.size();
            if (comma > start) wanted.push_back(rest.substr(start, comma - start));
            start = comma + 1;
        }
    }
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return chosen;
    for (const ifaddrs* entry = all; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) {
            continue;
        }
        if (!(entry->ifa_flags & IFF_UP)) continue;
        const std::string name = entry->ifa_name;
        if (restricted) {
            bool named = false;
            for (const std::string& w : wanted) named = named || w == name;
            if (!named) continue;
        } else if (entry->ifa_flags & IFF_LOOPBACK) {
            continue;
        }
        bool seen = false;
        for (const DhcpInterface& c : chosen) seen = seen || c.name == name;
        if (seen) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        chosen.push_back({name, text});
    }
    ::freeifaddrs(all);
    return chosen;
}

}  // namespace

CDhcpServer::CDhcpServer() : listeners{}, listenerCount(0), sender(nullptr) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
    for (const DhcpInterface& interface : ChooseInterfaces()) {
        if (listenerCount >= kDhcpMaxListeners) break;
        auto* listener = new CUdpConnection(interface.address.c_str(), kDhcpServerPort, 0,
                                            interface.name.c_str());
        if (listener->GetSocket() == INVALID_SOCKET) {
            CZuvexService::EventLog.LogDebugEvent(
                nullptr, "DHCP cannot listen on %s (%s), error %d", interface.name.c_str(),
                interface.address.c_str(), listener->LastError());
            delete listener;
            continue;
        }
        CZuvexService::EventLog.LogDebugEvent(nullptr, "DHCP listens on %s (%s)",
                                              interface.name.c_str(), interface.address.c_str());
        listeners[listenerCount++] = listener;
    }
    if (listenerCount > 0) {
        sender = new CUdpConnection(htonl(INADDR_ANY), kDhcpClientPort, 1);
        if (sender->GetSocket() == INVALID_SOCKET) {
            CZuvexService::EventLog.LogDebugEvent(
                nullptr, "DHCP cannot open its sender on port 68, error %d", sender->LastError());
            delete sender;
            sender = nullptr;
        }
    } else {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "DHCP has no interface to listen on");
    }
}

CDhcpServer::~CDhcpServer() {
    for (CUdpConnection*& listener : listeners) {
        delete listener;
        listener = nullptr;
    }
    listenerCount = 0;
    delete sender;
    sender = nullptr;
    for (int& fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void CDhcpServer::Terminate() {
    terminated_.store(true);
    if (wakePipe_[1] >= 0) {
        const char wake = 1;
        while (::write(wakePipe_[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
}

void CDhcpServer::Run() {
    if (!sender || listenerCount == 0) return;

    // The sender's own broadcasts come back to it on port 68; it is drained with the
    // listeners so its queue never fills.
    std::vector<pollfd> waitSet;
    for (int i = 0; i < listenerCount; ++i) {
        waitSet.push_back({listeners[i]->GetSocket(), POLLIN, 0});
    }
    waitSet.push_back({sender->GetSocket(), POLLIN, 0});
    if (wakePipe_[0] >= 0) waitSet.push_back({wakePipe_[0], POLLIN, 0});
    // Without a wake pipe, Terminate is noticed within half a second.
    const int timeout = wakePipe_[0] >= 0 ? -1 : 500;

    RFC1541_PACKET request;
    RFC1541_PACKET reply;
    char discard[kDhcpBufferSize];
    while (!terminated_.load()) {
        const int ready = ::poll(waitSet.data(), waitSet.size(), timeout);
        if (terminated_.load()) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            CZuvexService::EventLog.LogDebugEvent(nullptr, "DHCP wait failed, error %d",
                                                  platform::net::WinsockErrorFromErrno(errno));
            ::usleep(100 * 1000);
            continue;
        }
        if (ready == 0) continue;
        for (int i = 0; i < listenerCount; ++i) {
            if (!(waitSet[static_cast<std::size_t>(i)].revents & (POLLIN | POLLERR))) continue;
            CUdpConnection* listener = listeners[i];
            const int length =
                listener->recvfrom(reinterpret_cast<char*>(&request), sizeof request);
            if (length < 0) {
                CZuvexService::EventLog.LogDebugEvent(nullptr, "DHCP receive failed, error %d",
                                                      WSAGetLastError());
                // A socket that keeps failing must not turn this loop into a spin.
                ::usleep(10 * 1000);
                continue;
            }
            if (length > static_cast<int>(sizeof request)) {
                CZuvexService::EventLog.LogDebugEvent(
                    nullptr, "DHCP dropped a datagram of %d bytes, larger than %d", length,
                    kDhcpBufferSize);
                continue;
            }
            CZuvexService::EventLog.LogDebugEvent(
                nullptr, "DHCP thread receives packet of length %d", length);
            const int replyLength =
                listener->ProcessRequest(&request, length, &reply, sizeof reply);
            if (replyLength <= 0) continue;
            if (request.giaddr != 0) {
                // Relayed: back to the relay agent's server port, from this listener's port
                // 67 and out of the interface the request came in on.
                if (listener->sendto(reinterpret_cast<const char*>(&reply), replyLength,
                                     request.giaddr, kDhcpServerPort) < 0) {
                    char relay[INET_ADDRSTRLEN] = {};
                    ::inet_ntop(AF_INET, &request.giaddr, relay, sizeof relay);
                    CZuvexService::EventLog.LogDebugEvent(
                        nullptr, "DHCP cannot answer relay agent %s, error %d", relay,
                        WSAGetLastError());
                }
            } else {
                sender->sendto(reinterpret_cast<const char*>(&reply), replyLength,
                               listener->GetInterfaceIndex());
            }
        }
        if (waitSet[static_cast<std::size_t>(listenerCount)].revents & (POLLIN | POLLERR)) {
            sender->recvfrom(discard, sizeof discard);
        }
    }
}
