// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// One ssh child: starting it, the hello, framed calls with time limits, and its end.

#include "platform/remote/connection.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/remote/frame.h"

extern char** environ;

namespace platform::remote {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kErrorTail = 4096;
// How long ssh may take to end after its input closed, before it is stopped.
constexpr std::chrono::milliseconds kEndGrace{3000};
// The least time an interactive connection gets to come up (a person types a password).
constexpr std::chrono::seconds kInteractiveConnect{300};

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60 * 60 * 1000));
}

void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

// The environment ssh gets: ours, with SSH_ASKPASS_REQUIRE=force added in interactive mode
// when an askpass program is named and the caller did not choose otherwise.
std::vector<std::string> SshEnvironment(Prompting mode) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) environment.emplace_back(*entry);
    if (mode == Prompting::Interactive && std::getenv("SSH_ASKPASS") &&
        !std::getenv("SSH_ASKPASS_REQUIRE")) {
        environment.emplace_back("SSH_ASKPASS_REQUIRE=force");
    }
    return environment;
}

// The last non-empty lines of ssh's standard error, joined by "; ".
std::string Lines(const std::string& text) {
    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) result += (result.empty() ? "" : "; ") + line;
        start = end + 1;
    }
    return result;
}

}  // namespace

std::shared_ptr<Connection> Connection::Open(const std::string& machineName,
                                             const std::string& program, const std::string& service,
                                             LONG* error) {
    SetLastConnectionError("");
    std::string reason;
    const auto machine = ParseMachine(machineName, &reason);
    if (!machine) {
        SetLastConnectionError(reason);
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const Prompting mode = CurrentPrompting();
    const auto command =
        SshCommand(*machine, program + " --serve", mode, std::getenv("DORNEL_SSH"), &reason);
    if (!command) {
        SetLastConnectionError(reason);
        *error = ERROR_BAD_NETPATH;
        return nullptr;
    }

    std::shared_ptr<Connection> connection(new Connection);
    connection->name_ = machine->host;

    // Everything the child needs is made before the fork: only async-signal-safe calls
    // happen between fork and exec, since the caller may have other threads.
    std::vector<std::string> args = *command;
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = SshEnvironment(mode);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int requests[2] = {-1, -1};
    int replies[2] = {-1, -1};
    int errors[2] = {-1, -1};
    // Socket pairs for the conversation, so a write to an ended ssh fails instead of raising
    // SIGPIPE in the caller.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requests) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, replies) != 0 ||
        ::pipe2(errors, O_CLOEXEC) != 0) {
        SetLastConnectionError(std::string("cannot start ssh: ") + std::strerror(errno));
        for (int* pair : {requests, replies, errors}) {
            CloseFd(&pair[0]);
            CloseFd(&pair[1]);
        }
        *error = ERROR_BAD_NETPATH;
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        if (::dup2(requests[1], 0) < 0 || ::dup2(replies[1], 1) < 0 || ::dup2(errors[1], 2) < 0) {
            ::_exit(127);
        }
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::signal(SIGPIPE, SIG_DFL);
        ::execvpe(argv[0], argv.data(), envp.data());
        static const char kNoSsh[] = "cannot run ssh: ";
        ssize_t ignored = ::write(2, kNoSsh, sizeof kNoSsh - 1);
        const char* why = std::strerror(errno);
        ignored = ::write(2, why, std::strlen(why));
        (void)ignored;
        ::_exit(126);
    }
    const int forkError = errno;
    ::close(requests[1]);
    ::close(replies[1]);
    ::close(errors[1]);
    if (pid < 0) {
        ::close(requests[0]);
        ::close(replies[0]);
        ::close(errors[0]);
        SetLastConnectionError(std::string("cannot start ssh: ") + std::strerror(forkError));
        *error = ERROR_BAD_NETPATH;
        return nullptr;
    }
    connection->pid_ = pid;
    connection->requestFd_ = requests[0];
    connection->replyFd_ = replies[0];
    connection->errorFd_ = errors[0];
    for (int fd : {requests[0], replies[0], errors[0]}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    // The hello proves that ssh got through and that the program runs there.
    auto limit = CallTimeout();
    if (mode == Prompting::Interactive && limit < kInteractiveConnect) limit = kInteractiveConnect;
    const auto deadline = Clock::now() + limit;
    Writer hello;
    hello.U32(kMagic).U32(kVersion).Text(service);
    std::string payload;
    bool timedOut = false;
    std::uint32_t magic = 0, version = 0, status = 0;
    if (connection->Send(Frame(hello.Payload()), deadline) &&
        connection->Receive(&payload, deadline, &timedOut)) {
        Reader reader(payload);
        if (reader.U32(&magic) && reader.U32(&version) && reader.U32(&status) && magic == kMagic &&
            version == kVersion && status == 0) {
            return connection;
        }
        connection->Break(program + " on " + machine->host +
                          " did not accept the connection (protocol version or service " + service +
                          " not offered)");
    } else if (timedOut) {
        connection->Break("no answer from " + machine->host + " within " +
                          std::to_string(limit.count() / 1000) + " s");
    } else {
        // ssh ended (or closed its output): its exit status and message tell why. Its input
        // is closed first, so an ssh still running sees the end and need not be waited for.
        CloseFd(&connection->requestFd_);
        connection->EndChild(kEndGrace);
        connection->DrainErrors();
        const std::string said = Lines(connection->errors_);
        const int code = connection->exitStatus_;
        if (code == 127 || code == 126) {
            reason = code == 126 && said.rfind("cannot run ssh", 0) == 0
                         ? said
                         : program + " was not found on " + machine->host +
                               (said.empty() ? "" : " (" + said + ")");
        } else if (!said.empty()) {
            reason = said;
        } else {
            reason = "the connection to " + machine->host + " closed (ssh exit status " +
                     std::to_string(code) + ")";
        }
        connection->Break(reason);
    }
    SetLastConnectionError(connection->broken_);
    *error = ERROR_BAD_NETPATH;
    return nullptr;
}

Connection::~Connection() { Close(); }

bool Connection::Call(const std::string& request, std::string* reply, LONG* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_.empty()) {
        const auto limit = CallTimeout();
        const auto deadline = Clock::now() + limit;
        bool timedOut = false;
        if (Send(Frame(request), deadline) && Receive(reply, deadline, &timedOut)) return true;
        if (timedOut) {
            Break("no answer from " + name_ + " within " + std::to_string(limit.count() / 1000) +
                  " s; the connection was closed");
        } else {
            CloseFd(&requestFd_);
            EndChild(kEndGrace);
            DrainErrors();
            const std::string said = Lines(errors_);
            Break("the connection to " + name_ + " was lost" +
                  (said.empty() ? "" : " (" + said + ")"));
        }
    }
    SetLastConnectionError(broken_);
    *error = ERROR_NETNAME_DELETED;
    return false;
}

