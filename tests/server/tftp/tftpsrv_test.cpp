// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The TFTP server on loopback: the datagram handler driven packet by packet between two
// sockets of this process, then the thread itself on a free port (DORNEL_TFTP_PORT). Files
// live in "C:\dornel" below a private DORNEL_ROOT; the NT event log is the real file.

#include "server/tftpsrv.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
#include "server/ntservice.h"
#include "server/zuvexservice.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------------------

struct NameRow {
    const char* label;
    const char* name;
    bool inside;
};

class TftpNames : public ::testing::TestWithParam<NameRow> {};

TEST_P(TftpNames, StayInsideTheServedFolderOrAreRefused) {
    EXPECT_EQ(IsNameInsideFolder(GetParam().name), GetParam().inside) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TftpNames,
    ::testing::Values(
        NameRow{"PlainName", "orvane.bin", true}, NameRow{"SubFolder", "boot/orvane.bin", true},
        NameRow{"BackslashSubFolder", "boot\\orvane.bin", true},
        NameRow{"ClimbsBackIntoTheFolder", "a/../orvane.bin", true},
        NameRow{"DotFolders", "./a/./b", true}, NameRow{"DotsInsideAName", "orvane..bin", true},
        NameRow{"ParentOnly", "..", false}, NameRow{"Parent", "../secret", false},
        NameRow{"ParentAfterASubFolder", "a/../../secret", false},
        NameRow{"BackslashParent", "a\\..\\..\\secret", false},
        NameRow{"MixedSeparators", "a/..\\..", false}, NameRow{"Absolute", "/etc/passwd", false},
        NameRow{"Rooted", "\\dornel\\orvane.bin", false}, NameRow{"DriveLetter", "C:", false},
        NameRow{"DriveRelative", "C:orvane.bin", false}, NameRow{"DrivePath", "d:\\x", false},
        NameRow{"ColonInside", "a:b", false}),
    [](const ::testing::TestParamInfo<NameRow>& row) { return row.param.label; });

// ---------------------------------------------------------------------------------------
// Fixture: a private root with the served folder, and two loopback sockets
// ---------------------------------------------------------------------------------------

// A UDP socket bound to address:0 on loopback, closed on scope exit.
class LoopbackSocket {
  public:
    explicit LoopbackSocket(const char* address = "127.0.0.1") {
        fd_ = CreateSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(address);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof address_;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    ~LoopbackSocket() { closesocket(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    SOCKET fd() const { return fd_; }
    const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    WORD port() const { return ntohs(address_.sin_port); }

    // The next datagram, waiting at most milliseconds; nothing when none came.
    std::optional<Bytes> Receive(int milliseconds = 0) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, milliseconds) <= 0) return std::nullopt;
        Bytes data(2048);
        const ssize_t n = ::recv(fd_, data.data(), data.size(), 0);
        if (n < 0) return std::nullopt;
        data.resize(static_cast<std::size_t>(n));
        return data;
    }
    void SendTo(WORD port, const Bytes& data) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        to.sin_port = htons(port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

  private:
    SOCKET fd_ = INVALID_SOCKET;
    sockaddr_in address_{};
};

Bytes ReadRequest(const std::string& name, const char* mode = "octet") {
    std::string packet(1, '\0');
    packet += static_cast<char>(TFTP_RRQ);
    packet += name;
    packet += '\0';
    packet += mode;
    packet += '\0';
    return Bytes(packet.begin(), packet.end());
}

Bytes Ack(std::uint16_t block) {
    return {0, TFTP_ACK, static_cast<std::uint8_t>(block >> 8),
            static_cast<std::uint8_t>(block & 0xFF)};
}

Bytes DataPacket(std::uint16_t block, const Bytes& content, std::size_t from, std::size_t size) {
    Bytes packet(4 + size);
    packet[1] = TFTP_DATA;
    packet[2] = static_cast<std::uint8_t>(block >> 8);
    packet[3] = static_cast<std::uint8_t>(block & 0xFF);
    if (size > 0) std::memcpy(packet.data() + 4, content.data() + from, size);
    return packet;
}

Bytes ErrorPacket(int code, const char* text) {
    std::string packet("\0\5\0", 3);
    packet += static_cast<char>(code);
    packet += text;
    packet += '\0';
    return Bytes(packet.begin(), packet.end());
}
const Bytes kNotFound = ErrorPacket(1, "File not found");
const Bytes kAccessViolation = ErrorPacket(2, "Access violation");

void ResetTransferTable() { TftpResetTable(); }

class TftpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dornel-tftp-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ::setenv("DORNEL_ROOT", root_.c_str(), 1);
        {
            std::lock_guard<std::mutex> guard(ConfigLock());
            std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "C:\\dornel");
        }
        folder_ = platform::paths::NativePath("C:\\dornel");
        ASSERT_TRUE(platform::paths::MakeDirectories(folder_));
        ::chmod(folder_.c_str(), 0755);
        service_ = std::make_unique<CNTService>("Dornel TFTP test", "dorneltftptest");
        ResetTransferTable();
    }
    void TearDown() override {
        ResetTransferTable();
        service_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Writes a file of size pseudo-random bytes into the served folder.
    Bytes MakeFile(const std::string& name, std::size_t size) {
        Bytes content(size);
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<std::uint8_t>((i * 131 + size) % 251);
        }
        {
            std::ofstream out(folder_ + "/" + name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(content.data()),
                      static_cast<std::streamsize>(content.size()));
        }
        ::chmod((folder_ + "/" + name).c_str(), 0644);
        return content;
    }

    // Hands a datagram from client to the handler, as the thread would.
    void Deliver(const LoopbackSocket& client, const Bytes& packet) {
        ReplyToClient(server_.fd(), client.address(), sizeof(sockaddr_in),
                      reinterpret_cast<const char*>(packet.data()),
                      static_cast<int>(packet.size()));
    }

    std::string EventLogText() const {
        std::ifstream in(platform::service::EventLogPath());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string root_;
    std::string folder_;
    std::unique_ptr<CNTService> service_;
    LoopbackSocket server_;
    LoopbackSocket box_;
};

