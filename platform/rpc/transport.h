// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The TCP transport under the RPC runtime: listening and connected sockets as RAII values,
// whole-buffer sends without SIGPIPE, exact reads, and reading one PDU by its frag_length.
// Knows bytes only, nothing of RPC beyond the 16-byte common header it must read first.
//
// A Socket is owned by one object; several threads may send on one socket when they hold
// the owner's send lock, while one thread reads.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::rpc {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Fd() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Close();
    // Ends both directions without closing the descriptor, waking a blocked reader.
    void Shutdown();
    // Ends the reading side only: a blocked reader sees the end, sends still go out.
    void ShutdownRead();

private:
    int fd_ = -1;
};

// A listening socket on address:port (port 0: the system picks). Empty address: every
// local address. Sets boundPort; an invalid Socket on failure.
Socket ListenTcp(const std::string& address, std::uint16_t port, int backlog,
                 std::uint16_t& boundPort);

// Accepts one connection; an invalid Socket when the listener was shut down or failed.
Socket AcceptTcp(const Socket& listener);

// Connects to host (name or dotted address) and port within timeoutMs; an invalid Socket
// on failure.
Socket ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs);

// Sends every byte; false when the connection failed.
bool SendAll(const Socket& socket, const std::uint8_t* data, std::size_t size);

// Outcome of reading one PDU.
enum class ReadOutcome {
    Complete,   // pdu holds one whole PDU
    Closed,     // the peer closed (or reset) the connection before a PDU began
    Violation,  // a header that cannot be honoured, or a PDU cut short
};

// Reads one PDU: its 16-byte header, then the rest up to frag_length. A frag_length below
// 16 or above maxFragment, or a version other than 5.0/5.1, is a Violation and nothing
// more is read.
ReadOutcome ReadPdu(const Socket& socket, std::size_t maxFragment, std::vector<std::uint8_t>& pdu);

// The local address of a connected socket as dotted text ("127.0.0.1"), and its IPv4
// address in network order.
std::string LocalAddress(const Socket& socket, std::uint32_t* networkOrderAddress = nullptr);

}  // namespace platform::rpc
