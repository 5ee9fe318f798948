// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The DHCP server's packet writers, option scanners, registry readers and request handling,
// against hand-built buffers and a real registry under a private DORNEL_ROOT. Debug records
// are checked in the real dornel.log of a service object with debug logging on.

#include "server/dhcpsrv.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/paths/paths.h"
#include "server/zuvexservice.h"
#include "tests/server/dhcp/dhcp_fixture.h"

namespace {

using dhcptest::AddressBytes;
using dhcptest::DhcpMessage;
using dhcptest::kBoxKey;
using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes TextBytes(const char* text) { return Bytes(text, text + std::strlen(text) + 1); }

// ---------------------------------------------------------------------------------------
// Option writers and scanners
// ---------------------------------------------------------------------------------------

TEST(DhcpOptionWriters, AppendTagLengthValueAndAdvanceBoth) {
    std::uint8_t buffer[64] = {};
    std::uint8_t* position = buffer;
    int length = 0;
    add_tag(position, length, DHCP_OPT_MESSAGE_TYPE, static_cast<std::uint8_t>(DHCPOFFER));
    add_tag(position, length, DHCP_OPT_SERVER_ID,
            static_cast<std::uint32_t>(inet_addr("10.77.0.1")));
    add_tag(position, length, DHCP_OPT_DOMAIN_NAME, "lan");
    add_tag(position, length, DHCP_OPT_DOMAIN_NAME, "");
    add_raw(position, length, static_cast<std::uint8_t>(3));
    add_raw(position, length, static_cast<std::uint32_t>(inet_addr("1.2.3.4")));
    add_raw(position, length, DHCP_OPT_END);

    const Bytes expected = {53,  1,   2, 54, 4, 10, 77, 0, 1, 15, 4, 'l',
                            'a', 'n', 0, 15, 1, 0,  3,  1, 2, 3,  4, 255};
    ASSERT_EQ(length, static_cast<int>(expected.size()));
    EXPECT_EQ(position, buffer + length);
    EXPECT_EQ(Bytes(buffer, buffer + length), expected);
}

struct ScanRow {
    const char* name;
    Bytes options;
    std::uint8_t messageType;  // expected from get_msg_type
    int hasAddress;            // expected from get_requested_address
};

class DhcpOptionScan : public ::testing::TestWithParam<ScanRow> {};

TEST_P(DhcpOptionScan, FindsOnlyOptionsThatLieInsideTheArea) {
    const ScanRow& row = GetParam();
    // The area lies at the end of a larger buffer whose bytes past it would hold a valid
    // option 53 and 50, so any read past the end shows up as a found option.
    Bytes buffer = row.options;
    const Bytes trap = {53, 1, 7, 50, 4, 9, 9, 9, 9};
    buffer.insert(buffer.end(), trap.begin(), trap.end());
    const int length = static_cast<int>(row.options.size());

    EXPECT_EQ(get_msg_type(buffer.data(), length), row.messageType);
    std::uint32_t address = 0;
    EXPECT_EQ(get_requested_address(buffer.data(), &address, length), row.hasAddress);
    if (row.hasAddress) {
        EXPECT_EQ(address, static_cast<std::uint32_t>(inet_addr("10.77.0.2")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DhcpOptionScan,
    ::testing::Values(
        ScanRow{"AfterPadsAndOtherOptions",
                {0, 0, 61, 2, 1, 2, 53, 1, 3, 50, 4, 10, 77, 0, 2, 255},
                3,
                1},
        ScanRow{"EndTagBeforeTheOptions", {55, 1, 1, 255, 53, 1, 1, 50, 4, 10, 77, 0, 2}, 0, 0},
        ScanRow{"RunningOffTheEndWithoutEndTag", {55, 1, 1, 0}, 0, 0},
        ScanRow{"LengthPointingPastTheEnd", {61, 200, 1, 2}, 0, 0},
        ScanRow{"TagWithoutItsLengthByte", {61}, 0, 0}, ScanRow{"MessageTypeCutOff", {53, 1}, 0, 0},
        ScanRow{"RequestedAddressCutOff", {53, 1, 1, 50, 4, 10, 77}, 1, 0},
        ScanRow{"EmptyArea", {}, 0, 0}, ScanRow{"OnlyPads", {0, 0, 0}, 0, 0}),
    [](const ::testing::TestParamInfo<ScanRow>& row) { return row.param.name; });

TEST(DhcpClientKey, IsEachAddressByteInUpperCaseHexJoinedByDashes) {
    const std::uint8_t chaddr[16] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xfe, 1, 2,
                                     3,    4,    5,    6,    7,    8,    9, 0xff};
    char name[kDhcpClientKeySize];
    MakeClientKeyName(6, chaddr, name);
    EXPECT_STREQ(name, "00-11-22-AA-BB-FE");
    MakeClientKeyName(0, chaddr, name);
    EXPECT_STREQ(name, "");
    // hlen beyond chaddr is bounded to its 16 bytes: the name never reaches into sname.
    MakeClientKeyName(200, chaddr, name);
    EXPECT_STREQ(name, "00-11-22-AA-BB-FE-01-02-03-04-05-06-07-08-09-FF");
    EXPECT_EQ(std::strlen(name), static_cast<std::size_t>(kDhcpClientKeySize - 1));
}

// ---------------------------------------------------------------------------------------
// Requests against the registry
// ---------------------------------------------------------------------------------------

// A listener whose interface address is 10.77.0.1. ProcessRequest only needs addressText,
// so the socket is not bound (binding that address fails on this machine, which is fine).
class Listener : public CUdpConnection {
  public:
    Listener() : CUdpConnection("10.77.0.1", 0, 0) {}
};

TEST(DhcpSocket, FailedBindLeavesNoSocketAndKeepsTheError) {
    Listener unbound;  // 10.77.0.1 is no address of this machine
    EXPECT_EQ(unbound.GetSocket(), INVALID_SOCKET);
    EXPECT_EQ(unbound.LastError(), WSAEADDRNOTAVAIL);

    CUdpConnection any(htonl(INADDR_LOOPBACK), 0, 0);
    EXPECT_NE(any.GetSocket(), INVALID_SOCKET);
    EXPECT_EQ(any.LastError(), 0);
}

// The host name up to its first dot, at most 15 characters: what sname carries.
std::string ComputerName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string name(host, std::strcspn(host, "."));
    return name.substr(0, kDhcpServerNameLength);
}

class DhcpRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry_ = std::make_unique<dhcptest::RegistryRoot>();
        listener_ = std::make_unique<Listener>();
        std::memset(&reply_, 0xEE, sizeof reply_);
    }

