// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/rpc/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/rpc/pdu.h"

namespace platform::rpc {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Socket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Socket::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Socket::ShutdownRead() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RD);
}

namespace {

bool ResolveIPv4(const std::string& host, in_addr& address) {
    if (host.empty()) {
        address.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Reads size bytes, waiting at most until the deadline (or the first-byte deadline while
// nothing has come). Sets sawNothing when not one byte arrived.
ReadOutcome ReadExactly(const Socket& socket, std::uint8_t* data, std::size_t size,
                        ReadDeadlines::Clock::time_point firstByte,
                        ReadDeadlines::Clock::time_point deadline, bool& sawNothing) {
    using Clock = ReadDeadlines::Clock;
    std::size_t done = 0;
    sawNothing = true;
    while (done < size) {
        Clock::time_point until = sawNothing ? std::min(firstByte, deadline) : deadline;
        if (until != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            int waitMs = static_cast<int>(
                std::max<long long>(0, std::min<long long>(left.count(), 1 << 30)));
            pollfd waiting{socket.Fd(), POLLIN, 0};
            int ready = ::poll(&waiting, 1, waitMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                return sawNothing ? ReadOutcome::Idle : ReadOutcome::Stalled;
            }
            if (ready < 0) return sawNothing ? ReadOutcome::Closed : ReadOutcome::Violation;
        }
        ssize_t got = ::recv(socket.Fd(), data + done, size - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return sawNothing ? ReadOutcome::Idle : ReadOutcome::Stalled;  // SO_RCVTIMEO
        }
        if (got <= 0) return sawNothing ? ReadOutcome::Closed : ReadOutcome::Violation;
        sawNothing = false;
        done += static_cast<std::size_t>(got);
    }
    return ReadOutcome::Complete;
}

// A TCP socket bound to address:port as listeners bind it (SO_REUSEADDR); an invalid Socket
// on failure, with *error the errno, or -1 for an address that does not resolve.
Socket BindTcp(const std::string& address, std::uint16_t port, int* error) {
    *error = 0;
    in_addr host{};
    if (!ResolveIPv4(address, host)) {
        *error = -1;
        return Socket();
    }
    Socket bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!bound.Valid()) {
        *error = errno;
        return bound;
    }
    int on = 1;
    ::setsockopt(bound.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr = host;
    where.sin_port = htons(port);
    if (::bind(bound.Fd(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        *error = errno;
        return Socket();
    }
    return bound;
}

}  // namespace

Socket ListenTcp(const std::string& address, std::uint16_t port, int backlog,
                 std::uint16_t& boundPort) {
    int error = 0;
    Socket listener = BindTcp(address, port, &error);
    if (!listener.Valid() || ::listen(listener.Fd(), backlog) != 0) return Socket();
    sockaddr_in where{};
    socklen_t length = sizeof where;
    if (::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        return Socket();
    }
    boundPort = ntohs(where.sin_port);
    return listener;
}

int ProbeTcpBind(const std::string& address, std::uint16_t port) {
    int error = 0;
    BindTcp(address, port, &error);
    return error;
}

Socket AcceptTcp(const Socket& listener) {
    for (;;) {
        int fd = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return Socket(fd);
        }
        // A connection that died in the queue, or a signal: take the next one.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            ::poll(nullptr, 0, 100);  // out of descriptors: wait instead of spinning
            continue;
        }
        return Socket();
    }
}

Socket ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs) {
    in_addr address{};
    if (host.empty() || !ResolveIPv4(host, address)) return Socket();
    Socket connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection.Valid()) return connection;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr = address;
    where.sin_port = htons(port);
    if (::connect(connection.Fd(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        if (errno != EINPROGRESS) return Socket();
        pollfd waiting{connection.Fd(), POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&waiting, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready != 1 ||
            ::getsockopt(connection.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            return Socket();
        }
    }
    int flags = ::fcntl(connection.Fd(), F_GETFL);
    ::fcntl(connection.Fd(), F_SETFL, flags & ~O_NONBLOCK);
    int on = 1;
    ::setsockopt(connection.Fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return connection;
}

bool SendAll(const Socket& socket, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t sent = ::send(socket.Fd(), data + done, size - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::optional<std::size_t> AcceptablePduLength(const std::uint8_t* header,
                                               std::size_t maxFragment) {
    auto decoded = DecodeCommonHeader(header, kCommonHeaderSize);
    if (!decoded || decoded->fragLength < kCommonHeaderSize || decoded->fragLength > maxFragment) {
        return std::nullopt;
    }
    return decoded->fragLength;
}

ReadOutcome ReadPdu(const Socket& socket, std::size_t maxFragment, std::vector<std::uint8_t>& pdu,
                    const ReadDeadlines& deadlines) {
    using Clock = ReadDeadlines::Clock;
    pdu.resize(kCommonHeaderSize);
    bool sawNothing;
    // The header's first byte may wait until firstByte; from then the PDU has pduMs.
    ReadOutcome outcome =
        ReadExactly(socket, pdu.data(), 1, deadlines.firstByte, deadlines.whole, sawNothing);
    if (outcome != ReadOutcome::Complete) return outcome;
    Clock::time_point deadline = deadlines.whole;
    if (deadlines.pduMs >= 0) {
        deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(deadlines.pduMs));
    }
    outcome =
        ReadExactly(socket, pdu.data() + 1, kCommonHeaderSize - 1, deadline, deadline, sawNothing);
    if (outcome != ReadOutcome::Complete) {
        return outcome == ReadOutcome::Idle     ? ReadOutcome::Stalled
               : outcome == ReadOutcome::Closed ? ReadOutcome::Violation
                                                : outcome;
    }
    auto length = AcceptablePduLength(pdu.data(), maxFragment);
    if (!length) return ReadOutcome::Violation;
    pdu.resize(*length);
    outcome = ReadExactly(socket, pdu.data() + kCommonHeaderSize, *length - kCommonHeaderSize,
                          deadline, deadline, sawNothing);
    if (outcome == ReadOutcome::Complete) return outcome;
    return outcome == ReadOutcome::Idle     ? ReadOutcome::Stalled
           : outcome == ReadOutcome::Closed ? ReadOutcome::Violation
                                            : outcome;
}

std::string LocalAddress(const Socket& socket, std::uint32_t* networkOrderAddress) {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    if (::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (networkOrderAddress) *networkOrderAddress = where.sin_addr.s_addr;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &where.sin_addr, text, sizeof text);
    return text;
}

}  // namespace platform::rpc
