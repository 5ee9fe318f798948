// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The vocabulary of the service tests: a private run root (registry, unit and PAM folders,
// control sockets, NT event log), running a program with a bounded wait and its output
// captured, and reading the NT event log back. Header only; shared by the framework's and
// dornelsc's tests.

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
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace servicetest {

// A run root of its own: DORNEL_ROOT, DORNEL_UNIT_DIR and DORNEL_PAM_DIR point into it for
// the life of the object, and DORNEL_SERVICE is unset.
class TempRoot {
  public:
    TempRoot() {
        char pattern[] = "/tmp/dornel-svc-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made) path_ = made;
        ::setenv("DORNEL_ROOT", path_.c_str(), 1);
        ::setenv("DORNEL_UNIT_DIR", (path_ + "/units").c_str(), 1);
        ::setenv("DORNEL_PAM_DIR", (path_ + "/pam").c_str(), 1);
        ::unsetenv("DORNEL_SERVICE");
    }
    ~TempRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
        ::unsetenv("DORNEL_ROOT");
        ::unsetenv("DORNEL_UNIT_DIR");
        ::unsetenv("DORNEL_PAM_DIR");
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }
    std::string Under(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

struct RunResult {
    int exitCode = -1;  // -1 when it did not exit by itself in time (it was killed)
    std::string out;
    std::string err;
};

// Runs argv with extra "NAME=value" entries added to (or "NAME=" removing from) this
// process's environment, waits at most timeoutMs and captures both output streams.
inline RunResult Run(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {}, int timeoutMs = 40000) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const auto& extra : extraEnv) {
            std::string key = extra.substr(0, extra.find('=') + 1);
            if (text.compare(0, key.size(), key) == 0) replaced = true;
        }
        if (!replaced) environment.push_back(text);
    }
    for (const auto& extra : extraEnv) {
        if (extra.back() != '=') environment.push_back(extra);
    }
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> cargs;
    for (auto& a : args) cargs.push_back(a.data());
    cargs.push_back(nullptr);

    int outPipe[2], errPipe[2];
    RunResult result;
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::execve(cargs[0], cargs.data(), envp.data());
        ::_exit(126);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    for (auto& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

// Polls pred every 20 ms for at most timeoutMs.
template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One NT event log entry: "time | source | type | id[ | strings...]".
struct LoggedEvent {
    std::string source;
    std::string type;
    unsigned id = 0;
    std::vector<std::string> strings;
};

inline std::vector<LoggedEvent> EventLog(const TempRoot& root) {
    std::vector<LoggedEvent> events;
    std::istringstream lines(ReadFile(root.Under("eventlog")));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t bar = line.find(" | ", start);
            fields.push_back(line.substr(start, bar == std::string::npos ? bar : bar - start));
            if (bar == std::string::npos) break;
            start = bar + 3;
        }
        if (fields.size() < 4) continue;
        LoggedEvent event;
        event.source = fields[1];
        event.type = fields[2];
        event.id = static_cast<unsigned>(std::strtoul(fields[3].c_str(), nullptr, 10));
        event.strings.assign(fields.begin() + 4, fields.end());
        events.push_back(event);
    }
    return events;
}

inline int CountEvents(const TempRoot& root, unsigned id) {
    int count = 0;
    for (const auto& event : EventLog(root)) count += event.id == id;
    return count;
}

// The test service program and dornelsc, as the build placed them.
inline std::string TestServicePath() {
    const char* path = std::getenv("DORNEL_TESTSVC");
    return path ? path : "";
}
inline std::string DornelscPath() {
    const char* dir = std::getenv("DORNEL_BIN_DIR");
    return std::string(dir ? dir : ".") + "/dornelsc";
}

inline constexpr const char* kTestServiceName = "dorneltestsvc";
inline constexpr const char* kTestDisplayName = "Dornel Test Service";

}  // namespace servicetest
