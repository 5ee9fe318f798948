// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "tools/boxsim/boxsim.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <getopt.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "client/src/Protocol.h"
#include "client/src/des.h"

// Sections: options, script lines, output, listening sockets, the status port, the session
// (receiving, requests, commands), the run.

namespace boxsim {

namespace {

using Clock = std::chrono::steady_clock;

// How long the link must stay silent before a request goes out. The server sends its
// start-up burst (on line, message pages, settings) and its own control packets
// stop-and-wait; a request sent into the middle of one is read by the server's
// acknowledgement wait and dropped.
constexpr int kQuietMs = 250;
// How long a request waits for its PKT_ACK before it is sent again.
constexpr int kAckWaitMs = 5000;
// How long to wait for the server to send its packet again after a collision.
constexpr int kResendWaitMs = 1000;
constexpr int kSendAttempts = 5;
// Bound of a single receive once a frame has begun to arrive, so a half frame cannot hang
// the simulator.
constexpr int kFrameStallSeconds = 5;

bool IsAnswerType(int type) {
    return type == PKT_AUTH_ACCEPT || type == PKT_AUTH_DECLINE || type == PKT_DEPOSIT_RESULT;
}

std::string Trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool ParseInteger(const std::string& text, long low, long high, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("boxsim: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

}  // namespace

// ---- Options -------------------------------------------------------------------------------

std::string UsageText() {
    return "Usage: boxsim [OPTION]...\n"
           "Simulates a payment box: listens for the server on the box port, agrees the\n"
           "session key, acknowledges and prints every packet (\"recv TYPE PAYLOAD\"), and\n"
           "sends the requests of a script or of standard input.\n"
           "\n"
           "  --address ADDR       listen on ADDR (default 127.0.0.1)\n"
           "  --port N             box link port (default 3245; 0 picks a free port)\n"
           "  --status-port N      status port (default 3246; 0 picks a free port)\n"
           "  --status-line TEXT   a line sent on the status port (repeatable); without\n"
           "                       any, boxsim reports its own link state\n"
           "  --script FILE        read commands from FILE instead of standard input\n"
           "  --once               end when the first connection closes\n"
           "  --timeout SECONDS    bound the whole run; exit 1 when it passes\n"
           "  --help               show this text\n"
           "\n"
           "Commands, one per line (blank lines and lines starting with # are ignored):\n"
           "  auth USER|PASSWORD   send an authentication request (10)\n"
           "  deposit LETTERS      send a deposit (14), one letter a-i per coin\n"
           "  door TEXT            send the door state (17)\n"
           "  keepalive            send a keep-alive (11)\n"
           "  wait MILLISECONDS    keep receiving for that long\n"
           "  expect TYPE          wait for a packet of TYPE; fails if another answer\n"
           "                       (12, 13, 15) comes first or the time-out passes\n"
           "  close                close the connection\n"
           "\n"
           "Exit status: 0 done, 1 failed (a failed command, a link error, the time-out\n"
           "passed), 2 usage error.\n";
}

ParseOutcome ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    enum { kAddress = 1000, kPort, kStatusPort, kStatusLine, kScript, kOnce, kTimeout, kHelp };
    static const struct option kLongOptions[] = {
        {"address", required_argument, nullptr, kAddress},
        {"port", required_argument, nullptr, kPort},
        {"status-port", required_argument, nullptr, kStatusPort},
        {"status-line", required_argument, nullptr, kStatusLine},
        {"script", required_argument, nullptr, kScript},
        {"once", no_argument, nullptr, kOnce},
        {"timeout", required_argument, nullptr, kTimeout},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    opterr = 0;
    for (;;) {
        int index = 0;
        int option = getopt_long(argc, argv, "", kLongOptions, &index);
        if (option == -1) break;
        long value = 0;
        switch (option) {
            case kAddress:
                options->address = optarg;
                break;
            case kPort:
            case kStatusPort:
                if (!ParseInteger(optarg, 0, 65535, &value)) {
                    *error = std::string("invalid port '") + optarg + "'";
                    return ParseOutcome::Error;
                }
                (option == kPort ? options->port : options->statusPort) = static_cast<int>(value);
                break;
            case kStatusLine:
                options->statusLines.emplace_back(optarg);
                break;
            case kScript:
                options->scriptFile = optarg;
                break;
            case kOnce:
                options->once = true;
                break;
            case kTimeout: {
                char* end = nullptr;
                double seconds = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
                    *error = std::string("invalid time-out '") + optarg + "'";
                    return ParseOutcome::Error;
                }
                options->timeoutSeconds = seconds;
                break;
            }
            case kHelp:
                return ParseOutcome::Help;
            default:
                if (optopt >= kAddress) {
                    *error = std::string("option '") + argv[optind - 1] + "' needs a value";
                } else {
                    *error = std::string("unknown option '") + argv[optind - 1] + "'";
                }
                return ParseOutcome::Error;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + argv[optind] + "'";
        return ParseOutcome::Error;
    }
    if (::inet_addr(options->address.c_str()) == INADDR_NONE &&
        options->address != "255.255.255.255") {
        *error = "invalid address '" + options->address + "' (a dotted IPv4 address)";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

// ---- Script lines --------------------------------------------------------------------------

std::optional<Command> ParseCommand(const std::string& rawLine, std::string* error) {
    error->clear();
    std::string line = Trim(rawLine);
    if (line.empty() || line[0] == '#') return std::nullopt;
    std::size_t space = line.find_first_of(" \t");
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));

    Command command;
    auto needsArgument = [&](const char* what) {
        if (!rest.empty()) return true;
        *error = "'" + word + "' needs " + what;
        return false;
    };
    auto noArgument = [&] {
        if (rest.empty()) return true;
        *error = "'" + word + "' takes no argument";
        return false;
    };
    if (word == "auth") {
        if (!needsArgument("USER|PASSWORD")) return std::nullopt;
        command.kind = Command::Kind::Auth;
        command.text = rest;
    } else if (word == "deposit") {
        if (!needsArgument("coin letters")) return std::nullopt;
        command.kind = Command::Kind::Deposit;
        command.text = rest;
    } else if (word == "door") {
        if (!needsArgument("a door state")) return std::nullopt;
        command.kind = Command::Kind::Door;
        command.text = rest;
    } else if (word == "keepalive") {
        if (!noArgument()) return std::nullopt;
        command.kind = Command::Kind::KeepAlive;
    } else if (word == "close") {
        if (!noArgument()) return std::nullopt;
        command.kind = Command::Kind::Close;
    } else if (word == "wait") {
        long ms = 0;
        if (!ParseInteger(rest, 0, 86400000, &ms)) {
            *error = "'wait' needs a number of milliseconds, not '" + rest + "'";
            return std::nullopt;
        }
        command.kind = Command::Kind::Wait;
        command.number = static_cast<int>(ms);
    } else if (word == "expect") {
        long type = 0;
        if (!ParseInteger(rest, 1, 255, &type)) {
            *error = "'expect' needs a packet type 1 to 255, not '" + rest + "'";
            return std::nullopt;
        }
        command.kind = Command::Kind::Expect;
        command.number = static_cast<int>(type);
    } else {
        *error = "unknown command '" + word + "'";
        return std::nullopt;
    }
    if (static_cast<int>(command.text.size()) > kMaxPayload) {
        *error = "payload longer than " + std::to_string(kMaxPayload) + " bytes";
        return std::nullopt;
    }
    return command;
}

// ---- Output --------------------------------------------------------------------------------

std::string EscapePayload(const char* data, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                }
        }
    }
    return out;
}