    void ListBox() {
        registry_->Set(kBoxKey, "IPADDR", "10.77.0.2");
        registry_->Set(kBoxKey, "SUBNETMASK", "255.255.255.0");
    }

    // Hands the message to the listener; returns the reply's bytes (empty for no reply).
    Bytes Answer(const DhcpMessage& message) {
        const RFC1541_PACKET request = message.Packet();
        const int length =
            listener_->ProcessRequest(&request, message.size(), &reply_, sizeof reply_);
        const auto* begin = reinterpret_cast<const std::uint8_t*>(&reply_);
        return Bytes(begin, begin + (length > 0 ? length : 0));
    }

    // What a positive reply to message holds in its first 240 bytes.
    Bytes ExpectedHeader(const DhcpMessage& message, const char* yiaddr) {
        Bytes header(message.bytes().begin(), message.bytes().begin() + kDhcpOptionsOffset);
        header[0] = BOOTREPLY;
        header[8] = header[9] = 0;                               // secs
        std::fill(header.begin() + 12, header.begin() + 16, 0);  // ciaddr
        const Bytes your = AddressBytes(yiaddr);
        std::copy(your.begin(), your.end(), header.begin() + 16);
        const Bytes server = AddressBytes("10.77.0.1");
        std::copy(server.begin(), server.end(), header.begin() + 20);
        const std::string name = ComputerName();
        std::copy(name.begin(), name.end(), header.begin() + 44);
        header[44 + name.size()] = 0;
        const Bytes file = TextBytes("orvane.bin");
        std::copy(file.begin(), file.end(), header.begin() + 108);
        return header;
    }

