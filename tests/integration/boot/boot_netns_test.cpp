// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The boot services end to end in network namespaces: the DHCP and TFTP threads run in the
// server namespace, started and stopped exactly as the service does, and real clients
// (busybox udhcpc, tftp-hpa's tftp, busybox tftp, curl) or crafted datagrams come from the
// box namespace. Needs root and "ip netns"; skips otherwise.

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <net/if.h>
#include <poll.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/fixtures/peer.h"

#include "platform/paths/paths.h"
#include "platform/sync/sync.h"
#include "server/dhcpsrv.h"
#include "server/tftpsrv.h"
#include "server/zuvexservice.h"
#include "tests/integration/boot/netns.h"
#include "tests/server/dhcp/dhcp_fixture.h"

namespace {

using boottest::BootNetwork;
using boottest::NetnsScope;
using dhcptest::DhcpMessage;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One datagram as the box saw it.
struct Datagram {
    Bytes bytes;
    std::string source;       // sender's address
    int sourcePort = 0;       // sender's port
    std::string destination;  // address the datagram was sent to
};

// A UDP socket of the box namespace, tied to one box device.
class BoxSocket {
  public:
    BoxSocket(const BootNetwork& network, const std::string& device, int port) {
        NetnsScope scope(network.boxFd);
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                     static_cast<socklen_t>(device.size() + 1));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~BoxSocket() { ::close(fd_); }
    BoxSocket(const BoxSocket&) = delete;
    BoxSocket& operator=(const BoxSocket&) = delete;
    bool bound() const { return bound_; }

    void SendTo(const char* address, int port, const Bytes& data) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr(address);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // The next datagram within milliseconds, or nothing.
    std::optional<Datagram> Receive(int milliseconds) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, milliseconds) <= 0) return std::nullopt;
        Datagram datagram;
        datagram.bytes.resize(8192);
        sockaddr_in from{};
        iovec part{datagram.bytes.data(), datagram.bytes.size()};
        alignas(cmsghdr) char control[256];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &message, 0);
        if (n < 0) return std::nullopt;
        datagram.bytes.resize(static_cast<std::size_t>(n));
        char text[INET_ADDRSTRLEN];
        datagram.source = ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        datagram.sourcePort = ntohs(from.sin_port);
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                datagram.destination = ::inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
            }
        }
        return datagram;
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

// Option tags of a reply in their order, up to and including the end tag.
std::vector<int> OptionTags(const Bytes& reply) {
    std::vector<int> tags;
    std::size_t at = kDhcpOptionsOffset;
    while (at < reply.size()) {
        const int tag = reply[at];
        tags.push_back(tag);
        if (tag == DHCP_OPT_END) break;
        if (tag == DHCP_OPT_PAD || at + 1 >= reply.size()) {
            ++at;
            continue;
        }
        at += reply[at + 1] + 2u;
    }
    return tags;
}

std::string Address(const Bytes& bytes, std::size_t at) {
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, bytes.data() + at, text, sizeof text);
}

