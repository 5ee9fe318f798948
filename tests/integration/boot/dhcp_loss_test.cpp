// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// A box boots with busybox udhcpc over a link that loses one packet in ten, both ways: the
// client retransmits, and every retransmitted DISCOVER and REQUEST is answered as the first
// would have been, so every boot ends with the box's lease. The loss comes from netem on the
// two veth ends; a kernel without netem gets the same loss from the netfilter statistic match
// in the server's namespace (its input on port 67, its output to port 68). Needs root and
// "ip netns"; skips otherwise, or when the kernel offers neither kind of loss.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/sync/sync.h"
#include "server/dhcpsrv.h"
#include "server/zuvexservice.h"
#include "tests/integration/boot/netns.h"
#include "tests/server/dhcp/dhcp_fixture.h"

namespace {

using boottest::BootNetwork;
using boottest::NetnsScope;
using boottest::Shell;

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Output of a shell command (standard output only).
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

class LossyLinkBootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!boottest::CanBuildNamespaces()) GTEST_SKIP() << "needs root and ip netns";
        network_ = std::make_unique<BootNetwork>();
        ASSERT_TRUE(network_->Build()) << "could not build the namespaces";
        registry_ = std::make_unique<dhcptest::RegistryRoot>();
        ::chmod(registry_->path().c_str(), 0755);
        registry_->Set(dhcptest::kBoxKey, "IPADDR", "10.77.0.2");
        registry_->Set("General", "SUBNETMASK", "255.255.255.0");
        registry_->Set("General", "ROUTER_1", "10.77.0.254");
        std::ofstream script(registry_->path() + "/udhcpc.script");
        script << "#!/bin/sh\n"
                  "echo \"$1 ip=$ip subnet=$subnet router=$router serverid=$serverid "
                  "boot_file=$boot_file\" >> \"$(dirname \"$0\")/udhcpc.events\"\n"
                  "case \"$1\" in\n"
                  "  deconfig) ip addr flush dev \"$interface\" ;;\n"
                  "  bound|renew) ip addr flush dev \"$interface\"; "
                  "ip addr add \"$ip/$subnet\" dev \"$interface\" ;;\n"
                  "esac\n";
        script.close();
        ::chmod((registry_->path() + "/udhcpc.script").c_str(), 0755);

        loss_ = MakeLinkLossy();
        if (loss_.empty())
            GTEST_SKIP() << "the kernel offers neither netem nor the statistic match";

        NetnsScope scope(network_->serverFd);
        ASSERT_TRUE(scope.entered());
        server_ = new CDhcpServer();
        ASSERT_GT(server_->listenerCount, 0);
        thread_ = BeginThread(DhcpThread, server_);
        ASSERT_NE(thread_, nullptr);
    }

    void TearDown() override {
        if (server_) {
            server_->Terminate();
            if (thread_) {
                EXPECT_EQ(WaitForSingleObject(thread_, 10000), WAIT_OBJECT_0);
                WaitForSingleObject(thread_, INFINITE);
                CloseHandle(thread_);
            }
            delete server_;
        }
        registry_.reset();
        network_.reset();  // the namespaces, their links and rules go with them
    }

    // Drops one packet in ten each way on the box's link; names the means, "" when none.
    std::string MakeLinkLossy() {
        const std::string inServer = "ip netns exec " + network_->server + " ";
        const std::string inBox = "ip netns exec " + network_->box + " ";
        if (Shell(inServer + "tc qdisc add dev " + network_->serverDevice +
                  " root netem loss 10% >/dev/null 2>&1") == 0 &&
            Shell(inBox + "tc qdisc add dev " + network_->boxDevice +
                  " root netem loss 10% >/dev/null 2>&1") == 0) {
            counters_ = inServer + "tc -s qdisc show dev " + network_->serverDevice + "; " + inBox +
                        "tc -s qdisc show dev " + network_->boxDevice;
            return "netem";
        }
        for (const char* tool : {"iptables-legacy", "iptables"}) {
            const std::string rule = inServer + tool + " -w 5 -A ";
            const std::string drop = " -m statistic --mode random --probability 0.1 -j DROP";
            if (Shell(rule + "INPUT -i " + network_->serverDevice + " -p udp --dport 67" + drop +
                      " >/dev/null 2>&1") == 0 &&
                Shell(rule + "OUTPUT -o " + network_->serverDevice + " -p udp --dport 68" + drop +
                      " >/dev/null 2>&1") == 0) {
                counters_ = inServer + tool + " -w 5 -L -v -x -n";
                return tool;
            }
        }
        return "";
    }

    std::unique_ptr<BootNetwork> network_;
    std::unique_ptr<dhcptest::RegistryRoot> registry_;
    CDhcpServer* server_ = nullptr;
    HANDLE thread_ = nullptr;
    std::string loss_;      // how the link loses packets
    std::string counters_;  // command that shows what was dropped
};

TEST_F(LossyLinkBootTest, EveryBootEndsWithTheBoxsLease) {
    constexpr int kBoots = 12;
    const std::string events = registry_->path() + "/udhcpc.events";
    const std::string expected =
        "bound ip=10.77.0.2 subnet=255.255.255.0 router=10.77.0.254 serverid=10.77.0.1 "
        "boot_file=orvane.bin";
    const auto start = std::chrono::steady_clock::now();
    for (int boot = 1; boot <= kBoots; ++boot) {
        std::filesystem::remove(events);
        const std::string output = registry_->path() + "/udhcpc.out";
        // As a box does: DISCOVERs a second apart, each REQUEST retried up to three times,
        // and after a failed round a new round a second later, until a lease (-q) or the
        // time bound. udhcpc gives a round up after three lost REQUEST or ACK packets.
        const int status =
            network_->InBox("udhcpc -i " + network_->boxDevice + " -f -q -t 5 -T 1 -A 1 -s " +
                                registry_->path() + "/udhcpc.script >" + output + " 2>&1",
                            30);
        ASSERT_EQ(status, 0) << "boot " << boot << " got no lease over a link with " << loss_
                             << ":\n"
                             << ReadWhole(output);
        EXPECT_NE(ReadWhole(events).find(expected), std::string::npos)
            << "boot " << boot << ": " << ReadWhole(events);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // What the link dropped, for the record (no figure is asserted: the loss is random).
    std::printf("%d boots in %.1f s over a link with %s loss:\n%s", kBoots, seconds, loss_.c_str(),
                Capture(counters_).c_str());
}

}  // namespace