// ---------------------------------------------------------------------------------------
// Transfers
// ---------------------------------------------------------------------------------------

TEST_F(TftpTest, FileIsSentInBlocksOfFiveHundredTwelveOnePerAck) {
    const Bytes content = MakeFile("orvane.bin", 1000);
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), DataPacket(2, content, 512, 488));
    // The short block is held until the box acknowledges it, which ends the transfer.
    EXPECT_EQ(ClientList[0].hostAddress, inet_addr("127.0.0.1"));
    Deliver(box_, Ack(2));
    EXPECT_EQ(box_.Receive(), std::nullopt);
    EXPECT_EQ(ClientList[0].hostAddress, 0u);
    EXPECT_NE(
        EventLogText().find("| information | 108 | Opening TFTP file C:\\dornel\\orvane.bin\n"),
        std::string::npos);
}

TEST_F(TftpTest, FileOfWholeBlocksEndsWithAnEmptyBlock) {
    const Bytes content = MakeFile("orvane.bin", 1024);
    Deliver(box_, ReadRequest("orvane.bin", "netascii"));  // the mode is ignored
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), DataPacket(2, content, 512, 512));
    Deliver(box_, Ack(2));
    EXPECT_EQ(box_.Receive(), DataPacket(3, content, 1024, 0));
}

TEST_F(TftpTest, LostBlockIsResentAndDuplicateAcksNeverSkipOrDoubleABlock) {
    const Bytes content = MakeFile("orvane.bin", 2000);
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, Ack(1));
    ASSERT_EQ(box_.Receive(), DataPacket(2, content, 512, 512));  // lost on its way
    // The box, still waiting for block 2, acknowledges block 1 again: never block 3, and
    // no second copy of anything for a duplicate.
    Deliver(box_, Ack(1));
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), std::nullopt);
    // ACKs from another port of the host, or of blocks never sent, move nothing.
    LoopbackSocket otherPort;
    Deliver(otherPort, Ack(2));
    Deliver(box_, Ack(7));
    EXPECT_EQ(box_.Receive(), std::nullopt);
    EXPECT_EQ(otherPort.Receive(), std::nullopt);
    EXPECT_EQ(ClientList[0].blockNumber, 2);
    Deliver(box_, Ack(2));
    EXPECT_EQ(box_.Receive(), DataPacket(3, content, 1024, 512));
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    EXPECT_EQ(next_free_slot, 1);
}

