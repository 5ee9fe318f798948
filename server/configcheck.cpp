// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The configuration check (see configcheck.h). Sections:
//   1. The report: one line per problem, the summary.
//   2. Raw registry values: how the service would read a number or a string.
//   3. The general values.
//   4. The boxes: addresses, back-ends, plug-ins, the accounting tool and its account.
//   5. Folders: the log folder, the TFTP folder.
//   6. The DHCP host keys.
//   7. The endpoint mapper's port.

#include "server/configcheck.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dynlib/dynlib.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/rpc/rpc.h"
#include "platform/service/scm.h"
#include "server/dhcpsrv.h"
#include "server/logservice.h"
#include "server/tftpsrv.h"
#include "server/zuvexservice.h"

namespace {

constexpr const char* kShownRoot = "HKLM\\";
constexpr const char* kBootImage = "orvane.bin";
constexpr std::size_t kMaxServedFilesChecked = 2000;

// ---------------------------------------------------------------------------------------
// 1. The report.

class Report {
  public:
    explicit Report(std::FILE* out) : out_(out) {}

    // One problem: where (a key, or a key and value), what is wrong, what to do.
    void Problem(const std::string& where, const std::string& what, const std::string& fix) {
        ++problems_;
        std::fprintf(out_, "%s: %s; %s\n", where.c_str(), what.c_str(), fix.c_str());
    }
    int problems() const { return problems_; }
    std::FILE* out() const { return out_; }