// A lossy link for kernels without netem: a relay in the box namespace that a client talks
// to on 127.0.0.1:port() and that passes every datagram on to the TFTP server and back,
// dropping every tenth datagram in each direction. It holds one upstream socket on the box
// device, so the server sees one host and port for the transfer.
class LossyRelay {
  public:
    explicit LossyRelay(const BootNetwork& network) {
        NetnsScope scope(network.boxFd);
        front_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        back_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(front_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        ::getsockname(front_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        ::setsockopt(back_, SOL_SOCKET, SO_BINDTODEVICE, network.boxDevice.c_str(),
                     static_cast<socklen_t>(network.boxDevice.size() + 1));
        thread_ = std::thread([this] { Run(); });
    }
    ~LossyRelay() {
        stop_.store(true);
        thread_.join();
        ::close(front_);
        ::close(back_);
    }
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;
    int port() const { return port_; }
    int dropped() const { return dropped_.load(); }

  private:
    void Run() {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = inet_addr("10.77.0.1");
        server.sin_port = htons(kTftpPort);
        sockaddr_in client{};
        int up = 0, down = 0;
        char buffer[2048];
        while (!stop_.load()) {
            pollfd wait[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (::poll(wait, 2, 100) <= 0) continue;
            if (wait[0].revents & POLLIN) {
                socklen_t length = sizeof client;
                const ssize_t n = ::recvfrom(front_, buffer, sizeof buffer, 0,
                                             reinterpret_cast<sockaddr*>(&client), &length);
                if (n >= 0 && ++up % 10 != 0) {
                    ::sendto(back_, buffer, static_cast<std::size_t>(n), 0,
                             reinterpret_cast<sockaddr*>(&server), sizeof server);
                } else if (n >= 0) {
                    ++dropped_;
                }
            }
            if (wait[1].revents & POLLIN) {
                const ssize_t n = ::recv(back_, buffer, sizeof buffer, 0);
                if (n >= 0 && ++down % 10 != 0 && client.sin_port != 0) {
                    ::sendto(front_, buffer, static_cast<std::size_t>(n), 0,
                             reinterpret_cast<sockaddr*>(&client), sizeof client);
                } else if (n >= 0) {
                    ++dropped_;
                }
            }
        }
    }

    int front_ = -1, back_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> dropped_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------
// The suite: one namespace pair and one registry for every case
// ---------------------------------------------------------------------------------------

class BootServicesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!boottest::CanBuildNamespaces()) return;
        network_ = new BootNetwork();
        if (!network_->Build()) {
            delete network_;
            network_ = nullptr;
            setUpFailed_ = true;
            return;
        }
        registry_ = new dhcptest::RegistryRoot();
        ::chmod(registry_->path().c_str(), 0755);
        registry_->Set(dhcptest::kBoxKey, "IPADDR", "10.77.0.2");
        registry_->Set(dhcptest::kBoxKey, "ROUTER_1", "10.77.0.254");
        registry_->Set("02-00-00-78-00-02", "IPADDR", "10.78.0.2");
        registry_->Set("General", "SUBNETMASK", "255.255.255.0");
        registry_->Set("General", "DNS_1", "10.77.0.1");
        registry_->Set("General", "DOMAINNAME", "boxes.lan");
        {
            std::lock_guard<std::mutex> guard(ConfigLock());
            std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "C:\\dornel");
        }
        folder_ = new std::string(platform::paths::NativePath("C:\\dornel"));
        platform::paths::MakeDirectories(*folder_);
        for (const auto& [name, size] : {std::pair<const char*, std::size_t>{"orvane.bin", 1000},
                                         {"f1024.bin", 1024},
                                         {"f300.bin", 300 * 512 + 100},
                                         {"f1m.bin", 1048576}}) {
            std::ofstream out(*folder_ + "/" + name, std::ios::binary);
            for (std::size_t i = 0; i < size; ++i) {
                out.put(static_cast<char>((i * 7919 + size) % 253));
            }
        }
        for (const char* name : {"orvane.bin", "f1024.bin", "f300.bin", "f1m.bin"}) {
            ::chmod((*folder_ + "/" + name).c_str(), 0644);
        }
        // A file beside the served folder that a climbing name would reach.
        std::ofstream(fs::path(*folder_).parent_path() / "secret") << "not for boxes\n";
        // What must never leave the server, though it sits in the served folder: the log
        // folder (its file readable by everyone all the same) and the plug-ins' private files.
        platform::paths::MakeDirectories(*folder_ + "/log");
        {
            std::lock_guard<std::mutex> guard(ConfigLock());
            std::snprintf(LogDir, sizeof LogDir, "C:\\dornel\\log");
        }
        std::ofstream(*folder_ + "/log/dornel.log") << "12/08/2026 10:00:00|0|11|jsmith|5.00|\n";
        ::chmod((*folder_ + "/log/dornel.log").c_str(), 0644);
        std::ofstream(*folder_ + "/boxusers") << "jsmith:$6$salt$hash\n";
        ::chmod((*folder_ + "/boxusers").c_str(), 0600);
        std::ofstream(*folder_ + "/ledger.db") << "SQLite format 3";
        ::chmod((*folder_ + "/ledger.db").c_str(), 0600);
        // The udhcpc script: record what it was told, configure the box end.
        std::ofstream script(registry_->path() + "/udhcpc.script");
        script << "#!/bin/sh\n"
                  "echo \"$1 ip=$ip subnet=$subnet router=$router dns=$dns domain=$domain "
                  "lease=$lease serverid=$serverid siaddr=$siaddr boot_file=$boot_file\" >> "
                  "\"$(dirname \"$0\")/udhcpc.events\"\n"
                  "case \"$1\" in\n"
                  "  deconfig) ip addr flush dev \"$interface\" ;;\n"
                  "  bound|renew) ip addr flush dev \"$interface\"; "
                  "ip addr add \"$ip/$subnet\" dev \"$interface\" ;;\n"
                  "esac\n";
        script.close();
        ::chmod((registry_->path() + "/udhcpc.script").c_str(), 0755);
    }