TEST_F(TftpTest, TwentyFiveTransfersInARowAllComplete) {
    const Bytes content = MakeFile("orvane.bin", 700);
    for (int i = 0; i < 25; ++i) {
        // Each from a host of its own, as 25 boxes booting one after another.
        const std::string address = "127.0.0." + std::to_string(10 + i);
        LoopbackSocket box(address.c_str());
        Deliver(box, ReadRequest("orvane.bin"));
        ASSERT_EQ(box.Receive(), DataPacket(1, content, 0, 512)) << "transfer " << i;
        Deliver(box, Ack(1));
        ASSERT_EQ(box.Receive(), DataPacket(2, content, 512, 188)) << "transfer " << i;
        Deliver(box, Ack(2));
        ASSERT_EQ(box.Receive(), std::nullopt);
    }
    EXPECT_LE(next_free_slot, 1);
}

TEST_F(TftpTest, TimeOutsResendTheHeldBlockThenGiveUpAndFreeTheSlot) {
    const Bytes content = MakeFile("orvane.bin", 700);
    Deliver(box_, ReadRequest("orvane.bin"));
    ASSERT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    const int wait = TftpCheckTimeouts(server_.fd(), TftpNow());
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, TftpTimeoutMs(0));
    EXPECT_EQ(box_.Receive(), std::nullopt);  // nothing before the time-out
    // Every time-out sends the block again and waits longer for its ACK.
    for (int resend = 1; resend <= kTftpMaxResends; ++resend) {
        EXPECT_EQ(TftpCheckTimeouts(server_.fd(), ClientList[0].deadline), TftpTimeoutMs(resend));
        EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512)) << "resend " << resend;
        EXPECT_EQ(box_.Receive(), std::nullopt);
    }
    // One more without an answer: the transfer is given up and its slot is free.
    EXPECT_EQ(TftpCheckTimeouts(server_.fd(), ClientList[0].deadline), -1);
    EXPECT_EQ(box_.Receive(), std::nullopt);
    EXPECT_EQ(ClientList[0].hostAddress, 0u);
    EXPECT_EQ(ClientList[0].file, kTftpNoFile);
    // A late ACK finds no transfer and gets nothing.
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), std::nullopt);

    // The last, short block is held and resent too; its ACK ends the transfer.
    Deliver(box_, ReadRequest("orvane.bin"));
    ASSERT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, Ack(1));
    ASSERT_EQ(box_.Receive(), DataPacket(2, content, 512, 188));  // lost
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), std::nullopt);
    TftpCheckTimeouts(server_.fd(), ClientList[0].deadline);
    EXPECT_EQ(box_.Receive(), DataPacket(2, content, 512, 188));
    Deliver(box_, Ack(2));
    EXPECT_EQ(ClientList[0].hostAddress, 0u);
    EXPECT_EQ(TftpCheckTimeouts(server_.fd(), TftpNow() + 60000), -1);
    EXPECT_EQ(box_.Receive(), std::nullopt);
}

TEST_F(TftpTest, ClientErrorEndsItsTransferAndFreesItsSlot) {
    const Bytes content = MakeFile("orvane.bin", 5000);
    std::vector<std::unique_ptr<LoopbackSocket>> hosts;
    for (int i = 0; i < kTftpSlots; ++i) {
        const std::string address = "127.0.0." + std::to_string(10 + i);
        hosts.push_back(std::make_unique<LoopbackSocket>(address.c_str()));
        Deliver(*hosts.back(), ReadRequest("orvane.bin"));
        ASSERT_EQ(hosts.back()->Receive(), DataPacket(1, content, 0, 512)) << address;
    }
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), (Bytes{0, 5}));
    // An ERROR from another port of a host leaves that host's transfer alone.
    LoopbackSocket stray("127.0.0.15");
    Deliver(stray, ErrorPacket(0, "stray"));
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), (Bytes{0, 5}));
    // The host's own ERROR ends its transfer silently; the next box gets the slot.
    Deliver(*hosts[5], ErrorPacket(3, "Disk full"));
    EXPECT_EQ(hosts[5]->Receive(), std::nullopt);
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
}

// ---------------------------------------------------------------------------------------
// What is served
// ---------------------------------------------------------------------------------------

