// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The TCP transport under the RPC runtime: listening and connected sockets as RAII values,
// whole-buffer sends without SIGPIPE, exact reads, and reading one PDU by its frag_length.
// Knows bytes only, nothing of RPC beyond the 16-byte common header it must read first.
//
// A Socket is owned by one object; several threads may send on one socket when they hold
// the owner's send lock, while one thread reads.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// Whether ListenTcp could bind address:port now: 0, -1 when the address does not resolve,
// else the errno of the bind (EADDRINUSE: another program holds the port).
int ProbeTcpBind(const std::string& address, std::uint16_t port);

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
    Idle,       // no byte of a PDU arrived before the first-byte deadline
    Stalled,    // a PDU began but was not complete in time
};

// How long ReadPdu may wait. The defaults wait for ever.
struct ReadDeadlines {
    using Clock = std::chrono::steady_clock;
    // The first byte of the PDU must arrive by then, else Idle.
    Clock::time_point firstByte = Clock::time_point::max();
    // Once its first byte is in, the rest must follow within this many milliseconds, else
    // Stalled; negative: no limit.
    int pduMs = -1;
    // The whole PDU must be in by then, else Stalled (or Idle when nothing came).
    Clock::time_point whole = Clock::time_point::max();
};

// The length of the PDU whose first 16 bytes are header, when the header can be honoured:
// an integer representation we decode and a frag_length from 16 to maxFragment. The
// version is not looked at here: a bind of another version is answered, not dropped.
std::optional<std::size_t> AcceptablePduLength(const std::uint8_t* header, std::size_t maxFragment);

// Reads one PDU: its 16-byte header, then the rest up to frag_length. A header that
// AcceptablePduLength refuses is a Violation and nothing more is read.
ReadOutcome ReadPdu(const Socket& socket, std::size_t maxFragment, std::vector<std::uint8_t>& pdu,
                    const ReadDeadlines& deadlines = {});

// The local address of a connected socket as dotted text ("127.0.0.1"), and its IPv4
// address in network order.
std::string LocalAddress(const Socket& socket, std::uint32_t* networkOrderAddress = nullptr);

}  // namespace platform::rpc
