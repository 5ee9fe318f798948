// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/process/process.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform::process {
namespace {

// The one place an errno value becomes a Win32 code.
DWORD Win32FromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case ENOEXEC:
            return ERROR_ACCESS_DENIED;
        case EPERM:
            return ERROR_PRIVILEGE_NOT_HELD;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

void SetError(DWORD* error, DWORD code) {
    if (error != nullptr) *error = code;
}

// Milliseconds left until the deadline, for poll (0 once it has passed).
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left) + 1;
}

// Writes the whole buffer to fd, for the child's error report; async-signal-safe.
void WriteAll(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

// Runs in the child between fork and exec: only async-signal-safe calls. On any failure
// writes errno to report and leaves with status 127.
[[noreturn]] void RunChild(char* const* argv, const logon::Account* account, bool changeIdentity,
                           int standardInput, int standardOutput, int standardError, int report) {
    setpgid(0, 0);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) signal(sig, SIG_DFL);
    // A server started with a standard descriptor closed may have been given the report
    // pipe there; the dup2 calls below must not overwrite it.
    if (report >= 0 && report <= 2) {
        const int moved = fcntl(report, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) _exit(127);
        report = moved;
    }

    // The standard descriptors may be the same pipe (output and error), and may already
    // sit at 0, 1 or 2 in the parent; move them above 2 first so no dup2 overwrites another.
    int sources[3] = {standardInput, standardOutput, standardError};
    for (int& fd : sources) {
        if (fd >= 0 && fd <= 2) {
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (moved < 0) {
                int saved = errno;
                WriteAll(report, &saved, sizeof saved);
                _exit(127);
            }
            fd = moved;
        }
    }
    for (int target = 0; target < 3; ++target) {
        int source = sources[target];
        if (source < 0) source = open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
        if (source < 0 || dup2(source, target) < 0) {
            int saved = errno;
            WriteAll(report, &saved, sizeof saved);
            _exit(127);
        }
    }
    // Everything else is closed at exec (our own descriptors are close-on-exec, and
    // close_range also catches descriptors other code opened without that flag), except
    // the report pipe, which must survive until exec succeeds.
    if (report > 3) close_range(3, static_cast<unsigned>(report) - 1, 0);
    close_range(static_cast<unsigned>(report) + 1, ~0u, 0);

    if (changeIdentity) {
        const gid_t* groups = account->groups.empty() ? nullptr : account->groups.data();
        if (setgroups(account->groups.size(), groups) != 0 || setgid(account->gid) != 0 ||
            setuid(account->uid) != 0) {
            int saved = errno;
            WriteAll(report, &saved, sizeof saved);
            _exit(127);
        }
    }
    execv(argv[0], argv);
    int saved = errno;
    WriteAll(report, &saved, sizeof saved);
    _exit(127);
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int FileDescriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool CreatePipe(Pipe& pipe, DWORD* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SetError(error, Win32FromErrno(errno));
        return false;
    }
    pipe.read = FileDescriptor(fds[0]);
    pipe.write = FileDescriptor(fds[1]);
    return true;
}

ChildProcess::~ChildProcess() { Kill(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_),
      pidfd_(std::move(other.pidfd_)),
      exitCode_(other.exitCode_),
      signal_(other.signal_) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Kill();
        pid_ = other.pid_;
        pidfd_ = std::move(other.pidfd_);
        exitCode_ = other.exitCode_;
        signal_ = other.signal_;
        other.pid_ = -1;
    }
    return *this;
}

void ChildProcess::Reap(int status) {
    if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
        signal_ = 0;
    } else if (WIFSIGNALED(status)) {
        exitCode_ = -1;
        signal_ = WTERMSIG(status);
    }
    pid_ = -1;
    pidfd_.Close();
}