    std::unique_ptr<dhcptest::RegistryRoot> registry_;
    std::unique_ptr<Listener> listener_;
    RFC1541_PACKET reply_;
};

TEST_F(DhcpRequestTest, DiscoverFromListedBoxGetsOfferWithOptionsInOrder) {
    ListBox();
    registry_->Set(kBoxKey, "DOMAINNAME", "boxes.lan");
    registry_->Set(kBoxKey, "ROUTER_1", "10.77.0.254");
    registry_->Set(kBoxKey, "WINS_1", "10.77.0.3");
    registry_->Set(kBoxKey, "DNS_1", "10.77.0.1");
    registry_->Set(kBoxKey, "DNS_2", "10.77.0.5");
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).Option(57, {2, 64}).End().PadTo(300);

    const Bytes expected =
        Concat({ExpectedHeader(discover, "10.77.0.2"),
                {53, 1, DHCPOFFER},
                Concat({{1, 4}, AddressBytes("255.255.255.0")}),
                Concat({{15, 10}, TextBytes("boxes.lan")}),
                Concat({{3, 4}, AddressBytes("10.77.0.254")}),
                Concat({{44, 4}, AddressBytes("10.77.0.3")}),
                Concat({{6, 8}, AddressBytes("10.77.0.1"), AddressBytes("10.77.0.5")}),
                {51, 4, 0xFF, 0xFF, 0xFF, 0xFF},
                Concat({{54, 4}, AddressBytes("10.77.0.1")}),
                {255}});
    EXPECT_EQ(Answer(discover), expected);
}

TEST_F(DhcpRequestTest, RequestIsAcknowledgedUnlessItAsksForAnotherAddress) {
    ListBox();
    DhcpMessage same;
    same.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).Option(54, {10, 77, 0, 1}).End();
    const Bytes acked = Answer(same);
    ASSERT_GT(acked.size(), 243u);
    EXPECT_EQ(Bytes(acked.begin() + 240, acked.begin() + 243), (Bytes{53, 1, DHCPACK}));

    DhcpMessage without;
    without.Type(DHCPREQUEST).End();
    const Bytes alsoAcked = Answer(without);
    ASSERT_GT(alsoAcked.size(), 243u);
    EXPECT_EQ(alsoAcked[242], DHCPACK);
    // An empty domain name is still sent: length 1 and one zero byte.
    EXPECT_EQ(Bytes(alsoAcked.begin() + 249, alsoAcked.begin() + 252), (Bytes{15, 1, 0}));

    // A refusal names its server, so a box that hears several servers knows whose it is.
    DhcpMessage other;
    other.Type(DHCPREQUEST).Option(50, {10, 77, 0, 99}).End().PadTo(300);
    Bytes nak(other.bytes().begin(), other.bytes().begin() + kDhcpOptionsOffset);
    nak[0] = BOOTREPLY;  // nothing else of the header changes
    nak.insert(nak.end(), {53, 1, DHCPNAK, 54, 4, 10, 77, 0, 1, 255});
    EXPECT_EQ(Answer(other), nak);
    EXPECT_EQ(nak.size(), static_cast<std::size_t>(kDhcpNakLength));
}

