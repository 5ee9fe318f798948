// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/net/net.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

thread_local int lastSocketError = 0;

// The replaceable primitives. Relaxed loads are enough: a test installs its hooks before it
// starts the threads that use them.
std::atomic<long (*)(SOCKET, const void*, std::size_t, int)> sendHook{nullptr};
std::atomic<long (*)(SOCKET, void*, std::size_t, int)> recvHook{nullptr};

// Winsock's number for a failure the socket layer cannot name more precisely.
constexpr int kWsaSystemCallFailure = 10107;

void RecordErrno() { lastSocketError = platform::net::WinsockErrorFromErrno(errno); }

}  // namespace

int WSAStartup(unsigned short version, WSADATA* data) {
    // A peer that closes while we write must give the writer an error, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (data != nullptr) {
        data->wVersion = version;
        data->wHighVersion = version;
    }
    return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return lastSocketError; }

void WSASetLastError(int error) { lastSocketError = error; }

SOCKET CreateSocket(int family, int type, int protocol) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        RecordErrno();
        return INVALID_SOCKET;
    }
    if (fd <= 2) {
        // A record stores 0 for "no socket", and 1 and 2 belong to the standard streams
        // of a process that was started with them closed.
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int saved = errno;
        ::close(fd);
        if (moved < 0) {
            errno = saved;
            RecordErrno();
            return INVALID_SOCKET;
        }
        fd = moved;
    }
    return fd;
}

int closesocket(SOCKET s) {
    if (::close(s) != 0) {
        RecordErrno();
        return SOCKET_ERROR;
    }
    return 0;
}

int ioctlsocket(SOCKET s, unsigned long cmd, unsigned long* argp) {
    if (argp == nullptr) {
        lastSocketError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (cmd == static_cast<unsigned long>(FIONREAD)) {
        int waiting = 0;
        if (::ioctl(s, FIONREAD, &waiting) != 0) {
            RecordErrno();
            return SOCKET_ERROR;
        }
        *argp = static_cast<unsigned long>(waiting);
        return 0;
    }
    if (cmd == static_cast<unsigned long>(FIONBIO)) {
        int flags = ::fcntl(s, F_GETFL);
        if (flags < 0) {
            RecordErrno();
            return SOCKET_ERROR;
        }
        flags = (*argp != 0) ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        if (::fcntl(s, F_SETFL, flags) != 0) {
            RecordErrno();
            return SOCKET_ERROR;
        }
        return 0;
    }
    lastSocketError = WSAEINVAL;
    return SOCKET_ERROR;
}

long SocketSend(SOCKET s, const void* data, std::size_t length, int flags) {
    auto hook = sendHook.load(std::memory_order_relaxed);
    long sent = hook ? hook(s, data, length, flags)
                     : static_cast<long>(::send(s, data, length, flags | MSG_NOSIGNAL));
    if (sent < 0) RecordErrno();
    return sent;
}

long SocketRecv(SOCKET s, void* buffer, std::size_t length, int flags) {
    auto hook = recvHook.load(std::memory_order_relaxed);
    long received =
        hook ? hook(s, buffer, length, flags) : static_cast<long>(::recv(s, buffer, length, flags));
    if (received < 0) RecordErrno();
    return received;
}

namespace platform::net {

void SetNetHooks(const NetHooks& hooks) {
    sendHook.store(hooks.send, std::memory_order_relaxed);
    recvHook.store(hooks.recv, std::memory_order_relaxed);
}

int WinsockErrorFromErrno(int error) {
    struct Mapping {
        int error;
        int winsock;
    };
    // Winsock numbers are 10000 plus the BSD errno of the same name; the table keeps the
    // ones the header names and the few more a socket call can give.
    static constexpr Mapping kMappings[] = {
        {EINTR, WSAEINTR},
        {EBADF, WSAEBADF},
        {EACCES, WSAEACCES},
        {EPERM, WSAEACCES},
        {EFAULT, WSAEFAULT},
        {EINVAL, WSAEINVAL},
        {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE},
        {EAGAIN, WSAEWOULDBLOCK},
        {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEINPROGRESS},
        {EALREADY, 10037},  // WSAEALREADY
        {ENOTSOCK, WSAENOTSOCK},
        {EDESTADDRREQ, 10039},  // WSAEDESTADDRREQ
        {EMSGSIZE, WSAEMSGSIZE},
        {EPROTOTYPE, 10041},       // WSAEPROTOTYPE
        {ENOPROTOOPT, 10042},      // WSAENOPROTOOPT
        {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
        {EOPNOTSUPP, 10045},       // WSAEOPNOTSUPP
        {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
        {EADDRINUSE, WSAEADDRINUSE},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {ENETDOWN, WSAENETDOWN},
        {ENETUNREACH, WSAENETUNREACH},
        {ENETRESET, WSAENETRESET},
        {ECONNABORTED, WSAECONNABORTED},
        // Writing to a peer that has gone is a reset connection to the system's code.
        {EPIPE, WSAECONNRESET},
        {ECONNRESET, WSAECONNRESET},
        {ENOBUFS, WSAENOBUFS},
        {ENOMEM, WSAENOBUFS},
        {EISCONN, 10056},  // WSAEISCONN
        {ENOTCONN, WSAENOTCONN},
        {ESHUTDOWN, 10058},  // WSAESHUTDOWN
        {ETIMEDOUT, WSAETIMEDOUT},
        {ECONNREFUSED, WSAECONNREFUSED},
        {EHOSTDOWN, 10064},  // WSAEHOSTDOWN
        {EHOSTUNREACH, WSAEHOSTUNREACH},
    };
    if (error == 0) return 0;
    for (const Mapping& mapping : kMappings) {
        if (mapping.error == error) return mapping.winsock;
    }
    return kWsaSystemCallFailure;
}

}  // namespace platform::net