  private:
    std::FILE* out_;
    int problems_ = 0;
};

// Text fit to be shown on one line: control bytes as '?', cut at 60 characters.
std::string Shown(const std::string& text) {
    std::string shown = text.substr(0, 60);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    if (text.size() > 60) shown += "...";
    return shown;
}

std::string Quoted(const std::string& text) { return "\"" + Shown(text) + "\""; }

std::string AddCommand(const std::string& key, const char* value, const char* type,
                       const std::string& data) {
    return "dornelreg add \"" + std::string(kShownRoot) + key + "\" /v " + value + " /t " + type +
           " /d " + data + " /f";
}

// ---------------------------------------------------------------------------------------
// 2. Raw registry values.

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        default:
            return "another type";
    }
}

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// A value with its type and all its bytes; nothing when it is missing.
std::optional<RawValue> ReadRaw(HKEY key, const char* name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (!key || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RawValue value;
    value.type = type;
    value.bytes.resize(size);
    if (size > 0 &&
        RegQueryValueExA(key, name, nullptr, &type, value.bytes.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.bytes.resize(size);
    return value;
}

std::string TextOf(const RawValue& value) {
    std::string text(value.bytes.begin(), value.bytes.end());
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

// A number value: its allowed range and what it means.
struct NumberRule {
    const char* name;
    int defaultValue;
    int minimum;
    int maximum;
    const char* range;  // the allowed values in words
};

// Reads a number as the service does and reports a wrong type, size or range. Returns the
// value the service would use.
int CheckNumber(Report& report, HKEY key, const std::string& keyPath, const NumberRule& rule) {
    const std::string where = std::string(kShownRoot) + keyPath + " " + rule.name;
    const std::optional<RawValue> raw = ReadRaw(key, rule.name);
    if (!raw) return rule.defaultValue;
    int value = rule.defaultValue;
    if (raw->type == REG_SZ || raw->type == REG_EXPAND_SZ) {
        const std::string text = TextOf(*raw);
        const std::optional<int> number = DecimalNumber(text);
        if (number) {
            value = *number;
            report.Problem(where + " = " + Quoted(text) + " (" + TypeName(raw->type) + ")",
                           "a number stored as text (read as " + std::to_string(value) +
                               ", with a warning at every start)",
                           "store it as a number: " +
                               AddCommand(keyPath, rule.name, "REG_DWORD", std::to_string(value)));
        } else {
            report.Problem(
                where + " = " + Quoted(text) + " (" + TypeName(raw->type) + ")",
                "not a number; the service uses the default " + std::to_string(rule.defaultValue),
                std::string("store a number (") + rule.range +
                    "): " + AddCommand(keyPath, rule.name, "REG_DWORD", "N"));
            return value;
        }
    } else if (raw->bytes.size() > 4) {
        report.Problem(where + " (" + TypeName(raw->type) + ", " +
                           std::to_string(raw->bytes.size()) + " bytes)",
                       "too long for a number; the service ignores it and uses the default " +
                           std::to_string(rule.defaultValue),
                       std::string("store it as a REG_DWORD (") + rule.range + ")");
        return value;
    } else {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < raw->bytes.size(); ++i) {
            bits |= static_cast<std::uint32_t>(raw->bytes[i]) << (8 * i);
        }
        value = static_cast<std::int32_t>(bits);
    }
    if (value < rule.minimum || value > rule.maximum) {
        report.Problem(where + " = " + std::to_string(value), "out of range",
                       std::string("set it to ") + rule.range + ": " +
                           AddCommand(keyPath, rule.name, "REG_DWORD", "N"));
    }
    return value;
}

// Reads a string as the service does (through a 1024-byte buffer, up to its first NUL);
// a value of another type or too long is reported. defaultValue when missing or unusable.
std::string CheckString(Report& report, HKEY key, const std::string& keyPath, const char* name,
                        const std::string& defaultValue, bool* present = nullptr) {
    if (present) *present = false;
    const std::string where = std::string(kShownRoot) + keyPath + " " + name;
    const std::optional<RawValue> raw = ReadRaw(key, name);
    if (!raw) return defaultValue;
    if (raw->bytes.size() > kStringQuerySize) {
        report.Problem(where + " (" + std::to_string(raw->bytes.size()) + " bytes)",
                       "longer than the 1024 bytes the service reads; it uses the default " +
                           Quoted(defaultValue),
                       "store a shorter text");
        return defaultValue;
    }
    if (raw->type != REG_SZ && raw->type != REG_EXPAND_SZ) {
        report.Problem(
            where + " (" + TypeName(raw->type) + ")",
            "a text stored as a number; the service reads its bytes as characters",
            std::string("store it as text: ") + AddCommand(keyPath, name, "REG_SZ", "TEXT"));
    }
    if (present) *present = true;
    return TextOf(*raw);
}

class Key {
  public:
    explicit Key(const std::string& path) {
        result_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_);
        if (result_ != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }
    LONG result() const { return result_; }

  private:
    HKEY key_ = nullptr;
    LONG result_ = ERROR_SUCCESS;
};

std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        LONG rc = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

// ---------------------------------------------------------------------------------------
// Accounts and file access.

struct Account {
    std::string name;
    uid_t uid = 0;
    std::vector<gid_t> groups;
};

std::optional<Account> LookUpAccount(const std::string& name) {
    if (name.empty()) return std::nullopt;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::nullopt;
    }
    Account account{name, found->pw_uid, {}};
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(name.c_str(), found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        ::getgrouplist(name.c_str(), found->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    account.groups = groups;
    return account;
}

// Whether the account may use the file as asked (bits: 4 read, 2 write, 1 execute or
// search) by its mode bits, owner and groups; root may do all but execute a file no one may.
bool Permits(const struct stat& info, const Account& account, unsigned bits) {
    if (account.uid == 0) {
        if (!(bits & 1) || S_ISDIR(info.st_mode)) return true;
        return (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    }
    unsigned granted;
    if (info.st_uid == account.uid) {
        granted = (info.st_mode >> 6) & 7;
    } else if (std::find(account.groups.begin(), account.groups.end(), info.st_gid) !=
               account.groups.end()) {
        granted = (info.st_mode >> 3) & 7;
    } else {
        granted = info.st_mode & 7;
    }
    return (granted & bits) == bits;
}

// The first folder above path (from the top down) the account may not search, or "".
std::string UnsearchableFolder(const std::string& path, const Account& account) {
    std::string partial;
    std::size_t at = 0;
    while ((at = path.find('/', at + 1)) != std::string::npos) {
        partial = path.substr(0, at);
        struct stat info {};
        if (::stat(partial.c_str(), &info) == 0 && !Permits(info, account, 1)) return partial;
    }
    if (path.rfind('/', 0) == 0 && path.find('/', 1) != std::string::npos) {
        struct stat info {};
        if (::stat("/", &info) == 0 && !Permits(info, account, 1)) return "/";
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// 3 and 4. General values and boxes.

const NumberRule kNumServers{"NumServers", 0, 1, kMaxBoxes, "1 to 10, the number of boxes"};
const NumberRule kOnOffRules[] = {
    {"DHCPActive", 0, 0, 1, "0 (off) or 1 (on)"},
    {"TFTPActive", 0, 0, 1, "0 (off) or 1 (on)"},
    {"EnableDebugLog", 0, 0, 1, "0 (off) or 1 (on)"},
};
const NumberRule kResultMemory{"LogResultMemory", kDefaultLogResultMemoryMB, 1,
                               kMaxLogResultMemoryMB, "1 to 4096 (megabytes)"};
const NumberRule kRpcRules[] = {
    {"RpcMaxConnections", 0, 0, 65535, "0 (the default) to 65535"},
    {"RpcPduTimeout", 0, 0, 86400, "0 (the default) to 86400 seconds"},
    {"RpcIdleTimeout", 0, 0, 86400, "0 (the default) to 86400 seconds"},
    {"RpcMaxRequestSize", 0, 0, 16 * 1024 * 1024, "0 (the default) to 16777216 bytes"},
};
const NumberRule kAuthType{"AuthType", 0, 0, 2,
                           "0 (account logon through PAM), 1 (NetWare) or 2 (custom plug-in)"};
const NumberRule kPrintLinkType{"PrintLinkType", 0, 0, 1, "0 (PCounter) or 1 (PrintLink plug-in)"};
const NumberRule kRotationDelay{"RotationDelay", kDefaultRotationDelay, 1, 3600,
                                "1 to 3600 seconds"};
const NumberRule kUiTimeout{"UITimeout", kDefaultUITimeout, 1, 3600, "1 to 3600 seconds"};

struct General {
    int numServers = 0;
    int dhcpActive = 0;
    int tftpActive = 0;
    std::string tftpDirectory = kDefaultTFTPDirectory;
    std::string logDirectory = kDefaultLogDirectory;
    std::string spawnUser = kDefaultSpawnUser;
};

struct BoxNeeds {
    std::set<std::string> authPlugins;         // libraries with the authentication exports
    std::set<std::string> printLinkPlugins;    // libraries with the PrintLink exports
    std::map<std::string, std::string> tools;  // account.exe path -> the first box using it
    bool pamLogon = false;
};

std::optional<std::string> NumericAddress(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) == 1) return text;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    char shown[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, shown,
                sizeof shown);
    ::freeaddrinfo(found);
    return std::string(shown);
}

General CheckGeneral(Report& report, HKEY key) {
    General general;
    const std::string path = kConfigKey;
    general.numServers = CheckNumber(report, key, path, kNumServers);
    general.dhcpActive = CheckNumber(report, key, path, kOnOffRules[0]);
    general.tftpActive = CheckNumber(report, key, path, kOnOffRules[1]);
    CheckNumber(report, key, path, kOnOffRules[2]);
    CheckNumber(report, key, path, kResultMemory);
    for (const NumberRule& rule : kRpcRules) CheckNumber(report, key, path, rule);
    general.tftpDirectory = CheckString(report, key, path, "TFTPDirectory", kDefaultTFTPDirectory);
    general.logDirectory = CheckString(report, key, path, "LogDirectory", kDefaultLogDirectory);
    general.spawnUser = CheckString(report, key, path, "SpawnUser", kDefaultSpawnUser);
    CheckString(report, key, path, "SpawnDomain", kLocalMachineDomain);
    return general;
}

void CheckBoxes(Report& report, const General& general, BoxNeeds& needs) {
    std::map<std::string, std::string> addresses;  // resolved address -> box key
    const int count = std::clamp(general.numServers, 0, kMaxBoxes);
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Box%03d", i);
        const std::string path = std::string(kConfigKey) + "\\" + name;
        const std::string where = std::string(kShownRoot) + path;
        Key key(path);
        if (!key.get()) {
            report.Problem(where,
                           "missing (NumServers is " + std::to_string(general.numServers) +
                               "); the box is not started",
                           "create the key with its IPAddress, or lower NumServers");
            continue;
        }
        bool hasAddress = false;
        const std::string address =
            CheckString(report, key.get(), path, "IPAddress", "", &hasAddress);
        if (!hasAddress || address.empty()) {
            report.Problem(
                where + " IPAddress",
                hasAddress ? "empty; the box is not started" : "missing; the box is not started",
                "set the box's address: " + AddCommand(path, "IPAddress", "REG_SZ", "192.0.2.10"));
        } else if (auto resolved = NumericAddress(address)) {
            auto [at, fresh] = addresses.emplace(*resolved, name);
            if (!fresh) {
                report.Problem(where + " IPAddress = " + Quoted(address),
                               "the same address as " + at->second +
                                   "; two box threads would fight over one box",
                               "give each box its own address");
            }
        } else {
            report.Problem(where + " IPAddress = " + Quoted(address),
                           "not an IPv4 address and no name this machine can resolve",
                           "set the box's dotted address");
        }

        const int authType = CheckNumber(report, key.get(), path, kAuthType);
        const int printLinkType = CheckNumber(report, key.get(), path, kPrintLinkType);
        CheckNumber(report, key.get(), path, kRotationDelay);
        CheckNumber(report, key.get(), path, kUiTimeout);
        CheckString(report, key.get(), path, "AuthMaster", kLocalMachineDomain);
        CheckString(report, key.get(), path, "NetwareAuthData", "");
        const std::string location =
            CheckString(report, key.get(), path, "PCounterLocation", kDefaultPCounterLocation);

        if (authType == 0) needs.pamLogon = true;
        if (authType == 1) needs.authPlugins.insert("dornnw.dll");
        if (authType == 2) needs.authPlugins.insert("custauth.dll");
        if (printLinkType == 1) needs.printLinkPlugins.insert("printlink.dll");
        if (printLinkType == 0 && authType == 1) needs.printLinkPlugins.insert("dornnw.dll");
        if (printLinkType == 0 && authType == 0) {
            const std::string tool = platform::paths::NativePath(location + "\\account.exe");
            needs.tools.emplace(tool, name);
        }
        if (printLinkType == 0 && authType == 2) {
            report.Problem(where + " PrintLinkType = 0",
                           "PCounter balances need AuthType 0 or 1; with AuthType 2 every "
                           "balance fails",
                           "use PrintLinkType 1 (printlink.dll) with a custom plug-in");
        }
    }
}

void CheckPlugin(Report& report, const std::string& library,
                 const std::vector<const char*>& exports, const char* what) {
    platform::dynlib::Library loaded(library.c_str());
    const std::string where =
        "plug-in " + library + " (" + platform::dynlib::NativeLibraryName(library) + ")";
    if (!loaded.IsLoaded()) {
        std::string why = platform::dynlib::DynlibErrorText();
        report.Problem(where, "does not load" + (why.empty() ? "" : " (" + Shown(why) + ")"),
                       std::string("put it beside dornelman or in DORNEL_PLUGIN_DIR; ") + what +
                           " fails for every user until then");
        return;
    }
    for (const char* name : exports) {
        if (!loaded.Find<void (*)()>(name)) {
            report.Problem(where, std::string("lacks the export ") + name,
                           "build it with every function of its interface (extern \"C\")");
        }
    }
}

void CheckTools(Report& report, const General& general, const BoxNeeds& needs) {
    if (needs.tools.empty()) return;
    const std::string accountWhere =
        std::string(kShownRoot) + kConfigKey + " SpawnUser = " + Quoted(general.spawnUser);
    const std::optional<Account> account = LookUpAccount(general.spawnUser);
    if (!account) {
        report.Problem(accountWhere,
                       "no such account on this system; account.exe cannot be run and every "
                       "balance fails",
                       "create the account (useradd --system " + Shown(general.spawnUser) +
                           ") or set SpawnUser and SpawnPasswd to the account that runs "
                           "account.exe");
    }
    for (const auto& [tool, box] : needs.tools) {
        const std::string where = "account.exe of " + box + " (" + tool + ")";
        struct stat info {};
        if (::stat(tool.c_str(), &info) != 0) {
            report.Problem(where, "missing",
                           "install PCounter's account.exe there, or point PCounterLocation at "
                           "its folder");
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            report.Problem(where, "not a regular file", "point PCounterLocation at its folder");
            continue;
        }
        if (!account) continue;
        const std::string folder = UnsearchableFolder(tool, *account);
        if (!folder.empty()) {
            report.Problem(
                where,
                "the folder " + folder + " is closed to the spawn account " + Shown(account->name),
                "let it search the folder (chmod o+x, or a group it is in)");
        } else if (!Permits(info, *account, 1)) {
            report.Problem(where, "not executable by the spawn account " + Shown(account->name),
                           "chmod a+x the file, or give the account's group execute");
        }
    }
}

// ---------------------------------------------------------------------------------------
// 5. Folders.

void CheckLogFolder(Report& report, const General& general) {
    const std::string folder = platform::paths::NativePath(general.logDirectory);
    const std::string where = std::string(kShownRoot) + kConfigKey +
                              " LogDirectory = " + Quoted(general.logDirectory) + " (" + folder +
                              ")";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        report.Problem(where,
                       "the folder does not exist; the service would run without its "
                       "event log and without the log RPC interface",
                       "create it (mkdir -p " + folder + ")");
        return;
    }
    if (!S_ISDIR(info.st_mode)) {
        report.Problem(where, "not a folder", "set LogDirectory to a folder");
        return;
    }
    const std::string file = folder + "/dornel.log";
    if (::access(folder.c_str(), W_OK | X_OK) != 0 ||
        (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), W_OK) != 0)) {
        report.Problem(where,
                       std::string("not writable (") + std::strerror(errno) +
                           "); the service would run without its event log",
                       "let the service's account (root) write it, or pick another folder");
    }
}

// Why the TFTP server refuses a file it would be asked for, in words.
std::string RefusalReason(const std::string& folder, const std::string& relative) {
    const std::string path = folder + "/" + relative;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !(info.st_mode & S_IROTH)) {
        return "not readable by everyone (chmod o+r)";
    }
    std::size_t at = 0;
    while ((at = relative.find('/', at + 1)) != std::string::npos) {
        const std::string part = folder + "/" + relative.substr(0, at);
        if (::stat(part.c_str(), &info) == 0 && !(info.st_mode & S_IXOTH)) {
            return "in the folder " + part + ", which not everyone may search (chmod o+x)";
        }
    }
    if (::stat(folder.c_str(), &info) == 0 && !(info.st_mode & S_IXOTH)) {
        return "the TFTP folder itself is not searchable by everyone (chmod o+x " + folder + ")";
    }
    return "refused by the TFTP server (a link out of the folder, or the log or registry "
           "folder)";
}

