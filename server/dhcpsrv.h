// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The DHCP server of the boxes. A box listed in the registry by its hardware address gets
// a fixed address, an infinite lease, the common network options and the boot file
// "orvane.bin". The server shares its network with other hosts and other DHCP servers, so it
// answers only what is its own business (RFC 2131 4.3.2): a host it has no record of gets
// nothing, whatever it sends; a DHCPREQUEST whose server identifier (option 54) names
// another server gets nothing; a DHCPNAK carries the server identifier. A request that came
// through a relay agent (giaddr set) is answered to the relay on port 67.
//
// There is no pool and no lease database: every answer is computed from the registry. The
// DHCP keys are held in memory (CDhcpClientTable) and read again when the registry's change
// counter moves, that is after any write by any process; a change made with the applet or
// dornelreg applies to the next request, and no request pays for registry reads otherwise.
//
// Registry layout, below HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\DHCP:
//   <client key>  one key per box, named by the first hlen bytes of chaddr as "%02X"
//                 joined by "-" (00-11-22-33-44-55 for an Ethernet address)
//   General       defaults for every value
// String values IPADDR, SUBNETMASK, DOMAINNAME, ROUTER_n, DNS_n and WINS_n (n from 1). Each
// value is looked for in the client's key first, then in General. A numbered list stops at
// the first n found in neither key, or after 10. A client is known when IPADDR is found.
//
// Sockets. Linux delivers a broadcast DHCPDISCOVER only to a socket bound to 0.0.0.0, so
// each listener is one interface: bound to 0.0.0.0:67 and tied to its device
// (SO_BINDTODEVICE), keeping the interface's own address as its addressText for siaddr and
// option 54. Every IPv4 interface that is up and not loopback gets one; DORNEL_DHCP_INTERFACES
// ("name,name,...") chooses the interfaces instead (loopback included when named). The one
// broadcast sender is bound to 0.0.0.0:68; as a limited broadcast has no route of its own,
// each reply names the interface the request came in on.
//
// Threads: the service thread builds and deletes the server; one thread runs Run; Terminate
// may be called from any thread while Run waits.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include <netinet/in.h>

#include "platform/base/wintypes.h"
#include "platform/net/net.h"
#include "server/bootwire.h"

// Registry key of the DHCP settings, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kDhcpKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP";
// Subkey holding the defaults of every client.
inline constexpr const char* kDhcpGeneralKey = "General";
// Most entries of a numbered list (ROUTER_n, DNS_n, WINS_n).
inline constexpr int kDhcpMaxListEntries = 10;
// Most listeners (interfaces) of one server.
inline constexpr int kDhcpMaxListeners = 64;
// Characters of a client key name: 16 bytes as "XX" joined by "-", and a terminator.
inline constexpr int kDhcpClientKeySize = 3 * kDhcpMaxHardwareLength;

// What the registry says about one client; zeroed for every request, a missing value
// leaves its field empty. Addresses are dotted-quad texts.
struct clientdata_t {
    char ipAddress[24];                         // IPADDR
    char subnetMask[24];                        // SUBNETMASK
    char domainName[16];                        // DOMAINNAME, at most 14 characters
    int routerCount;                            // ROUTER_n values found
    char routers[kDhcpMaxListEntries][24];      // ROUTER_1 ...
    int dnsCount;                               // DNS_n values found
    char dnsServers[kDhcpMaxListEntries][24];   // DNS_1 ...
    int winsCount;                              // WINS_n values found
    char winsServers[kDhcpMaxListEntries][24];  // WINS_1 ...
};