TEST_F(DhcpRequestTest, UnlistedHostGetsNothingWhateverItSends) {
    // Another host of a shared network, served by another DHCP server.
    registry_->Set("02-00-00-77-00-99", "IPADDR", "10.77.0.99");
    registry_->Set("General", "SUBNETMASK", "255.255.255.0");
    for (std::uint8_t type : {DHCPDISCOVER, DHCPREQUEST, DHCPDECLINE, DHCPRELEASE, DHCPINFORM}) {
        DhcpMessage bare;
        bare.Type(type).End();
        EXPECT_TRUE(Answer(bare).empty()) << int(type);
    }
    DhcpMessage selecting;  // chose the other server's offer
    selecting.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).Option(54, {10, 77, 0, 250}).End();
    EXPECT_TRUE(Answer(selecting).empty());
    DhcpMessage rebooting;  // asks to keep an address it had, naming no server
    rebooting.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).End();
    EXPECT_TRUE(Answer(rebooting).empty());
    DhcpMessage naming;  // even one naming this server is not refused
    naming.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).Option(54, {10, 77, 0, 1}).End();
    EXPECT_TRUE(Answer(naming).empty());
}

TEST_F(DhcpRequestTest, RequestNamingAnotherServerGetsNothing) {
    ListBox();
    // The box took another server's offer: neither an ACK nor a NAK from here.
    DhcpMessage ownAddress;
    ownAddress.Type(DHCPREQUEST).Option(50, {10, 77, 0, 2}).Option(54, {10, 77, 0, 250}).End();
    EXPECT_TRUE(Answer(ownAddress).empty());
    DhcpMessage otherAddress;
    otherAddress.Type(DHCPREQUEST).Option(54, {10, 77, 0, 250}).Option(50, {10, 77, 0, 40}).End();
    EXPECT_TRUE(Answer(otherAddress).empty());

    // Naming this server, the same requests get their ACK and NAK.
    DhcpMessage ours;
    ours.Type(DHCPREQUEST).Option(54, {10, 77, 0, 1}).Option(50, {10, 77, 0, 2}).End();
    const Bytes ack = Answer(ours);
    ASSERT_GT(ack.size(), 243u);
    EXPECT_EQ(ack[242], DHCPACK);
    DhcpMessage oursWrong;
    oursWrong.Type(DHCPREQUEST).Option(54, {10, 77, 0, 1}).Option(50, {10, 77, 0, 40}).End();
    const Bytes nak = Answer(oursWrong);
    ASSERT_EQ(nak.size(), static_cast<std::size_t>(kDhcpNakLength));
    EXPECT_EQ(nak[242], DHCPNAK);

    // An identifier cut off by the end of the datagram names no server.
    DhcpMessage cut;
    cut.Type(DHCPREQUEST).Raw({54, 4, 10, 77});
    const Bytes cutAck = Answer(cut);
    ASSERT_GT(cutAck.size(), 243u);
    EXPECT_EQ(cutAck[242], DHCPACK);
}

TEST_F(DhcpRequestTest, RelayedRefusalAsksTheRelayToBroadcastIt) {
    ListBox();
    DhcpMessage relayed;
    relayed.Giaddr({10, 9, 9, 9}).Flags(0, 0).Type(DHCPREQUEST).Option(50, {10, 77, 0, 40}).End();
    const Bytes nak = Answer(relayed);
    ASSERT_EQ(nak.size(), static_cast<std::size_t>(kDhcpNakLength));
    EXPECT_EQ(nak[10], 0x80);  // broadcast bit
    EXPECT_EQ(Bytes(nak.begin() + 24, nak.begin() + 28), AddressBytes("10.9.9.9"));
    EXPECT_EQ(Bytes(nak.begin() + 240, nak.end()),
              (Bytes{53, 1, DHCPNAK, 54, 4, 10, 77, 0, 1, 255}));

    // Sent by the box itself, the flags stay as the box set them.
    DhcpMessage direct;
    direct.Flags(0, 0).Type(DHCPREQUEST).Option(50, {10, 77, 0, 40}).End();
    const Bytes plain = Answer(direct);
    ASSERT_EQ(plain.size(), static_cast<std::size_t>(kDhcpNakLength));
    EXPECT_EQ(plain[10], 0);
}

