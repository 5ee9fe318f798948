// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/zuvexservice.h"

// The server's configuration: the registry below SOFTWARE\Orvane Technology\ZuvexBox read
// into the service object, the global strings and the ten box records.
//
// A missing key or value is never an error: the defaults apply. Numbers are read through a
// 4-byte buffer whatever their stored type, strings through a 1024-byte buffer; a value
// that does not fit takes the default. On a reconfigure the box threads are running, so
// every box's new values are gathered first and copied into its record, and the globals
// written, under ConfigLock(), where box threads copy them (GetConfigString).
//
// Sections:
//   1. Globals: the configuration strings, ConfigLock, GetConfigString.
//   2. The service object: constructor, destructor.
//   3. Registry reading: keys, numbers, strings.
//   4. ReadConfiguration: the general values.
//   5. ReadBoxConfiguration: the Box%03ld keys.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/registry/registry.h"
#include "platform/service/eventsource.h"
#include "server/logservice.h"

// ---------------------------------------------------------------------------------------
// 1. Globals.

char SpawnUser[1024];
char SpawnPasswd[1024];
char SpawnDomain[1024];
char LogDir[1024] = "C:\\dornel\\log";  // what the log uses before the first read
char LogPasswd[1024];
char GlobalTFTPDirectory[260];

CZuvexService* TheGlobalService = nullptr;

std::mutex& ConfigLock() {
    static std::mutex lock;
    return lock;
}

void GetConfigString(const char* source, char* out, std::size_t size) {
    if (!out || size == 0) return;
    std::lock_guard<std::mutex> guard(ConfigLock());
    if (!source) {
        out[0] = '\0';
        return;
    }
    const std::size_t length = strnlen(source, size - 1);
    std::memmove(out, source, length);  // a field copied onto itself stays intact
    out[length] = '\0';
}

// ---------------------------------------------------------------------------------------
// 2. The service object.

CZuvexService::CZuvexService(const char* display, const char* service)
    : CNTService(display, service), tftpDirectory("C:\\dornel") {
    // The records are plain data; start them empty rather than indeterminate.
    std::memset(static_cast<void*>(boxes), 0, sizeof boxes);
}

CZuvexService::~CZuvexService() {
    if (TheGlobalService == this) TheGlobalService = nullptr;
}

// ---------------------------------------------------------------------------------------
// 3. Registry reading.

namespace {

constexpr const char* kDefaultSpawnPasswd = "brinkvel";

// A key of HKEY_LOCAL_MACHINE opened with full access, closed on scope exit.
class ConfigKey {
  public:
    explicit ConfigKey(const char* path) : path_(path) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key_) != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~ConfigKey() {
        if (key_) RegCloseKey(key_);
    }
    ConfigKey(const ConfigKey&) = delete;
    ConfigKey& operator=(const ConfigKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }

