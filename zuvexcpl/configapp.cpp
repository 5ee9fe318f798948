// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/configapp.h"

#include <QString>
#include <cstring>

#include "platform/ui/ui.h"
#include "zuvexcpl/cplapplet.h"

namespace {
constexpr DWORD kTextBufferSize = 1024;
}  // namespace

bool ReadRegistryText(HKEY key, const char* name, std::string* text) {
    char buffer[kTextBufferSize];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    std::memset(buffer, 0, sizeof buffer);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    if (text) text->assign(buffer, strnlen(buffer, size));
    return true;
}

LONG WriteRegistryText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size()));
}

LONG WriteRegistryNumber(HKEY key, const char* name, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    const BYTE bytes[4] = {static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8),
                           static_cast<BYTE>(bits >> 16), static_cast<BYTE>(bits >> 24)};
    return RegSetValueExA(key, name, 0, REG_BINARY, bytes, sizeof bytes);
}

bool ReadRegistryNumber(HKEY key, const char* name, std::int32_t* value) {
    BYTE bytes[4] = {};
    DWORD size = sizeof bytes;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, bytes, &size) != ERROR_SUCCESS) return false;
    const std::uint32_t bits =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    if (value) *value = static_cast<std::int32_t>(bits);
    return true;
}

QString CConfigApp::AppName() { return QString::fromLocal8Bit(CplModuleName()); }

void Exclaim(QWidget* owner, const QString& text) {
    dornelui::MessageBox(owner, text, CConfigApp::AppName(),
                         dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION);
}

void CConfigApp::ReadGeneralSettings(HKEY root) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, kZuvexBoxKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        numServers = dhcpActive = tftpActive = enableDebugLog = 0;
        tftpDirectory = "C:\\dornel";
        logDirectory = "C:\\dornel\\log";
        logPasswd.clear();
        spawnUser.clear();
        spawnPasswd.clear();
        spawnDomain.clear();
        return;
    }
    const auto number = [key](const char* name) {
        std::int32_t value = 0;
        return ReadRegistryNumber(key, name, &value) ? value : 0;
    };
    const auto text = [key](const char* name, const char* fallback) {
        std::string value;
        return ReadRegistryText(key, name, &value) ? value : std::string(fallback);
    };
    numServers = number("NumServers");
    dhcpActive = number("DHCPActive");
    tftpActive = number("TFTPActive");
    enableDebugLog = number("EnableDebugLog");
    tftpDirectory = text("TFTPDirectory", "C:\\");
    logDirectory = text("LogDirectory", "C:\\dornel\\log");
    logPasswd = text("LogPasswd", "");
    spawnUser = text("SpawnUser", "");
    spawnPasswd = text("SpawnPasswd", "");
    spawnDomain = text("SpawnDomain", "");
    RegCloseKey(key);
}

bool CConfigApp::WriteGeneralSettings(HKEY root, QWidget* owner) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, kZuvexBoxKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool written =
        WriteRegistryNumber(key, "NumServers", numServers) == ERROR_SUCCESS &&
        WriteRegistryNumber(key, "DHCPActive", dhcpActive) == ERROR_SUCCESS &&
        WriteRegistryNumber(key, "TFTPActive", tftpActive) == ERROR_SUCCESS &&
        WriteRegistryNumber(key, "EnableDebugLog", enableDebugLog) == ERROR_SUCCESS &&
        WriteRegistryText(key, "TFTPDirectory", tftpDirectory) == ERROR_SUCCESS &&
        WriteRegistryText(key, "LogDirectory", logDirectory) == ERROR_SUCCESS &&
        WriteRegistryText(key, "LogPasswd", logPasswd) == ERROR_SUCCESS &&
        WriteRegistryText(key, "SpawnUser", spawnUser) == ERROR_SUCCESS &&
        WriteRegistryText(key, "SpawnPasswd", spawnPasswd) == ERROR_SUCCESS &&
        WriteRegistryText(key, "SpawnDomain", spawnDomain) == ERROR_SUCCESS;
    if (!written) {
        dornelui::MessageBox(owner, "Cannot write system information", "Error", dornelui::MB_OK);
    }
    RegCloseKey(key);
    return written;
}