namespace {

// ---- Listening sockets ---------------------------------------------------------------------

// A socket descriptor owned by its holder.
class OwnedSocket {
  public:
    OwnedSocket() = default;
    explicit OwnedSocket(SOCKET s) : socket_(s) {}
    ~OwnedSocket() { Close(); }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    OwnedSocket(OwnedSocket&& other) noexcept : socket_(other.socket_) { other.socket_ = -1; }
    OwnedSocket& operator=(OwnedSocket&& other) noexcept {
        if (this != &other) {
            Close();
            socket_ = other.socket_;
            other.socket_ = -1;
        }
        return *this;
    }
    SOCKET Get() const { return socket_; }
    bool Valid() const { return socket_ >= 0; }
    void Close() {
        if (socket_ >= 0) closesocket(socket_);
        socket_ = -1;
    }

  private:
    SOCKET socket_ = -1;
};

// Listens on address:port (0 for a free port); stores the bound port in *boundPort.
OwnedSocket Listen(const std::string& address, int port, int* boundPort, std::string* error) {
    OwnedSocket listener(CreateSocket(AF_INET, SOCK_STREAM, 0));
    if (!listener.Valid()) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return OwnedSocket();
    }
    int on = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in where;
    std::memset(&where, 0, sizeof where);
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = ::inet_addr(address.c_str());
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener.Get(), 4) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        return OwnedSocket();
    }
    socklen_t size = sizeof where;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&where), &size);
    *boundPort = ntohs(where.sin_port);
    return listener;
}