    // A number: the stored bytes as a little-endian signed 32-bit value, whatever the type
    // (a shorter value fills the low bytes); defaultValue when missing or longer than 4.
    // A number stored as a string ("15", as a command line stores it by default) is read
    // as the number it spells, never as its character bytes, and an NT event names the
    // value so that it can be stored as a number; a string that spells no number gives
    // defaultValue, also with an NT event.
    int Number(const char* name, int defaultValue) const {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ)) {
            return NumberFromText(name, defaultValue);
        }
        BYTE bytes[4] = {};
        size = sizeof bytes;
        if (RegQueryValueExA(key_, name, nullptr, &type, bytes, &size) != ERROR_SUCCESS) {
            return defaultValue;
        }
        const std::uint32_t value =
            static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
        return static_cast<std::int32_t>(value);
    }

    // A string: the stored bytes up to the first NUL or the stored length, whichever comes
    // first (values are stored with and without a terminator); nothing when the value is
    // missing or longer than the query buffer.
    std::optional<std::string> String(const char* name) const {
        char buffer[kStringQuerySize] = {};
        DWORD size = sizeof buffer;
        DWORD type = REG_NONE;
        if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        if (size > sizeof buffer) size = sizeof buffer;
        return std::string(buffer, strnlen(buffer, size));
    }

    std::string String(const char* name, const char* defaultValue) const {
        return String(name).value_or(defaultValue);
    }

  private:
    int NumberFromText(const char* name, int defaultValue) const {
        const std::optional<std::string> text = String(name);
        if (!text) return defaultValue;
        const std::optional<int> number = DecimalNumber(*text);
        // Only a short excerpt of the text goes into the event.
        std::string shown = text->substr(0, 32);
        for (char& c : shown) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        }
        char note[512];
        if (number) {
            std::snprintf(note, sizeof note,
                          "WARNING: %s in %s is stored as text (\"%s\"); read as the number %d. "
                          "Store it as a number (REG_DWORD).",
                          name, path_.c_str(), shown.c_str(), *number);
        } else {
            std::snprintf(note, sizeof note,
                          "WARNING: %s in %s is stored as text that is not a number (\"%s\"); "
                          "the default %d applies",
                          name, path_.c_str(), shown.c_str(), defaultValue);
        }
        LogServiceEvent(EVENTLOG_INFORMATION_TYPE, 100, note);
        return number.value_or(defaultValue);
    }

    std::string path_;
    HKEY key_ = nullptr;
};

// Copies text into a fixed field, cut to fit with its terminator, the rest zero-filled.
template <std::size_t N>
void CopyField(char (&field)[N], const std::string& text) {
    const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

}  // namespace

std::optional<int> DecimalNumber(const std::string& text) {
    std::size_t at = text.find_first_not_of(" \t");
    const std::size_t end = text.find_last_not_of(" \t");
    if (at == std::string::npos) return std::nullopt;
    bool negative = false;
    if (text[at] == '+' || text[at] == '-') negative = text[at++] == '-';
    if (at > end) return std::nullopt;
    std::int64_t value = 0;
    for (; at <= end; ++at) {
        if (text[at] < '0' || text[at] > '9') return std::nullopt;
        value = value * 10 + (text[at] - '0');
        if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int>(value);
}

int ReadConfigurationNumber(const char* name, int defaultValue) {
    const ConfigKey key(kConfigKey);
    return key.IsOpen() ? key.Number(name, defaultValue) : defaultValue;
}

// ---------------------------------------------------------------------------------------
// 4. ReadConfiguration.

void CZuvexService::ReadConfiguration() {
    // Key missing: no boxes, DHCP, TFTP and debug records off, the default folders, and the
    // spawn account as it was.
    int servers = 0;
    int dhcp = 0;
    int tftp = 0;
    int debug = 0;
    std::string tftpFolder = kDefaultTFTPDirectory;
    std::string logFolder = kDefaultLogDirectory;
    std::string logPassword;
    int resultMemory = kDefaultLogResultMemoryMB;
    std::optional<std::string> spawnUser;
    std::optional<std::string> spawnPassword;
    std::optional<std::string> spawnDomain;
    {
        ConfigKey key(kConfigKey);
        if (key.IsOpen()) {
            servers = key.Number("NumServers", 0);
            dhcp = key.Number("DHCPActive", 0);
            tftp = key.Number("TFTPActive", 0);
            debug = key.Number("EnableDebugLog", 0);
            tftpFolder = key.String("TFTPDirectory", kDefaultTFTPDirectory);
            logFolder = key.String("LogDirectory", kDefaultLogDirectory);
            logPassword = key.String("LogPasswd", "");
            resultMemory = key.Number("LogResultMemory", kDefaultLogResultMemoryMB);
            spawnUser = key.String("SpawnUser", kDefaultSpawnUser);
            spawnPassword = key.String("SpawnPasswd", kDefaultSpawnPasswd);
            spawnDomain = key.String("SpawnDomain", kLocalMachineDomain);
        }
    }

    // The record array holds kMaxBoxes boxes: more are not served, and said so.
    if (servers > kMaxBoxes) {
        char warning[160];
        std::snprintf(warning, sizeof warning,
                      "WARNING: NumServers is %d but at most %d boxes can be served; "
                      "using boxes 0 to %d",
                      servers, kMaxBoxes, kMaxBoxes - 1);
        LogEvent(EVENTLOG_INFORMATION_TYPE, 100, warning);
        servers = kMaxBoxes;
    } else if (servers < 0) {
        servers = 0;
    }

    numServers = servers;
    dhcpActive = dhcp;
    tftpActive = tftp;
    enableDebugLog = debug;
    LogResultMemoryMB = resultMemory;
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        tftpDirectory = tftpFolder.c_str();
        CopyField(LogDir, logFolder);
        CopyField(LogPasswd, logPassword);
        if (spawnUser) CopyField(SpawnUser, *spawnUser);
        if (spawnPassword) CopyField(SpawnPasswd, *spawnPassword);
        if (spawnDomain) CopyField(SpawnDomain, *spawnDomain);
        CopyField(GlobalTFTPDirectory, tftpDirectory.str());
    }

    ReadBoxConfiguration();
}

