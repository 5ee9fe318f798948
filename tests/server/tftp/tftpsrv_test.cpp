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

void ResetTransferTable() {
    for (TFTP_CLIENT& slot : ClientList) {
        if (slot.file != kTftpNoFile) ::close(slot.file);
        std::memset(&slot, 0, sizeof slot);
        slot.file = kTftpNoFile;
    }
    next_free_slot = 0;
}

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
        std::ofstream out(folder_ + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
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
    EXPECT_EQ(ClientList[0].hostAddress, 0u);  // the short block ended the transfer
    Deliver(box_, Ack(2));                     // the box's last ACK gets nothing
    EXPECT_EQ(box_.Receive(), std::nullopt);
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

TEST_F(TftpTest, EveryAckReleasesTheNextBlockAndRequestRestarts) {
    const Bytes content = MakeFile("orvane.bin", 2000);
    Deliver(box_, ReadRequest("orvane.bin"));
    EXPECT_EQ(box_.Receive(), DataPacket(1, content, 0, 512));
    Deliver(box_, Ack(1));
    EXPECT_EQ(box_.Receive(), DataPacket(2, content, 512, 512));
    Deliver(box_, Ack(1));  // a duplicate: the following block, not a repeat
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

// ---------------------------------------------------------------------------------------
// Requests that get no answer
// ---------------------------------------------------------------------------------------

TEST_F(TftpTest, MissingFilesFoldersAndPipesGetNoAnswerButAreReported) {
    fs::create_directory(folder_ + "/boot");
    ASSERT_EQ(::mkfifo((folder_ + "/pipe").c_str(), 0600), 0);
    for (const char* name : {"missing.bin", "boot", "pipe"}) {
        Deliver(box_, ReadRequest(name));
        EXPECT_EQ(box_.Receive(), std::nullopt) << name;
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
        EXPECT_EQ(box_.Receive(), std::nullopt) << name;
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
    EXPECT_EQ(box_.Receive(), std::nullopt);
}

TEST_F(TftpTest, UnboundedNamesAreRefused) {
    const std::string longName(251, 'n');  // "C:\dornel\" and 251 characters pass 260 bytes
    MakeFile(longName, 10);
    Deliver(box_, ReadRequest(longName));
    EXPECT_EQ(box_.Receive(), std::nullopt);
    MakeFile(std::string(249, 'n'), 10);  // 259 bytes with the terminator fit
    Deliver(box_, ReadRequest(std::string(249, 'n')));
    EXPECT_NE(box_.Receive(), std::nullopt);

    MakeFile("orvane.bin", 10);
    Bytes unterminated = {0, TFTP_RRQ, 'o', 'r', 'v', 'a', 'n', 'e', '.', 'b', 'i', 'n'};
    Deliver(box_, unterminated);
    EXPECT_EQ(box_.Receive(), std::nullopt);
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

// A port that was free a moment ago.
WORD FreePort() {
    LoopbackSocket probe;
    return probe.port();
}

class TftpThreadTest : public TftpTest {
  protected:
    void StartThread() {
        port_ = FreePort();
        ::setenv("DORNEL_TFTP_PORT", std::to_string(port_).c_str(), 1);
        thread_ = std::async(std::launch::async, [] { return TftpThread(nullptr); });
        // The socket is bound once a request gets its first block back.
        for (int i = 0; i < 100; ++i) {
            box_.SendTo(port_, ReadRequest("orvane.bin"));
            if (box_.Receive(50)) {
                while (box_.Receive(100)) {
                }
                return;
            }
        }
        FAIL() << "TFTP thread did not answer";
    }
    void TearDown() override {
        if (thread_.valid()) {
            TftpTerminate();
            EXPECT_EQ(thread_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
        ::unsetenv("DORNEL_TFTP_PORT");
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

TEST_F(TftpThreadTest, TerminateEndsTheThreadAndAFailedBindReturnsOne) {
    MakeFile("orvane.bin", 10);
    StartThread();
    TftpTerminate();
    ASSERT_EQ(thread_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(thread_.get(), 0u);

    // The port held by another socket (on loopback: a wildcard bind of the same port is
    // refused all the same): the thread cannot set up and ends with 1.
    LoopbackSocket holder("127.0.0.1");
    ::setenv("DORNEL_TFTP_PORT", std::to_string(holder.port()).c_str(), 1);
    EXPECT_EQ(TftpThread(nullptr), 1u);
}

}  // namespace
