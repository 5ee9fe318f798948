// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

#include "tests/integration/server/scriptedbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "client/src/Protocol.h"

namespace sessiontest {

namespace {

constexpr int kBoxPort = 3245;

int OpenListener(const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kBoxPort);
    ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

std::string BoxAddress(int index) {
    // Each test program has its own range of box addresses: SESSIONS_ADDRESS_NET names the
    // /24 (127.0.5 unless set) and SESSIONS_ADDRESS_BASE the first host number in it.
    const char* base = std::getenv("SESSIONS_ADDRESS_BASE");
    const char* net = std::getenv("SESSIONS_ADDRESS_NET");
    int first = base ? std::atoi(base) : 1;
    return std::string(net && *net ? net : "127.0.5") + "." + std::to_string(first + index);
}

ScriptedBox::ScriptedBox(std::string address) : address_(std::move(address)) {
    listenFd_.store(OpenListener(address_));
    EXPECT_GE(listenFd_.load(), 0) << "cannot listen on " << address_ << ":3245";
    thread_ = std::thread([this] { Loop(); });
}

ScriptedBox::~ScriptedBox() {
    stop_.store(true);
    thread_.join();
    if (int fd = connectionFd_.exchange(-1); fd >= 0) ::close(fd);
    if (int fd = listenFd_.exchange(-1); fd >= 0) ::close(fd);
}

void ScriptedBox::Loop() {
    while (!stop_.load()) {
        // Commands without a connection (listening on and off) run here too.
        RunOnBoxThread(nullptr, 0ms);
        int listener = listenFd_.load();
        if (listener < 0 || !Readable(listener, 20)) {
            if (listener < 0) std::this_thread::sleep_for(20ms);
            continue;
        }
        if (AcceptOne()) ServeConnection();
    }
}

bool ScriptedBox::AcceptOne() {
    int fd = ::accept4(listenFd_.load(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    serverClosed_.store(false);
    connectionFd_.store(fd);
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++connections_;
    }
    changed_.notify_all();
    // The key comes at once after the connection; a server that sends nothing within a few
    // seconds is not one.
    if (!Readable(fd, 5000) || Client_ExchangeKey(fd) != 1) {
        connectionFd_.store(-1);
        ::close(fd);
        return false;
    }
    return true;
}

void ScriptedBox::ServeConnection() {
    int connection;
    {
        std::lock_guard<std::mutex> guard(lock_);
        connection = connections_;
    }
    char buffer[1100];
    while (!stop_.load()) {
        RunOnBoxThread(nullptr, 0ms);
        int fd = connectionFd_.load();
        if (fd < 0) return;
        if (!Readable(fd, 10)) continue;
        char probe;
        if (::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            serverClosed_.store(true);
            connectionFd_.store(-1);
            ::close(fd);
            changed_.notify_all();
            return;
        }
        int length = 0;
        int type;
        switch (ackMode_.load()) {
            case AckMode::Ack:
                type = GetControlPacket(fd, buffer, &length);
                break;
            case AckMode::Nak:
                type = RealGetControlPacket(fd, buffer, &length);
                if (type != -1 && !IsUnacknowledgedType(type)) SendNAK(fd);
                break;
            case AckMode::Silent:
            default:
                type = RealGetControlPacket(fd, buffer, &length);
                break;
        }
        if (type == -1) continue;
        {
            std::lock_guard<std::mutex> guard(lock_);
            packets_.push_back({connection, type, std::string(buffer, length > 0 ? length - 1 : 0)});
        }
        changed_.notify_all();
    }
}

int ScriptedBox::RunOnBoxThread(std::function<int()> action, std::chrono::milliseconds timeout) {
    if (!action) {
        // On the box thread: run what the test has queued.
        for (;;) {
            Command* command;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (commands_.empty()) return 0;
                command = commands_.front();
                commands_.pop_front();
            }
            int result = command->action();
            {
                std::lock_guard<std::mutex> guard(lock_);
                command->result = result;
                command->done = true;
            }
            changed_.notify_all();
        }
    }
    Command command{std::move(action)};
    std::unique_lock<std::mutex> guard(lock_);
    commands_.push_back(&command);
    if (!changed_.wait_for(guard, timeout, [&] { return command.done; })) {
        // Not run in time: withdraw it, unless the box thread has just taken it.
        for (auto it = commands_.begin(); it != commands_.end(); ++it) {
            if (*it == &command) {
                commands_.erase(it);
                return -1;
            }
        }
        changed_.wait(guard, [&] { return command.done; });
    }
    return command.result;
}

int ScriptedBox::Send(int type, const std::string& payload, std::chrono::milliseconds timeout) {
    if (!WaitFor([this](const std::vector<BoxPacket>&) { return connectionFd_.load() >= 0; },
                 timeout)) {
        return -1;
    }
    return RunOnBoxThread(
        [this, type, payload] {
            int fd = connectionFd_.load();
            if (fd < 0) return -1;
            return SendControlPacket(fd, type, payload.data(), static_cast<int>(payload.size()));
        },
        timeout);
}

bool ScriptedBox::SendRaw(const std::string& bytes, std::chrono::milliseconds timeout) {
    return RunOnBoxThread(
               [this, bytes] {
                   int fd = connectionFd_.load();
                   if (fd < 0) return 0;
                   return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                  static_cast<ssize_t>(bytes.size())
                              ? 1
                              : 0;
               },
               timeout) == 1;
}

void ScriptedBox::CloseConnection() {
    RunOnBoxThread(
        [this] {
            if (int fd = connectionFd_.exchange(-1); fd >= 0) ::close(fd);
            return 1;
        },
        10s);
}

void ScriptedBox::ResetConnection() {
    RunOnBoxThread(
        [this] {
            if (int fd = connectionFd_.exchange(-1); fd >= 0) {
                linger hard{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                ::close(fd);
            }
            return 1;
        },
        10s);
}

void ScriptedBox::StopListening() {
    RunOnBoxThread(
        [this] {
            if (int fd = listenFd_.exchange(-1); fd >= 0) ::close(fd);
            return 1;
        },
        10s);
}

bool ScriptedBox::Listen() {
    return RunOnBoxThread(
               [this] {
                   if (listenFd_.load() >= 0) return 1;
                   listenFd_.store(OpenListener(address_));
                   return listenFd_.load() >= 0 ? 1 : 0;
               },
               10s) == 1;
}

BoxPacket ScriptedBox::Request(int type, const std::string& payload,
                               const std::vector<int>& answers, std::chrono::milliseconds timeout) {
    const std::size_t before = Packets().size();
    EXPECT_EQ(Send(type, payload), 1) << "request " << type << " was not acknowledged";
    BoxPacket answer{0, 0, ""};
    WaitFor(
        [&](const std::vector<BoxPacket>& packets) {
            for (std::size_t k = before; k < packets.size(); ++k) {
                for (int wanted : answers) {
                    if (packets[k].type == wanted) {
                        answer = packets[k];
                        return true;
                    }
                }
            }
            return false;
        },
        timeout);
    return answer;
}

bool ScriptedBox::WaitFor(const std::function<bool(const std::vector<BoxPacket>&)>& predicate,
                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate(packets_)) {
        // Woken by packets and by connection changes; polled as well for state outside lock_.
        if (changed_.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() + 20ms)) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            return predicate(packets_);
        }
    }
    return true;
}