// Accepts one connection, never as descriptor 0, 1 or 2.
OwnedSocket Accept(SOCKET listener, std::string* peer) {
    struct sockaddr_in from;
    socklen_t size = sizeof from;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC);
    if (fd < 0) return OwnedSocket();
    if (fd <= 2) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        if (moved < 0) return OwnedSocket();
        fd = moved;
    }
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    return OwnedSocket(fd);
}

// ---- The status port -----------------------------------------------------------------------

// What the status port reports when no --status-line was given; written by the link thread.
class StatusBoard {
  public:
    void SetPeer(const std::string& peer) {
        std::lock_guard<std::mutex> lock(mutex_);
        peer_ = peer;
    }
    void SetOnline(bool online) {
        std::lock_guard<std::mutex> lock(mutex_);
        online_ = online;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {"Dornel box simulator",
                peer_.empty() ? "Link: waiting for the server" : "Link: connected to " + peer_,
                online_ ? "State: on line" : "State: off line"};
    }

  private:
    mutable std::mutex mutex_;
    std::string peer_;
    bool online_ = false;
};

// Answers every connection on the status port with the lines and closes it; reads nothing.
class StatusServer {
  public:
    StatusServer(OwnedSocket listener, std::vector<std::string> fixedLines,
                 const StatusBoard& board)
        : listener_(std::move(listener)), fixedLines_(std::move(fixedLines)), board_(board) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~StatusServer() {
        stop_ = true;
        thread_.join();
    }
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

  private:
    void Serve() {
        while (!stop_) {
            struct pollfd waitFor = {listener_.Get(), POLLIN, 0};
            if (::poll(&waitFor, 1, 100) <= 0) continue;
            std::string peer;
            OwnedSocket client = Accept(listener_.Get(), &peer);
            if (!client.Valid()) continue;
            // A status reader that never reads must not hold this thread.
            struct timeval bound = {2, 0};
            ::setsockopt(client.Get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
            std::vector<std::string> lines = fixedLines_.empty() ? board_.Lines() : fixedLines_;
            for (const std::string& line : lines) {
                std::string text = line + "\r\n";
                if (sock_write(client.Get(), text.data(), text.size()) <= 0) break;
            }
        }
    }

    OwnedSocket listener_;
    std::vector<std::string> fixedLines_;
    const StatusBoard& board_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- The session ---------------------------------------------------------------------------

// Where commands come from: the lines of a script file, or standard input as it arrives.
class CommandSource {
  public:
    static CommandSource FromScript(std::vector<Command> commands) {
        CommandSource source;
        source.queued_.assign(commands.begin(), commands.end());
        source.input_ = -1;
        return source;
    }
    static CommandSource FromInput(int fd) {
        CommandSource source;
        source.input_ = fd;
        source.forgiving_ = ::isatty(fd) != 0;
        return source;
    }

    bool HasCommand() const { return !queued_.empty(); }
    Command Take() {
        Command command = queued_.front();
        queued_.pop_front();
        return command;
    }
    // The descriptor to watch for more commands, or -1.
    int InputDescriptor() const { return input_; }

    // Reads what standard input has; queues complete lines. False on a bad line that ends
    // the run (a terminal user is told and may type again).
    bool ReadInput() {
        char chunk[4096];
        ssize_t got = ::read(input_, chunk, sizeof chunk);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) return true;
            if (!partial_.empty()) partial_ += '\n';
            input_ = -1;
        } else {
            partial_.append(chunk, static_cast<std::size_t>(got));
        }
        std::size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            std::string line = partial_.substr(0, end);
            partial_.erase(0, end + 1);
            ++lineNumber_;
            std::string error;
            std::optional<Command> command = ParseCommand(line, &error);
            if (command) {
                command->line = lineNumber_;
                queued_.push_back(*command);
            } else if (!error.empty()) {
                Note("input line %d: %s", lineNumber_, error.c_str());
                if (!forgiving_) return false;
            }
        }
        return true;
    }

  private:
    CommandSource() = default;
    std::deque<Command> queued_;
    int input_ = -1;
    bool forgiving_ = false;
    std::string partial_;
    int lineNumber_ = 0;
};

