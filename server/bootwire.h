// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Wire formats of the boot services: the BOOTP/DHCP message the DHCP server reads and
// writes (ports 67 and 68), its option and message-type codes, and the TFTP opcodes and
// block size of the read-only TFTP server (port 69). All multi-byte fields are in network
// byte order on the wire; the structures hold them exactly as received.
//
// Header only; no behaviour lives here.

#include <cstddef>
#include <cstdint>

// Ports of the boot services.
inline constexpr std::uint16_t kDhcpServerPort = 67;  // listeners
inline constexpr std::uint16_t kDhcpClientPort = 68;  // the broadcast sender
inline constexpr std::uint16_t kTftpPort = 69;        // the one TFTP socket

// ---------------------------------------------------------------------------------------
// DHCP
// ---------------------------------------------------------------------------------------

// Receive and reply buffers of the DHCP server, in bytes.
inline constexpr int kDhcpBufferSize = 4096;
// Bytes of the fixed header including the magic cookie; the options start here.
inline constexpr int kDhcpOptionsOffset = 240;
// Length of a DHCPNAK: the header, option 53 (three bytes), the server identifier (option
// 54, six bytes) and the end tag.
inline constexpr int kDhcpNakLength = 250;
// Bytes of chaddr; a larger hlen is bounded to this.
inline constexpr int kDhcpMaxHardwareLength = 16;
// Characters of the computer name written into sname (a zero follows them).
inline constexpr int kDhcpServerNameLength = 15;
// Boot image every listed box is told to fetch from the TFTP server.
inline constexpr const char* kDhcpBootFile = "orvane.bin";

// A DHCP message: the BOOTP layout with the options area behind the magic cookie. The
// options array gives the area its place; a request's real options end at its length.
struct RFC1541_PACKET {
    std::uint8_t op;          // 1 request, 2 reply
    std::uint8_t htype;       // hardware type, copied
    std::uint8_t hlen;        // bytes of chaddr used, names the client's registry key
    std::uint8_t hops;        // copied
    std::uint32_t xid;        // transaction id, copied
    std::uint16_t secs;       // 0 in positive replies
    std::uint16_t flags;      // copied
    std::uint32_t ciaddr;     // 0 in positive replies
    std::uint32_t yiaddr;     // the client's configured address in positive replies
    std::uint32_t siaddr;     // the receiving interface's address in positive replies
    std::uint32_t giaddr;     // relay agent's address, copied; non-zero: answer the relay
    std::uint8_t chaddr[16];  // client hardware address
    char sname[64];           // server (computer) name from its start in positive replies
    char file[128];           // boot file name from its start in positive replies
    std::uint8_t cookie[4];   // magic cookie, copied, never checked
    std::uint8_t options[kDhcpBufferSize - kDhcpOptionsOffset];  // tag, length, value
};
static_assert(sizeof(RFC1541_PACKET) == kDhcpBufferSize);
static_assert(offsetof(RFC1541_PACKET, xid) == 4);
static_assert(offsetof(RFC1541_PACKET, secs) == 8);
static_assert(offsetof(RFC1541_PACKET, flags) == 10);
static_assert(offsetof(RFC1541_PACKET, ciaddr) == 12);
static_assert(offsetof(RFC1541_PACKET, yiaddr) == 16);
static_assert(offsetof(RFC1541_PACKET, siaddr) == 20);
static_assert(offsetof(RFC1541_PACKET, giaddr) == 24);
static_assert(offsetof(RFC1541_PACKET, chaddr) == 28);
static_assert(offsetof(RFC1541_PACKET, sname) == 44);
static_assert(offsetof(RFC1541_PACKET, file) == 108);
static_assert(offsetof(RFC1541_PACKET, cookie) == 236);
static_assert(offsetof(RFC1541_PACKET, options) == kDhcpOptionsOffset);

// Option tags.
inline constexpr std::uint8_t DHCP_OPT_PAD = 0;
inline constexpr std::uint8_t DHCP_OPT_SUBNET_MASK = 1;
inline constexpr std::uint8_t DHCP_OPT_ROUTER = 3;
inline constexpr std::uint8_t DHCP_OPT_DNS_SERVER = 6;
inline constexpr std::uint8_t DHCP_OPT_DOMAIN_NAME = 15;
inline constexpr std::uint8_t DHCP_OPT_NETBIOS_NAME_SERVER = 44;
inline constexpr std::uint8_t DHCP_OPT_REQUESTED_ADDRESS = 50;
inline constexpr std::uint8_t DHCP_OPT_LEASE_TIME = 51;
inline constexpr std::uint8_t DHCP_OPT_MESSAGE_TYPE = 53;
inline constexpr std::uint8_t DHCP_OPT_SERVER_ID = 54;
inline constexpr std::uint8_t DHCP_OPT_END = 255;

// Values of option 53.
inline constexpr std::uint8_t DHCPDISCOVER = 1;
inline constexpr std::uint8_t DHCPOFFER = 2;
inline constexpr std::uint8_t DHCPREQUEST = 3;
inline constexpr std::uint8_t DHCPDECLINE = 4;
inline constexpr std::uint8_t DHCPACK = 5;
inline constexpr std::uint8_t DHCPNAK = 6;
inline constexpr std::uint8_t DHCPRELEASE = 7;
inline constexpr std::uint8_t DHCPINFORM = 8;

// BOOTP op codes.
inline constexpr std::uint8_t BOOTREQUEST = 1;
inline constexpr std::uint8_t BOOTREPLY = 2;

// The BROADCAST bit of flags (network order when stored): set in a DHCPNAK sent through a
// relay agent, so that the relay broadcasts it to the client.
inline constexpr std::uint16_t kDhcpBroadcastFlag = 0x8000;

// Lease time of every positive reply: infinite.
inline constexpr std::uint32_t kDhcpInfiniteLease = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------------------
// TFTP
// ---------------------------------------------------------------------------------------

// Opcodes (the second byte of a packet whose first byte is zero).
inline constexpr std::uint8_t TFTP_RRQ = 1;
inline constexpr std::uint8_t TFTP_WRQ = 2;
inline constexpr std::uint8_t TFTP_DATA = 3;
inline constexpr std::uint8_t TFTP_ACK = 4;
inline constexpr std::uint8_t TFTP_ERROR = 5;

// Data bytes of a full block; a shorter block ends the transfer.
inline constexpr int kTftpBlockSize = 512;
// Bytes before the data of a DATA packet: opcode and block number.
inline constexpr int kTftpDataHeader = 4;
// Largest datagram the server takes in; anything longer is dropped. A DATA packet of a full
// block is the longest packet of the protocol.
inline constexpr int kTftpMaxDatagram = kTftpDataHeader + kTftpBlockSize;
// Bytes of a path built from the served folder and a requested name, terminator included.
inline constexpr int kTftpMaxPath = 260;
