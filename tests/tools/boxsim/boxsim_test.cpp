// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "tools/boxsim/boxsim.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"

extern char** environ;

namespace {

// ---- Script lines and output -------------------------------------------------------------

TEST(BoxsimScript, ParsesEveryCommand) {
    struct Row {
        const char* line;
        boxsim::Command::Kind kind;
        const char* text;
        int number;
    };
    using Kind = boxsim::Command::Kind;
    const Row rows[] = {
        {"auth jsmith|secret", Kind::Auth, "jsmith|secret", 0},
        {"  auth   a b|c d  ", Kind::Auth, "a b|c d", 0},
        {"deposit aaf", Kind::Deposit, "aaf", 0},
        {"door Open", Kind::Door, "Open", 0},
        {"keepalive", Kind::KeepAlive, "", 0},
        {"wait 250", Kind::Wait, "", 250},
        {"expect 12", Kind::Expect, "", 12},
        {"close\r", Kind::Close, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        std::string error;
        auto command = boxsim::ParseCommand(row.line, &error);
        ASSERT_TRUE(command.has_value()) << error;
        EXPECT_EQ(command->kind, row.kind);
        EXPECT_EQ(command->text, row.text);
        EXPECT_EQ(command->number, row.number);
    }
}

TEST(BoxsimScript, SkipsBlankAndCommentLinesAndRejectsBadOnes) {
    std::string error;
    for (const char* quiet : {"", "   ", "# a comment", "  # indented comment"}) {
        EXPECT_FALSE(boxsim::ParseCommand(quiet, &error).has_value());
        EXPECT_EQ(error, "") << quiet;
    }
    struct Row {
        const char* line;
        const char* message;
    };
    const Row bad[] = {
        {"fly away", "unknown command 'fly'"},
        {"auth", "'auth' needs USER|PASSWORD"},
        {"deposit", "'deposit' needs coin letters"},
        {"door", "'door' needs a door state"},
        {"keepalive now", "'keepalive' takes no argument"},
        {"close 1", "'close' takes no argument"},
        {"wait soon", "'wait' needs a number of milliseconds, not 'soon'"},
        {"wait -5", "'wait' needs a number of milliseconds, not '-5'"},
        {"expect 0", "'expect' needs a packet type 1 to 255, not '0'"},
        {"expect 256", "'expect' needs a packet type 1 to 255, not '256'"},
    };
    for (const Row& row : bad) {
        EXPECT_FALSE(boxsim::ParseCommand(row.line, &error).has_value()) << row.line;
        EXPECT_EQ(error, row.message);
    }
    std::string tooLong = "door " + std::string(kMaxPayload + 1, 'O');
    EXPECT_FALSE(boxsim::ParseCommand(tooLong, &error).has_value());
    EXPECT_NE(error, "");
}

TEST(BoxsimOutput, EscapesPayloadsOnOneLine) {
    const char raw[] = "A b\n\r\t\\\x01\x7F\xFFz";
    EXPECT_EQ(boxsim::EscapePayload(raw, sizeof raw - 1), "A b\\n\\r\\t\\\\\\x01\\x7F\\xFFz");
    EXPECT_EQ(boxsim::EscapePayload("", 0), "");
    const char zero[] = {'a', '\0', 'b'};
    EXPECT_EQ(boxsim::EscapePayload(zero, 3), "a\\x00b");
}

TEST(BoxsimOptions, ParsesTheCommandLine) {
    std::vector<std::string> args = {"boxsim", "--address",     "127.0.2.9", "--port",
                                     "4000",   "--status-port", "0",         "--status-line",
                                     "one",    "--status-line", "two",       "--script",
                                     "s.txt",  "--once",        "--timeout", "2.5"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    boxsim::Options options;
    std::string error;
    ASSERT_EQ(boxsim::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error),
              boxsim::ParseOutcome::Run)
        << error;
    EXPECT_EQ(options.address, "127.0.2.9");
    EXPECT_EQ(options.port, 4000);
    EXPECT_EQ(options.statusPort, 0);
    EXPECT_EQ(options.statusLines, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(options.scriptFile, "s.txt");
    EXPECT_TRUE(options.once);
    EXPECT_DOUBLE_EQ(options.timeoutSeconds, 2.5);

    struct Row {
        std::vector<std::string> args;
        boxsim::ParseOutcome outcome;
        const char* message;
    };
    const Row rows[] = {
        {{"boxsim", "--help"}, boxsim::ParseOutcome::Help, ""},
        {{"boxsim", "--port", "65536"}, boxsim::ParseOutcome::Error, "invalid port '65536'"},
        {{"boxsim", "--timeout", "0"}, boxsim::ParseOutcome::Error, "invalid time-out '0'"},
        {{"boxsim", "--address", "box-7"},
         boxsim::ParseOutcome::Error,
         "invalid address 'box-7' (a dotted IPv4 address)"},
        {{"boxsim", "--fly"}, boxsim::ParseOutcome::Error, "unknown option '--fly'"},
        {{"boxsim", "--port"}, boxsim::ParseOutcome::Error, "option '--port' needs a value"},
        {{"boxsim", "extra"}, boxsim::ParseOutcome::Error, "unexpected argument 'extra'"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> copy = row.args;
        std::vector<char*> v;
        for (auto& a : copy) v.push_back(a.data());
        boxsim::Options o;
        std::string e;
        EXPECT_EQ(boxsim::ParseOptions(static_cast<int>(v.size()), v.data(), &o, &e), row.outcome)
            << copy.back();
        EXPECT_EQ(e, row.message);
    }
}

// ---- The real executable, driven from the server end -------------------------------------

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One boxsim process with its own work folder; its output goes to files there.
class Boxsim {
  public:
    // With a script, boxsim reads it with --script; with input, from standard input.
    explicit Boxsim(std::vector<std::string> args, const std::string& script = "",
                    const std::string& input = "") {
        char pattern[] = "/tmp/boxsim-test-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        // Run by ctest, DORNEL_BIN_DIR names build/bin; run by hand, it is beside tests/.
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        std::string program =
            bin ? std::string(bin) + "/boxsim"
                : std::filesystem::read_symlink("/proc/self/exe").parent_path().string() +
                      "/../bin/boxsim";
        if (!script.empty()) {
            std::ofstream(dir_ + "/script.txt") << script;
            args.push_back("--script");
            args.push_back(dir_ + "/script.txt");
        }
        std::ofstream(dir_ + "/stdin") << input;
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, (dir_ + "/stdin").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ), 0)
            << program;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Boxsim() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Boxsim(const Boxsim&) = delete;
    Boxsim& operator=(const Boxsim&) = delete;

    // Waits (bounded) for the process to end and returns its exit status, -1 if killed.
    int Wait(int seconds = 20) {
        for (int i = 0; i < seconds * 50; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    std::string Stdout() const { return ReadFile(dir_ + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_ + "/stderr"); }

  private:
    pid_t pid_ = -1;
    std::string dir_;
};

// The server end of a box link, on the test's thread (the cipher state is per thread).
class ServerEnd {
  public:
    // Connects to boxsim's box port, retrying while boxsim starts (bounded).
    explicit ServerEnd(const char* address, const char* service = "3245") {
        for (int i = 0; i < 250 && sock_ < 0; ++i) {
            sock_ = make_connection(service, kConnectionStream, address);
            if (sock_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_GE(sock_, 0) << "boxsim did not listen on " << address;
        // A boxsim that stops answering fails the test instead of hanging it.
        struct timeval bound = {10, 0};
        ::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
    ~ServerEnd() {
        if (sock_ >= 0) closesocket(sock_);
        Protocol_EncryptionActive = 0;
    }
    ServerEnd(const ServerEnd&) = delete;
    ServerEnd& operator=(const ServerEnd&) = delete;

    SOCKET Socket() const { return sock_; }
    int Send(int type, const std::string& payload = "") {
        return SendControlPacket(sock_, type, payload.data(), static_cast<int>(payload.size()));
    }
    // The next packet from the box (acknowledged), with its payload in *payload.
    int Next(std::string* payload = nullptr) {
        char buffer[kReceiveBufferSize];
        int length = 0;
        int type = GetControlPacket(sock_, buffer, &length);
        if (payload != nullptr && type != -1)
            payload->assign(buffer, static_cast<std::size_t>(length - 1));
        return type;
    }

  private:
    SOCKET sock_ = -1;
};

const char kPage[] = "Welcome\n \n \n \n \n \n \n \n \nInsert coins\n";

TEST(BoxsimSession, RunsAWholeScriptedSession) {
    Boxsim box({"--address", "127.0.2.10", "--once", "--timeout", "20"},
               "# a whole session\n"
               "expect 16\n"
               "auth jsmith|secret\n"
               "expect 12\n"
               "deposit aaf\n"
               "expect 15\n"
               "door Open\n"
               "keepalive\n"
               "close\n");
    ServerEnd server("127.0.2.10");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    EXPECT_EQ(server.Send(PKT_ONLINE), 1);
    EXPECT_EQ(server.Send(PKT_MSG_BEGIN), 1);
    EXPECT_EQ(server.Send(PKT_MSG_CLEAR), 1);
    EXPECT_EQ(server.Send(PKT_MSG_TEXT, kPage), 1);
    EXPECT_EQ(server.Send(PKT_MSG_END), 1);
    EXPECT_EQ(server.Send(PKT_SETTINGS, "15|30|"), 1);

    std::string payload;
    ASSERT_EQ(server.Next(&payload), PKT_AUTH_REQUEST);
    EXPECT_EQ(payload, "jsmith|secret");
    EXPECT_EQ(server.Send(PKT_AUTH_ACCEPT, "12.50"), 1);
    ASSERT_EQ(server.Next(&payload), PKT_DEPOSIT);
    EXPECT_EQ(payload, "aaf");
    EXPECT_EQ(server.Send(PKT_DEPOSIT_RESULT, "14.60"), 1);
    ASSERT_EQ(server.Next(&payload), PKT_DOOR_STATE);
    EXPECT_EQ(payload, "Open");
    EXPECT_EQ(server.Next(), PKT_KEEPALIVE);
    EXPECT_EQ(server.Next(), -1);  // boxsim closed the connection

    EXPECT_EQ(box.Wait(), 0) << box.Stderr();
    EXPECT_EQ(box.Stdout(),
              "recv 3\n"
              "recv 9\n"
              "recv 6\n"
              "recv 7 Welcome\\n \\n \\n \\n \\n \\n \\n \\n \\nInsert coins\\n\n"
              "recv 8\n"
              "recv 16 15|30|\n"
              "recv 1\n"
              "recv 12 12.50\n"
              "recv 1\n"
              "recv 15 14.60\n");
}

TEST(BoxsimSession, ARequestCrossingAServerPacketIsSentAgainAndNothingIsLost) {
    Boxsim box({"--address", "127.0.2.11", "--once", "--timeout", "20"},
               "auth jsmith|secret\nexpect 12\nclose\n");
    ServerEnd server("127.0.2.11");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    // Let the request arrive unread, then send a packet of our own into it: our
    // acknowledgement wait reads the request and drops it, as the server does.
    struct pollfd request = {server.Socket(), POLLIN, 0};
    ASSERT_EQ(::poll(&request, 1, 10000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.Send(PKT_MSG_TEXT, "Hello"), 1);

    std::string payload;
    ASSERT_EQ(server.Next(&payload), PKT_AUTH_REQUEST);  // sent again
    EXPECT_EQ(payload, "jsmith|secret");
    EXPECT_EQ(server.Send(PKT_AUTH_ACCEPT, "3.00"), 1);
    EXPECT_EQ(server.Next(), -1);

    EXPECT_EQ(box.Wait(), 0) << box.Stderr();
    // The crossing packet was sent twice and is printed twice; expect counted it once.
    EXPECT_EQ(box.Stdout(), "recv 7 Hello\nrecv 7 Hello\nrecv 1\nrecv 12 3.00\n");
    EXPECT_NE(box.Stderr().find("crossed our request"), std::string::npos);
}

TEST(BoxsimSession, TakesCommandsFromStandardInput) {
    Boxsim box({"--address", "127.0.2.19", "--once", "--timeout", "20"}, "",
               "auth jsmith|wrong\n\nexpect 13\nclose\n");
    ServerEnd server("127.0.2.19");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    std::string payload;
    ASSERT_EQ(server.Next(&payload), PKT_AUTH_REQUEST);
    EXPECT_EQ(payload, "jsmith|wrong");
    EXPECT_EQ(server.Send(PKT_AUTH_DECLINE), 1);
    EXPECT_EQ(server.Next(), -1);
    EXPECT_EQ(box.Wait(), 0) << box.Stderr();
    EXPECT_EQ(box.Stdout(), "recv 1\nrecv 13\n");

    Boxsim bad({"--address", "127.0.2.19", "--once", "--timeout", "20"}, "", "dance\n");
    ServerEnd again("127.0.2.19");
    ASSERT_EQ(Server_ExchangeKey(again.Socket()), 1);
    EXPECT_EQ(bad.Wait(), boxsim::kExitFailed);
    EXPECT_NE(bad.Stderr().find("input line 1: unknown command 'dance'"), std::string::npos)
        << bad.Stderr();
}

TEST(BoxsimSession, TheStatusPortSendsItsLinesAndCloses) {
    Boxsim box({"--address", "127.0.2.12", "--status-line", "Box 1", "--status-line", "Door closed",
                "--timeout", "20"});
    SOCKET status = -1;
    for (int i = 0; i < 250 && status < 0; ++i) {
        status = make_connection("3246", kConnectionStream, "127.0.2.12");
        if (status < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(status, 0);
    char line[64];
    std::vector<std::string> lines;
    int n;
    while ((n = sock_gets(status, line, sizeof line)) >= 0) lines.emplace_back(line);
    closesocket(status);
    // CR and LF each end a line, as a status reader sees them.
    EXPECT_EQ(lines, (std::vector<std::string>{"Box 1", "", "Door closed", ""}));
}

TEST(BoxsimSession, TheDefaultStatusReportsTheLink) {
    Boxsim box({"--address", "127.0.2.13", "--timeout", "20"});
    ServerEnd server("127.0.2.13");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    EXPECT_EQ(server.Send(PKT_ONLINE), 1);
    SOCKET status = make_connection("3246", kConnectionStream, "127.0.2.13");
    ASSERT_GE(status, 0);
    char line[128];
    std::string report;
    while (sock_gets(status, line, sizeof line) >= 0) {
        if (line[0] != '\0') report += std::string(line) + "\n";
    }
    closesocket(status);
    EXPECT_EQ(report.rfind("Dornel box simulator\nLink: connected to 127.", 0), 0u) << report;
    EXPECT_NE(report.find("State: on line\n"), std::string::npos) << report;
}

// ---- Failures ------------------------------------------------------------------------------

TEST(BoxsimFailures, AnExpectAnsweredOtherwiseExitsNonZero) {
    Boxsim box({"--address", "127.0.2.14", "--once", "--timeout", "20"},
               "auth jsmith|wrong\nexpect 13\nclose\n");
    ServerEnd server("127.0.2.14");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    ASSERT_EQ(server.Next(), PKT_AUTH_REQUEST);
    EXPECT_EQ(server.Send(PKT_AUTH_ACCEPT, "1.00"), 1);
    EXPECT_EQ(box.Wait(), boxsim::kExitFailed);
    EXPECT_NE(box.Stderr().find("expected packet 13 but the answer 12 came first"),
              std::string::npos)
        << box.Stderr();
    EXPECT_NE(box.Stderr().find("the command of line 2 did not complete"), std::string::npos);
}

TEST(BoxsimFailures, AnExpectThatNeverComesTimesOut) {
    Boxsim box({"--address", "127.0.2.15", "--once", "--timeout", "1"}, "expect 16\n");
    ServerEnd server("127.0.2.15");
    ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    EXPECT_EQ(box.Wait(), boxsim::kExitTimedOut);
    EXPECT_NE(box.Stderr().find("timed out while waiting for packet 16"), std::string::npos)
        << box.Stderr();
}

TEST(BoxsimFailures, ABadScriptLineStopsBeforeListening) {
    Boxsim box({"--address", "127.0.2.16", "--once", "--timeout", "5"}, "auth a|b\nfly away\n");
    EXPECT_EQ(box.Wait(), boxsim::kExitFailed);
    EXPECT_NE(box.Stderr().find("script.txt:2: unknown command 'fly'"), std::string::npos)
        << box.Stderr();
    EXPECT_EQ(make_connection("3245", kConnectionStream, "127.0.2.16"), -1);
}

TEST(BoxsimFailures, TheServerLeavingMidScriptIsAFailure) {
    Boxsim box({"--address", "127.0.2.17", "--once", "--timeout", "20"}, "expect 3\nauth a|b\n");
    {
        ServerEnd server("127.0.2.17");
        ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
        EXPECT_EQ(server.Send(PKT_ONLINE), 1);
        ASSERT_EQ(server.Next(), PKT_AUTH_REQUEST);
    }
    EXPECT_EQ(box.Wait(), boxsim::kExitOk) << box.Stderr();

    Boxsim early({"--address", "127.0.2.18", "--once", "--timeout", "20"}, "expect 3\nauth a|b\n");
    {
        ServerEnd server("127.0.2.18");
        ASSERT_EQ(Server_ExchangeKey(server.Socket()), 1);
    }
    EXPECT_EQ(early.Wait(), boxsim::kExitFailed);
    EXPECT_NE(early.Stderr().find("closed the connection while we waited for packet 3"),
              std::string::npos)
        << early.Stderr();
}

TEST(BoxsimFailures, HelpAndBadOptions) {
    Boxsim help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_EQ(help.Stdout().rfind("Usage: boxsim", 0), 0u);
    Boxsim bad({"--port", "x"});
    EXPECT_EQ(bad.Wait(), boxsim::kExitUsage);
    EXPECT_NE(bad.Stderr().find("invalid port 'x'"), std::string::npos);
}

}  // namespace