    static void TearDownTestSuite() {
        delete registry_;
        registry_ = nullptr;
        delete folder_;
        folder_ = nullptr;
        delete network_;
        network_ = nullptr;
    }

    // Starts both boot threads in the server namespace as the service's Run does.
    void SetUp() override {
        // Root with a working ip tool must be able to build the network: that is a failure.
        ASSERT_FALSE(setUpFailed_) << "could not build the namespaces";
        if (!network_) DORNEL_SKIP_WITHOUT_PEER("needs root and ip netns");
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        service_->enableDebugLog = 1;
        TheGlobalService = service_.get();
        logPath_ = registry_->path() + "/dornel.log";
        {
            std::lock_guard<std::mutex> guard(CZuvexService::EventLog.logLock);
            CZuvexService::EventLog.logFile = std::fopen(logPath_.c_str(), "w+b");
        }
        NetnsScope scope(network_->serverFd);
        ASSERT_TRUE(scope.entered());
        service_->LogEvent(EVENTLOG_INFORMATION_TYPE, 108, "Initialising DHCP thread");
        pDhcpServer = new CDhcpServer();
        hDhcpThread = BeginThread(DhcpThread, pDhcpServer);
        service_->LogEvent(EVENTLOG_INFORMATION_TYPE, 108, "Initialising TFTP thread");
        hTftpThread = BeginThread(TftpThread, nullptr);
        ASSERT_NE(hDhcpThread, nullptr);
        ASSERT_NE(hTftpThread, nullptr);
        ASSERT_EQ(pDhcpServer->listenerCount, 2);  // the two veth ends, not loopback
        Shell("ip -n " + network_->box + " addr replace 10.77.0.2/24 dev " + network_->boxDevice);
        // The TFTP socket is bound once a request is answered.
        BoxSocket probe(*network_, network_->boxDevice, 0);
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            probe.SendTo("10.77.0.1", kTftpPort,
                         {0, 1, 'o', 'r', 'v', 'a', 'n', 'e', '.', 'b', 'i', 'n', 0, 'o', 'c', 't',
                          'e', 't', 0});
            answered = probe.Receive(100).has_value();
        }
        ASSERT_TRUE(answered) << "TFTP thread did not answer";
        // Let the probe's transfer finish (1000 bytes: two blocks, the second acknowledged)
        // so it holds no slot.
        probe.SendTo("10.77.0.1", kTftpPort, {0, 4, 0, 1});
        while (std::optional<Datagram> block = probe.Receive(300)) {
            if (block->bytes.size() >= 4 && block->bytes[3] == 2) {
                probe.SendTo("10.77.0.1", kTftpPort, {0, 4, 0, 2});
            }
        }
    }

    // Stops them as the service's OnStop does; the DHCP thread must end promptly.
    void TearDown() override {
        if (!network_) return;
        if (pDhcpServer) {
            pDhcpServer->Terminate();
            EXPECT_EQ(WaitForSingleObject(hDhcpThread, 10000), WAIT_OBJECT_0);
            WaitForSingleObject(hDhcpThread, INFINITE);
            delete pDhcpServer;
            pDhcpServer = nullptr;
        }
        CloseHandle(hDhcpThread);
        hDhcpThread = nullptr;
        TftpTerminate();
        EXPECT_EQ(WaitForSingleObject(hTftpThread, 10000), WAIT_OBJECT_0);
        CloseHandle(hTftpThread);
        hTftpThread = nullptr;
        {
            std::lock_guard<std::mutex> guard(CZuvexService::EventLog.logLock);
            if (CZuvexService::EventLog.logFile) std::fclose(CZuvexService::EventLog.logFile);
            CZuvexService::EventLog.logFile = nullptr;
        }
        TheGlobalService = nullptr;
        service_.reset();
    }

    static int Shell(const std::string& command) { return boottest::Shell(command); }
    static std::string Work() { return registry_->path(); }
    static std::string Served(const char* name) { return *folder_ + "/" + name; }

    // A DHCP client socket of the box on its first device.
    std::unique_ptr<BoxSocket> DhcpClient(const std::string& device = "") {
        auto socket = std::make_unique<BoxSocket>(
            *network_, device.empty() ? network_->boxDevice : device, kDhcpClientPort);
        EXPECT_TRUE(socket->bound());
        return socket;
    }

    // Sends a message from the box and returns the reply, if one comes within 1.5 s.
    std::optional<Datagram> Exchange(BoxSocket& client, const Bytes& message) {
        client.SendTo("255.255.255.255", kDhcpServerPort, message);
        return client.Receive(1500);
    }

    bool SameFile(const std::string& a, const std::string& b) {
        return Shell("cmp -s '" + a + "' '" + b + "'") == 0;
    }

    static BootNetwork* network_;
    static dhcptest::RegistryRoot* registry_;
    static std::string* folder_;
    static bool setUpFailed_;
    std::unique_ptr<CZuvexService> service_;
    std::string logPath_;
};