TEST_F(DhcpRequestTest, EachValueFallsBackToGeneralOnItsOwn) {
    registry_->Set(kBoxKey, "IPADDR", "10.77.0.2");
    registry_->Set("General", "IPADDR", "10.77.0.200");
    registry_->Set("General", "SUBNETMASK", "255.255.0.0");
    registry_->Set("General", "ROUTER_1", "10.77.0.254");
    registry_->Set("General", "DNS_1", "10.77.0.1");
    registry_->Set("General", "DNS_2", "10.77.0.5");
    registry_->Set("General", "DOMAINNAME", "site.lan");
    registry_->Set(kBoxKey, "DNS_2", "10.77.0.6");  // the box's own entry wins

    clientdata_t client;
    ASSERT_EQ(LookupClientData(6, dhcptest::kBoxMac, &client), 1);
    EXPECT_STREQ(client.ipAddress, "10.77.0.2");
    EXPECT_STREQ(client.subnetMask, "255.255.0.0");
    EXPECT_STREQ(client.domainName, "site.lan");
    ASSERT_EQ(client.routerCount, 1);
    EXPECT_STREQ(client.routers[0], "10.77.0.254");
    ASSERT_EQ(client.dnsCount, 2);
    EXPECT_STREQ(client.dnsServers[0], "10.77.0.1");
    EXPECT_STREQ(client.dnsServers[1], "10.77.0.6");
    EXPECT_EQ(client.winsCount, 0);

    // An IPADDR in General makes any box known, with that one address.
    const std::uint8_t stranger[6] = {0x02, 0, 0, 0, 0, 0x42};
    ASSERT_EQ(LookupClientData(6, stranger, &client), 1);
    EXPECT_STREQ(client.ipAddress, "10.77.0.200");
}

TEST_F(DhcpRequestTest, NumberedListsStopAtTheFirstGapOrAfterTen) {
    ListBox();
    registry_->Set(kBoxKey, "ROUTER_1", "10.77.0.254");
    registry_->Set(kBoxKey, "ROUTER_3", "10.77.0.253");
    for (int n = 1; n <= 12; ++n) {
        registry_->Set(n % 2 ? "General" : kBoxKey, ("DNS_" + std::to_string(n)).c_str(),
                       "10.0.0." + std::to_string(n));
    }
    clientdata_t client;
    ASSERT_EQ(LookupClientData(6, dhcptest::kBoxMac, &client), 1);
    EXPECT_EQ(client.routerCount, 1);
    ASSERT_EQ(client.dnsCount, 10);
    EXPECT_STREQ(client.dnsServers[9], "10.0.0.10");

    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    const Bytes offer = Answer(discover);
    // 53, 1, 15 (empty), then the one router.
    const Bytes router = Concat({{3, 4}, AddressBytes("10.77.0.254")});
    ASSERT_GT(offer.size(), 258u);
    EXPECT_EQ(Bytes(offer.begin() + 252, offer.begin() + 258), router);
    EXPECT_EQ(offer[258], DHCP_OPT_DNS_SERVER);
    EXPECT_EQ(offer[259], 40);
}

TEST_F(DhcpRequestTest, ValuesThatDoNotFitTheirFieldAreNotRead) {
    registry_->Set(kBoxKey, "IPADDR", std::string(30, '1'));  // longer than 23 characters
    registry_->Set("General", "IPADDR", "10.77.0.2");
    registry_->Set(kBoxKey, "DOMAINNAME", "fifteen-chars.x");  // needs 16 bytes, 15 allowed
    registry_->Set(kBoxKey, "SUBNETMASK", "255.255.255.0", /*withZero=*/false);
    clientdata_t client;
    ASSERT_EQ(LookupClientData(6, dhcptest::kBoxMac, &client), 1);
    EXPECT_STREQ(client.ipAddress, "10.77.0.2");
    EXPECT_STREQ(client.domainName, "");
    EXPECT_STREQ(client.subnetMask, "255.255.255.0");

    char buffer[24];
    EXPECT_EQ(ReadStringFromIniFile(kBoxKey, "SUBNETMASK", buffer, sizeof buffer), 14);
    EXPECT_EQ(ReadStringFromIniFile(kBoxKey, "IPADDR", buffer, sizeof buffer), 10);
    EXPECT_EQ(ReadStringFromIniFile(kBoxKey, "WINS_1", buffer, sizeof buffer), 0);
    EXPECT_EQ(ReadStringFromIniFile("", "IPADDR", buffer, sizeof buffer), 10);
}

