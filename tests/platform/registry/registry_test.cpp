// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The registry layer against a real SQLite database under a fresh root per test: values,
// names, enumeration, deletion, remote names. Concurrency and crash cases are in
// registry_concurrency_test.cpp.

#include <cstring>
#include <string>

#include <unistd.h>

#include "registry_fixture.h"

namespace registry_test {
namespace {

constexpr const char* kZuvexBox = "SOFTWARE\\Orvane Technology\\ZuvexBox";

TEST_F(RegistryTest, EveryTypeKeepsItsTypeAndExactBytes) {
    HKEY key = Create(kZuvexBox);
    struct Case {
        const char* name;
        DWORD type;
        Bytes data;
    };
    const Case cases[] = {
        {"TFTPDirectory", REG_SZ, WithNul("C:\\dornel\\boot")},
        {"IPAddress", REG_SZ, ToBytes("192.168.1.20")},  // stored without its NUL
        {"Embedded", REG_SZ, {'a', 0, 'b', 0, 0}},
        {"LogDirectory", REG_EXPAND_SZ, WithNul("%SystemRoot%\\dornel")},
        {"NumServers", REG_BINARY, {1, 0, 0, 0}},
        {"Timeout", REG_DWORD, {0x0f, 0, 0, 0}},
        {"ShortDword", REG_DWORD, {0x01, 0x02}},
        {"Multi", 7, WithNul("one\0two")},
        {"Odd", 0x12345678, {0xff, 0x00, 0x7f}},
        {"Empty", REG_BINARY, {}},
        {"", REG_SZ, WithNul("default")},
    };
    for (const Case& c : cases) ASSERT_EQ(Set(key, c.name, c.type, c.data), ERROR_SUCCESS);
    for (const Case& c : cases) {
        DWORD type = REG_NONE;
        Bytes data;
        ASSERT_EQ(Get(key, c.name, &type, &data), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
}

TEST_F(RegistryTest, StringWithoutNulReadsBackAsExactlyItsCharacters) {
    HKEY key = Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000");
    ASSERT_EQ(Set(key, "IPAddress", REG_SZ, ToBytes("10.0.0.7")), ERROR_SUCCESS);
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD size = sizeof buffer;
    DWORD type = 0;
    ASSERT_EQ(
        RegQueryValueExA(key, "IPAddress", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::string(buffer, size), "10.0.0.7");
    // With room to spare, the caller gets a terminated string without it being counted.
    EXPECT_EQ(buffer[8], '\0');
}

TEST_F(RegistryTest, TooSmallBufferFailsWithMoreDataAndTheSizeNeeded) {
    HKEY key = Create(kZuvexBox);
    const Bytes text = WithNul(std::string(1024, 'm'));  // 1025 bytes
    ASSERT_EQ(Set(key, "Message00-00", REG_SZ, text), ERROR_SUCCESS);
    Bytes buffer(1024, 0xAB);
    DWORD size = 1024;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Message00-00", nullptr, &type, buffer.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 1025u);
    EXPECT_EQ(buffer, Bytes(1024, 0xAB)) << "nothing is copied on ERROR_MORE_DATA";

    buffer.assign(1025, 0);
    EXPECT_EQ(RegQueryValueExA(key, "Message00-00", nullptr, &type, buffer.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(buffer, text);
}

TEST_F(RegistryTest, NullDataAsksForTypeAndSizeOnly) {
    HKEY key = Create(kZuvexBox);
    ASSERT_EQ(Set(key, "SpawnUser", REG_SZ, WithNul("pcounter")), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "SpawnUser", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(RegQueryValueExA(key, "SpawnUser", nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

TEST_F(RegistryTest, QueryNeverChecksTheType) {
    HKEY key = Create(kZuvexBox);
    ASSERT_EQ(Set(key, "DHCPActive", REG_BINARY, {1, 0, 0, 0}), ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    EXPECT_EQ(
        RegQueryValueExA(key, "DHCPActive", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(value, 1u);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCreatedSpelling) {
    HKEY key = Create("SOFTWARE\\Orvane Technology\\ZuvexBox");
    ASSERT_EQ(Set(key, "EnableDebugLog", REG_BINARY, {0, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "ENABLEDEBUGLOG", REG_BINARY, {1, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"EnableDebugLog"}));
    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(Get(key, "enabledebuglog", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));

    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\ORVANE TECHNOLOGY\\zuvexbox", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    opened_.push_back(again);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(Get(again, "EnableDebugLog", &type, &data), ERROR_SUCCESS);

    HKEY software = nullptr;
    ASSERT_EQ(Open("Software", &software), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(software), (std::vector<std::string>{"Orvane Technology"}));
}

TEST_F(RegistryTest, CreateReportsNewKeysAndCreatesMissingParents) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP\\General",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    opened_.push_back(key);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY parent = nullptr;
    EXPECT_EQ(Open("SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP", &parent), ERROR_SUCCESS);
    // A relative create below an open handle, and a reopen with an empty subkey.
    HKEY box = nullptr;
    ASSERT_EQ(RegCreateKeyExA(parent, "00-11-22-33-44-55", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &box, &disposition),
              ERROR_SUCCESS);
    opened_.push_back(box);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY same = nullptr;
    ASSERT_EQ(RegOpenKeyExA(box, "", 0, KEY_READ, &same), ERROR_SUCCESS);
    opened_.push_back(same);
    ASSERT_EQ(Set(same, "IPADDR", REG_SZ, WithNul("192.168.1.50")), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(box, "IPADDR", &type, &data), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SubkeysAndValuesEnumerateInNameOrderWithoutCase) {
    HKEY key = Create(kZuvexBox);
    for (const char* name : {"box002", "Box000", "DHCP", "BOX001", "control"}) {
        HKEY child = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_SUCCESS);
        RegCloseKey(child);
    }
    EXPECT_EQ(SubkeyNames(key),
              (std::vector<std::string>{"Box000", "BOX001", "box002", "control", "DHCP"}));
    for (const char* name : {"TFTPActive", "dhcpActive", "NumServers", "EnableDebugLog", ""}) {
        ASSERT_EQ(Set(key, name, REG_BINARY, {0, 0, 0, 0}), ERROR_SUCCESS);
    }
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"", "dhcpActive", "EnableDebugLog",
                                                         "NumServers", "TFTPActive"}));
}

TEST_F(RegistryTest, EnumValueReturnsTypeAndDataLikeAQuery) {
    HKEY key = Create(kZuvexBox);
    ASSERT_EQ(Set(key, "LogDirectory", REG_SZ, WithNul("C:\\dornel\\log")), ERROR_SUCCESS);
    char name[64];
    DWORD nameLength = sizeof name;
    DWORD type = 0;
    BYTE data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    BYTE big[32];
    size = sizeof big;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, big, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, nameLength), "LogDirectory");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Bytes(big, big + size), WithNul("C:\\dornel\\log"));
    nameLength = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, &type, big, &size),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, DeleteValueRemovesOnlyThatValue) {
    HKEY key = Create(kZuvexBox);
    ASSERT_EQ(Set(key, "TFTPActive", REG_BINARY, {1, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "DHCPActive", REG_BINARY, {1, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "tftpactive"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"DHCPActive"}));
    EXPECT_EQ(RegDeleteValueA(key, "TFTPActive"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeleteKeyTakesItsValuesAndStartsAfreshWhenRecreated) {
    HKEY box = Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\Control");
    ASSERT_EQ(Set(box, "Control", REG_BINARY, {3, 0, 0, 0}), ERROR_SUCCESS);
    RegCloseKey(box);
    opened_.clear();
    HKEY parent = Create(kZuvexBox);
    EXPECT_EQ(RegDeleteKeyA(parent, "CONTROL"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(Open("SOFTWARE\\Orvane Technology\\ZuvexBox\\Control", &gone), ERROR_FILE_NOT_FOUND);
    HKEY fresh = Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\Control");
    EXPECT_TRUE(ValueNames(fresh).empty());
}

// ------------------------------------------------------------------------ error paths

TEST_F(RegistryTest, DeleteOfAKeyWithSubkeysFails) {
    Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP\\General");
    HKEY parent = Create("SOFTWARE\\Orvane Technology\\ZuvexBox");
    EXPECT_EQ(RegDeleteKeyA(parent, "DHCP"), ERROR_KEY_HAS_CHILDREN);
    HKEY still = nullptr;
    EXPECT_EQ(Open("SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP\\General", &still), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, OpenOfAMissingKeyFailsWithFileNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(Open("SOFTWARE\\Orvane Technology\\ZuvexBox", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    Create("SOFTWARE\\Orvane Technology");
    EXPECT_EQ(Open("SOFTWARE\\Orvane Technology\\ZuvexBox", &key), ERROR_FILE_NOT_FOUND);
    HKEY parent = Create("SOFTWARE\\Orvane Technology");
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(parent, "Nothing", &type, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, MalformedPathsAndArgumentsAreRefused) {
    HKEY key = nullptr;
    EXPECT_EQ(Open("\\SOFTWARE", &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open("SOFTWARE\\\\ZuvexBox", &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(std::string(256, 'k'), &key), ERROR_INVALID_PARAMETER);
    HKEY box = Create(kZuvexBox);
    EXPECT_EQ(RegSetValueExA(box, "X", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    BYTE buffer[4];
    EXPECT_EQ(Set(box, "Y", REG_BINARY, {1}), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(box, "Y", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, HandleOnADeletedKeyFailsCleanlyAndClosesOnce) {
    HKEY box = Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\Control");
    HKEY parent = Create(kZuvexBox);
    ASSERT_EQ(RegDeleteKeyA(parent, "Control"), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(box, "Control", &type, &data), ERROR_KEY_DELETED);
    EXPECT_EQ(Set(box, "Control", REG_BINARY, {1, 0, 0, 0}), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(box, "Control"), ERROR_KEY_DELETED);
    char name[16];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(box, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(box, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_KEY_DELETED);
    // A key created again under the same name is a different key.
    HKEY recreated = Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\Control");
    ASSERT_EQ(Set(recreated, "Control", REG_BINARY, {2, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(Get(box, "Control", &type, &data), ERROR_KEY_DELETED);

    opened_.erase(opened_.begin());
    EXPECT_EQ(RegCloseKey(box), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, EnumerationPastTheLastAndIntoShortBuffers) {
    HKEY key = Create(kZuvexBox);
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    Create("SOFTWARE\\Orvane Technology\\ZuvexBox\\LongerName");
    length = sizeof name;  // 10 characters and a NUL do not fit in 8
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    length = 11;
    char exact[11];
    EXPECT_EQ(RegEnumKeyExA(key, 0, exact, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(length, 10u);
    EXPECT_STREQ(exact, "LongerName");
}

TEST_F(RegistryTest, ConnectAcceptsOnlyThisHost) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string upper(host);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& name : {std::string(), std::string(host), "\\\\" + upper, upper}) {
        HKEY remote = nullptr;
        ASSERT_EQ(RegConnectRegistryA(name.c_str(), HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS)
            << name;
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(remote, kZuvexBox, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
    }
    HKEY remote = nullptr;
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS);
    RegCloseKey(remote);
    EXPECT_EQ(RegConnectRegistryA("\\\\printserver-not-this-host", HKEY_LOCAL_MACHINE, &remote),
              ERROR_BAD_NETPATH);
    EXPECT_EQ(remote, nullptr);
    EXPECT_EQ(RegConnectRegistryA("\\\\", HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS);
    RegCloseKey(remote);
}

TEST_F(RegistryTest, RootIsCreatedAndEachRootHasItsOwnDatabase) {
    const std::string nested = root_ + "/deeper/still";
    ::setenv("DORNEL_ROOT", nested.c_str(), 1);
    HKEY key = Create(kZuvexBox);
    ASSERT_EQ(Set(key, "NumServers", REG_BINARY, {2, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(nested + "/registry.db"));
    ::setenv("DORNEL_ROOT", root_.c_str(), 1);
    HKEY other = nullptr;
    EXPECT_EQ(Open(kZuvexBox, &other), ERROR_FILE_NOT_FOUND);
    // A handle of the other root never reaches into this database.
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(key, "NumServers", &type, &data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Set(key, "NumServers", REG_BINARY, {3, 0, 0, 0}), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, UnwritableRootIsReportedNotHidden) {
    const std::string file = root_ + "/plainfile";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ::setenv("DORNEL_ROOT", (file + "/below").c_str(), 1);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryTest, DamagedDatabaseIsReportedAndLeftForRecovery) {
    const std::string file = root_ + "/registry.db";
    const std::string garbage(4096, 'x');
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(garbage.data(), 1, garbage.size(), f);
    std::fclose(f);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(std::filesystem::file_size(file), garbage.size());
}

}  // namespace
}  // namespace registry_test