BootNetwork* BootServicesTest::network_ = nullptr;
dhcptest::RegistryRoot* BootServicesTest::registry_ = nullptr;
std::string* BootServicesTest::folder_ = nullptr;
bool BootServicesTest::setUpFailed_ = false;

// ---------------------------------------------------------------------------------------
// DHCP with udhcpc
// ---------------------------------------------------------------------------------------

TEST_F(BootServicesTest, ListedBoxBootsWithUdhcpcAndFetchesItsBootFile) {
    const std::string events = Work() + "/udhcpc.events";
    fs::remove(events);
    ASSERT_EQ(network_->InBox("udhcpc -i " + network_->boxDevice + " -f -q -n -t 5 -T 1 -s " +
                              Work() + "/udhcpc.script >/dev/null 2>&1"),
              0);
    const std::string told = ReadWhole(events);
    EXPECT_NE(told.find("bound ip=10.77.0.2 subnet=255.255.255.0 router=10.77.0.254 "
                        "dns=10.77.0.1 domain=boxes.lan lease=4294967295 serverid=10.77.0.1 "
                        "siaddr=10.77.0.1 boot_file=orvane.bin"),
              std::string::npos)
        << told;

    // The box then fetches the file it was told from the server it was told.
    const std::string image = Work() + "/booted.bin";
    fs::remove(image);
    ASSERT_EQ(network_->InBox("tftp 10.77.0.1 -m binary -c get orvane.bin " + image), 0);
    EXPECT_TRUE(SameFile(image, Served("orvane.bin")));

    const std::string log = ReadWhole(logPath_);
    EXPECT_NE(log.find("|-1|500|N/A|Got a DHCPDISCOVER packet|"), std::string::npos);
    EXPECT_NE(log.find("|-1|500|N/A|Got a DHCPREQUEST packet|"), std::string::npos);
    EXPECT_NE(log.find("|DHCP thread receives packet of length 300|"), std::string::npos);
}

TEST_F(BootServicesTest, UnlistedBoxGetsNoLease) {
    const std::string device = network_->boxDevice;
    Shell("ip -n " + network_->box + " link set " + device + " address 02:00:00:77:00:99");
    const int status = network_->InBox("udhcpc -i " + device + " -f -q -n -t 2 -T 1 -s " + Work() +
                                       "/udhcpc.script >/dev/null 2>&1");
    Shell("ip -n " + network_->box + " link set " + device + " address 02:00:00:77:00:02");
    EXPECT_EQ(status, 1);
}

// ---------------------------------------------------------------------------------------
// DHCP with crafted datagrams
// ---------------------------------------------------------------------------------------

