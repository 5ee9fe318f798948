// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Socket helpers of the box link: name and port parsing, connecting, and moving exact byte
// counts or text lines over a blocking socket. Used by the packet layer, the server's box
// threads (service "3245"), the status reader of the configuration applet (service "3246")
// and boxsim. Nothing logs, except the "bind" message of make_connection for a datagram
// socket. Reads and writes block; only the connect of make_connection is bounded in time.
//
// Every function is safe from several threads at once; atoaddr in particular keeps its
// result in storage of the calling thread, never in one shared static.

#include "platform/net/net.h"

// Connection types of make_connection: the Winsock SOCK_STREAM and SOCK_DGRAM values.
inline constexpr int kConnectionStream = 1;
inline constexpr int kConnectionDatagram = 2;

// Port of a service name or number for "tcp" or "udp", in network byte order widened to
// int; -1 for an unknown name, text after the number, 0 or less, or above 65535. Numbers
// take the C library's automatic base ("0x0CAD" is 3245).
int atoport(const char* service, const char* proto);

// Address of a dotted IPv4 text or a host name, as 4 bytes in network order, or null when
// the name does not resolve. The pointer refers to storage of the calling thread and stays
// valid until that thread's next call. "255.255.255.255" is looked up as a host name.
const struct in_addr* atoaddr(const char* address);

// A stream connection notices a peer that vanished without FIN or RST (power cut, pulled
// cable) instead of holding it for the quarter of an hour of TCP's retransmissions:
// - idle, the connection is probed after kKeepAliveIdleSeconds without traffic from the
//   peer, then every kKeepAliveIntervalSeconds;
// - data the peer has not acknowledged for kUserTimeoutMs (a packet and its retries, or
//   the probes) ends the connection: reads and writes on it then fail (WSAETIMEDOUT) and
//   select reports it readable.
// A box link that goes quiet gets a link keep-alive packet after at most two idle rounds
// of the socket wait thread, so a vanished box is declared dead within about 45 seconds.
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kKeepAliveIdleSeconds = 10;
inline constexpr int kKeepAliveIntervalSeconds = 5;
inline constexpr int kKeepAliveProbes = 3;
inline constexpr unsigned kUserTimeoutMs = 20000;

// Connects a stream socket (type 1) to, or binds a datagram socket (type 2) on, the host
// and service. Returns the socket, or -1 for another type, an invalid port or address, or a
// failed connect (the socket is then closed). A failed datagram bind prints "bind" and the
// error text on standard error, closes the socket and returns -1.
// A stream connect gives up after kConnectTimeoutMs (WSAETIMEDOUT), so an address where
// nothing answers (a box switched off behind a router) holds the caller for that long at
// most; the socket it returns is blocking and carries the keep-alive and user time-out
// settings above, and TCP_NODELAY: every frame leaves at once, so an answer written just
// after an acknowledgement never waits for the peer's delayed TCP acknowledgement.
SOCKET make_connection(const char* service, int type, const char* netaddress);

// Reads exactly count bytes. Returns count; 0 when the peer closed first; -1 on error.
// Interrupted receives are retried; bytes received before a failure are lost to the caller.
int sock_read(SOCKET sockfd, char* buf, std::size_t count);

// Writes exactly count bytes. Returns count, or the failing send result (0 or -1).
int sock_write(SOCKET sockfd, const char* buf, std::size_t count);

// Reads one line ended by CR or LF (not stored). Stores at most count - 1 characters and
// drops the rest of the line; a NUL follows whenever count is not 0. Returns the number of
// characters stored, or -1 when a receive returns 0 or fails.
int sock_gets(SOCKET sockfd, char* str, std::size_t count);

// Writes the text without its NUL; the result of sock_write.
int sock_puts(SOCKET sockfd, const char* str);
