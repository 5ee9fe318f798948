// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The DHCP server on real UDP sockets: a CDhcpServer listening on loopback and its thread
// running, in a network namespace of the test's own (so ports 67 and 68 are free and nobody
// else's), with a relay agent's socket on 127.0.0.2 port 67 passing requests on. Needs root
// for the namespace; skips otherwise.

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "server/dhcpsrv.h"
#include "tests/server/dhcp/dhcp_fixture.h"

namespace {

using dhcptest::AddressBytes;
using dhcptest::DhcpMessage;
using Bytes = std::vector<std::uint8_t>;

// Runs body on a thread of its own inside a fresh network namespace whose loopback is up.
// False when the namespace could not be made (not root); body then does not run.
bool InOwnNetwork(const std::function<void()>& body) {
    bool made = false;
    std::thread worker([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
        const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                        (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
        if (fd >= 0) ::close(fd);
        if (!up) return;
        made = true;
        body();
    });
    worker.join();
    return made;
}

// A datagram and where it came from.
struct Received {
    Bytes bytes;
    std::string source;
    int sourcePort = 0;
};

// A relay agent's socket: 127.0.0.2 port 67 on loopback. It sends requests on to the
// server's address and receives what the server sends back to it.
class RelaySocket {
  public:
    RelaySocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        // The server's listener holds 0.0.0.0:67 on the same device.
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, "lo", 3);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr("127.0.0.2");
        local.sin_port = htons(kDhcpServerPort);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~RelaySocket() { ::close(fd_); }
    RelaySocket(const RelaySocket&) = delete;
    RelaySocket& operator=(const RelaySocket&) = delete;
    bool bound() const { return bound_; }

    void Forward(const DhcpMessage& message) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        to.sin_port = htons(kDhcpServerPort);
        ::sendto(fd_, message.bytes().data(), message.bytes().size(), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    std::optional<Received> Receive(int milliseconds) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, milliseconds) <= 0) return std::nullopt;
        Received got;
        got.bytes.resize(kDhcpBufferSize);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, got.bytes.data(), got.bytes.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return std::nullopt;
        got.bytes.resize(static_cast<std::size_t>(n));
        char text[INET_ADDRSTRLEN];
        got.source = ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        got.sourcePort = ntohs(from.sin_port);
        return got;
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

// The option tags of a reply in their order, the end tag included.
std::vector<int> OptionTags(const Bytes& reply) {
    std::vector<int> tags;
    for (std::size_t at = kDhcpOptionsOffset; at < reply.size();) {
        tags.push_back(reply[at]);
        if (reply[at] == DHCP_OPT_END || at + 1 >= reply.size()) break;
        at += reply[at + 1] + 2u;
    }
    return tags;
}

// The server on loopback with its thread, stopped as the service stops it.
class RunningServer {
  public:
    RunningServer() {
        ::setenv("DORNEL_DHCP_INTERFACES", "lo", 1);
        server_ = std::make_unique<CDhcpServer>();
        ::unsetenv("DORNEL_DHCP_INTERFACES");
        if (ready()) thread_ = std::thread([this] { server_->Run(); });
    }
    ~RunningServer() {
        server_->Terminate();
        if (thread_.joinable()) thread_.join();
    }
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;
    bool ready() const { return server_->listenerCount == 1 && server_->sender != nullptr; }