TEST_F(BootServicesTest, OfferIsBroadcastWithItsOptionsInOrder) {
    auto client = DhcpClient();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End().PadTo(300);
    const std::optional<Datagram> offer = Exchange(*client, discover.bytes());
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ(offer->destination, "255.255.255.255");
    EXPECT_EQ(offer->source, "10.77.0.1");
    EXPECT_EQ(offer->sourcePort, kDhcpClientPort);
    const Bytes& reply = offer->bytes;
    ASSERT_GT(reply.size(), 250u);
    EXPECT_EQ(reply[0], BOOTREPLY);
    EXPECT_EQ(Address(reply, 16), "10.77.0.2");
    EXPECT_EQ(Address(reply, 20), "10.77.0.1");
    EXPECT_STREQ(reinterpret_cast<const char*>(&reply[108]), "orvane.bin");
    EXPECT_EQ(OptionTags(reply), (std::vector<int>{53, 1, 15, 3, 6, 51, 54, 255}));
    EXPECT_EQ(reply[242], DHCPOFFER);
}

TEST_F(BootServicesTest, EachInterfaceAnswersWithItsOwnAddress) {
    auto client = DhcpClient(network_->boxDevice2);
    DhcpMessage discover;
    discover.Chaddr({0x02, 0x00, 0x00, 0x78, 0x00, 0x02}).Type(DHCPDISCOVER).End();
    const std::optional<Datagram> offer = Exchange(*client, discover.bytes());
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ(offer->source, "10.78.0.1");
    EXPECT_EQ(Address(offer->bytes, 16), "10.78.0.2");
    EXPECT_EQ(Address(offer->bytes, 20), "10.78.0.1");
    const std::size_t end = offer->bytes.size();
    ASSERT_GT(end, 7u);
    // Option 54 is the last before the end tag.
    EXPECT_EQ(offer->bytes[end - 7], DHCP_OPT_SERVER_ID);
    EXPECT_EQ(Address(offer->bytes, end - 5), "10.78.0.1");
}

TEST_F(BootServicesTest, RequestForAnotherAddressGetsTheShortNak) {
    auto client = DhcpClient();
    DhcpMessage request;
    request.Type(DHCPREQUEST).Option(50, {10, 77, 0, 50}).Option(54, {10, 77, 0, 1}).End();
    const std::optional<Datagram> nak = Exchange(*client, request.bytes());
    ASSERT_TRUE(nak.has_value());
    ASSERT_EQ(nak->bytes.size(), static_cast<std::size_t>(kDhcpNakLength));
    EXPECT_EQ(nak->destination, "255.255.255.255");
    EXPECT_EQ(Bytes(nak->bytes.begin() + 240, nak->bytes.end()),
              (Bytes{53, 1, DHCPNAK, 54, 4, 10, 77, 0, 1, 255}));

    DhcpMessage same;
    same.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).End();
    const std::optional<Datagram> ack = Exchange(*client, same.bytes());
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->bytes[242], DHCPACK);
}

TEST_F(BootServicesTest, OtherServersAndTheirHostsAreLeftAlone) {
    auto client = DhcpClient();
    // A listed box that took another server's offer, and hosts the registry does not list,
    // whatever they ask.
    DhcpMessage otherServer;
    otherServer.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).Option(54, {10, 77, 0, 9}).End();
    DhcpMessage otherServerOtherAddress;
    otherServerOtherAddress.Type(DHCPREQUEST)
        .Option(50, {10, 77, 0, 60})
        .Option(54, {10, 77, 0, 9})
        .End();
    DhcpMessage unlistedSelecting;
    unlistedSelecting.Chaddr({0x02, 0, 0, 0x77, 0, 0x99})
        .Type(DHCPREQUEST)
        .Option(50, {10, 77, 0, 99})
        .Option(54, {10, 77, 0, 9})
        .End();
    DhcpMessage unlistedRebooting;
    unlistedRebooting.Chaddr({0x02, 0, 0, 0x77, 0, 0x99})
        .Type(DHCPREQUEST)
        .Option(50, {10, 77, 0, 99})
        .End();
    for (const DhcpMessage* message :
         {&otherServer, &otherServerOtherAddress, &unlistedSelecting, &unlistedRebooting}) {
        client->SendTo("255.255.255.255", kDhcpServerPort, message->bytes());
        const std::optional<Datagram> answer = client->Receive(700);
        EXPECT_FALSE(answer.has_value())
            << "answered with type "
            << (answer && answer->bytes.size() > 242 ? int(answer->bytes[242]) : -1);
    }
    const std::string log = ReadWhole(logPath_);
    EXPECT_NE(log.find("|DHCPREQUEST names server 10.77.0.9, not this one: not answered|"),
              std::string::npos);
}