TEST_F(DhcpRequestTest, RegistryChangesApplyToTheNextRequest) {
    ListBox();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    Bytes offer = Answer(discover);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.2"));

    registry_->Set(kBoxKey, "IPADDR", "10.77.0.7");
    offer = Answer(discover);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.7"));

    registry_->Remove(kBoxKey, "IPADDR");
    EXPECT_TRUE(Answer(discover).empty());
}

TEST_F(DhcpRequestTest, OversizedHardwareLengthNamesSixteenBytes) {
    DhcpMessage discover;
    discover.Hlen(200)
        .Chaddr({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})
        .Type(DHCPDISCOVER)
        .End();
    EXPECT_TRUE(Answer(discover).empty());
    registry_->Set("01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10", "IPADDR", "10.77.0.16");
    const Bytes offer = Answer(discover);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(offer[2], 200);  // hlen itself is copied as it came
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.16"));
}

// ---------------------------------------------------------------------------------------
// The client table held in memory
// ---------------------------------------------------------------------------------------

using dhcptest::DhcpKeyArgument;
using dhcptest::Dornelreg;

TEST_F(DhcpRequestTest, ChangeMadeWithDornelregAppliesToTheNextRequest) {
    ListBox();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    Bytes offer = Answer(discover);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.2"));

    // Another process writes the same database.
    ASSERT_EQ(Dornelreg({"add", DhcpKeyArgument(kBoxKey), "/v", "IPADDR", "/d", "10.77.0.7", "/f"}),
              0);
    offer = Answer(discover);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.7"));

    ASSERT_EQ(Dornelreg({"add", DhcpKeyArgument("General"), "/v", "ROUTER_1", "/d", "10.77.0.254"}),
              0);
    offer = Answer(discover);
    ASSERT_GT(offer.size(), 258u);
    EXPECT_EQ(Bytes(offer.begin() + 252, offer.begin() + 258),
              Concat({{3, 4}, AddressBytes("10.77.0.254")}));

    // A box added by hand, with its name in lower case, is known at once.
    DhcpMessage newcomer;
    newcomer.Chaddr({0x02, 0x00, 0x00, 0x77, 0x00, 0xab}).Type(DHCPDISCOVER).End();
    EXPECT_TRUE(Answer(newcomer).empty());
    ASSERT_EQ(Dornelreg({"add", DhcpKeyArgument("02-00-00-77-00-ab"), "/v", "IPADDR", "/d",
                         "10.77.0.171"}),
              0);
    offer = Answer(newcomer);
    ASSERT_FALSE(offer.empty());
    EXPECT_EQ(Bytes(offer.begin() + 16, offer.begin() + 20), AddressBytes("10.77.0.171"));

    // And one removed is forgotten at once.
    ASSERT_EQ(Dornelreg({"delete", DhcpKeyArgument(kBoxKey), "/v", "IPADDR", "/f"}), 0);
    EXPECT_TRUE(Answer(discover).empty());
}

TEST_F(DhcpRequestTest, RequestsReadTheRegistryOnlyAfterAChange) {
    ListBox();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    ASSERT_FALSE(Answer(discover).empty());
    const unsigned long loads = DhcpClientTable().Loads();
    for (int i = 0; i < 50; ++i) ASSERT_FALSE(Answer(discover).empty());
    EXPECT_EQ(DhcpClientTable().Loads(), loads);

    registry_->Set(kBoxKey, "DNS_1", "10.77.0.53");
    for (int i = 0; i < 10; ++i) ASSERT_FALSE(Answer(discover).empty());
    EXPECT_EQ(DhcpClientTable().Loads(), loads + 1);
}