TEST_F(TftpTest, SecretsLinksAndClosedFilesAreRefused) {
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        std::snprintf(LogDir, sizeof LogDir, "C:\\dornel\\log");
    }
    const Bytes content = MakeFile("orvane.bin", 600);
    // The log folder inside the served folder, its file readable by everyone all the same.
    fs::create_directory(folder_ + "/log");
    ::chmod((folder_ + "/log").c_str(), 0755);
    MakeFile("log/dornel.log", 100);
    ::symlink("log", (folder_ + "/logs").c_str());
    MakeFile("boxusers", 100);
    ::chmod((folder_ + "/boxusers").c_str(), 0600);
    MakeFile("ledger.db", 100);
    ::chmod((folder_ + "/ledger.db").c_str(), 0640);
    // A folder others may not search, though the file in it is readable by everyone.
    fs::create_directory(folder_ + "/private");
    MakeFile("private/orvane.bin", 100);
    ::chmod((folder_ + "/private").c_str(), 0754);
    // A link out of the folder to a file readable by everyone, and one that stays inside.
    const std::string outside = fs::path(folder_).parent_path().string() + "/outside.bin";
    std::ofstream(outside) << "outside";
    ::chmod(outside.c_str(), 0644);
    ::symlink(outside.c_str(), (folder_ + "/escape.bin").c_str());
    ::symlink("orvane.bin", (folder_ + "/alias.bin").c_str());

    for (const char* name : {"log/dornel.log", "logs/dornel.log", "log\\dornel.log", "boxusers",
                             "ledger.db", "private/orvane.bin", "escape.bin"}) {
        Deliver(box_, ReadRequest(name));
        EXPECT_EQ(box_.Receive(), kAccessViolation) << name;
    }
    EXPECT_EQ(next_free_slot, 1);
    EXPECT_EQ(ClientList[0].hostAddress, 0u);  // refusals hold no slot
    Deliver(box_, ReadRequest("alias.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
}

TEST_F(TftpTest, TheRegistrysFolderServesOnlyItsDriveFolders) {
    // The served folder set to the run's root itself, open to everyone.
    ::chmod(root_.c_str(), 0755);
    ::chmod((root_ + "/c").c_str(), 0755);
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "%s", root_.c_str());
    }
    const Bytes content = MakeFile("orvane.bin", 100);
    for (const char* name : {"registry.db", "registry.db-wal", "registry.db-shm", "eventlog"}) {
        std::ofstream(root_ + "/" + name) << "private";
        ::chmod((root_ + "/" + name).c_str(), 0644);
    }
    fs::create_directory(root_ + "/scm");
    ::chmod((root_ + "/scm").c_str(), 0755);
    std::ofstream(root_ + "/scm/dornelman.pid") << "1";
    ::chmod((root_ + "/scm/dornelman.pid").c_str(), 0644);
    // A link inside a drive folder back to the registry file.
    ::symlink((root_ + "/registry.db").c_str(), (folder_ + "/registry.db").c_str());

    for (const char* name : {"registry.db", "registry.db-wal", "registry.db-shm", "eventlog",
                             "scm/dornelman.pid", "c/dornel/registry.db"}) {
        Deliver(box_, ReadRequest(name));
        EXPECT_EQ(box_.Receive(), kAccessViolation) << name;
    }
    Deliver(box_, ReadRequest("c/dornel/orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 100));
}

// ---------------------------------------------------------------------------------------
// Requests that get no answer
// ---------------------------------------------------------------------------------------

TEST_F(TftpTest, MissingFilesFoldersAndPipesGetAnErrorPacketAndAreReported) {
    fs::create_directory(folder_ + "/boot");
    ASSERT_EQ(::mkfifo((folder_ + "/pipe").c_str(), 0644), 0);
    Deliver(box_, ReadRequest("missing.bin"));
    EXPECT_EQ(box_.Receive(), kNotFound);
    Deliver(box_, ReadRequest("boot/missing.bin"));
    EXPECT_EQ(box_.Receive(), kNotFound);
    for (const char* name : {"boot", "pipe"}) {
        Deliver(box_, ReadRequest(name));
        EXPECT_EQ(box_.Receive(), kAccessViolation) << name;
    }
    const std::string log = EventLogText();
    EXPECT_NE(log.find("| 108 | Opening TFTP file C:\\dornel\\missing.bin\n"), std::string::npos);
    EXPECT_NE(log.find("| 108 | Opening TFTP file C:\\dornel\\pipe\n"), std::string::npos);
    EXPECT_EQ(ClientList[0].hostAddress, 0u);  // a failed open holds no slot
}

TEST_F(TftpTest, NamesLeavingTheFolderNeverReachAFile) {
    MakeFile("orvane.bin", 100);
    // A file beside the served folder, which a climbing name would reach.
    const std::string secret = fs::path(folder_).parent_path().string() + "/secret";
    std::ofstream(secret) << "not for boxes";
    for (const std::string& name :
         {std::string("../secret"), std::string("..\\secret"), std::string("a/../../secret"),
          std::string("/") + secret, std::string("C:\\secret"), std::string("C:../secret"),
          std::string("\\dornel\\..\\secret")}) {
        Deliver(box_, ReadRequest(name));
        EXPECT_EQ(box_.Receive(), kAccessViolation) << name;
    }
    // The attempt is still reported under the name it asked for.
    EXPECT_NE(EventLogText().find("Opening TFTP file C:\\dornel\\../secret"), std::string::npos);
}

TEST_F(TftpTest, EmptyFolderServesTheTopOfDriveC) {
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        GlobalTFTPDirectory[0] = '\0';
    }
    std::ofstream(platform::paths::NativePath("C:\\top.bin")) << "drive top";
    Deliver(box_, ReadRequest("top.bin"));
    const std::optional<Bytes> block = box_.Receive();
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(std::string(block->begin() + 4, block->end()), "drive top");
    Deliver(box_, ReadRequest("etc/hostname"));  // never the machine's own root
    EXPECT_EQ(box_.Receive(), kNotFound);
}