void CheckTftpFolder(Report& report, const General& general) {
    if (!general.tftpActive) return;
    const std::string folder = platform::paths::NativePath(general.tftpDirectory);
    const std::string where = std::string(kShownRoot) + kConfigKey +
                              " TFTPDirectory = " + Quoted(general.tftpDirectory) + " (" + folder +
                              ")";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        report.Problem(where, "the folder does not exist; boxes cannot fetch their boot image",
                       std::string("create it and put ") + kBootImage + " into it");
        return;
    }
    // Inside the run's root only the drive folders may be served ("c", "d", ...).
    std::error_code ignoredError;
    const std::string real = std::filesystem::weakly_canonical(folder, ignoredError).string();
    const std::string root =
        std::filesystem::weakly_canonical(platform::paths::Root(), ignoredError).string();
    if (real == root || real.rfind(root + "/", 0) == 0) {
        const std::string inside = real.size() > root.size() ? real.substr(root.size() + 1) : "";
        const std::string top = inside.substr(0, inside.find('/'));
        if (top.size() != 1 || !std::isalpha(static_cast<unsigned char>(top[0]))) {
            report.Problem(where,
                           "inside the run's root " + root +
                               " outside its drive folders, where the TFTP server serves nothing",
                           "use a drive folder (C:\\dornel is " + root +
                               "/c/dornel) or a "
                               "folder outside the root");
            return;
        }
    }
    int code = 0;
    const std::string image = kBootImage;
    if (::access((folder + "/" + image).c_str(), F_OK) != 0) {
        report.Problem(where, std::string("no boot image ") + kBootImage,
                       std::string("copy the boxes' boot image there as ") + kBootImage);
    }
    std::error_code ignored;
    std::size_t seen = 0;
    auto options = std::filesystem::directory_options::skip_permission_denied;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, options, ignored);
         it != std::filesystem::recursive_directory_iterator() && seen < kMaxServedFilesChecked;
         it.increment(ignored)) {
        if (ignored) break;
        if (!it->is_regular_file(ignored) && !it->is_symlink(ignored)) continue;
        ++seen;
        const std::string relative =
            std::filesystem::relative(it->path(), folder, ignored).generic_string();
        const int fd = OpenServedFile(folder, relative, &code);
        if (fd != kTftpNoFile) {
            ::close(fd);
            continue;
        }
        report.Problem("TFTP file " + folder + "/" + relative, RefusalReason(folder, relative),
                       "boxes asking for it get an error");
    }
}

