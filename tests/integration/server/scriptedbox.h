// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// ScriptedBox: the box end of the link, driven by a test. It listens on its own loopback
// address, port 3245, accepts the server's connections one after the other, runs the box
// end of the key exchange and records every packet the server sends. A test tells it what
// to send and how to misbehave: answer every packet with NAK, stay silent, close the
// connection, write raw bytes.
//
// All link traffic of a connection runs on the box's own thread, because the cipher state
// belongs to the thread that ran the key exchange; the test's calls are handed to it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sessiontest {

using namespace std::chrono_literals;

// One packet the box received, with the connection it came on (1 for the first).
struct BoxPacket {
    int connection;
    int type;
    std::string payload;
};

// How the box answers packets that want an acknowledgement.
enum class AckMode {
    Ack,     // PKT_ACK, as a box does
    Nak,     // PKT_NAK to everything, after the key exchange
    Silent,  // nothing at all, after the key exchange
};

class ScriptedBox {
public:
    // Starts listening on address:3245 at once; the test fails if the port cannot be bound.
    explicit ScriptedBox(std::string address);
    ~ScriptedBox();
    ScriptedBox(const ScriptedBox&) = delete;
    ScriptedBox& operator=(const ScriptedBox&) = delete;

    const std::string& address() const { return address_; }

    void SetAckMode(AckMode mode) { ackMode_.store(mode); }

    // Sends a packet on the current connection from the box's thread and waits for the
    // result of SendControlPacket (1 sent and acknowledged, 0 not), or -1 when no
    // connection came up within the time.
    int Send(int type, const std::string& payload, std::chrono::milliseconds timeout = 10s);
    // Writes raw bytes, enciphered under the session key when cipher is true.
    bool SendRaw(const std::string& bytes, std::chrono::milliseconds timeout = 10s);
    // Closes the current connection in an orderly way (the box goes away).
    void CloseConnection();
    // Closes it with a reset (SO_LINGER 0), as a box that loses power mid-session would
    // look once its address answers again.
    void ResetConnection();
    // Stops listening too: nothing answers on the address until Listen is called again.
    void StopListening();
    bool Listen();

    // Sends a request (the test fails unless it is sent and acknowledged) and waits for the
    // first packet after it of one of the answer types: that packet, or one of type 0 when
    // none came within the time.
    BoxPacket Request(int type, const std::string& payload, const std::vector<int>& answers,
                      std::chrono::milliseconds timeout = 15s);
    // Waits until the predicate over the packets so far holds; false on time-out.
    bool WaitFor(const std::function<bool(const std::vector<BoxPacket>&)>& predicate,
                 std::chrono::milliseconds timeout);
    // Waits for the count-th packet (from the first) of the type on the connection (0: any).
    bool WaitForType(int type, std::chrono::milliseconds timeout, int connection = 0,
                     int count = 1);
    // Waits until connections have been accepted in all.
    bool WaitForConnections(int count, std::chrono::milliseconds timeout);
    // True when the current connection was closed by the server.
    bool WaitForServerClose(std::chrono::milliseconds timeout);

    std::vector<BoxPacket> Packets() const;
    // The packets of one connection, in order.
    std::vector<BoxPacket> PacketsOf(int connection) const;
    int Connections() const;
    // Forgets the packets so far.
    void ClearPackets();

private:
    struct Command {
        std::function<int()> action;
        int result = -1;
        bool done = false;
    };

    void Loop();
    bool AcceptOne();
    void ServeConnection();
    int RunOnBoxThread(std::function<int()> action, std::chrono::milliseconds timeout);

    std::string address_;
    std::atomic<AckMode> ackMode_{AckMode::Ack};
    std::atomic<bool> stop_{false};
    std::atomic<int> listenFd_{-1};
    std::atomic<int> connectionFd_{-1};
    std::atomic<bool> serverClosed_{false};

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<BoxPacket> packets_;
    std::deque<Command*> commands_;
    int connections_ = 0;
    std::thread thread_;
};

// A free loopback address of this test program: 127.0.5.<base + index>. Programs that run
// side by side use different bases (see the CMakeLists of the tests).
std::string BoxAddress(int index);

}  // namespace sessiontest
