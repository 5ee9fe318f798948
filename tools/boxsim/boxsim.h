// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// boxsim: the box end of the box link, for administrators and tests.
//
// It listens on the box port (3245) for the server's connection, runs the box end of the key
// exchange, acknowledges every acknowledged packet and prints each packet it receives on
// standard output as one line "recv TYPE PAYLOAD". Script lines (from a file or standard
// input) send the requests a box sends: authentication, deposit, door state, keep-alive.
// A second port (3246) answers every connection with the status lines and closes it.
//
// Everything that touches the link runs on the thread that calls Run, because the cipher
// state of the link is per thread; the status port has a thread of its own.

#include <optional>
#include <string>
#include <vector>

namespace boxsim {

// Command line of one run.
struct Options {
    std::string address = "127.0.0.1";     // where both ports listen
    int port = 3245;                       // box link port; 0 picks a free port
    int statusPort = 3246;                 // status port; 0 picks a free port
    std::vector<std::string> statusLines;  // sent on the status port, each with "\r\n"
    std::string scriptFile;                // empty: commands come from standard input
    bool once = false;                     // end when the first connection closes
    double timeoutSeconds = 0;             // bound of the whole run; 0 for none
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv into *options. Help means --help was given; Error leaves a message in *error.
ParseOutcome ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The usage text printed by --help.
std::string UsageText();

// One script line.
struct Command {
    enum class Kind { Auth, Deposit, Door, KeepAlive, Wait, Expect, Close };
    Kind kind = Kind::KeepAlive;
    std::string text;  // payload of auth, deposit and door
    int number = 0;    // milliseconds of wait, packet type of expect
    int line = 0;      // line number in its source, for messages
};

// Parses one script line. Blank lines and lines starting with "#" give nullopt with an
// empty *error; a malformed line gives nullopt and a message in *error.
std::optional<Command> ParseCommand(const std::string& line, std::string* error);

// The payload as printed: printable ASCII as is, \n \r \t \\ escaped, every other byte \xNN.
std::string EscapePayload(const char* data, std::size_t length);

// Exit codes of Run.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // bad script line, send or expect failure, link error
inline constexpr int kExitUsage = 2;     // bad command line
inline constexpr int kExitTimedOut = 1;  // --timeout passed: a failed run, said so

// Runs the simulator until --once or --timeout ends it (or for ever). Returns an exit code.
int Run(const Options& options);

}  // namespace boxsim