TEST_F(DhcpRequestTest, TableAnswersAsTheRegistryDoes) {
    registry_->Set(kBoxKey, "IPADDR", "10.77.0.2");
    registry_->Set(kBoxKey, "DNS_2", "10.77.0.6");
    registry_->Set("02-00-00-77-00-0c", "IPADDR", "10.77.0.12");     // written in lower case
    registry_->Set("02-00-00-77-00-0D", "SUBNETMASK", "255.0.0.0");  // no address of its own
    registry_->Set("General", "SUBNETMASK", "255.255.255.0");
    registry_->Set("General", "DNS_1", "10.77.0.1");
    registry_->Set("General", "DOMAINNAME", "site.lan");
    const std::vector<Bytes> hosts = {{0x02, 0, 0, 0x77, 0, 0x02},
                                      {0x02, 0, 0, 0x77, 0, 0x0c},
                                      {0x02, 0, 0, 0x77, 0, 0x0d},
                                      {0x02, 0, 0, 0x77, 0, 0x0e},
                                      {}};
    const auto compare = [&](const char* when) {
        for (const Bytes& host : hosts) {
            clientdata_t fromTable;
            clientdata_t fromRegistry;
            std::memset(&fromTable, 0x5A, sizeof fromTable);
            const int hlen = static_cast<int>(host.size());
            const int known = DhcpClientTable().Lookup(hlen, host.data(), &fromTable);
            EXPECT_EQ(known, LookupClientData(hlen, host.data(), &fromRegistry))
                << when << " host " << hlen;
            EXPECT_EQ(std::memcmp(&fromTable, &fromRegistry, sizeof fromTable), 0)
                << when << " host " << hlen;
        }
    };
    compare("without a general address");
    clientdata_t client;
    ASSERT_EQ(DhcpClientTable().Lookup(6, hosts[1].data(), &client), 1);
    EXPECT_STREQ(client.ipAddress, "10.77.0.12");
    EXPECT_EQ(DhcpClientTable().Lookup(6, hosts[2].data(), &client), 0);

    // An address in General makes every host known, with its own values where it has them.
    registry_->Set("General", "IPADDR", "10.77.0.200");
    compare("with a general address");
    ASSERT_EQ(DhcpClientTable().Lookup(6, hosts[2].data(), &client), 1);
    EXPECT_STREQ(client.ipAddress, "10.77.0.200");
    EXPECT_STREQ(client.subnetMask, "255.0.0.0");
}

// ---------------------------------------------------------------------------------------
// Requests that get no answer, and their debug records
// ---------------------------------------------------------------------------------------

class DhcpDebugRecordTest : public DhcpRequestTest {
  protected:
    void SetUp() override {
        DhcpRequestTest::SetUp();
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
        service_->enableDebugLog = 1;
        logPath_ = registry_->path() + "/dornel.log";
        std::lock_guard<std::mutex> guard(CZuvexService::EventLog.logLock);
        CZuvexService::EventLog.logFile = std::fopen(logPath_.c_str(), "a+b");
        ASSERT_NE(CZuvexService::EventLog.logFile, nullptr);
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(CZuvexService::EventLog.logLock);
            std::fclose(CZuvexService::EventLog.logFile);
            CZuvexService::EventLog.logFile = nullptr;
        }
        service_.reset();
    }

    // The data fields of the debug records written so far.
    std::vector<std::string> DebugTexts() const {
        std::ifstream in(logPath_);
        std::vector<std::string> texts;
        std::string line;
        while (std::getline(in, line)) {
            // time|box|type|user|data|
            std::vector<std::string> fields;
            std::stringstream split(line);
            std::string field;
            while (std::getline(split, field, '|')) fields.push_back(field);
            if (fields.size() >= 5 && fields[1] == "-1" && fields[2] == "500") {
                texts.push_back(fields[4]);
            }
        }
        return texts;
    }

    std::unique_ptr<CZuvexService> service_;
    std::string logPath_;
};