// One UDP socket of the DHCP server: a listener on port 67 or the broadcast sender on 68.
// Owns its descriptor. Used by one thread at a time.
class CUdpConnection {
  public:
    // Copies the dotted text into addressText and opens a socket bound to that address.
    // A listener passes its interface name as deviceName: the socket is then bound to
    // 0.0.0.0 on that device, and addressText stays the interface's address.
    CUdpConnection(const char* text, WORD localPort, int broadcast,
                   const char* deviceName = nullptr);
    // Opens a socket bound to the address (network order); addressText stays empty.
    CUdpConnection(std::uint32_t localAddress, WORD localPort, int broadcast);
    // Closes the socket if it is still open.
    ~CUdpConnection();
    CUdpConnection(const CUdpConnection&) = delete;
    CUdpConnection& operator=(const CUdpConnection&) = delete;

    // Receives one datagram into buffer (size bytes); the sender's address is not kept.
    // Returns the datagram's full length, which is above size when it did not fit (the
    // rest is lost), or -1 on failure.
    int recvfrom(char* buffer, int size);
    // Sends length bytes to address. With interfaceIndex non-zero the datagram leaves
    // through that interface (needed for a limited broadcast). Returns the bytes sent or -1.
    int sendto(const char* data, int length, unsigned interfaceIndex = 0);
    // Sends length bytes to toAddress (network order) port toPort instead: a listener
    // answers a relay agent this way, from port 67. Returns the bytes sent or -1.
    int sendto(const char* data, int length, std::uint32_t toAddress, WORD toPort);
    SOCKET GetSocket() const { return socket; }
    // Winsock error of a failed creation or bind, 0 when the socket is open.
    int LastError() const { return lastError; }
    // Index of the device the socket is tied to, 0 when none.
    unsigned GetInterfaceIndex() const { return interfaceIndex; }

    // Answers one request that arrived on this listener: writes the reply into reply
    // (replySize bytes) and returns its length, or 0 when no reply is to be sent. Looks the
    // client up in the process's CDhcpClientTable; writes debug records. The reply goes to
    // the relay agent when the request's giaddr is set, else it is broadcast (see Run).
    int ProcessRequest(const RFC1541_PACKET* request, int requestLength, RFC1541_PACKET* reply,
                       int replySize);

  protected:
    // Creates, configures and binds the socket (see the constructors); on failure leaves
    // socket at -1 and the error in lastError.
    void Init(std::uint32_t bindAddress, WORD localPort, int broadcast, const char* deviceName);
    // Builds a DHCPOFFER or DHCPACK for the client; returns its length (0 when replySize
    // cannot hold the longest reply).
    int PreparePositiveResponse(RFC1541_PACKET* reply, const RFC1541_PACKET* request, int replySize,
                                std::uint8_t messageType, const clientdata_t* client);
    // Builds a DHCPNAK carrying this listener's server identifier; returns kDhcpNakLength
    // (0 when replySize is smaller). Through a relay it asks the relay to broadcast it.
    int PrepareNegativeResponse(RFC1541_PACKET* reply, const RFC1541_PACKET* request, int replySize,
                                std::uint8_t messageType);

    SOCKET socket = INVALID_SOCKET;  // -1 when creation or binding failed
    WORD port = 0;                   // local port, host order
    char addressText[26] = {};       // dotted local address (constructed from a text)
    sockaddr_in address = {};        // bound address; 255.255.255.255 for the sender; sendto target
    int lastError = 0;               // Winsock error of a failed creation or bind, else 0
    char device[16] = {};            // interface the socket is tied to, "" when none
    unsigned interfaceIndex = 0;     // index of that interface, 0 when none
};

// The DHCP server: one listener per interface and the broadcast sender. Created on the heap
// by the service, which keeps it for the stop path.
class CDhcpServer {
  public:
    // Opens the listeners (port 67, one per chosen interface) and, when at least one
    // exists, the broadcast sender (port 68). A server without either does nothing in Run.
    CDhcpServer();
    // Deletes every listener and the sender. Call only after Run has returned.
    ~CDhcpServer();
    CDhcpServer(const CDhcpServer&) = delete;
    CDhcpServer& operator=(const CDhcpServer&) = delete;

