// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Two network namespaces joined by veth pairs, for the boot services and real clients:
// "server" holds 10.77.0.1/24 (and 10.78.0.1/24 on a second pair), "box" holds the box end
// with MAC 02:00:00:77:00:02 (and 02:00:00:78:00:02). Names carry the test's pid so several
// runs never meet; everything is deleted again, the veth pairs with their namespaces.
//
// A thread enters a namespace with NetnsScope; threads and sockets it creates meanwhile
// stay in that namespace.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace boottest {

// Runs a shell command; returns its exit status, or -1 when it did not exit normally.
inline int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// True when this process may build namespaces: root, and an ip tool that knows netns.
inline bool CanBuildNamespaces() {
    return ::geteuid() == 0 && Shell("ip netns list >/dev/null 2>&1") == 0;
}

// Puts the calling thread into a namespace for the scope's life.
class NetnsScope {
  public:
    explicit NetnsScope(int target) {
        original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        entered_ = original_ >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    }
    ~NetnsScope() {
        if (entered_) ::setns(original_, CLONE_NEWNET);
        if (original_ >= 0) ::close(original_);
    }
    NetnsScope(const NetnsScope&) = delete;
    NetnsScope& operator=(const NetnsScope&) = delete;
    bool entered() const { return entered_; }

  private:
    int original_ = -1;
    bool entered_ = false;
};

// The namespace pair. Build() makes it; the destructor deletes it.
class BootNetwork {
  public:
    BootNetwork() {
        const std::string id = std::to_string(::getpid());
        server = "dbsrv" + id;
        box = "dbbox" + id;
        serverDevice = "dvs" + id;
        boxDevice = "dvb" + id;
        serverDevice2 = "dws" + id;
        boxDevice2 = "dwb" + id;
    }
    ~BootNetwork() {
        if (serverFd >= 0) ::close(serverFd);
        if (boxFd >= 0) ::close(boxFd);
        Shell("ip netns del " + server + " 2>/dev/null");
        Shell("ip netns del " + box + " 2>/dev/null");
    }
    BootNetwork(const BootNetwork&) = delete;
    BootNetwork& operator=(const BootNetwork&) = delete;

    // Makes both namespaces and both veth pairs; false when any step failed.
    bool Build() {
        const std::string steps[] = {
            "ip netns add " + server,
            "ip netns add " + box,
            "ip -n " + server + " link set lo up",
            "ip -n " + box + " link set lo up",
            "ip netns exec " + server +
                " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
            "ip netns exec " + box +
                " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1",
            "ip link add " + serverDevice + " netns " + server + " type veth peer name " +
                boxDevice + " netns " + box,
            "ip link add " + serverDevice2 + " netns " + server + " type veth peer name " +
                boxDevice2 + " netns " + box,
            "ip -n " + box + " link set " + boxDevice + " address 02:00:00:77:00:02",
            "ip -n " + box + " link set " + boxDevice2 + " address 02:00:00:78:00:02",
            "ip -n " + server + " addr add 10.77.0.1/24 dev " + serverDevice,
            "ip -n " + server + " addr add 10.78.0.1/24 dev " + serverDevice2,
            "ip -n " + server + " link set " + serverDevice + " up",
            "ip -n " + server + " link set " + serverDevice2 + " up",
            "ip -n " + box + " link set " + boxDevice + " up",
            "ip -n " + box + " link set " + boxDevice2 + " up",
        };
        for (const std::string& step : steps) {
            if (Shell(step + " >/dev/null 2>&1") != 0) {
                std::fprintf(stderr, "namespace set-up failed: %s\n", step.c_str());
                return false;
            }
        }
        serverFd = ::open(("/run/netns/" + server).c_str(), O_RDONLY | O_CLOEXEC);
        boxFd = ::open(("/run/netns/" + box).c_str(), O_RDONLY | O_CLOEXEC);
        return serverFd >= 0 && boxFd >= 0;
    }

    // A command run in the box namespace, bounded by seconds.
    int InBox(const std::string& command, int seconds = 30) const {
        return Shell("timeout " + std::to_string(seconds) + " ip netns exec " + box + " sh -c '" +
                     command + "'");
    }

    std::string server, box;                // namespace names
    std::string serverDevice, boxDevice;    // first veth pair (10.77.0.0/24)
    std::string serverDevice2, boxDevice2;  // second veth pair (10.78.0.0/24)
    int serverFd = -1, boxFd = -1;          // namespace descriptors for setns
};

}  // namespace boottest