// ---------------------------------------------------------------------------------------
// 5. ReadBoxConfiguration.

void CZuvexService::ReadBoxConfiguration() {
    const int count = numServers < kMaxBoxes ? numServers : kMaxBoxes;
    for (int i = 0; i < count; ++i) {
        char keyName[128];
        std::snprintf(keyName, sizeof keyName, "%s\\Box%03ld", kConfigKey, static_cast<long>(i));
        ConfigKey key(keyName);
        if (!key.IsOpen()) continue;  // the record keeps what it held

        // The new values, gathered before the record is touched.
        auto fresh = std::make_unique<t_ServerStartInfo>();
        std::memset(static_cast<void*>(fresh.get()), 0, sizeof *fresh);
        const std::optional<std::string> address = key.String("IPAddress");
        fresh->authType = key.Number("AuthType", 0);
        CopyField(fresh->authMaster, key.String("AuthMaster", kLocalMachineDomain));
        CopyField(fresh->netwareAuthData, key.String("NetwareAuthData", ""));
        fresh->printLinkType = key.Number("PrintLinkType", 0);
        CopyField(fresh->pcounterLocation,
                  key.String("PCounterLocation", kDefaultPCounterLocation));
        CopyField(fresh->printLinkLocation, key.String("PrintLinkLocation", ""));
        for (int page = 0; page < kMessagePages; ++page) {
            for (int line = 0; line < kMessageLines; ++line) {
                char valueName[32];
                std::snprintf(valueName, sizeof valueName, "Message%02d-%02d", page, line);
                // A missing line stays empty; a longer one keeps its first 39 characters.
                if (auto text = key.String(valueName)) {
                    CopyField(fresh->messages[page][line], *text);
                }
            }
        }
        fresh->rotationDelay = key.Number("RotationDelay", kDefaultRotationDelay);
        fresh->uiTimeout = key.Number("UITimeout", kDefaultUITimeout);

        std::lock_guard<std::mutex> guard(ConfigLock());
        t_ServerStartInfo& box = boxes[i];
        if (address) CopyField(box.ipAddress, *address);  // missing: the old address stays
        box.boxNumber = i;
        box.authType = fresh->authType;
        std::memcpy(box.authMaster, fresh->authMaster, sizeof box.authMaster);
        std::memcpy(box.netwareAuthData, fresh->netwareAuthData, sizeof box.netwareAuthData);
        box.printLinkType = fresh->printLinkType;
        std::memcpy(box.pcounterLocation, fresh->pcounterLocation, sizeof box.pcounterLocation);
        std::memcpy(box.printLinkLocation, fresh->printLinkLocation, sizeof box.printLinkLocation);
        std::memcpy(box.messages, fresh->messages, sizeof box.messages);
        box.rotationDelay = fresh->rotationDelay;
        box.uiTimeout = fresh->uiTimeout;
    }
}