enum class SessionEnd { ClosedByServer, ClosedByUs, Failed, TimedOut };

// One connection from the server, after the key exchange. Runs on the thread that did the
// exchange, since the session key lives in that thread's cipher state.
class Session {
  public:
    Session(SOCKET sock, Clock::time_point deadline, bool bounded, StatusBoard& board)
        : socket_(sock), deadline_(deadline), bounded_(bounded), board_(board) {}

    SessionEnd Run(CommandSource& source) {
        for (;;) {
            if (source.HasCommand()) {
                Command command = source.Take();
                std::optional<SessionEnd> end = Execute(command);
                if (end == SessionEnd::Failed || end == SessionEnd::TimedOut) {
                    Note("the command of line %d did not complete", command.line);
                }
                if (end) return *end;
                continue;
            }
            // Idle: take the server's packets and, interactively, the next command.
            struct pollfd waitFor[2] = {{socket_, POLLIN, 0},
                                        {source.InputDescriptor(), POLLIN, 0}};
            int count = source.InputDescriptor() >= 0 ? 2 : 1;
            int ready = ::poll(waitFor, static_cast<nfds_t>(count), Remaining(-1));
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                if (Expired()) return TimedOutWhile("idle");
                continue;
            }
            if (count == 2 && (waitFor[1].revents & (POLLIN | POLLHUP))) {
                if (!source.ReadInput()) return SessionEnd::Failed;
            }
            if (waitFor[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                Packet packet;
                Received r = Receive(0, &packet);
                if (r == Received::Closed) {
                    Note("the server closed the connection");
                    return SessionEnd::ClosedByServer;
                }
                if (r == Received::Packet) Handle(packet);
            }
        }
    }

  private:
    struct Packet {
        int type = 0;
        std::string payload;
    };
    enum class Received { Packet, Quiet, BadFrame, Closed, TimedOut };