bool ChildProcess::WaitUntil(Clock::time_point deadline) {
    if (pid_ <= 0) return exitCode_ >= 0 || signal_ != 0;
    for (;;) {
        siginfo_t info{};
        info.si_pid = 0;
        // WNOWAIT: the exited child stays a zombie, so its process group id cannot be
        // reused while what it left running in that group is ended; then it is reaped.
        const int done = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        if (done == 0 && info.si_pid == pid_) {
            kill(-pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            Reap(status);
            return true;
        }
        if (done < 0 && errno != EINTR) {
            // Not our child any more (reaped elsewhere); nothing left to wait for.
            pid_ = -1;
            pidfd_.Close();
            return false;
        }
        const int wait = MillisecondsUntil(deadline);
        if (wait == 0) break;
        if (pidfd_.IsOpen()) {
            pollfd event{pidfd_.Get(), POLLIN, 0};
            poll(&event, 1, wait);
        } else {
            usleep(static_cast<useconds_t>(std::min(wait, 5)) * 1000);
        }
    }
    Kill();
    return false;
}

bool ChildProcess::HasExited() const {
    if (pid_ <= 0) return true;
    siginfo_t info{};
    info.si_pid = 0;
    // WNOWAIT leaves the child a zombie: its pid, and so its process group, stay ours.
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD;
    }
    return info.si_pid == pid_;
}

void ChildProcess::Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Reap(status);
}

ChildProcess StartChild(const std::vector<std::string>& argv, const logon::Account* account,
                        int standardInput, int standardOutput, int standardError, DWORD* error) {
    ChildProcess child;
    if (argv.empty() || argv[0].empty()) {
        SetError(error, ERROR_INVALID_PARAMETER);
        return child;
    }
    if (account != nullptr && !account->resolved) {
        SetError(error, ERROR_NO_SUCH_USER);
        return child;
    }
    const bool changeIdentity = account != nullptr && NeedsIdentityChange(*account);

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<char*> arguments;
    arguments.reserve(argv.size() + 1);
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    Pipe report;
    if (!CreatePipe(report, error)) return child;

    const pid_t pid = fork();
    if (pid < 0) {
        SetError(error, Win32FromErrno(errno));
        return child;
    }
    if (pid == 0) {
        RunChild(arguments.data(), account, changeIdentity, standardInput, standardOutput,
                 standardError, report.write.Get());
    }
    // Both sides set the group, so a kill of the group cannot race the child's own call.
    setpgid(pid, pid);
    child.pid_ = pid;
    child.pidfd_ = FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    report.write.Close();

    // The report pipe closes at exec (success) or carries the child's errno (failure).
    int childError = 0;
    size_t got = 0;
    while (got < sizeof childError) {
        const ssize_t n = read(report.read.Get(), reinterpret_cast<char*>(&childError) + got,
                               sizeof childError - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got == sizeof childError) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        child.Reap(status);
        child.exitCode_ = -1;
        SetError(error, Win32FromErrno(childError));
        return child;
    }
    SetError(error, ERROR_SUCCESS);
    return child;
}

namespace {

// What one read of a child's output did.
enum class ReadStep { Data, End, Again, Failed };

// Reads once from fd (which poll reported ready) into buffer, or past its capacity into a
// scratch buffer that is dropped; counts the bytes in result. For Failed the Win32 code is
// in result.error.
ReadStep ReadOnce(int fd, char* buffer, std::size_t capacity, ReadResult& result) {
    char drop[4096];
    char* target = drop;
    std::size_t room = sizeof drop;
    if (result.length < capacity) {
        target = buffer + result.length;
        room = capacity - result.length;
    }
    const ssize_t n = read(fd, target, room);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return ReadStep::Again;
        result.error = Win32FromErrno(errno);
        return ReadStep::Failed;
    }
    if (n == 0) return ReadStep::End;
    if (target != drop) result.length += static_cast<std::size_t>(n);
    result.total += static_cast<std::size_t>(n);
    return ReadStep::Data;
}

// Reads once; true when that ended the read (the pipe closed or failed), with result.end set.
bool ReadAndMaybeEnd(int fd, char* buffer, std::size_t capacity, ReadResult& result) {
    switch (ReadOnce(fd, buffer, capacity, result)) {
        case ReadStep::Data:
        case ReadStep::Again:
            return false;
        case ReadStep::End:
            result.end = ReadEnd::Closed;
            return true;
        case ReadStep::Failed:
            result.end = ReadEnd::Failed;
            return true;
    }
    return false;
}

}  // namespace

