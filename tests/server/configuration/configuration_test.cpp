// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// ReadConfiguration and ReadBoxConfiguration against a real registry database in a
// private DORNEL_ROOT, written through the registry calls as the applet writes it.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/service/eventsource.h"
#include "server/zuvexservice.h"

namespace {

namespace fs = std::filesystem;

const std::string kRoot = kConfigKey;
const std::string kBox0 = kRoot + "\\Box000";
const std::string kBox1 = kRoot + "\\Box001";

std::string Global(const char* text) {
    char copy[1024];
    GetConfigString(text, copy, sizeof copy);
    return copy;
}

void SetGlobal(char* field, std::size_t size, const char* text) {
    std::lock_guard<std::mutex> guard(ConfigLock());
    std::snprintf(field, size, "%s", text);
}

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dornel-configuration-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("DORNEL_ROOT", root_.c_str(), 1);
        // The globals as at service start.
        for (char* field : {SpawnUser, SpawnPasswd, SpawnDomain, LogPasswd}) {
            SetGlobal(field, 1024, "");
        }
        SetGlobal(LogDir, sizeof LogDir, "");
        SetGlobal(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "");
        service_ = std::make_unique<CZuvexService>(kDisplayName, kServiceName);
    }

    void TearDown() override {
        service_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    HKEY Key(const std::string& path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    void SetRaw(const std::string& path, const char* name, DWORD type, const void* data,
                std::size_t size) {
        HKEY key = Key(path);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // A number as the applet stores it: 4-byte little-endian REG_BINARY.
    void SetNumber(const std::string& path, const char* name, int value, DWORD type = REG_BINARY) {
        const auto bits = static_cast<std::uint32_t>(value);
        const BYTE bytes[4] = {static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8),
                               static_cast<BYTE>(bits >> 16), static_cast<BYTE>(bits >> 24)};
        SetRaw(path, name, type, bytes, sizeof bytes);
    }

    void SetString(const std::string& path, const char* name, const std::string& text,
                   bool withNul = true) {
        SetRaw(path, name, REG_SZ, text.c_str(), text.size() + (withNul ? 1 : 0));
    }

    void DeleteValue(const std::string& path, const char* name) {
        HKEY key = Key(path);
        EXPECT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    void DeleteKey(const std::string& path) {
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS) << path;
    }

    std::string NtEventLog() const {
        std::ifstream in(platform::service::EventLogPath(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Marks a record so a test can tell that a read left it alone.
    void MarkUntouched(t_ServerStartInfo& box) {
        std::strcpy(box.ipAddress, "old.address");
        box.boxNumber = 77;
        std::strcpy(box.authMaster, "OLDMASTER");
        box.rotationDelay = 99;
        std::strcpy(box.messages[0][0], "old line");
    }

    void ExpectUntouched(const t_ServerStartInfo& box) {
        EXPECT_STREQ(box.ipAddress, "old.address");
        EXPECT_EQ(box.boxNumber, 77);
        EXPECT_STREQ(box.authMaster, "OLDMASTER");
        EXPECT_EQ(box.rotationDelay, 99);
        EXPECT_STREQ(box.messages[0][0], "old line");
    }

    std::string root_;
    std::unique_ptr<CZuvexService> service_;
};

// --- General values -----------------------------------------------------------------------

TEST_F(ConfigurationTest, MissingKeyGivesDefaultsAndKeepsTheSpawnAccount) {
    SetGlobal(SpawnUser, sizeof SpawnUser, "earlier");
    service_->numServers = 4;
    service_->dhcpActive = 1;
    service_->enableDebugLog = 1;
    service_->ReadConfiguration();

    EXPECT_EQ(service_->numServers, 0);
    EXPECT_EQ(service_->dhcpActive, 0);
    EXPECT_EQ(service_->tftpActive, 0);
    EXPECT_EQ(service_->enableDebugLog.load(), 0);
    EXPECT_STREQ(service_->tftpDirectory.c_str(), "C:\\dornel");
    EXPECT_EQ(Global(GlobalTFTPDirectory), "C:\\dornel");
    EXPECT_EQ(Global(LogDir), "C:\\dornel\\log");
    EXPECT_EQ(Global(LogPasswd), "");
    EXPECT_EQ(Global(SpawnUser), "earlier");
    EXPECT_EQ(Global(SpawnPasswd), "");
    EXPECT_EQ(Global(SpawnDomain), "");
}

TEST_F(ConfigurationTest, EmptyKeyGivesEveryValueDefault) {
    RegCloseKey(Key(kRoot));
    service_->ReadConfiguration();
    EXPECT_EQ(service_->numServers, 0);
    EXPECT_STREQ(service_->tftpDirectory.c_str(), "C:\\dornel");
    EXPECT_EQ(Global(LogDir), "C:\\dornel\\log");
    EXPECT_EQ(Global(LogPasswd), "");
    EXPECT_EQ(Global(SpawnUser), "dladmin");
    EXPECT_EQ(Global(SpawnPasswd), "brinkvel");
    EXPECT_EQ(Global(SpawnDomain), "\\\\.");
}

TEST_F(ConfigurationTest, GeneralValuesAreRead) {
    SetNumber(kRoot, "NumServers", 0);
    SetNumber(kRoot, "DHCPActive", 1);
    SetNumber(kRoot, "TFTPActive", 1);
    SetNumber(kRoot, "EnableDebugLog", 3);
    SetString(kRoot, "TFTPDirectory", "D:\\boot");
    SetString(kRoot, "LogDirectory", "D:\\logs", false);
    SetString(kRoot, "LogPasswd", "secret");
    SetString(kRoot, "SpawnUser", "pcadmin");
    SetString(kRoot, "SpawnPasswd", "pw");
    SetString(kRoot, "SpawnDomain", "CAMPUS");
    service_->ReadConfiguration();

    EXPECT_EQ(service_->dhcpActive, 1);
    EXPECT_EQ(service_->tftpActive, 1);
    EXPECT_EQ(service_->enableDebugLog.load(), 3);
    EXPECT_STREQ(service_->tftpDirectory.c_str(), "D:\\boot");
    EXPECT_EQ(Global(GlobalTFTPDirectory), "D:\\boot");
    EXPECT_EQ(Global(LogDir), "D:\\logs");
    EXPECT_EQ(Global(LogPasswd), "secret");
    EXPECT_EQ(Global(SpawnUser), "pcadmin");
    EXPECT_EQ(Global(SpawnPasswd), "pw");
    EXPECT_EQ(Global(SpawnDomain), "CAMPUS");
}

TEST_F(ConfigurationTest, LogDirectoryChoosesTheLogFile) {
    SetString(kRoot, "LogDirectory", "D:\\logs");
    service_->ReadConfiguration();
    ASSERT_TRUE(platform::paths::MakeDirectories(platform::paths::NativePath("D:\\logs")));
    CEventLog log;
    log.Init();
    EXPECT_EQ(CEventLog::LogFilePath(), root_ + "/d/logs/dornel.log");
    EXPECT_NE(log.logFile, nullptr);
}

TEST_F(ConfigurationTest, NumbersIgnoreTheStoredType) {
    SetNumber(kRoot, "DHCPActive", 1, REG_DWORD);
    SetNumber(kRoot, "TFTPActive", 1, REG_BINARY);
    const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    SetRaw(kRoot, "EnableDebugLog", REG_BINARY, eight, sizeof eight);  // too long: default
    SetNumber(kRoot, "NumServers", 1);
    SetNumber(kBox0, "UITimeout", -5, REG_DWORD);
    SetString(kBox0, "RotationDelay", "20");  // text: the number it spells
    service_->ReadConfiguration();
    EXPECT_EQ(service_->dhcpActive, 1);
    EXPECT_EQ(service_->tftpActive, 1);
    EXPECT_EQ(service_->enableDebugLog.load(), 0);
    EXPECT_EQ(service_->boxes[0].uiTimeout, -5);
    EXPECT_EQ(service_->boxes[0].rotationDelay, 20);
}

// "dornelreg add ... /v RotationDelay /d 15" stores REG_SZ "15": the box gets 15 seconds,
// not the character bytes (13617), and the NT event log says which value to fix.
TEST_F(ConfigurationTest, NumbersStoredAsTextAreReadAsTheirNumberWithANotice) {
    SetNumber(kRoot, "NumServers", 1);
    SetString(kRoot, "DHCPActive", "1");
    SetString(kBox0, "RotationDelay", "15");
    SetString(kBox0, "UITimeout", "-45", false);  // without its NUL
    SetRaw(kBox0, "AuthType", REG_EXPAND_SZ, "2", 2);
    SetString(kBox0, "PrintLinkType", "12345678901");  // longer than 4 bytes, too big: default
    SetString(kRoot, "TFTPActive", "ab");              // 3 bytes, no number: default, not 0x6261
    service_->ReadConfiguration();
    EXPECT_EQ(service_->dhcpActive, 1);
    EXPECT_EQ(service_->tftpActive, 0);
    EXPECT_EQ(service_->boxes[0].rotationDelay, 15);
    EXPECT_EQ(service_->boxes[0].uiTimeout, -45);
    EXPECT_EQ(service_->boxes[0].authType, 2);
    EXPECT_EQ(service_->boxes[0].printLinkType, 0);

    const std::string log = NtEventLog();
    EXPECT_NE(log.find("| information | 100 | WARNING: RotationDelay in " + kBox0 +
                       " is stored as text (\"15\"); read as the number 15"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("| information | 100 | WARNING: TFTPActive in " + kRoot +
                       " is stored as text that is not a number (\"ab\"); the default 0 applies"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("WARNING: PrintLinkType in " + kBox0), std::string::npos) << log;
    // Numbers stored as numbers, and strings read as strings, are not mentioned.
    EXPECT_EQ(log.find("NumServers"), std::string::npos) << log;

    // Stored as a number again, the value reads the same and the notice stops.
    SetNumber(kBox0, "RotationDelay", 15, REG_DWORD);
    const std::size_t before = NtEventLog().size();
    service_->ReadConfiguration();
    EXPECT_EQ(service_->boxes[0].rotationDelay, 15);
    EXPECT_EQ(NtEventLog().substr(before).find("RotationDelay"), std::string::npos);
}

TEST_F(ConfigurationTest, StringsFollowTheStoredBytes) {
    SetNumber(kRoot, "NumServers", 1);
    SetString(kBox0, "IPAddress", "box7.local", false);  // stored without its NUL
    const char embedded[] = "CAMPUS\0junk";
    SetRaw(kBox0, "AuthMaster", REG_SZ, embedded, sizeof embedded - 1);
    SetString(kBox0, "NetwareAuthData", std::string(1023, 'n'));           // 1024 bytes: fits
    SetString(kBox0, "PCounterLocation", std::string(1024, 'p'));          // 1025 bytes: default
    SetString(kBox0, "PrintLinkLocation", std::string(1024, 'l'), false);  // 1024, no NUL
    service_->ReadConfiguration();
    const t_ServerStartInfo& box = service_->boxes[0];
    EXPECT_STREQ(box.ipAddress, "box7.local");
    EXPECT_STREQ(box.authMaster, "CAMPUS");
    EXPECT_EQ(std::string(box.netwareAuthData), std::string(1023, 'n'));
    EXPECT_STREQ(box.pcounterLocation, "C:\\");
    EXPECT_EQ(std::string(box.printLinkLocation), std::string(1023, 'l'));  // cut to the field
}

TEST_F(ConfigurationTest, LongTftpDirectoryIsCutForTheTftpServer) {
    SetString(kRoot, "TFTPDirectory", "C:\\" + std::string(400, 't'));
    service_->ReadConfiguration();
    EXPECT_EQ(service_->tftpDirectory.GetLength(), 403u);
    const std::string copy = Global(GlobalTFTPDirectory);
    EXPECT_EQ(copy.size(), sizeof GlobalTFTPDirectory - 1);
    EXPECT_EQ(copy, std::string(service_->tftpDirectory.c_str()).substr(0, copy.size()));
}

// --- Box records ----------------------------------------------------------------------------

TEST_F(ConfigurationTest, BoxWithOnlyAnAddressGetsTheDefaults) {
    SetNumber(kRoot, "NumServers", 1);
    SetString(kBox0, "IPAddress", "127.0.0.2");
    service_->boxes[0].boxNumber = 5;
    service_->ReadConfiguration();

    const t_ServerStartInfo& box = service_->boxes[0];
    EXPECT_STREQ(box.ipAddress, "127.0.0.2");
    EXPECT_EQ(box.boxNumber, 0);
    EXPECT_EQ(box.authType, 0);
    EXPECT_STREQ(box.authMaster, "\\\\.");
    EXPECT_STREQ(box.netwareAuthData, "");
    EXPECT_EQ(box.printLinkType, 0);
    EXPECT_STREQ(box.pcounterLocation, "C:\\");
    EXPECT_STREQ(box.printLinkLocation, "");
    EXPECT_EQ(box.rotationDelay, 15);
    EXPECT_EQ(box.uiTimeout, 30);
    int emptyLines = 0;
    for (const auto& page : box.messages) {
        for (const auto& line : page) emptyLines += line[0] == '\0';
    }
    EXPECT_EQ(emptyLines, 320);
}

TEST_F(ConfigurationTest, BoxValuesAreRead) {
    SetNumber(kRoot, "NumServers", 2);
    SetString(kBox1, "IPAddress", "box1");
    SetNumber(kBox1, "AuthType", 1);
    SetString(kBox1, "AuthMaster", "TREE");
    SetString(kBox1, "NetwareAuthData", "ACME|staff.acme,", false);
    SetNumber(kBox1, "PrintLinkType", 1);
    SetString(kBox1, "PCounterLocation", "C:\\pcounter");
    SetString(kBox1, "PrintLinkLocation", "C:\\pl\\printlink.dll");
    SetString(kBox1, "FriendlyName", "Library");
    SetNumber(kBox1, "RotationDelay", 5);
    SetNumber(kBox1, "UITimeout", 60);
    SetString(kBox1, "Message00-00", "Welcome");
    SetString(kBox1, "Message31-09", "Last line", false);
    service_->ReadConfiguration();

    const t_ServerStartInfo& box = service_->boxes[1];
    EXPECT_STREQ(box.ipAddress, "box1");
    EXPECT_EQ(box.boxNumber, 1);
    EXPECT_EQ(box.authType, 1);
    EXPECT_STREQ(box.authMaster, "TREE");
    EXPECT_STREQ(box.netwareAuthData, "ACME|staff.acme,");
    EXPECT_EQ(box.printLinkType, 1);
    EXPECT_STREQ(box.pcounterLocation, "C:\\pcounter");
    EXPECT_STREQ(box.printLinkLocation, "C:\\pl\\printlink.dll");
    EXPECT_EQ(box.rotationDelay, 5);
    EXPECT_EQ(box.uiTimeout, 60);
    EXPECT_STREQ(box.messages[0][0], "Welcome");
    EXPECT_STREQ(box.messages[31][9], "Last line");
}

TEST_F(ConfigurationTest, MessageLinesAreCutAndOnlyTheGridIsRead) {
    SetNumber(kRoot, "NumServers", 1);
    SetString(kBox0, "Message05-09", std::string(50, 'm'));
    SetString(kBox0, "Message32-00", "outside");
    SetString(kBox0, "Message00-10", "outside");
    SetString(kBox0, "Message5-9", "outside");
    service_->ReadConfiguration();
    const t_ServerStartInfo& box = service_->boxes[0];
    EXPECT_EQ(std::string(box.messages[5][9]), std::string(39, 'm'));
    int filled = 0;
    for (const auto& page : box.messages) {
        for (const auto& line : page) filled += line[0] != '\0';
    }
    EXPECT_EQ(filled, 1);
    EXPECT_EQ(box.rotationDelay, 15);  // the field after the grid is intact
}

TEST_F(ConfigurationTest, MissingBoxKeyLeavesItsRecordUntouched) {
    SetNumber(kRoot, "NumServers", 2);
    SetString(kBox1, "IPAddress", "box1");
    MarkUntouched(service_->boxes[0]);
    service_->ReadConfiguration();
    ExpectUntouched(service_->boxes[0]);
    EXPECT_STREQ(service_->boxes[1].ipAddress, "box1");
    EXPECT_EQ(service_->boxes[1].boxNumber, 1);
}

TEST_F(ConfigurationTest, ReReadUpdatesInPlaceAndKeepsWhatIsMissing) {
    SetNumber(kRoot, "NumServers", 1);
    SetString(kRoot, "SpawnUser", "pcadmin");
    SetString(kBox0, "IPAddress", "first.box");
    SetNumber(kBox0, "AuthType", 2);
    SetString(kBox0, "Message01-01", "going");
    service_->ReadConfiguration();
    std::strcpy(service_->boxes[0].userName, "jsmith");  // owned by the box thread

    DeleteValue(kBox0, "IPAddress");
    DeleteValue(kBox0, "Message01-01");
    SetNumber(kBox0, "AuthType", 0);
    service_->ReadConfiguration();
    const t_ServerStartInfo& box = service_->boxes[0];
    EXPECT_STREQ(box.ipAddress, "first.box");
    EXPECT_EQ(box.authType, 0);
    EXPECT_STREQ(box.messages[1][1], "");
    EXPECT_STREQ(box.userName, "jsmith");

    // The whole tree gone: defaults, and the spawn account as it was.
    DeleteKey(kBox0);
    DeleteKey(kRoot);
    service_->ReadConfiguration();
    EXPECT_EQ(service_->numServers, 0);
    EXPECT_EQ(Global(SpawnUser), "pcadmin");
    EXPECT_EQ(Global(SpawnPasswd), "brinkvel");
    EXPECT_STREQ(box.ipAddress, "first.box");
}

TEST_F(ConfigurationTest, MoreThanTenServersAreClampedWithAWarning) {
    SetNumber(kRoot, "NumServers", 11);
    for (int i = 0; i <= 10; ++i) {
        char path[128];
        std::snprintf(path, sizeof path, "%s\\Box%03d", kConfigKey, i);
        SetString(path, "IPAddress", "box" + std::to_string(i));
    }
    service_->ReadConfiguration();
    EXPECT_EQ(service_->numServers, 10);
    EXPECT_STREQ(service_->boxes[9].ipAddress, "box9");
    EXPECT_EQ(service_->boxes[9].boxNumber, 9);
    EXPECT_NE(NtEventLog().find("| information | 100 | WARNING: NumServers is 11"),
              std::string::npos)
        << NtEventLog();
}

TEST_F(ConfigurationTest, ZeroOrNegativeServersReadNoBox) {
    SetString(kBox0, "IPAddress", "box0");
    for (int count : {0, -3}) {
        SCOPED_TRACE(count);
        SetNumber(kRoot, "NumServers", count);
        MarkUntouched(service_->boxes[0]);
        service_->ReadConfiguration();
        EXPECT_EQ(service_->numServers, 0);
        ExpectUntouched(service_->boxes[0]);
    }
    EXPECT_EQ(NtEventLog().find("WARNING"), std::string::npos);
}

// --- Box threads during a re-read -----------------------------------------------------------

TEST_F(ConfigurationTest, BoxThreadNeverSeesAHalfWrittenAddress) {
    SetNumber(kRoot, "NumServers", 1);
    const std::string longAddress(1000, 'a');
    const std::string shortAddress(300, 'b');
    SetString(kBox0, "IPAddress", longAddress);
    service_->ReadConfiguration();

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        char copy[1024];
        while (!stop.load()) {
            GetConfigString(service_->boxes[0].ipAddress, copy, sizeof copy);
            if (copy != longAddress && copy != shortAddress) ++torn;
        }
    });
    for (int round = 0; round < 60; ++round) {
        SetString(kBox0, "IPAddress", round % 2 ? longAddress : shortAddress);
        service_->ReadConfiguration();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(ConfigString, CopiesAreCutAndTerminated) {
    const char source[] = "abcdefgh";
    char out[5] = {'x', 'x', 'x', 'x', 'x'};
    GetConfigString(source, out, sizeof out);
    EXPECT_STREQ(out, "abcd");
    GetConfigString(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
    GetConfigString(source, out, 0);  // nothing written, nothing read
    EXPECT_STREQ(out, "");
}

}  // namespace