TEST_F(TftpTest, UnboundedNamesAreRefused) {
    const std::string longName(251, 'n');  // "C:\dornel\" and 251 characters pass 260 bytes
    MakeFile(longName, 10);
    Deliver(box_, ReadRequest(longName));
    EXPECT_EQ(box_.Receive(), kAccessViolation);
    MakeFile(std::string(249, 'n'), 10);  // 259 bytes with the terminator fit
    Deliver(box_, ReadRequest(std::string(249, 'n')));
    EXPECT_NE(box_.Receive(), std::nullopt);

    MakeFile("orvane.bin", 10);
    Bytes unterminated = {0, TFTP_RRQ, 'o', 'r', 'v', 'a', 'n', 'e', '.', 'b', 'i', 'n'};
    Deliver(box_, unterminated);
    EXPECT_EQ(box_.Receive(), ErrorPacket(4, "Illegal TFTP operation"));
}

TEST_F(TftpTest, WritesDataErrorsAndUnknownPacketsGetNoAnswer) {
    MakeFile("orvane.bin", 100);
    const std::vector<Bytes> packets = {
        {0, TFTP_WRQ, 'o', 'r', 'v', 'a', 'n', 'e', '.', 'b', 'i', 'n', 0, 'o', 'c', 't', 'e', 't',
         0},
        {0, TFTP_DATA, 0, 1, 'x'},
        {0, TFTP_ERROR, 0, 1, 'n', 'o', 0},
        {1, TFTP_RRQ, 'o', 'r', 'v', 'a', 'n', 'e', '.', 'b', 'i', 'n', 0},  // first byte not 0
        {0, 9},
        {0},
    };
    for (const Bytes& packet : packets) {
        Deliver(box_, packet);
        EXPECT_EQ(box_.Receive(), std::nullopt);
    }
}

TEST_F(TftpTest, HostWithoutASlotGetsTheBareErrorOpcode) {
    MakeFile("orvane.bin", 5000);
    // Twenty hosts in the middle of a transfer.
    for (std::uint32_t host = 1; host <= kTftpSlots; ++host) {
        const int slot = LocateHost(htonl(0x0A000000u + host));
        ASSERT_GE(slot, 0);
        ClientList[slot].file = ::open((folder_ + "/orvane.bin").c_str(), O_RDONLY);
    }
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), (Bytes{0, 5}));
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), (Bytes{0, 5}));

    // One of them finishes: its slot serves the next host.
    ::close(ClientList[7].file);
    ClientList[7].file = kTftpNoFile;
    ClientList[7].hostAddress = 0;
    Deliver(box_, ReadRequest("orvane.bin"));
    const std::optional<Bytes> first = box_.Receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 516u);
    EXPECT_EQ(ClientList[7].hostAddress, inet_addr("127.0.0.1"));
}

// ---------------------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------------------

