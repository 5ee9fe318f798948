// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The Windows Sockets 1.1 calls the system uses, on POSIX sockets.
//
// Callers keep their original shape: a SOCKET is an int descriptor, INVALID_SOCKET and
// SOCKET_ERROR are -1, closesocket() closes, ioctlsocket() knows FIONREAD and FIONBIO, and
// WSAGetLastError() gives the Winsock number of this thread's last failure (10035 for a
// call that would block, 10054 for a reset connection ...), which the code tests.
//
// Two rules the system relies on: descriptor 0 is never handed out as a socket, because a
// record stores 0 for "no socket"; and writing to a closed peer never raises SIGPIPE.
//
// Every call is safe from any thread. A unit test may replace the send and receive
// primitives (SetNetHooks) to make the Nth call fail; the shipped code never does.

#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netdb.h>

#include <cstddef>
#include <cstdint>

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Winsock error numbers the system tests.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;

struct WSADATA {
    unsigned short wVersion;
    unsigned short wHighVersion;
};

// Starts the socket layer: ignores SIGPIPE for the process. Returns 0.
int WSAStartup(unsigned short version, WSADATA* data);
// Ends the socket layer. Returns 0.
int WSACleanup();

// Winsock number of this thread's last failed socket call (errno mapped), 0 if none.
int WSAGetLastError();
// Sets this thread's last error (a Winsock number).
void WSASetLastError(int error);

// Creates a socket that is never descriptor 0 (or 1, 2); INVALID_SOCKET on failure.
SOCKET CreateSocket(int family, int type, int protocol);
// Closes a socket; 0 on success, SOCKET_ERROR on failure.
int closesocket(SOCKET s);
// FIONREAD (the system's <sys/ioctl.h> value): stores the bytes waiting in *argp.
// FIONBIO: *argp non-zero makes the socket non-blocking, 0 blocking.
// Returns 0, or SOCKET_ERROR (WSAEINVAL for any other command).
int ioctlsocket(SOCKET s, unsigned long cmd, unsigned long* argp);

// send and recv through the replaceable primitives below; never raise SIGPIPE.
// Results as POSIX (bytes, 0 for an orderly close on recv, -1 with WSAGetLastError set).
long SocketSend(SOCKET s, const void* data, std::size_t length, int flags);
long SocketRecv(SOCKET s, void* buffer, std::size_t length, int flags);

namespace platform::net {

// Replaceable primitives for unit tests (fault injection); null restores the real calls.
// A hook that fails returns -1 and sets errno as the real call would.
struct NetHooks {
    long (*send)(SOCKET s, const void* data, std::size_t length, int flags) = nullptr;
    long (*recv)(SOCKET s, void* buffer, std::size_t length, int flags) = nullptr;
};
void SetNetHooks(const NetHooks& hooks);

// Maps an errno value to the Winsock number.
int WinsockErrorFromErrno(int error);

}  // namespace platform::net