TEST_F(BootServicesTest, RelayedRequestsAreAnsweredToTheRelay) {
    // A relay agent on the box's link at 10.77.0.2 passes the box's requests on to the
    // server's address, from port 67, and takes the answers on port 67.
    BoxSocket relay(*network_, network_->boxDevice, kDhcpServerPort);
    ASSERT_TRUE(relay.bound());
    auto client = DhcpClient();
    DhcpMessage discover;
    discover.Giaddr({10, 77, 0, 2}).Flags(0, 0).Type(DHCPDISCOVER).End().PadTo(300);
    relay.SendTo("10.77.0.1", kDhcpServerPort, discover.bytes());
    const std::optional<Datagram> offer = relay.Receive(1500);
    ASSERT_TRUE(offer.has_value()) << "the relay got no offer";
    EXPECT_EQ(offer->source, "10.77.0.1");
    EXPECT_EQ(offer->sourcePort, kDhcpServerPort);
    EXPECT_EQ(offer->destination, "10.77.0.2");
    ASSERT_GT(offer->bytes.size(), 242u);
    EXPECT_EQ(offer->bytes[242], DHCPOFFER);
    EXPECT_EQ(Address(offer->bytes, 16), "10.77.0.2");
    EXPECT_FALSE(client->Receive(300).has_value()) << "nothing is broadcast to port 68";

    DhcpMessage wrong;
    wrong.Giaddr({10, 77, 0, 2})
        .Flags(0, 0)
        .Type(DHCPREQUEST)
        .Option(50, {10, 77, 0, 60})
        .Option(54, {10, 77, 0, 1})
        .End();
    relay.SendTo("10.77.0.1", kDhcpServerPort, wrong.bytes());
    const std::optional<Datagram> nak = relay.Receive(1500);
    ASSERT_TRUE(nak.has_value()) << "the relay got no NAK";
    ASSERT_EQ(nak->bytes.size(), static_cast<std::size_t>(kDhcpNakLength));
    EXPECT_EQ(nak->bytes[242], DHCPNAK);
    EXPECT_EQ(nak->bytes[10], 0x80);
}

