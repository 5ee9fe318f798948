// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Boot services against the usual daemons, in a pair of network namespaces:
//   - a 4 MiB file fetched with tftp-hpa's client from our TFTP server and from in.tftpd
//     serving the same folder (median of several runs each, and the ratio);
//   - the DISCOVER-to-OFFER latency of our DHCP server and of dnsmasq, for the same box; for
//     ours also when every DISCOVER follows a registry write (the DHCP keys are then read
//     again before the answer: the first request after a change pays for it).
// Prints the figures; asserts nothing. Needs root, ip netns, in.tftpd and dnsmasq.
//
// Usage: boot_bench [runs]   (default 5 fetches and 200 DISCOVERs per server)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"
#include "server/dhcpsrv.h"
#include "server/tftpsrv.h"
#include "server/zuvexservice.h"
#include "tests/integration/boot/netns.h"

namespace {

using Clock = std::chrono::steady_clock;
using boottest::BootNetwork;
using boottest::NetnsScope;
using boottest::Shell;

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void SetString(const std::string& key, const char* name, const char* text) {
    HKEY handle = nullptr;
    const std::string path = std::string(kDhcpKey) + "\\" + key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(handle);
}

// Seconds for tftp-hpa's client to fetch the file from 10.77.0.1 at port; -1 on a failure.
double FetchOnce(const BootNetwork& network, const std::string& work, int port) {
    const std::string out = work + "/fetched.bin";
    std::filesystem::remove(out);
    const auto start = Clock::now();
    const int status = network.InBox(
        "tftp 10.77.0.1 " + std::to_string(port) + " -m binary -c get big.bin " + out, 120);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0 || Shell("cmp -s " + out + " " + work + "/c/dornel/big.bin") != 0) return -1;
    return seconds;
}

// A DHCPDISCOVER of the box 02:00:00:77:00:02 with the broadcast flag, padded to 300 bytes.
std::vector<std::uint8_t> Discover(std::uint32_t xid) {
    std::vector<std::uint8_t> message(300, 0);
    message[0] = BOOTREQUEST;
    message[1] = 1;
    message[2] = 6;
    std::memcpy(&message[4], &xid, 4);
    message[10] = 0x80;
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x77, 0x00, 0x02};
    std::memcpy(&message[28], mac, 6);
    const std::uint8_t tail[] = {99, 130, 83, 99, 53, 1, 1, 255};
    std::memcpy(&message[236], tail, sizeof tail);
    return message;
}

// Microseconds from a DISCOVER to its OFFER, median of count; -1 when offers go missing.
// beforeEach (not timed) runs before every DISCOVER.
double OfferMicroseconds(const BootNetwork& network, int count,
                         const std::function<void(int)>& beforeEach = {}) {
    NetnsScope scope(network.boxFd);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, network.boxDevice.c_str(),
                 static_cast<socklen_t>(network.boxDevice.size() + 1));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDhcpClientPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(kDhcpServerPort);
    std::vector<double> times;
    int missing = 0;
    for (int i = 0; i < count && missing < 5; ++i) {
        const std::uint32_t xid = 0x5000u + static_cast<std::uint32_t>(i);
        const std::vector<std::uint8_t> message = Discover(xid);
        if (beforeEach) beforeEach(i);
        const auto start = Clock::now();
        ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
        bool offered = false;
        while (!offered) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, 2000) <= 0) break;
            std::uint8_t reply[4096];
            const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
            std::uint32_t replyXid = 0;
            if (n >= 240) std::memcpy(&replyXid, reply + 4, 4);
            offered = n >= 240 && reply[0] == BOOTREPLY && replyXid == xid;
        }
        if (!offered) {
            ++missing;
            continue;
        }
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    return missing >= 5 ? -1 : Median(times);
}

