// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/Socket.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>

namespace {

// atoaddr's result: one address per thread, so box threads resolving at the same time never
// see each other's answer.
thread_local struct in_addr resolvedAddress;

bool Interrupted(long result) {
    return result < 0 && (errno == EINTR || WSAGetLastError() == WSAEINTR);
}

// Turns off Nagle's algorithm and turns on keep-alive probing and the user time-out of a
// stream socket (see Socket.h).
// Returns false with errno set when the system refuses one of them.
bool SetLivenessOptions(SOCKET sock) {
    const int on = 1;
    const int idle = kKeepAliveIdleSeconds;
    const int interval = kKeepAliveIntervalSeconds;
    const int probes = kKeepAliveProbes;
    const unsigned userTimeout = kUserTimeoutMs;
    // Small frames go out at once: a box acknowledges a request with one small write and
    // answers it with another, and with Nagle's algorithm the answer would wait for the
    // peer's delayed TCP acknowledgement of the first (some 40 ms on Linux) every time.
    return ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
           ::setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           ::setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0;
}

// Connects with a time-limit: the socket is non-blocking for the connect only and blocking
// again afterwards. True when connected; otherwise errno tells why (ETIMEDOUT at the limit).
bool ConnectWithin(SOCKET sock, const struct sockaddr* target, socklen_t size, int limitMs) {
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    bool connected = ::connect(sock, target, size) == 0;
    int error = connected ? 0 : errno;
    if (!connected && (error == EINPROGRESS || error == EINTR)) {
        // A connect a signal interrupted goes on in the background just the same.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                error = ETIMEDOUT;
                break;
            }
            struct pollfd waitFor = {sock, POLLOUT, 0};
            const int ready = ::poll(&waitFor, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                error = errno;
                break;
            }
            if (ready == 0) continue;  // the deadline check above ends the wait
            int outcome = 0;
            socklen_t outcomeSize = sizeof outcome;
            if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &outcome, &outcomeSize) != 0) {
                error = errno;
            } else {
                error = outcome;
            }
            connected = error == 0;
            break;
        }
    }
    if (connected && ::fcntl(sock, F_SETFL, flags) != 0) {
        connected = false;
        error = errno;
    }
    errno = error;
    return connected;
}

}  // namespace

int atoport(const char* service, const char* proto) {
    if (service == nullptr) return -1;
    struct servent entry;
    struct servent* found = nullptr;
    char scratch[1024];
    if (::getservbyname_r(service, proto, &entry, scratch, sizeof scratch, &found) == 0 &&
        found != nullptr) {
        return found->s_port;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(service, &end, 0);
    if (end == service || *end != '\0' || errno == ERANGE || value <= 0 || value > 65535) {
        return -1;
    }
    return htons(static_cast<uint16_t>(value));
}

const struct in_addr* atoaddr(const char* address) {
    if (address == nullptr) return nullptr;
    in_addr_t dotted = ::inet_addr(address);
    if (dotted != INADDR_NONE) {
        resolvedAddress.s_addr = dotted;
        return &resolvedAddress;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* result = nullptr;
    if (::getaddrinfo(address, nullptr, &hints, &result) != 0 || result == nullptr) {
        return nullptr;
    }
    const struct addrinfo* first = result;
    while (first != nullptr && first->ai_family != AF_INET) first = first->ai_next;
    if (first == nullptr) {
        ::freeaddrinfo(result);
        return nullptr;
    }
    struct sockaddr_in ipv4;
    std::memcpy(&ipv4, first->ai_addr, sizeof ipv4);
    resolvedAddress = ipv4.sin_addr;
    ::freeaddrinfo(result);
    return &resolvedAddress;
}

SOCKET make_connection(const char* service, int type, const char* netaddress) {
    const char* proto = nullptr;
    int socketType = 0;
    if (type == kConnectionStream) {
        proto = "tcp";
        socketType = SOCK_STREAM;
    } else if (type == kConnectionDatagram) {
        proto = "udp";
        socketType = SOCK_DGRAM;
    } else {
        return -1;
    }
    int port = atoport(service, proto);
    if (port == -1) return -1;
    const struct in_addr* addr = atoaddr(netaddress);
    if (addr == nullptr) return -1;

    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = static_cast<in_port_t>(port);
    address.sin_addr = *addr;

    SOCKET sock = CreateSocket(AF_INET, socketType, 0);
    if (sock == INVALID_SOCKET) return -1;
    const auto* target = reinterpret_cast<const struct sockaddr*>(&address);

    if (type == kConnectionStream) {
        // Set before the connect, so the handshake already runs under them.
        bool connected = SetLivenessOptions(sock) &&
                         ConnectWithin(sock, target, sizeof address, kConnectTimeoutMs);
        if (!connected) {
            int error = platform::net::WinsockErrorFromErrno(errno);
            closesocket(sock);
            WSASetLastError(error);
            return -1;
        }
        return sock;
    }

    if (::bind(sock, target, sizeof address) != 0) {
        int saved = errno;
        std::fprintf(stderr, "bind: %s\n", std::strerror(saved));
        // The socket is of no use to a caller that only sees -1, so it is not left open.
        closesocket(sock);
        WSASetLastError(platform::net::WinsockErrorFromErrno(saved));
        return -1;
    }
    return sock;
}

int sock_read(SOCKET sockfd, char* buf, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        long received = SocketRecv(sockfd, buf + done, count - done, 0);
        if (Interrupted(received)) continue;
        if (received <= 0) return static_cast<int>(received);
        done += static_cast<std::size_t>(received);
    }
    return static_cast<int>(count);
}

int sock_write(SOCKET sockfd, const char* buf, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        long sent = SocketSend(sockfd, buf + done, count - done, 0);
        if (Interrupted(sent)) continue;
        if (sent <= 0) return static_cast<int>(sent);
        done += static_cast<std::size_t>(sent);
    }
    return static_cast<int>(count);
}

int sock_gets(SOCKET sockfd, char* str, std::size_t count) {
    std::size_t stored = 0;
    for (;;) {
        char c = 0;
        long received = SocketRecv(sockfd, &c, 1, 0);
        if (Interrupted(received)) continue;
        if (received <= 0) {
            if (count != 0) str[stored] = '\0';
            return -1;
        }
        if (c == '\r' || c == '\n') break;
        if (count != 0 && stored < count - 1) str[stored++] = c;
    }
    if (count != 0) str[stored] = '\0';
    return static_cast<int>(stored);
}

int sock_puts(SOCKET sockfd, const char* str) { return sock_write(sockfd, str, std::strlen(str)); }