  private:
    std::unique_ptr<CDhcpServer> server_;
    std::thread thread_;
};

TEST(DhcpOverUdp, RelayedRequestsAreAnsweredToTheRelayOnPort67) {
    const bool ran = InOwnNetwork([] {
        dhcptest::RegistryRoot registry;
        registry.Set(dhcptest::kBoxKey, "IPADDR", "10.77.0.2");
        registry.Set("General", "SUBNETMASK", "255.255.255.0");
        RunningServer server;
        ASSERT_TRUE(server.ready());
        RelaySocket relay;
        ASSERT_TRUE(relay.bound());

        DhcpMessage discover;
        discover.Giaddr({127, 0, 0, 2}).Type(DHCPDISCOVER).End().PadTo(300);
        relay.Forward(discover);
        const std::optional<Received> offer = relay.Receive(2000);
        ASSERT_TRUE(offer.has_value()) << "no offer came back to the relay";
        EXPECT_EQ(offer->source, "127.0.0.1");
        EXPECT_EQ(offer->sourcePort, kDhcpServerPort);
        ASSERT_GT(offer->bytes.size(), 250u);
        EXPECT_EQ(offer->bytes[0], BOOTREPLY);
        EXPECT_EQ(offer->bytes[242], DHCPOFFER);
        EXPECT_EQ(Bytes(offer->bytes.begin() + 16, offer->bytes.begin() + 20),
                  AddressBytes("10.77.0.2"));
        EXPECT_EQ(Bytes(offer->bytes.begin() + 24, offer->bytes.begin() + 28),
                  AddressBytes("127.0.0.2"));
        EXPECT_EQ(OptionTags(offer->bytes), (std::vector<int>{53, 1, 15, 51, 54, 255}));

        DhcpMessage request;
        request.Giaddr({127, 0, 0, 2})
            .Type(DHCPREQUEST)
            .Option(50, {10, 77, 0, 2})
            .Option(54, {127, 0, 0, 1})
            .End();
        relay.Forward(request);
        const std::optional<Received> ack = relay.Receive(2000);
        ASSERT_TRUE(ack.has_value()) << "no ACK came back to the relay";
        EXPECT_EQ(ack->bytes[242], DHCPACK);

        DhcpMessage wrong;
        wrong.Giaddr({127, 0, 0, 2})
            .Flags(0, 0)
            .Type(DHCPREQUEST)
            .Option(50, {10, 77, 0, 40})
            .Option(54, {127, 0, 0, 1})
            .End();
        relay.Forward(wrong);
        const std::optional<Received> nak = relay.Receive(2000);
        ASSERT_TRUE(nak.has_value()) << "no NAK came back to the relay";
        ASSERT_EQ(nak->bytes.size(), static_cast<std::size_t>(kDhcpNakLength));
        EXPECT_EQ(nak->bytes[10], 0x80);  // the relay is to broadcast it
        EXPECT_EQ(Bytes(nak->bytes.begin() + 240, nak->bytes.end()),
                  (Bytes{53, 1, DHCPNAK, 54, 4, 127, 0, 0, 1, 255}));
    });
    if (!ran) GTEST_SKIP() << "needs root for a network namespace";
}

TEST(DhcpOverUdp, OtherServersRequestsAndUnlistedHostsGetNothing) {
    const bool ran = InOwnNetwork([] {
        dhcptest::RegistryRoot registry;
        registry.Set(dhcptest::kBoxKey, "IPADDR", "10.77.0.2");
        RunningServer server;
        ASSERT_TRUE(server.ready());
        RelaySocket relay;
        ASSERT_TRUE(relay.bound());

        DhcpMessage otherServer;
        otherServer.Giaddr({127, 0, 0, 2})
            .Type(DHCPREQUEST)
            .Option(50, {10, 77, 0, 2})
            .Option(54, {127, 0, 0, 9})
            .End();
        DhcpMessage unlistedDiscover;
        unlistedDiscover.Giaddr({127, 0, 0, 2})
            .Chaddr({0x02, 0, 0, 0x77, 0, 0x99})
            .Type(DHCPDISCOVER)
            .End();
        DhcpMessage unlistedRequest;
        unlistedRequest.Giaddr({127, 0, 0, 2})
            .Chaddr({0x02, 0, 0, 0x77, 0, 0x99})
            .Type(DHCPREQUEST)
            .Option(50, {10, 77, 0, 99})
            .End();
        for (const DhcpMessage* message : {&otherServer, &unlistedDiscover, &unlistedRequest}) {
            relay.Forward(*message);
            EXPECT_FALSE(relay.Receive(500).has_value());
        }
        // The server is still there for its own box.
        DhcpMessage discover;
        discover.Giaddr({127, 0, 0, 2}).Type(DHCPDISCOVER).End();
        relay.Forward(discover);
        EXPECT_TRUE(relay.Receive(2000).has_value());
    });
    if (!ran) GTEST_SKIP() << "needs root for a network namespace";
}

}  // namespace
