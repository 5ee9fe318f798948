// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Running a program as a given account with its output captured.
//
// A command is an argument vector run with fork and exec, never through a shell, so every
// argument reaches the program exactly as given. The child gets its own process group,
// the standard handles it is given (typically one pipe for both standard output and
// standard error, and the read end of an input pipe), no other descriptor, default signal
// handling, and the server's environment and current directory. When the account differs
// from the server's own identity, the child takes the account's supplementary groups,
// primary group and user id before exec; changing them needs root or CAP_SETUID and
// CAP_SETGID.
//
// Every child is waited for: a ChildProcess that goes out of scope while its child still
// runs kills the child's process group and reaps it. Nothing a child leaves in its process
// group outlives it once it has been waited for.
//
// Safe from any thread; every descriptor is created close-on-exec, so a child started on
// one thread never holds a pipe of another thread's child. Failures carry a Win32 code.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/base/wintypes.h"
#include "platform/logon/logon.h"

namespace platform::process {

using Clock = std::chrono::steady_clock;

// A file descriptor, closed when it goes out of scope.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Gives up ownership and returns the descriptor (-1 when none).
    int Release();
    // Closes the descriptor now (nothing when none).
    void Close();

  private:
    int fd_ = -1;
};

// An anonymous pipe; both ends close-on-exec.
struct Pipe {
    FileDescriptor read;   // the reading end
    FileDescriptor write;  // the writing end
};

// Creates a pipe. Returns true, or false with the Win32 code in *error (may be null).
[[nodiscard]] bool CreatePipe(Pipe& pipe, DWORD* error = nullptr);

struct ReadResult;

// A started child process. Movable, not copyable; the destructor ends and reaps a child
// that is still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True while a child is held (started and not yet reaped).
    bool IsRunning() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // Waits until the child exits or the deadline passes; at the deadline kills the child's
    // process group and reaps it. A child that exits is reaped after whatever it left
    // running in its process group has been killed. Returns true when the child exited by
    // itself. Afterwards ExitCode and Signal describe how it ended.
    bool WaitUntil(Clock::time_point deadline);

    // Kills the child's process group and reaps the child (nothing when none is held).
    void Kill();

    // True once the child has exited (it is not reaped: Pid stays its process group, so
    // Kill still reaches what it left running).
    bool HasExited() const;

    // The exit status of a child that exited, else -1.
    int ExitCode() const { return exitCode_; }
    // The signal that ended the child, else 0.
    int Signal() const { return signal_; }

  private:
    friend ReadResult ReadUntilChildDone(int, char*, std::size_t, ChildProcess&, Clock::time_point);
    friend ChildProcess StartChild(const std::vector<std::string>&, const logon::Account*, int, int,
                                   int, DWORD*);
    void Reap(int status);

    pid_t pid_ = -1;
    FileDescriptor pidfd_;  // for waiting with a time-out; may be closed on old kernels
    int exitCode_ = -1;
    int signal_ = 0;
};

// Starts argv[0] (a path; no search of PATH) with the arguments argv[1..], as account
// (null: the server's own identity), with the given descriptors as its standard input,
// output and error. Returns a running ChildProcess, or one that is not running with the
// Win32 code in *error (may be null): ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_PRIVILEGE_NOT_HELD (the identity could not be changed), ERROR_NO_SUCH_USER (an
// account without an identity), ERROR_INVALID_PARAMETER (an empty vector) and others.
ChildProcess StartChild(const std::vector<std::string>& argv, const logon::Account* account,
                        int standardInput, int standardOutput, int standardError,
                        DWORD* error = nullptr);

// How a read of a child's output ended.
enum class ReadEnd {
    Closed,       // every writer closed the pipe
    ChildExited,  // the child exited while something it left behind held the pipe open
    TimedOut,     // the deadline passed first
    Failed,       // a read failed (the Win32 code is in ReadResult::error)
};

// The result of ReadUntilClosed.
struct ReadResult {
    ReadEnd end = ReadEnd::Closed;
    std::size_t length = 0;  // bytes stored in the buffer
    std::size_t total = 0;   // bytes read in all, those past the buffer included
    DWORD error = 0;         // for ReadEnd::Failed
};

// Reads fd until every writer has closed it or the deadline passes, storing the first
// capacity bytes in buffer and reading and dropping the rest (so a child that writes a
// lot is never blocked on a full pipe). Adds no terminating zero.
ReadResult ReadUntilClosed(int fd, char* buffer, std::size_t capacity, Clock::time_point deadline);

// Reads a child's output like ReadUntilClosed, and also ends once the child itself has
// exited: what is in the pipe then is drained, and the child's process group is killed and
// the child reaped, so a process the tool left in the background holding the pipe open
// (a daemon it started, a forgotten "&") cannot keep the caller waiting until the deadline.
// Ends with Closed when the pipe closed first, ChildExited when the group had to be ended.
// A child that is not running reads as ReadUntilClosed. At the deadline the child is left
// as it is (the caller kills it).
ReadResult ReadUntilChildDone(int fd, char* buffer, std::size_t capacity, ChildProcess& child,
                              Clock::time_point deadline);

// How long a run of the accounting tool may take, from its start to the end of its output
// and its exit, and the environment variable that replaces it (milliseconds, 1 and more).
// The server and the NetWare plug-in both run the tool under this one limit.
inline constexpr long kToolTimeLimitMs = 30000;
inline constexpr const char* kToolTimeLimitVariable = "DORNEL_SPAWN_TIMEOUT_MS";
// DORNEL_SPAWN_TIMEOUT_MS when it holds a positive number, else kToolTimeLimitMs.
long ToolTimeLimitMs();

// True when running as account needs a change of identity: its user id or primary group
// differs from the server's, or (for a server running as root) its supplementary groups do.
// A server that is not root and already has the account's ids keeps its own groups.
bool NeedsIdentityChange(const logon::Account& account);

// Whether this process may change its identity to another account.
enum class IdentityPrivilege {
    Held,        // CAP_SETUID and CAP_SETGID are both in the effective set (root has them)
    NotHeld,     // at least one is missing
    Unreadable,  // the process's own capabilities could not be read
};

// Reads this process's effective capabilities. For Unreadable the Win32 code is in *error
// (may be null).
IdentityPrivilege QueryIdentityPrivilege(DWORD* error = nullptr);

}  // namespace platform::process