    // Milliseconds to wait: at most limitMs (-1 for no limit), never beyond the deadline.
    int Remaining(int limitMs) const {
        if (!bounded_) return limitMs;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left < 0) left = 0;
        if (limitMs >= 0 && limitMs < left) return limitMs;
        return static_cast<int>(left);
    }
    bool Expired() const { return bounded_ && Clock::now() >= deadline_; }

    SessionEnd TimedOutWhile(const char* what) {
        Note("timed out while %s", what);
        return SessionEnd::TimedOut;
    }

    // Waits up to waitMs (-1: until the deadline) for a frame and reads it, unacknowledged.
    Received Receive(int waitMs, Packet* packet) {
        for (;;) {
            struct pollfd waitFor = {socket_, POLLIN, 0};
            int ready = ::poll(&waitFor, 1, Remaining(waitMs));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return Expired() ? Received::TimedOut : Received::Quiet;
            break;
        }
        char probe;
        long peeked = ::recv(socket_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked == 0) return Received::Closed;
        if (peeked < 0 && errno != EAGAIN && errno != EINTR) return Received::Closed;
        char buffer[kReceiveBufferSize];
        int length = 0;
        int type = RealGetControlPacket(socket_, buffer, &length);
        if (type == -1) {
            char again;
            if (::recv(socket_, &again, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return Received::Closed;
            Note("dropped a frame that failed its length or CRC check");
            return Received::BadFrame;
        }
        packet->type = type;
        packet->payload.assign(buffer, static_cast<std::size_t>(length > 0 ? length - 1 : 0));
        return Received::Packet;
    }

    void Print(const Packet& packet) {
        std::string line = "recv " + std::to_string(packet.type);
        if (!packet.payload.empty()) {
            line += ' ';
            line += EscapePayload(packet.payload.data(), packet.payload.size());
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }

    // Prints a packet, notes it for expect, keeps the status up to date and acknowledges it
    // when its type asks for it.
    void Handle(const Packet& packet, bool acknowledge = true) {
        Print(packet);
        if (packet.type != PKT_ACK) seen_.push_back(packet.type);
        if (packet.type == PKT_ONLINE) board_.SetOnline(true);
        if (packet.type == PKT_OFFLINE) board_.SetOnline(false);
        if (acknowledge && !IsUnacknowledgedType(packet.type)) (void)SendACK(socket_);
    }

    // Receives until the link has been silent for kQuietMs.
    std::optional<SessionEnd> WaitQuiet() {
        for (;;) {
            Packet packet;
            switch (Receive(kQuietMs, &packet)) {
                case Received::Quiet:
                    return std::nullopt;
                case Received::Packet:
                    Handle(packet);
                    break;
                case Received::BadFrame:
                    break;
                case Received::Closed:
                    Note("the server closed the connection");
                    return SessionEnd::ClosedByServer;
                case Received::TimedOut:
                    return TimedOutWhile("waiting for the link to go quiet");
            }
        }
    }

    // The frame of one request, written once, in one write: prefix, then the body
    // enciphered under this thread's state.
    bool WriteFrame(int type, const std::string& payload) {
        unsigned char frame[4 + kMaxFrameLength] = {};
        const int payloadLength = static_cast<int>(payload.size());
        const int frameLength = payloadLength + 5;
        const int padded = (frameLength + 7) & ~7;
        unsigned char* body = frame + 4;
        body[0] = static_cast<unsigned char>(type);
        std::memcpy(body + 1, payload.data(), payload.size());
        uint32_t crc = GetPacketCRC(body, payloadLength + 1);
        for (int i = 0; i < 4; ++i) {
            frame[i] =
                static_cast<unsigned char>(static_cast<uint32_t>(frameLength) >> (24 - 8 * i));
            body[1 + payloadLength + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
        }
        const unsigned char* key = Protocol_EncryptionActive == 1   ? Protocol_ExchangeKey
                                   : Protocol_EncryptionActive == 2 ? Protocol_EncryptionKey
                                                                    : nullptr;
        if (key != nullptr) {
            DesKeySchedule schedule;
            deskey(key, EN0, &schedule);
            for (int offset = 0; offset < padded; offset += 8) {
                des(schedule, body + offset, body + offset);
            }
        }
        const std::size_t total = 4 + static_cast<std::size_t>(padded);
        return sock_write(socket_, reinterpret_cast<const char*>(frame), total) ==
               static_cast<int>(total);
    }

    // Sends one request stop-and-wait like SendControlPacket, but never loses a packet of
    // the server's that crosses it on the wire.
    //
    // A packet of an acknowledged type that arrives before our PKT_ACK means the server was
    // itself sending: its acknowledgement wait has read our request and dropped it, and it
    // will send its packet again. So that packet is not acknowledged at once (the ACK would
    // answer the repeat and leave a stray ACK behind); the repeat is awaited, printed and
    // acknowledged, and our request goes out again once the link is quiet.
    std::optional<SessionEnd> SendRequest(int type, const std::string& payload) {
        if (auto end = WaitQuiet()) return end;
        for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
            if (!WriteFrame(type, payload)) {
                Note("sending packet %d failed: %s", type, std::strerror(errno));
                return SessionEnd::Failed;
            }
            if (IsUnacknowledgedType(type)) return std::nullopt;
            bool again = false;
            while (!again) {
                Packet packet;
                switch (Receive(kAckWaitMs, &packet)) {
                    case Received::Quiet:
                        Note("no acknowledgement of packet %d (attempt %d)", type, attempt);
                        again = true;
                        break;
                    case Received::BadFrame:
                        again = true;
                        break;
                    case Received::Closed:
                        Note("the server closed the connection before acknowledging packet %d",
                             type);
                        return SessionEnd::Failed;
                    case Received::TimedOut:
                        return TimedOutWhile("waiting for an acknowledgement");
                    case Received::Packet:
                        if (packet.type == PKT_ACK) {
                            Print(packet);
                            return std::nullopt;
                        }
                        if (packet.type == PKT_NAK) {
                            Print(packet);
                            again = true;
                        } else if (IsUnacknowledgedType(packet.type)) {
                            Handle(packet);
                        } else {
                            if (auto end = ResolveCollision(packet)) return end;
                            if (auto end = WaitQuiet()) return end;
                            again = true;
                        }
                        break;
                }
            }
        }
        Note("packet %d was not acknowledged after %d attempts", type, kSendAttempts);
        return SessionEnd::Failed;
    }

    std::optional<SessionEnd> ResolveCollision(const Packet& first) {
        Note("packet %d of the server crossed our request; waiting for it again", first.type);
        Handle(first, /*acknowledge=*/false);
        Packet repeat;
        switch (Receive(kResendWaitMs, &repeat)) {
            case Received::Packet:
                if (repeat.type == first.type && repeat.payload == first.payload) {
                    // The same packet once more: print it, but expect counts it once.
                    Print(repeat);
                    (void)SendACK(socket_);
                } else {
                    (void)SendACK(socket_);
                    if (repeat.type == PKT_ACK) {
                        Print(repeat);
                    } else {
                        Handle(repeat);
                    }
                }
                return std::nullopt;
            case Received::Quiet:
            case Received::BadFrame:
                (void)SendACK(socket_);
                return std::nullopt;
            case Received::Closed:
                Note("the server closed the connection");
                return SessionEnd::Failed;
            case Received::TimedOut:
                return TimedOutWhile("waiting for the server's packet");
        }
        return std::nullopt;
    }

    // Consumes the packets noted since the last expect up to one of the wanted type.
    // True when found; false with *failure set when another answer came first.
    bool TakeExpected(int wanted, std::string* failure) {
        while (!seen_.empty()) {
            int type = seen_.front();
            seen_.pop_front();
            if (type == wanted) return true;
            if (IsAnswerType(type)) {
                *failure = "expected packet " + std::to_string(wanted) + " but the answer " +
                           std::to_string(type) + " came first";
                return false;
            }
        }
        return false;
    }

    std::optional<SessionEnd> Expect(int wanted) {
        for (;;) {
            std::string failure;
            if (TakeExpected(wanted, &failure)) return std::nullopt;
            if (!failure.empty()) {
                Note("%s", failure.c_str());
                return SessionEnd::Failed;
            }
            Packet packet;
            switch (Receive(-1, &packet)) {
                case Received::Packet:
                    Handle(packet);
                    break;
                case Received::Quiet:
                case Received::BadFrame:
                    break;
                case Received::Closed:
                    Note("the server closed the connection while we waited for packet %d", wanted);
                    return SessionEnd::Failed;
                case Received::TimedOut: {
                    std::string what = "waiting for packet " + std::to_string(wanted);
                    return TimedOutWhile(what.c_str());
                }
            }
        }
    }

    std::optional<SessionEnd> Wait(int ms) {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            Packet packet;
            switch (Receive(static_cast<int>(left), &packet)) {
                case Received::Packet:
                    Handle(packet);
                    break;
                case Received::Quiet:
                case Received::BadFrame:
                    break;
                case Received::Closed:
                    Note("the server closed the connection");
                    return SessionEnd::ClosedByServer;
                case Received::TimedOut:
                    return TimedOutWhile("waiting");
            }
        }
    }

    std::optional<SessionEnd> Execute(const Command& command) {
        switch (command.kind) {
            case Command::Kind::Auth:
                return SendRequest(PKT_AUTH_REQUEST, command.text);
            case Command::Kind::Deposit:
                return SendRequest(PKT_DEPOSIT, command.text);
            case Command::Kind::Door:
                return SendRequest(PKT_DOOR_STATE, command.text);
            case Command::Kind::KeepAlive:
                return SendRequest(PKT_KEEPALIVE, "");
            case Command::Kind::Wait:
                return Wait(command.number);
            case Command::Kind::Expect:
                return Expect(command.number);
            case Command::Kind::Close:
                ::shutdown(socket_, SHUT_RDWR);
                return SessionEnd::ClosedByUs;
        }
        return std::nullopt;
    }

    SOCKET socket_;
    Clock::time_point deadline_;
    bool bounded_;
    StatusBoard& board_;
    std::deque<int> seen_;  // types received since the last expect took them
};

// ---- The run -------------------------------------------------------------------------------

bool LoadScript(const std::string& file, std::vector<Command>* commands) {
    std::ifstream in(file);
    if (!in) {
        Note("cannot read the script %s: %s", file.c_str(), std::strerror(errno));
        return false;
    }
    std::string line;
    int number = 0;
    bool ok = true;
    while (std::getline(in, line)) {
        ++number;
        std::string error;
        std::optional<Command> command = ParseCommand(line, &error);
        if (command) {
            command->line = number;
            commands->push_back(*command);
        } else if (!error.empty()) {
            Note("%s:%d: %s", file.c_str(), number, error.c_str());
            ok = false;
        }
    }
    return ok;
}

}  // namespace