bool ScriptedBox::WaitForType(int type, std::chrono::milliseconds timeout, int connection,
                              int count) {
    return WaitFor(
        [&](const std::vector<BoxPacket>& packets) {
            int seen = 0;
            for (const BoxPacket& p : packets) {
                if (p.type == type && (connection == 0 || p.connection == connection)) ++seen;
            }
            return seen >= count;
        },
        timeout);
}

bool ScriptedBox::WaitForConnections(int count, std::chrono::milliseconds timeout) {
    return WaitFor([&](const std::vector<BoxPacket>&) { return connections_ >= count; }, timeout);
}

bool ScriptedBox::WaitForServerClose(std::chrono::milliseconds timeout) {
    return WaitFor([&](const std::vector<BoxPacket>&) { return serverClosed_.load(); }, timeout);
}

std::vector<BoxPacket> ScriptedBox::Packets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packets_;
}

std::vector<BoxPacket> ScriptedBox::PacketsOf(int connection) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<BoxPacket> out;
    for (const BoxPacket& p : packets_) {
        if (p.connection == connection) out.push_back(p);
    }
    return out;
}

int ScriptedBox::Connections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

void ScriptedBox::ClearPackets() {
    std::lock_guard<std::mutex> guard(lock_);
    packets_.clear();
}

}  // namespace sessiontest