TEST_F(DhcpDebugRecordTest, AnsweredRequestsNameTheirType) {
    ListBox();
    DhcpMessage discover;
    discover.Type(DHCPDISCOVER).End();
    DhcpMessage request;
    request.Type(DHCPREQUEST).End();
    EXPECT_FALSE(Answer(discover).empty());
    EXPECT_FALSE(Answer(request).empty());
    EXPECT_EQ(DebugTexts(),
              (std::vector<std::string>{"Got a DHCPDISCOVER packet", "Got a DHCPREQUEST packet"}));
}

TEST_F(DhcpDebugRecordTest, DeclineReleaseAndInformFromListedBoxGetNothing) {
    ListBox();
    for (std::uint8_t type : {DHCPDECLINE, DHCPRELEASE, DHCPINFORM}) {
        DhcpMessage message;
        message.Type(type).End();
        EXPECT_TRUE(Answer(message).empty()) << int(type);
    }
    EXPECT_EQ(DebugTexts(), (std::vector<std::string>{"Got an unhandled DHCP packet, 4",
                                                      "Got an unhandled DHCP packet, 7",
                                                      "Got an unhandled DHCP packet, 8"}));
}

TEST_F(DhcpDebugRecordTest, RequestForAnotherServerSaysWhyItGetsNothing) {
    ListBox();
    DhcpMessage request;
    request.Type(DHCPREQUEST).Option(54, {10, 77, 0, 250}).End();
    EXPECT_TRUE(Answer(request).empty());
    EXPECT_EQ(DebugTexts(),
              (std::vector<std::string>{
                  "Got a DHCPREQUEST packet",
                  "DHCPREQUEST names server 10.77.0.250, not this one: not answered"}));
}

TEST_F(DhcpDebugRecordTest, MalformedRequestsAreReportedAndGetNothing) {
    ListBox();
    DhcpMessage full;
    full.Type(DHCPDISCOVER).End();
    RFC1541_PACKET packet = full.Packet();
    EXPECT_EQ(listener_->ProcessRequest(&packet, 239, &reply_, sizeof reply_), 0);

    DhcpMessage runsOff;  // no tag 53 and no end tag
    runsOff.Option(61, {1, 2, 3}).Option(12, {'b', 'o', 'x'});
    EXPECT_TRUE(Answer(runsOff).empty());

    DhcpMessage badAddress;  // a REQUEST whose option 50 runs off the end is acknowledged
    badAddress.Type(DHCPREQUEST).Raw({50, 4, 10, 77});
    const Bytes ack = Answer(badAddress);
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(ack[242], DHCPACK);

    EXPECT_EQ(DebugTexts(), (std::vector<std::string>{
                                "Got malformed DHCP packet [1]", "Got malformed DHCP packet [2]",
                                "Got an unhandled DHCP packet, 0", "Got a DHCPREQUEST packet",
                                "Got malformed DHCP packet [3]"}));
}

// ---------------------------------------------------------------------------------------
// The computer name in sname
// ---------------------------------------------------------------------------------------

TEST_F(DhcpRequestTest, LongComputerNameIsCutToFifteenCharacters) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a host name of its own";
    ListBox();
    Bytes offer;
    bool renamed = false;
    // A UTS namespace of this thread only: the machine's name stays as it is.
    std::thread worker([&] {
        if (::unshare(CLONE_NEWUTS) != 0) return;
        const char* name = "averyveryverylongcomputername.example";
        if (::sethostname(name, std::strlen(name)) != 0) return;
        renamed = true;
        DhcpMessage discover;
        discover.Type(DHCPDISCOVER).End();
        offer = Answer(discover);
    });
    worker.join();
    if (!renamed) GTEST_SKIP() << "no UTS namespace here";
    ASSERT_GT(offer.size(), 240u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&offer[44])), "averyveryverylo");
    EXPECT_EQ(offer[44 + 15], 0);
    EXPECT_EQ(offer[44 + 16], 'x');  // the rest of sname keeps the request's bytes
}

}  // namespace