int Run(const Options& options) {
    WSADATA data;
    WSAStartup(0x0101, &data);

    std::vector<Command> script;
    if (!options.scriptFile.empty() && !LoadScript(options.scriptFile, &script)) {
        return kExitFailed;
    }
    CommandSource source = options.scriptFile.empty()
                               ? CommandSource::FromInput(STDIN_FILENO)
                               : CommandSource::FromScript(std::move(script));

    const bool bounded = options.timeoutSeconds > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(
                           static_cast<long long>(std::llround(options.timeoutSeconds * 1000)));
    auto remainingMs = [&]() -> int {
        if (!bounded) return -1;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };

    std::string error;
    int linkPort = 0;
    int statusPort = 0;
    OwnedSocket listener = Listen(options.address, options.port, &linkPort, &error);
    if (!listener.Valid()) {
        Note("%s", error.c_str());
        return kExitFailed;
    }
    OwnedSocket statusListener = Listen(options.address, options.statusPort, &statusPort, &error);
    if (!statusListener.Valid()) {
        Note("%s", error.c_str());
        return kExitFailed;
    }
    StatusBoard board;
    StatusServer status(std::move(statusListener), options.statusLines, board);
    Note("listening on %s:%d, status on %s:%d", options.address.c_str(), linkPort,
         options.address.c_str(), statusPort);

    for (;;) {
        struct pollfd waitFor = {listener.Get(), POLLIN, 0};
        int ready = ::poll(&waitFor, 1, remainingMs());
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            Note("timed out waiting for the server to connect");
            return kExitTimedOut;
        }
        std::string peer;
        OwnedSocket connection = Accept(listener.Get(), &peer);
        if (!connection.Valid()) continue;
        Note("connection from %s", peer.c_str());

        struct timeval stall = {kFrameStallSeconds, 0};
        ::setsockopt(connection.Get(), SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
        ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
        int on = 1;
        ::setsockopt(connection.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        struct pollfd keyWait = {connection.Get(), POLLIN, 0};
        if (::poll(&keyWait, 1, remainingMs()) == 0) {
            Note("timed out waiting for the session key");
            return kExitTimedOut;
        }
        if (!Client_ExchangeKey(connection.Get())) {
            Note("the key exchange with %s failed", peer.c_str());
            if (options.once) return kExitFailed;
            continue;
        }
        Note("session key agreed with %s", peer.c_str());
        board.SetPeer(peer);

        Session session(connection.Get(), deadline, bounded, board);
        SessionEnd end = session.Run(source);
        connection.Close();
        board.SetPeer("");
        board.SetOnline(false);
        if (end == SessionEnd::Failed) return kExitFailed;
        if (end == SessionEnd::TimedOut) return kExitTimedOut;
        if (options.once) {
            if (source.HasCommand()) {
                Note("the connection ended with script lines left to run");
                return kExitFailed;
            }
            return kExitOk;
        }
    }
}

}  // namespace boxsim