    // The thread body: answers requests one at a time until Terminate. Returns at once when
    // there is no listener or no sender. A failed wait or receive, or a datagram larger than
    // the buffer, is logged and passed over; only Terminate ends the loop.
    void Run();
    // Makes Run return; safe from any thread, before or during Run.
    void Terminate();

    CUdpConnection* listeners[kDhcpMaxListeners];  // unused slots null
    int listenerCount;                             // listeners in use
    CUdpConnection* sender;                        // broadcast sender, null when none

  private:
    int wakePipe_[2] = {-1, -1};           // Terminate writes, Run polls the read end
    std::atomic<bool> terminated_{false};  // set by Terminate
};

// Appends option tag with an 8-bit, a 32-bit (stored as given, network order for addresses)
// or a text value (length of the text plus one, the text and its zero). Advances position
// and length by the bytes written. The caller makes sure the bytes fit.
void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, std::uint8_t value);
void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, std::uint32_t value);
void add_tag(std::uint8_t*& position, int& length, std::uint8_t tag, const char* text);
// Appends one byte, or four bytes as stored, without tag or length.
void add_raw(std::uint8_t*& position, int& length, std::uint8_t value);
void add_raw(std::uint8_t*& position, int& length, std::uint32_t value);

// The value of option 53 in the options area of optionsLength bytes, or 0 when it is absent
// or the options run off the end ("Got malformed DHCP packet [2]").
std::uint8_t get_msg_type(const std::uint8_t* options, int optionsLength);
// 1 with the four bytes of option 50 in *address, or 0 when it is absent or the options
// run off the end ("Got malformed DHCP packet [3]").
int get_requested_address(const std::uint8_t* options, std::uint32_t* address, int optionsLength);

// Writes the client key name of hlen bytes of chaddr (bounded to 16) into name, which holds
// kDhcpClientKeySize characters: "00-11-22-33-44-55".
void MakeClientKeyName(int hlen, const std::uint8_t* chaddr, char* name);
// Fills client from the registry; 1 when the client is known (IPADDR found), else 0.
int LookupClientData(int hlen, const std::uint8_t* chaddr, clientdata_t* client);

// The DHCP keys of the registry held in memory: every client key, with its values already
// completed from General, and what General alone gives a host without a key. The whole table
// is read again when RegChangeCounter has moved since it was read, so a lookup answers
// exactly as LookupClientData would at that moment, without a registry read per request.
// Safe from several threads.
class CDhcpClientTable {
  public:
    // As LookupClientData: fills client and returns 1 for a known client, else 0.
    int Lookup(int hlen, const std::uint8_t* chaddr, clientdata_t* client);
    // Times the table was read from the registry (for tests and debugging).
    unsigned long Loads() const;

  private:
    void Load(std::uint64_t counter);

    mutable std::mutex mutex_;
    std::uint64_t counter_ = 0;  // change counter the table was read at; 0: not read
    unsigned long loads_ = 0;
    // Known clients by key name in upper case.
    std::unordered_map<std::string, clientdata_t> clients_;
    clientdata_t general_ = {};  // what a host without a key of its own gets
    bool generalKnown_ = false;  // General holds IPADDR: every host is known
};

// The table every listener of the process answers from.
CDhcpClientTable& DhcpClientTable();
// Reads the string value valueName of the client's key, or of General when the client key
// cannot be opened or the value cannot be read (missing, or too long for size bytes).
// Returns the bytes stored in buffer including the terminator, or 0 when found in neither.
int ReadStringFromIniFile(const char* clientKey, const char* valueName, char* buffer, int size);

// Thread entry of the DHCP server: runs server->Run() and returns 0.
DWORD DhcpThread(void* server);

// The DHCP server and the boot threads of the running service (null when not started).
// The service's Run creates them and its OnStop ends the DHCP thread; hTftpThread is defined
// with the TFTP server.
extern CDhcpServer* pDhcpServer;
extern HANDLE hDhcpThread;
extern HANDLE hTftpThread;
