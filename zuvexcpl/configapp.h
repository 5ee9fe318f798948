// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CConfigApp: the configuration applet's one application object, alive while the module
// is loaded. It owns the applet object and the general settings every page shares, read
// from and written to SOFTWARE\Orvane Technology\ZuvexBox under the selected machine's
// root. Pages copy these members into their fields and back; only WriteGeneralSettings
// puts them into the registry.

#include <cstdint>
#include <string>

#include "platform/registry/registry.h"
#include "zuvexcpl/configapplet.h"

class QWidget;

// The server's main key and the DHCP keys below it.
inline constexpr const char* kZuvexBoxKey = "SOFTWARE\\Orvane Technology\\ZuvexBox";
inline constexpr const char* kDhcpKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP";
inline constexpr const char* kDhcpGeneralKey =
    "SOFTWARE\\Orvane Technology\\ZuvexBox\\DHCP\\General";

class CConfigApp {
  public:
    CConfigApp() = default;
    CConfigApp(const CConfigApp&) = delete;
    CConfigApp& operator=(const CConfigApp&) = delete;

    // Reads the general values under root; a missing key or value takes its default.
    void ReadGeneralSettings(HKEY root);
    // Writes the general values under root: numbers as 4-byte REG_BINARY, texts as REG_SZ
    // without their terminating zero. The first write that fails stops the sequence and
    // shows "Cannot write system information" (owned by owner); a key that cannot be
    // created writes and shows nothing. True when every value was written.
    bool WriteGeneralSettings(HKEY root, QWidget* owner = nullptr);

    // The caption of the applet's message boxes: the module's file name without extension.
    static QString AppName();

    CConfigApplet applet;

    std::string serverName;       // as typed; "" is this machine
    HKEY registryRoot = nullptr;  // open while the sheet is shown
    std::int32_t numServers = 0;
    std::int32_t dhcpActive = 0;
    std::int32_t tftpActive = 0;
    std::int32_t enableDebugLog = 0;
    std::string tftpDirectory;
    std::string logDirectory;
    std::string logPasswd;
    std::string spawnUser;
    std::string spawnPasswd;
    std::string spawnDomain;
};

// The module's application object (defined once per module: zuvexcpl.so, or a test).
extern CConfigApp theApp;

// The pages' message: an OK box with the exclamation icon under the applet's caption.
void Exclaim(QWidget* owner, const QString& text);

// Registry helpers the pages share. A text value read through a 1024-byte buffer (the
// stored bytes up to the first NUL or the stored length); false when it cannot be read.
bool ReadRegistryText(HKEY key, const char* name, std::string* text);
// A text value stored as REG_SZ of its length, without the terminating zero.
LONG WriteRegistryText(HKEY key, const char* name, const std::string& text);
// A number as REG_BINARY of 4 bytes, least significant byte first.
LONG WriteRegistryNumber(HKEY key, const char* name, std::int32_t value);
// A number read through a 4-byte buffer whatever its stored type; false when it cannot be.
bool ReadRegistryNumber(HKEY key, const char* name, std::int32_t* value);