// ---------------------------------------------------------------------------------------
// 6. DHCP host keys.

bool HardwareKeyName(const std::string& name) {
    // Hex pairs joined by '-': "00-40-05-43-7D-1D", at most 16 pairs.
    if (name.size() < 2 || (name.size() + 1) % 3 != 0 || (name.size() + 1) / 3 > 16) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool dash = i % 3 == 2;
        if (dash ? name[i] != '-' : !std::isxdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

void CheckDhcpAddresses(Report& report, HKEY key, const std::string& path) {
    std::vector<std::string> names = {"IPADDR", "SUBNETMASK"};
    for (const char* list : {"ROUTER", "DNS", "WINS"}) {
        for (int n = 1; n <= kDhcpMaxListEntries; ++n) {
            names.push_back(std::string(list) + "_" + std::to_string(n));
        }
    }
    for (const std::string& name : names) {
        const std::optional<RawValue> raw = ReadRaw(key, name.c_str());
        if (!raw) continue;
        const std::string text = TextOf(*raw);
        in_addr address{};
        if (raw->type == REG_SZ && ::inet_pton(AF_INET, text.c_str(), &address) == 1) continue;
        report.Problem(
            std::string(kShownRoot) + path + " " + name + " = " + Quoted(text),
            raw->type == REG_SZ ? "not a dotted IPv4 address"
                                : std::string("stored as ") + TypeName(raw->type),
            "store the address as text: " + AddCommand(path, name.c_str(), "REG_SZ", "192.0.2.10"));
    }
}

void CheckDhcp(Report& report, const General& general) {
    Key dhcp(kDhcpKey);
    if (!dhcp.get()) {
        if (general.dhcpActive) {
            report.Problem(std::string(kShownRoot) + kDhcpKey,
                           "missing while DHCPActive is 1; the DHCP server answers no box",
                           "add one key per box named by its hardware address, with IPADDR");
        }
        return;
    }
    const std::string generalPath = std::string(kDhcpKey) + "\\" + kDhcpGeneralKey;
    Key generalKey(generalPath);
    const bool generalAddress = generalKey.get() && ReadRaw(generalKey.get(), "IPADDR");
    if (generalKey.get()) CheckDhcpAddresses(report, generalKey.get(), generalPath);
    for (const std::string& name : Subkeys(dhcp.get())) {
        if (::strcasecmp(name.c_str(), kDhcpGeneralKey) == 0) continue;
        const std::string path = std::string(kDhcpKey) + "\\" + name;
        if (!HardwareKeyName(name)) {
            report.Problem(std::string(kShownRoot) + path,
                           "not a hardware address; no box will ever match it",
                           "name the key by the box's hardware address in hex pairs joined by "
                           "'-', e.g. 00-40-05-43-7D-1D");
            continue;
        }
        Key host(path);
        if (!host.get()) continue;
        if (!generalAddress && !ReadRaw(host.get(), "IPADDR")) {
            report.Problem(
                std::string(kShownRoot) + path,
                "no IPADDR here or in General; the box gets no answer",
                "set its address: " + AddCommand(path, "IPADDR", "REG_SZ", "192.0.2.10"));
        }
        CheckDhcpAddresses(report, host.get(), path);
    }
}

// ---------------------------------------------------------------------------------------
// 7. The endpoint mapper's port.

bool ServiceRunning() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    bool running = false;
    if (SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status{};
        running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return running;
}

void CheckMapperPort(Report& report) {
    const std::uint16_t port = platform::rpc::EndpointMapperPort();
    if (port == 0) return;  // the system picks one
    if (ServiceRunning()) {
        std::fprintf(report.out(),
                     "note: the service runs, so the endpoint mapper's port %u is its own; "
                     "not checked\n",
                     static_cast<unsigned>(port));
        return;
    }
    const char* configured = std::getenv("DORNEL_RPC_ADDRESS");
    const std::string address = configured && *configured ? configured : "0.0.0.0";
    const int error = platform::rpc::ProbeListenPort(port);
    if (error == 0) return;
    if (error < 0) {
        report.Problem("DORNEL_RPC_ADDRESS = " + Quoted(address),
                       "not an IPv4 address, nor a name of one",
                       "set it to an address of this machine, or unset it");
        return;
    }
    const std::string what = "endpoint mapper TCP port " + std::to_string(port) + " on " + address;
    if (error == EADDRINUSE) {
        report.Problem(what, "taken by another program; the log viewer could not find the log",
                       "stop that program (ss -ltnp 'sport = :" + std::to_string(port) +
                           "' names it), or move the mapper with DORNEL_EPM_PORT");
    } else {
        report.Problem(what, std::string("cannot be bound (") + std::strerror(error) + ")",
                       "run the service as root, or move the mapper with DORNEL_EPM_PORT");
    }
}

void CheckPam(Report& report, const BoxNeeds& needs) {
    if (!needs.pamLogon) return;
    const std::string file = platform::service::PamFilePath(kServiceName);
    if (::access(file.c_str(), R_OK) != 0) {
        report.Problem("PAM file " + file,
                       "missing; logons of AuthType 0 boxes fall to the site's \"other\" "
                       "stack, which usually refuses everyone",
                       "install the service (dornelman -i), which writes it");
    }
}

}  // namespace

int CheckConfiguration(std::FILE* out) {
    Report report(out);
    // A root without a registry is most likely the wrong root; the check creates none.
    const std::string database = platform::paths::UnderRoot("registry.db");
    struct stat info {};
    if (::stat(database.c_str(), &info) != 0 && errno == ENOENT) {
        report.Problem(database, "no registry here; the service would start with no boxes",
                       "set DORNEL_ROOT to the site's root, or import the configuration "
                       "(dornelreg import FILE)");
        std::fprintf(out, "dornelman --check: %d problem found\n", report.problems());
        return report.problems();
    }
    Key root(kConfigKey);
    if (!root.get()) {
        if (root.result() == ERROR_FILE_NOT_FOUND) {
            report.Problem(std::string(kShownRoot) + kConfigKey,
                           "missing; the service would start with no boxes",
                           "import the site's configuration (dornelreg import FILE), see "
                           "docs/registry.md");
        } else {
            report.Problem(platform::paths::UnderRoot("registry.db"),
                           root.result() == ERROR_ACCESS_DENIED
                               ? std::string("permission denied")
                               : "cannot be read (error " + std::to_string(root.result()) + ")",
                           "run the check as the service's account (root), with the service's "
                           "DORNEL_ROOT");
        }
    } else {
        General general = CheckGeneral(report, root.get());
        // The folder checks read the globals the service's own code reads.
        {
            std::lock_guard<std::mutex> guard(ConfigLock());
            std::snprintf(LogDir, sizeof LogDir, "%s", general.logDirectory.c_str());
            std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "%s",
                          general.tftpDirectory.c_str());
        }
        BoxNeeds needs;
        CheckBoxes(report, general, needs);
        for (const std::string& library : needs.authPlugins) {
            CheckPlugin(report, library, {"InitAuth", "AuthUser", "EndAuth"}, "authentication");
        }
        for (const std::string& library : needs.printLinkPlugins) {
            CheckPlugin(
                report, library,
                {"DLPL_InitPrintLink", "DLPL_GetBalance", "DLPL_Deposit", "DLPL_EndPrintLink"},
                "every balance and deposit");
        }
        CheckTools(report, general, needs);
        CheckPam(report, needs);
        CheckLogFolder(report, general);
        CheckTftpFolder(report, general);
        CheckDhcp(report, general);
    }
    CheckMapperPort(report);

    if (report.problems() == 0) {
        std::fprintf(out, "dornelman --check: no problems found in %s\n",
                     platform::paths::UnderRoot("registry.db").c_str());
    } else {
        std::fprintf(out, "dornelman --check: %d problem%s found\n", report.problems(),
                     report.problems() == 1 ? "" : "s");
    }
    return report.problems();
}