class TftpThreadTest : public TftpTest {
  protected:
    void StartThread() {
        // On loopback, on a port the system chooses.
        ::setenv("DORNEL_TFTP_ADDRESS", "127.0.0.1", 1);
        ::setenv("DORNEL_TFTP_PORT", "0", 1);
        thread_ = std::async(std::launch::async, [] { return TftpThread(nullptr); });
        for (int i = 0; i < 500 && TftpBoundPort() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        port_ = static_cast<WORD>(TftpBoundPort());
        ASSERT_NE(port_, 0) << "TFTP thread did not bind its socket";
        // The socket is bound once a request gets its first block back.
        for (int i = 0; i < 100; ++i) {
            box_.SendTo(port_, ReadRequest("orvane.bin"));
            std::optional<Bytes> block = box_.Receive(50);
            if (!block) continue;
            // Acknowledge the probe's blocks to the end, so it holds no slot.
            for (int n = 0; n < 100 && block; ++n) {
                if (block->size() >= 4 && (*block)[1] == TFTP_DATA) {
                    box_.SendTo(port_,
                                Ack(static_cast<std::uint16_t>(((*block)[2] << 8) | (*block)[3])));
                    if (block->size() < 4u + kTftpBlockSize) break;
                }
                block = box_.Receive(500);
            }
            while (box_.Receive(100)) {
            }
            return;
        }
        FAIL() << "TFTP thread did not answer";
    }
    void TearDown() override {
        if (thread_.valid()) {
            TftpTerminate();
            EXPECT_EQ(thread_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
        ::unsetenv("DORNEL_TFTP_PORT");
        ::unsetenv("DORNEL_TFTP_ADDRESS");
        TftpTest::TearDown();
    }

    WORD port_ = 0;
    std::future<DWORD> thread_;
};

TEST_F(TftpThreadTest, EmptyAndOversizedDatagramsLeaveTheServiceRunning) {
    const Bytes content = MakeFile("orvane.bin", 1000);
    StartThread();
    box_.SendTo(port_, {});
    Bytes huge = ReadRequest("orvane.bin");
    huge.resize(5000, 'z');
    box_.SendTo(port_, huge);
    box_.SendTo(port_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(2000), DataPacket(1, content, 0, 512));
    box_.SendTo(port_, Ack(1));
    EXPECT_EQ(box_.Receive(2000), DataPacket(2, content, 512, 488));
    EXPECT_EQ(thread_.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
}

TEST_F(TftpThreadTest, SilentHostsLoseTheirSlotsAndTheNextBoxIsServed) {
    const Bytes content = MakeFile("orvane.bin", 5000);
    StartThread();
    std::vector<std::unique_ptr<LoopbackSocket>> silent;
    for (int i = 0; i < kTftpSlots; ++i) {
        const std::string address = "127.0.0." + std::to_string(40 + i);
        silent.push_back(std::make_unique<LoopbackSocket>(address.c_str()));
        silent.back()->SendTo(port_, ReadRequest("orvane.bin"));
        ASSERT_EQ(silent.back()->Receive(2000), DataPacket(1, content, 0, 512)) << address;
    }
    box_.SendTo(port_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(2000), (Bytes{0, 5}));
    // The silent hosts are given up once their resends are used up (about 8 s).
    std::optional<Bytes> answer;
    for (int i = 0; i < 30; ++i) {
        box_.SendTo(port_, ReadRequest("orvane.bin"));
        answer = box_.Receive(500);
        if (answer && answer->size() > 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(answer, DataPacket(1, content, 0, 512));
    // Each was sent its block again exactly kTftpMaxResends times.
    int resent = 0;
    while (std::optional<Bytes> again = silent[0]->Receive(0)) {
        EXPECT_EQ(*again, DataPacket(1, content, 0, 512));
        ++resent;
    }
    EXPECT_EQ(resent, kTftpMaxResends);
}

TEST_F(TftpThreadTest, TerminateEndsTheThreadAndAFailedBindReturnsOne) {
    MakeFile("orvane.bin", 10);
    StartThread();
    TftpTerminate();
    ASSERT_EQ(thread_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(thread_.get(), 0u);

    // The port held by another socket on the same address: the thread cannot set up and
    // ends with 1.
    LoopbackSocket holder("127.0.0.1");
    ::setenv("DORNEL_TFTP_PORT", std::to_string(holder.port()).c_str(), 1);
    EXPECT_EQ(TftpThread(nullptr), 1u);
}

}  // namespace