ReadResult ReadUntilClosed(int fd, char* buffer, std::size_t capacity, Clock::time_point deadline) {
    ReadResult result;
    for (;;) {
        pollfd event{fd, POLLIN, 0};
        const int ready = poll(&event, 1, MillisecondsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            result.end = ReadEnd::Failed;
            result.error = Win32FromErrno(errno);
            return result;
        }
        if (ready == 0) {
            result.end = ReadEnd::TimedOut;
            return result;
        }
        if (ReadAndMaybeEnd(fd, buffer, capacity, result)) return result;
    }
}

ReadResult ReadUntilChildDone(int fd, char* buffer, std::size_t capacity, ChildProcess& child,
                              Clock::time_point deadline) {
    if (!child.IsRunning()) return ReadUntilClosed(fd, buffer, capacity, deadline);
    ReadResult result;
    bool exited = false;
    for (;;) {
        if (Clock::now() >= deadline) {
            result.end = ReadEnd::TimedOut;
            return result;
        }
        if (!exited) exited = child.HasExited();
        // Once the child has exited only what is already in the pipe is read. Before, the
        // wait also ends when the child exits (its pidfd turns readable); without a pidfd
        // the exit is looked for every few milliseconds.
        int wait = 0;
        if (!exited) {
            wait = MillisecondsUntil(deadline);
            if (!child.pidfd_.IsOpen() && wait > 10) wait = 10;
        }
        pollfd events[2] = {{fd, POLLIN, 0}, {child.pidfd_.Get(), POLLIN, 0}};
        const nfds_t count = !exited && child.pidfd_.IsOpen() ? 2 : 1;
        const int ready = poll(events, count, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            result.end = ReadEnd::Failed;
            result.error = Win32FromErrno(errno);
            return result;
        }
        if (events[0].revents != 0) {
            if (ReadAndMaybeEnd(fd, buffer, capacity, result)) return result;
            continue;
        }
        if (exited) {
            // The pipe is drained and still held open by what the child left running.
            child.Kill();
            result.end = ReadEnd::ChildExited;
            return result;
        }
    }
}

bool NeedsIdentityChange(const logon::Account& account) {
    if (account.uid != getuid() || account.uid != geteuid()) return true;
    if (account.gid != getgid() || account.gid != getegid()) return true;
    // Same ids: only a process that may set groups takes the account's own; any other runs
    // the child with the groups it was given (a service manager may have added some).
    if (geteuid() != 0) return false;
    const logon::Account current = logon::CurrentAccount();
    std::vector<gid_t> wanted = account.groups;
    std::vector<gid_t> held = current.groups;
    // The primary group counts as held whether or not it is listed as supplementary.
    for (std::vector<gid_t>* groups : {&wanted, &held}) {
        groups->erase(std::remove(groups->begin(), groups->end(), account.gid), groups->end());
        std::sort(groups->begin(), groups->end());
        groups->erase(std::unique(groups->begin(), groups->end()), groups->end());
    }
    return wanted != held;
}

IdentityPrivilege QueryIdentityPrivilege(DWORD* error) {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        SetError(error, Win32FromErrno(errno));
        return IdentityPrivilege::Unreadable;
    }
    constexpr unsigned kSetGid = 1u << CAP_SETGID;  // both in the first 32 bits
    constexpr unsigned kSetUid = 1u << CAP_SETUID;
    const unsigned effective = data[0].effective;
    return (effective & kSetGid) && (effective & kSetUid) ? IdentityPrivilege::Held
                                                          : IdentityPrivilege::NotHeld;
}

long ToolTimeLimitMs() {
    const char* text = std::getenv(kToolTimeLimitVariable);
    if (text == nullptr || *text == '\0') return kToolTimeLimitMs;
    long value = 0;
    const char* end = text + std::strlen(text);
    const auto [last, error] = std::from_chars(text, end, value);
    if (error != std::errc() || last != end || value <= 0) return kToolTimeLimitMs;
    return value;
}

}  // namespace platform::process