pid_t StartInServer(const BootNetwork& network, const std::vector<std::string>& command) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setns(network.serverFd, CLONE_NEWNET);
        std::vector<char*> argv;
        for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        ::usleep(100 * 1000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!boottest::CanBuildNamespaces()) {
        std::fprintf(stderr, "boot_bench: needs root and ip netns\n");
        return 1;
    }
    BootNetwork network;
    if (!network.Build()) return 1;
    Shell("ip -n " + network.box + " addr add 10.77.0.2/24 dev " + network.boxDevice);

    char pattern[] = "/tmp/dornel-bootbench-XXXXXX";
    const std::string work = ::mkdtemp(pattern);
    ::chmod(work.c_str(), 0755);
    ::setenv("DORNEL_ROOT", work.c_str(), 1);
    const std::string folder = platform::paths::NativePath("C:\\dornel");
    platform::paths::MakeDirectories(folder);
    ::chmod((work + "/c").c_str(), 0755);
    Shell("head -c 4194304 /dev/urandom > " + folder + "/big.bin && chmod 644 " + folder +
          "/big.bin");
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "C:\\dornel");
    }
    SetString("02-00-00-77-00-02", "IPADDR", "10.77.0.2");
    SetString("General", "SUBNETMASK", "255.255.255.0");
    SetString("General", "ROUTER_1", "10.77.0.1");
    SetString("General", "DNS_1", "10.77.0.1");

    // Ours on port 69 and tftp-hpa's daemon on 6969, serving the same folder; fetches
    // alternate between them so both see the same load on the machine.
    CDhcpServer* server = nullptr;
    HANDLE dhcpThread = nullptr;
    HANDLE tftpThread = nullptr;
    {
        NetnsScope scope(network.serverFd);
        server = new CDhcpServer();
        dhcpThread = BeginThread(DhcpThread, server);
        tftpThread = BeginThread(TftpThread, nullptr);
    }
    const pid_t tftpd =
        StartInServer(network, {"in.tftpd", "--listen", "--foreground", "--address",
                                "10.77.0.1:6969", "--user", "root", "--secure", folder});
    ::usleep(300 * 1000);
    std::vector<double> ours, theirs;
    bool failed = false;
    for (int i = 0; i < runs && !failed; ++i) {
        const double a = FetchOnce(network, work, kTftpPort);
        const double b = FetchOnce(network, work, 6969);
        failed = a < 0 || b < 0;
        ours.push_back(a);
        theirs.push_back(b);
    }
    Stop(tftpd);
    const double ourFetch = failed ? -1 : Median(ours);
    const double hpaFetch = failed ? -1 : Median(theirs);
    const double ourOffer = OfferMicroseconds(network, 40 * runs);
    const double ourOfferAfterWrite = OfferMicroseconds(network, 10 * runs, [](int i) {
        SetString("General", "DNS_2", i % 2 ? "10.77.0.2" : "10.77.0.3");
    });
    server->Terminate();
    WaitForSingleObject(dhcpThread, INFINITE);
    delete server;
    TftpTerminate();
    WaitForSingleObject(tftpThread, 10000);

    // dnsmasq for the same box, on the same interface once ours has let go of it.
    const pid_t dnsmasq = StartInServer(
        network,
        {"dnsmasq", "--keep-in-foreground", "--port=0", "--no-resolv", "--no-hosts",
         "--interface=" + network.serverDevice, "--bind-interfaces",
         "--dhcp-range=10.77.0.0,static,255.255.255.0",
         "--dhcp-host=02:00:00:77:00:02,10.77.0.2,infinite", "--dhcp-boot=orvane.bin,srv,10.77.0.1",
         "--dhcp-leasefile=" + work + "/leases", "--log-facility=" + work + "/dnsmasq.log"});
    ::usleep(500 * 1000);
    const double dnsmasqOffer = OfferMicroseconds(network, 40 * runs);
    Stop(dnsmasq);

    // The best run shows the cost of the servers themselves; the median also carries the
    // load of a busy machine, which the alternating order shares out evenly.
    const double ourBest = failed ? -1 : *std::min_element(ours.begin(), ours.end());
    const double hpaBest = failed ? -1 : *std::min_element(theirs.begin(), theirs.end());
    std::printf("TFTP 4 MiB with tftp-hpa's client, median of %d\n", runs);
    std::printf("  ours       %8.3f s   (best %.3f s)\n", ourFetch, ourBest);
    std::printf("  in.tftpd   %8.3f s   (best %.3f s)\n", hpaFetch, hpaBest);
    if (ourFetch > 0 && hpaFetch > 0) {
        std::printf("  ratio      %8.3f     (best %.3f)\n", ourFetch / hpaFetch, ourBest / hpaBest);
        std::printf("TABLE|boot|TFTP 4 MiB fetch|%.3f s|in.tftpd|%.3f s|%.2f|(shown)\n", ourFetch,
                    hpaFetch, ourFetch / hpaFetch);
    }
    std::printf("DHCP DISCOVER to OFFER, median of %d\n", 40 * runs);
    std::printf("  ours       %8.1f us\n", ourOffer);
    std::printf("  ours after a registry write, median of %d: %.1f us\n", 10 * runs,
                ourOfferAfterWrite);
    std::printf("  dnsmasq    %8.1f us\n", dnsmasqOffer);
    if (ourOffer > 0 && dnsmasqOffer > 0) {
        std::printf("  ratio      %8.3f\n", ourOffer / dnsmasqOffer);
        std::printf("TABLE|boot|DHCP DISCOVER to OFFER|%.1f us|dnsmasq|%.1f us|%.2f|(shown)\n",
                    ourOffer, dnsmasqOffer, ourOffer / dnsmasqOffer);
    }
    std::filesystem::remove_all(work);
    return 0;
}
