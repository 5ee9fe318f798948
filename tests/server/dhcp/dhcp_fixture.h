// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Vocabulary of the DHCP tests: a DHCP message built field by field, and a fresh registry
// root holding the DHCP keys of the case.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "server/dhcpsrv.h"

namespace dhcptest {

// The box of most cases and the address the registry gives it.
inline constexpr std::uint8_t kBoxMac[6] = {0x02, 0x00, 0x00, 0x77, 0x00, 0x02};
inline constexpr const char* kBoxKey = "02-00-00-77-00-02";

// A request as a box sends it: the 240-byte header and cookie, then options as appended.
class DhcpMessage {
  public:
    DhcpMessage() : bytes_(kDhcpOptionsOffset, 0) {
        bytes_[0] = BOOTREQUEST;
        bytes_[1] = 1;  // Ethernet
        bytes_[2] = 6;
        SetField(4, {0x12, 0x34, 0x56, 0x78});  // xid
        SetField(8, {0x00, 0x07});              // secs
        SetField(10, {0x80, 0x00});             // flags: broadcast
        SetField(12, {10, 77, 0, 9});           // ciaddr
        SetField(16, {10, 77, 0, 8});           // yiaddr
        // giaddr stays 0: sent by the box itself, not through a relay agent
        std::memcpy(&bytes_[28], kBoxMac, sizeof kBoxMac);
        for (int i = 44; i < 236; ++i) bytes_[i] = static_cast<std::uint8_t>('x');
        SetField(236, {99, 130, 83, 99});  // magic cookie
    }

    DhcpMessage& Hlen(std::uint8_t hlen) {
        bytes_[2] = hlen;
        return *this;
    }
    // The relay agent that passed the message on.
    DhcpMessage& Giaddr(std::initializer_list<std::uint8_t> address) {
        SetField(24, address);
        return *this;
    }
    DhcpMessage& Flags(std::uint8_t high, std::uint8_t low) {
        SetField(10, {high, low});
        return *this;
    }
    DhcpMessage& Chaddr(std::initializer_list<std::uint8_t> address) {
        std::memset(&bytes_[28], 0, 16);
        SetField(28, address);
        return *this;
    }
    DhcpMessage& Option(std::uint8_t tag, std::initializer_list<std::uint8_t> value) {
        bytes_.push_back(tag);
        bytes_.push_back(static_cast<std::uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value);
        return *this;
    }
    DhcpMessage& Type(std::uint8_t type) { return Option(DHCP_OPT_MESSAGE_TYPE, {type}); }
    DhcpMessage& Raw(std::initializer_list<std::uint8_t> raw) {
        bytes_.insert(bytes_.end(), raw);
        return *this;
    }
    DhcpMessage& End() { return Raw({DHCP_OPT_END}); }
    // Pads with zero bytes up to length (as udhcpc pads to 300).
    DhcpMessage& PadTo(std::size_t length) {
        if (bytes_.size() < length) bytes_.resize(length, 0);
        return *this;
    }

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    int size() const { return static_cast<int>(bytes_.size()); }
    // The message in a 4096-byte buffer, as the server receives it.
    RFC1541_PACKET Packet() const {
        RFC1541_PACKET packet;
        std::memset(&packet, 0, sizeof packet);
        std::memcpy(&packet, bytes_.data(), bytes_.size());
        return packet;
    }

  private:
    void SetField(std::size_t at, std::initializer_list<std::uint8_t> value) {
        std::copy(value.begin(), value.end(), bytes_.begin() + static_cast<long>(at));
    }
    std::vector<std::uint8_t> bytes_;
};

// A registry of its own under a fresh DORNEL_ROOT, removed after the case.
class RegistryRoot {
  public:
    RegistryRoot() {
        char pattern[] = "/tmp/dornel-dhcp-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv("DORNEL_ROOT", root_.c_str(), 1);
    }
    ~RegistryRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    RegistryRoot(const RegistryRoot&) = delete;
    RegistryRoot& operator=(const RegistryRoot&) = delete;

    // Stores a REG_SZ under DHCP\<key> with its terminating zero (as the applet writes it),
    // or without it when withZero is false.
    void Set(const std::string& key, const char* name, const std::string& text,
             bool withZero = true) {
        HKEY handle = nullptr;
        const std::string path = std::string(kDhcpKey) + "\\" + key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        const DWORD size = static_cast<DWORD>(text.size() + (withZero ? 1 : 0));
        ASSERT_EQ(RegSetValueExA(handle, name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()), size),
                  ERROR_SUCCESS);
        RegCloseKey(handle);
    }
    void Remove(const std::string& key, const char* name) {
        HKEY handle = nullptr;
        const std::string path = std::string(kDhcpKey) + "\\" + key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &handle) ==
            ERROR_SUCCESS) {
            RegDeleteValueA(handle, name);
            RegCloseKey(handle);
        }
    }
    const std::string& path() const { return root_; }

  private:
    std::string root_;
};

// Runs the build's dornelreg (DORNEL_BIN_DIR) as a separate process on the current
// DORNEL_ROOT; its exit status, or -1 when it did not run to an exit.
inline int Dornelreg(std::vector<std::string> arguments) {
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    const std::string program = std::string(bin ? bin : ".") + "/dornelreg";
    arguments.insert(arguments.begin(), program);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& part : arguments) argv.push_back(part.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The registry path of a DHCP key as dornelreg takes it.
inline std::string DhcpKeyArgument(const std::string& key) {
    return std::string("HKLM\\") + kDhcpKey + "\\" + key;
}

// Four bytes of a dotted address as they stand on the wire.
inline std::vector<std::uint8_t> AddressBytes(const char* dotted) {
    const std::uint32_t value = inet_addr(dotted);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace dhcptest
