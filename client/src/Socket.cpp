// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "client/src/Socket.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>

namespace {

// atoaddr's result: one address per thread, so box threads resolving at the same time never
// see each other's answer.
thread_local struct in_addr resolvedAddress;

bool Interrupted(long result) {
    return result < 0 && (errno == EINTR || WSAGetLastError() == WSAEINTR);
}

// Completes a connect that a signal interrupted: the connection goes on in the background,
// so wait for it and take its outcome from SO_ERROR.
bool FinishInterruptedConnect(SOCKET sock) {
    for (;;) {
        struct pollfd waitFor = {sock, POLLOUT, 0};
        int ready = ::poll(&waitFor, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
        errno = error;
        return error == 0;
    }
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
        bool connected = ::connect(sock, target, sizeof address) == 0;
        if (!connected && errno == EINTR) connected = FinishInterruptedConnect(sock);
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