TEST_F(BootServicesTest, MalformedAndUnhandledDatagramsGetNothingAndServiceGoesOn) {
    auto client = DhcpClient();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    Bytes shortOne = discover.bytes();
    shortOne.resize(239);
    DhcpMessage runsOff;
    runsOff.Option(61, {1, 2, 3});
    DhcpMessage unlisted;
    unlisted.Chaddr({0x02, 0, 0, 0x77, 0, 0x99}).Type(DHCPDISCOVER).End();
    DhcpMessage longHardware;
    longHardware.Hlen(200)
        .Chaddr({2, 0, 0, 0x77, 0, 2, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9})
        .Type(DHCPDISCOVER)
        .End();
    std::vector<Bytes> silent = {shortOne, runsOff.bytes(), unlisted.bytes(), longHardware.bytes(),
                                 Bytes(5000, 0x01)};
    for (std::uint8_t type : {DHCPDECLINE, DHCPRELEASE, DHCPINFORM}) {
        DhcpMessage message;
        message.Type(type).End();
        silent.push_back(message.bytes());
    }
    for (const Bytes& datagram : silent) {
        client->SendTo("255.255.255.255", kDhcpServerPort, datagram);
        EXPECT_FALSE(client->Receive(500).has_value()) << datagram.size() << " bytes";
    }
    // Still answering after all of them.
    const std::optional<Datagram> offer = Exchange(*client, discover.bytes());
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ(offer->bytes[242], DHCPOFFER);

    const std::string log = ReadWhole(logPath_);
    for (const char* text :
         {"|Got malformed DHCP packet [1]|", "|Got malformed DHCP packet [2]|",
          "|Got an unhandled DHCP packet, 0|", "|Got an unhandled DHCP packet, 4|",
          "|Got an unhandled DHCP packet, 7|", "|Got an unhandled DHCP packet, 8|",
          "|DHCP dropped a datagram of 5000 bytes, larger than 4096|"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text;
    }
}

TEST_F(BootServicesTest, TerminateEndsAServerWaitingForRequests) {
    // The stop sequence of the service, on the server the fixture started.
    pDhcpServer->Terminate();
    ASSERT_EQ(WaitForSingleObject(hDhcpThread, 5000), WAIT_OBJECT_0);
    delete pDhcpServer;
    pDhcpServer = nullptr;

    // A new server on the same interfaces (the ports are free again), stopped while it
    // waits in Run.
    NetnsScope scope(network_->serverFd);
    auto* server = new CDhcpServer();
    ASSERT_NE(server->sender, nullptr);
    ASSERT_EQ(server->listenerCount, 2);
    HANDLE thread = BeginThread(DhcpThread, server);
    EXPECT_EQ(WaitForSingleObject(thread, 200), WAIT_TIMEOUT);  // waiting in Run
    server->Terminate();
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    delete server;
    CloseHandle(thread);

    // Interfaces chosen by name, loopback included when named.
    ::setenv("DORNEL_DHCP_INTERFACES", ("lo," + network_->serverDevice2).c_str(), 1);
    {
        CDhcpServer chosen;
        EXPECT_EQ(chosen.listenerCount, 2);
        EXPECT_NE(chosen.sender, nullptr);
    }

    // No interface chosen: Run returns at once.
    ::setenv("DORNEL_DHCP_INTERFACES", "nosuchdevice", 1);
    CDhcpServer idle;
    ::unsetenv("DORNEL_DHCP_INTERFACES");
    EXPECT_EQ(idle.listenerCount, 0);
    EXPECT_EQ(idle.sender, nullptr);
    idle.Run();
}

// ---------------------------------------------------------------------------------------
// TFTP with real clients
// ---------------------------------------------------------------------------------------

TEST_F(BootServicesTest, FilesArriveByteForByteWithEveryClient) {
    for (const char* name : {"orvane.bin", "f1024.bin", "f1m.bin"}) {
        const std::string base = Work() + "/got-" + name;
        ASSERT_EQ(network_->InBox("tftp 10.77.0.1 -m binary -c get " + std::string(name) + " " +
                                  base + ".hpa"),
                  0);
        EXPECT_TRUE(SameFile(base + ".hpa", Served(name))) << name << " with tftp";
        ASSERT_EQ(network_->InBox("curl -sS --connect-timeout 5 --max-time 30 -o " + base +
                                  ".curl tftp://10.77.0.1/" + name),
                  0);
        EXPECT_TRUE(SameFile(base + ".curl", Served(name))) << name << " with curl";
        ASSERT_EQ(network_->InBox("busybox tftp -g -r " + std::string(name) + " -l " + base +
                                  ".bb 10.77.0.1 2>/dev/null"),
                  0);
        EXPECT_TRUE(SameFile(base + ".bb", Served(name))) << name << " with busybox";
    }
}

TEST_F(BootServicesTest, TwentyFiveTransfersInARowAllSucceed) {
    const std::string out = Work() + "/row";
    EXPECT_EQ(network_->InBox("for i in $(seq 25); do tftp 10.77.0.1 -m binary -c get "
                              "orvane.bin " +
                                  out + "$i && cmp -s " + out + "$i " + Served("orvane.bin") +
                                  " || exit 1; done",
                              120),
              0);
}

TEST_F(BootServicesTest, MissingAndEscapingNamesGetNoFile) {
    const std::string out = Work() + "/nothing";
    // tftp-hpa gives up after 3 s in this form and exits 0: only the file tells.
    for (const char* name : {"missing.bin", "../secret", "/etc/hostname"}) {
        fs::remove(out);
        network_->InBox("printf \"mode octet\\nrexmt 1\\ntimeout 3\\nget " + std::string(name) +
                        " " + out + "\\nquit\\n\" | tftp 10.77.0.1 >/dev/null 2>&1");
        EXPECT_TRUE(!fs::exists(out) || fs::file_size(out) == 0) << name;
    }
    fs::remove(out);
    EXPECT_NE(network_->InBox("curl -sS --path-as-is --connect-timeout 3 -o " + out +
                              " tftp://10.77.0.1/../secret 2>/dev/null"),
              0);
    EXPECT_TRUE(!fs::exists(out) || fs::file_size(out) == 0);
    const std::string events = ReadWhole(platform::service::EventLogPath());
    EXPECT_NE(events.find("| 108 | Opening TFTP file C:\\dornel\\../secret"), std::string::npos);
}

TEST_F(BootServicesTest, OtherPacketsGetNoAnswerAndEmptyDatagramsLeaveTheServiceUp) {
    BoxSocket client(*network_, network_->boxDevice, 0);
    const std::vector<Bytes> ignored = {
        {0, TFTP_WRQ, 'x', 0, 'o', 'c', 't', 'e', 't', 0},
        {0, TFTP_DATA, 0, 1, 'a', 'b'},
        {0, TFTP_ERROR, 0, 2, 'n', 'o', 0},
        {},
    };
    for (const Bytes& packet : ignored) {
        client.SendTo("10.77.0.1", kTftpPort, packet);
        EXPECT_FALSE(client.Receive(400).has_value()) << packet.size() << " bytes";
    }
    // A name that climbs out of the folder is refused with an access violation.
    client.SendTo(
        "10.77.0.1", kTftpPort,
        {0, 1, '.', '.', '/', 's', 'e', 'c', 'r', 'e', 't', 0, 'o', 'c', 't', 'e', 't', 0});
    const std::optional<Datagram> refusal = client.Receive(1000);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->bytes, (Bytes{0,   TFTP_ERROR, 0,   2,   'A', 'c', 'c', 'e', 's', 's', ' ',
                                     'v', 'i',        'o', 'l', 'a', 't', 'i', 'o', 'n', 0}));
    const std::string image = Work() + "/after-empty.bin";
    ASSERT_EQ(network_->InBox("tftp 10.77.0.1 -m binary -c get orvane.bin " + image), 0);
    EXPECT_TRUE(SameFile(image, Served("orvane.bin")));
}