void Connection::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_.empty()) broken_ = "the connection to " + name_ + " was closed";
    // Closing ssh's input ends the server, and ssh with it.
    CloseFd(&requestFd_);
    EndChild(kEndGrace);
    CloseFd(&replyFd_);
    CloseFd(&errorFd_);
}

void Connection::CloseMalformed() {
    Close();
    SetLastConnectionError("the answer from " + name_ +
                           " was malformed; the connection was closed");
}

bool Connection::Send(const std::string& frame, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        if (requestFd_ < 0) return false;
        const ssize_t n = ::send(requestFd_, frame.data() + sent, frame.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // Keep ssh's standard error flowing while waiting, so it never blocks on it.
        pollfd fds[2] = {{requestFd_, POLLOUT, 0}, {errorFd_, POLLIN, 0}};
        const int ready = ::poll(fds, errorFd_ >= 0 ? 2 : 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP))) DrainErrors();
        if (Clock::now() >= deadline) return false;
    }
    return true;
}

bool Connection::Receive(std::string* payload, Clock::time_point deadline, bool* timedOut) {
    *timedOut = false;
    for (;;) {
        std::string_view frame;
        std::size_t used = 0;
        switch (TakeFrame(received_, &frame, &used)) {
            case FrameStatus::Complete:
                payload->assign(frame);
                received_.erase(0, used);
                return true;
            case FrameStatus::TooLarge:
                errors_ += "\nthe server sent a malformed frame";
                return false;
            case FrameStatus::Partial:
                break;
        }
        if (replyFd_ < 0) return false;
        char buffer[65536];
        const ssize_t n = ::recv(replyFd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) return false;  // ssh closed its output
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (Clock::now() >= deadline) {
            *timedOut = true;
            return false;
        }
        pollfd fds[2] = {{replyFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}};
        const int ready = ::poll(fds, errorFd_ >= 0 ? 2 : 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP))) DrainErrors();
    }
}

void Connection::DrainErrors() {
    if (errorFd_ < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(errorFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            CloseFd(&errorFd_);  // ssh is ending; nothing more will come
            break;
        }
        if (n < 0) break;
        errors_.append(buffer, static_cast<std::size_t>(n));
    }
    if (errors_.size() > kErrorTail) errors_.erase(0, errors_.size() - kErrorTail);
}

void Connection::Break(const std::string& reason) {
    broken_ = reason.empty() ? "the connection to " + name_ + " failed" : reason;
    CloseFd(&requestFd_);
    EndChild(std::chrono::milliseconds(0));
    CloseFd(&replyFd_);
    CloseFd(&errorFd_);
    received_.clear();
}

void Connection::EndChild(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    // Waits for it to end by itself, then asks it to end, then kills it: never unbounded.
    const auto wait = [this](std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        for (;;) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno == ECHILD)) {
                exitStatus_ = done == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                pid_ = -1;
                return true;
            }
            if (Clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            DrainErrors();
        }
    };
    // ssh leads a session of its own: the signals reach what it started too (a proxy
    // command, the ssh behind a wrapper named by DORNEL_SSH).
    const auto signal = [this](int number) {
        if (::kill(-pid_, number) != 0) ::kill(pid_, number);
    };
    if (wait(grace)) return;
    signal(SIGTERM);
    if (wait(std::chrono::milliseconds(1000))) return;
    signal(SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace platform::remote
