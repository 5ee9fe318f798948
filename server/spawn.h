// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Running the accounting tool (account.exe) as the configured spawn account and reading
// what it prints.
//
// The command is an argument vector, never a command line for a shell: the user name is
// one argument however many spaces or shell characters it holds. The child runs as the
// account SpawnUser/SpawnDomain logs on (interactive logon, then batch if that fails),
// with standard output and standard error on one pipe and an input pipe that is closed at
// once. Its output is read until it closes the pipe or the tool has exited (what it left
// running in its process group is then killed), keeping at most the buffer size less one
// byte, and for at most platform::process::ToolTimeLimitMs(); a child still running then is killed
// with its process group. Every child is waited for, and everything of a call (token, pipes, child)
// belongs to that call, so box threads may spawn at the same time.
//
// Debug records go to CZuvexService::EventLog (none name a box). The spawn account's
// password is never written in clear.

#include <chrono>
#include <string>
#include <vector>

#include "platform/process/process.h"

// What the debug records show in place of a password.
inline constexpr const char* kPasswordMask = "********";

// How a tool run ended.
enum class SpawnEnd {
    Finished,   // the tool exited, or never started (a failed logon or start)
    TimeLimit,  // the tool was still running at the time limit and was killed; whatever it
                // was doing may or may not have taken effect
};

// Runs argv (argv[0] the native path of the program) as the spawn account and reads its
// output into buffer, which is first filled with zeros for *size bytes; at most *size - 1
// bytes are stored, so the text is always terminated. *size is read, not updated. Returns
// 1 when the output was read (possibly empty: a failed logon or start leaves it empty),
// 0 when the pipes could not be set up, the read failed, or buffer or *size is unusable.
// When end is given it tells whether the tool finished or was killed at the time limit.
//
// The tool runs in a process group of its own. Once the tool itself has exited and its
// output is drained, the group is killed: a process it left in the background holding the
// output pipe open does not hold the box up until the time limit.
int SpawnAndRead(const std::vector<std::string>& argv, char* buffer, long* size,
                 SpawnEnd* end = nullptr);

// Logs the spawn account on and starts argv as it with the given descriptors as its
// standard output, input and error. Returns the running child, or one that is not running
// when the logon or the start failed (the cause is in the debug log).
platform::process::ChildProcess PrepAndLaunchRedirectedChild(int childStdOut, int childStdIn,
                                                             int childStdErr,
                                                             const std::vector<std::string>& argv);

// Reads the child's output from readFd until it is closed, the child has exited and its
// output is drained (its process group is then killed), or the deadline passes, storing at
// most *size - 1 bytes in buffer (which the caller has zeroed). child may be one that is
// not running (nothing was started). Returns 1 when the output ended (closed, drained, or
// cut off by the deadline, which is logged and set in *timedOut when given), 0 when a read
// failed.
int ReadAndHandleOutput(int readFd, char* buffer, long* size,
                        platform::process::ChildProcess& child,
                        platform::process::Clock::time_point deadline, bool* timedOut = nullptr);

// A tool run that failed (the spawn account's logon refused, the tool missing or not
// executable, the time limit): the cause in words, in one debug record ("Spawn failed: ...")
// and one NT event 100 ("WARNING: account.exe could not be run: ..."). The caller's user
// event stays as it is.
void ReportSpawnFailure(const std::string& cause);

// Checks that the server may run a child as another account, which on this system means
// running as root or holding CAP_SETUID and CAP_SETGID; privilegeName is one of the names
// that stand for that right ("SeTcbPrivilege", "SeAssignPrimaryTokenPrivilege",
// "SeIncreaseQuotaPrivilege"). Writes a debug record when it cannot tell
// ("OpenProcessToken failed, %d": the process's capabilities are unreadable), for any other
// name ("LookupPrivilegeValue failed, %d", ERROR_NO_SUCH_PRIVILEGE) and when the right is
// missing ("AdjustTokenPrivileges failed, %d", ERROR_NOT_ALL_ASSIGNED). Nothing is
// changed: a missing right is only logged, and the logon is still attempted.
void UpdatePrivs(const char* privilegeName);