TEST_F(BootServicesTest, SecretsInTheServedFolderAreRefusedWithAnError) {
    // busybox tftp exits 1 on an ERROR packet and removes its local file.
    for (const char* name : {"log/dornel.log", "boxusers", "ledger.db"}) {
        const std::string out = Work() + "/stolen";
        fs::remove(out);
        const std::string err = Work() + "/stolen.err";
        EXPECT_EQ(network_->InBox("busybox tftp -g -r " + std::string(name) + " -l " + out +
                                      " 10.77.0.1 2>" + err,
                                  20),
                  1)
            << name;
        EXPECT_FALSE(fs::exists(out) && fs::file_size(out) > 0) << name;
        EXPECT_NE(ReadWhole(err).find("Access violation"), std::string::npos)
            << name << ": " << ReadWhole(err);
    }
    // A missing file is told, not left to the client's time-out.
    const std::string err = Work() + "/missing.err";
    EXPECT_EQ(network_->InBox("busybox tftp -g -r missing.bin -l " + Work() +
                              "/missing.bin 10.77.0.1 2>" + err),
              1);
    EXPECT_NE(ReadWhole(err).find("File not found"), std::string::npos) << ReadWhole(err);
}

TEST_F(BootServicesTest, BootFinishesWithOnePacketInTenDropped) {
    const std::string out = Work() + "/lossy.bin";
    // netem on the box's end of the link where the kernel has it; else the relay above,
    // which drops every tenth datagram both ways.
    const bool netem = Shell("ip netns exec " + network_->box + " tc qdisc add dev " +
                             network_->boxDevice + " root netem loss 10% >/dev/null 2>&1") == 0;
    std::unique_ptr<LossyRelay> relay;
    std::string target = "10.77.0.1";
    if (!netem) {
        relay = std::make_unique<LossyRelay>(*network_);
        target = "127.0.0.1 " + std::to_string(relay->port());
    }
    for (const char* client : {"hpa", "busybox"}) {
        fs::remove(out);
        const std::string command =
            std::string(client) == "hpa"
                ? "tftp " + target + " -m binary -c get f300.bin " + out
                : "busybox tftp -g -r f300.bin -l " + out + " " + target + " 2>/dev/null";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(network_->InBox(command, 90), 0) << client;
        EXPECT_TRUE(SameFile(out, Served("f300.bin"))) << client;
        std::printf("  %s fetched 301 blocks in %.1f s%s\n", client,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                    netem ? " (netem)" : "");
    }
    if (netem) {
        Shell("ip netns exec " + network_->box + " tc qdisc del dev " + network_->boxDevice +
              " root >/dev/null 2>&1");
    } else {
        EXPECT_GT(relay->dropped(), 20);
    }
}

}  // namespace
