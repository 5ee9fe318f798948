// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The client end of a remote connection (see remote.h): machine names, the ssh command
// line, and one ssh child carrying framed requests and replies. Used by the registry and
// service layers; the applets and tools see only remote.h.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "platform/base/wintypes.h"
#include "platform/remote/remote.h"

namespace platform::remote {

// A machine name taken apart: [\\][USER@]HOST[:PORT].
struct Machine {
    std::string user;  // "" when not given
    std::string host;
    int port = 0;  // 0 when not given
};

// Parses a machine name. Nothing (with *error set) for an empty host, a bad port (1-65535),
// or a host or user that could be taken for an ssh option or holds spaces or control bytes.
std::optional<Machine> ParseMachine(std::string_view text, std::string* error);

// True for null, "" or "\\", and for this host's own name, short or full, without case (with
// or without "\\"). A name with a user or a port always means a connection.
bool IsLocalMachine(const char* machineName);

// Splits text into words as a POSIX shell would without expanding anything: blanks separate
// words; '...' keeps everything literally; "..." keeps everything but \" \\ \$ \` (and
// backslash-newline); outside quotes a backslash keeps the next character. Nothing (with
// *error set) for an unterminated quote.
std::optional<std::vector<std::string>> SplitWords(std::string_view text, std::string* error);

// The whole ssh command line for machine running remoteCommand (see remote.h). sshWords is
// the DORNEL_SSH value, or null for plain "ssh".
std::optional<std::vector<std::string>> SshCommand(const Machine& machine,
                                                   const std::string& remoteCommand,
                                                   Prompting prompting, const char* sshWords,
                                                   std::string* error);

// Sets this thread's LastConnectionError().
void SetLastConnectionError(std::string text);

// One ssh child and the conversation with the server behind it. Calls are serialised: a
// connection may be shared by handles used from several threads.
class Connection {
  public:
    // Starts ssh to machineName running "program --serve" and greets service there. Null with
    // *error = ERROR_BAD_NETPATH (or ERROR_INVALID_PARAMETER for a malformed name) and
    // LastConnectionError() set when the connection cannot be made.
    static std::shared_ptr<Connection> Open(const std::string& machineName,
                                            const std::string& program, const std::string& service,
                                            LONG* error);
    ~Connection();  // Close()
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends one request and waits (bounded) for its reply payload. False, with
    // ERROR_NETNAME_DELETED in *error and LastConnectionError() set, when the connection
    // is closed or breaks now; a broken connection stays broken.
    bool Call(const std::string& request, std::string* reply, LONG* error);

    // Ends the conversation: closes the server's input, lets ssh end (bounded), stops it
    // otherwise, and reaps it. Later calls fail. Safe to call twice.
    void Close();
    // Closes a connection whose answer did not parse (the far side is not what it claims)
    // and says so as this thread's last connection error.
    void CloseMalformed();

    const std::string& MachineName() const { return name_; }

  private:
    Connection() = default;
    bool Send(const std::string& frame, std::chrono::steady_clock::time_point deadline);
    bool Receive(std::string* payload, std::chrono::steady_clock::time_point deadline,
                 bool* timedOut);
    void DrainErrors();
    // Marks the connection broken with reason, stops the child and reaps it.
    void Break(const std::string& reason);
    void EndChild(std::chrono::milliseconds grace);

    std::mutex mutex_;
    std::string name_;  // the machine name as given, for messages
    pid_t pid_ = -1;
    int requestFd_ = -1;  // ssh's standard input (our end of a socket pair)
    int replyFd_ = -1;    // ssh's standard output
    int errorFd_ = -1;    // ssh's standard error
    int exitStatus_ = -1;
    std::string received_;  // bytes of replies not yet taken
    std::string errors_;    // the last few KiB of ssh's standard error
    std::string broken_;    // why the connection is unusable; "" while it works
};

// Seconds a reply may take (DORNEL_REMOTE_TIMEOUT, default 30).
std::chrono::milliseconds CallTimeout();

}  // namespace platform::remote
