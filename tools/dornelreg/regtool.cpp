// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Sections: usage text; data parsing and formatting; command-line switches; registry
// helpers (handles, values, subkeys, trees); the five commands; Run.

#include "tools/dornelreg/regtool.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/remote/remote.h"
#include "tools/dornelreg/regfile.h"

namespace dornelreg {
namespace {

constexpr const char* kSuccess = "The operation completed successfully.";
constexpr const char* kNotFound =
    "The system was unable to find the specified registry key or value";

constexpr const char* kUsage = R"(dornelreg: the registry command line.

  dornelreg query  KEY [/v NAME | /ve] [/s]
  dornelreg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/nonul] [/f]
  dornelreg delete KEY [/v NAME | /ve | /va] [/f]
  dornelreg export KEY FILE [/y]
  dornelreg import FILE
  dornelreg --help | /?
  dornelreg [--machine MACHINE | \\MACHINE] COMMAND ...   on another machine, over ssh
  dornelreg --serve        answer a remote client on standard input and output

  KEY      HKLM\SOFTWARE\... or HKEY_LOCAL_MACHINE\SOFTWARE\... (root without case);
           \\MACHINE\HKLM\... names this machine's registry by its host name.
  /v NAME  the value NAME;  /ve  the key's default value, shown as (Default).
  /s       query: every subkey too, recursively.
  /t TYPE  REG_SZ (the default), REG_EXPAND_SZ, REG_DWORD or REG_BINARY.
  /d DATA  REG_SZ, REG_EXPAND_SZ: the text, stored with a terminating NUL
           REG_DWORD: decimal or 0x hex, stored as 4 little-endian bytes
           REG_BINARY: hex digit pairs, e.g. 01000000 or 01,00,00,00
           Without /d a string is empty and a REG_DWORD is 0.
  /nonul   store a REG_SZ or REG_EXPAND_SZ without its terminating NUL.
  /f       add: overwrite a value that exists; delete: really delete. dornelreg never
           prompts, so without /f it refuses both and changes nothing.
  /va      delete: every value of the key (its subkeys stay).
  /y       export: accepted for compatibility; an existing FILE is replaced.

  add KEY without /v, /ve, /t or /d only creates the key; with /t or /d but no /v it sets
  the default value. delete KEY deletes the key with all its subkeys and values. export writes the key and all its subkeys as a .reg file
  ("Windows Registry Editor Version 5.00"); import applies such a file (UTF-8 or UTF-16,
  LF or CRLF), where [-KEY] deletes a key and "Name"=- a value. A malformed file is
  refused with its line number before anything is changed.

  MACHINE  another machine's registry, reached with ssh running "dornelreg --serve" there
           (from the remote account's PATH): HOST, USER@HOST, HOST:PORT or USER@HOST:PORT,
           with or without a leading \\. Every command works there as it does here; export
           writes FILE and import reads FILE on this machine. ssh never prompts (batch mode):
           use a key or an agent. DORNEL_SSH replaces the ssh command, e.g.
           DORNEL_SSH="ssh -F /etc/dornel/ssh_config"; DORNEL_REMOTE_TIMEOUT bounds each
           answer (seconds, default 30). This host's own name means this machine.

  Switches may also start with "-" and are not case-sensitive. The registry is
  $DORNEL_ROOT/registry.db (/var/lib/dornel/registry.db by default).
  Exit status: 0 done, 1 failed or refused, 2 usage error (each reported as "ERROR: ..."
  on standard error).

Examples:
  dornelreg add "HKLM\SOFTWARE\Orvane Technology\ZuvexBox" /v NumServers /t REG_BINARY /d 01000000
  dornelreg add "HKLM\SOFTWARE\Orvane Technology\ZuvexBox\Box000" /v IPAddress /d 192.168.1.20 /nonul
  dornelreg query "HKLM\SOFTWARE\Orvane Technology\ZuvexBox" /s
  dornelreg export "HKLM\SOFTWARE\Orvane Technology" zuvexbox.reg
)";

// A failure on its way to "ERROR: ..." on standard error.
struct Failure {
    std::string message;
    bool usage = false;  // a usage error: exit status 2
};

// A message with the reason of the last failed connection, when there is one.
std::string WithReason(const std::string& message) {
    const std::string reason = platform::remote::LastConnectionError();
    return reason.empty() ? message : message + " " + reason;
}

std::string Win32Message(LONG rc) {
    switch (rc) {
        case ERROR_FILE_NOT_FOUND:
            return std::string(kNotFound) + ".";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_KEY_HAS_CHILDREN:
            return "The key has subkeys.";
        case ERROR_KEY_DELETED:
            return "The key was deleted while it was in use.";
        case ERROR_BAD_NETPATH:
            return WithReason("The network path was not found.");
        case ERROR_NETNAME_DELETED:
            return WithReason("The remote machine cannot be reached any more.");
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Not enough memory.";
        case ERROR_PATH_NOT_FOUND:
            return "The registry folder cannot be created.";
        case ERROR_REGISTRY_CORRUPT:
            return "The registry database is damaged.";
        case ERROR_REGISTRY_IO_FAILED:
            return "The registry database could not be read or written.";
        default:
            return "Error " + std::to_string(rc) + ".";
    }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

Failure NotFound(const std::string& what) { return Failure{std::string(kNotFound) + ": " + what}; }

std::string ValueLabel(const std::string& name) {
    return name.empty() ? std::string("the default value") : "the value " + Quoted(name);
}

// ------------------------------------------------------------------------ switches

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::optional<std::string> valueName;  // /v NAME, or "" for /ve
    bool allValues = false;                // /va
    std::optional<std::string> type;       // /t
    std::optional<std::string> data;       // /d
    bool force = false;                    // /f
    bool noNul = false;                    // /nonul
    bool recurse = false;                  // /s
    bool overwrite = false;                // /y
    std::string machine;                   // --machine or \\MACHINE: "" for this one
};

// Switches each command takes, with whether they take an argument.
struct SwitchRule {
    const char* name;
    bool takesArgument;
    const char* commands;  // space-separated
};
constexpr SwitchRule kSwitches[] = {
    {"v", true, "query add delete"},
    {"ve", false, "query add delete"},
    {"va", false, "delete"},
    {"s", false, "query"},
    {"t", true, "add"},
    {"d", true, "add"},
    {"f", false, "add delete"},
    {"nonul", false, "add"},
    {"y", false, "export"},
};

const SwitchRule* FindSwitch(std::string_view arg) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return nullptr;
    for (const SwitchRule& rule : kSwitches) {
        if (EqualsNoCase(arg.substr(1), rule.name)) return &rule;
    }
    return nullptr;
}

bool CommandTakes(const SwitchRule& rule, const std::string& command) {
    std::istringstream words(rule.commands);
    std::string word;
    while (words >> word) {
        if (word == command) return true;
    }
    return false;
}

Failure Syntax(const std::string& reason) {
    return Failure{"Invalid syntax: " + reason + " Type \"dornelreg --help\" for usage.", true};
}

std::optional<Failure> ParseOptions(const std::vector<std::string>& args, Options* options) {
    options->command = args[0];
    for (char& c : options->command)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string& command = options->command;
    std::size_t wanted = 0;
    if (command == "query" || command == "add" || command == "delete" || command == "import") {
        wanted = 1;
    } else if (command == "export") {
        wanted = 2;
    } else {
        return Syntax("unknown command " + Quoted(args[0]) +
                      " (use query, add, delete, export or import).");
    }
    std::map<std::string, bool> seen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const SwitchRule* rule = FindSwitch(args[i]);
        if (!rule) {
            options->positional.push_back(args[i]);
            continue;
        }
        const std::string name = rule->name;
        if (!CommandTakes(*rule, command)) {
            return Syntax("/" + name + " is not valid for " + command + ".");
        }
        if (seen[name]) return Syntax("/" + name + " is given twice.");
        seen[name] = true;
        std::string argument;
        if (rule->takesArgument) {
            if (i + 1 >= args.size()) return Syntax("/" + name + " needs an argument.");
            argument = args[++i];
        }
        if (name == "v") {
            options->valueName = argument;
        } else if (name == "ve") {
            options->valueName = "";
        } else if (name == "va") {
            options->allValues = true;
        } else if (name == "s") {
            options->recurse = true;
        } else if (name == "t") {
            options->type = argument;
        } else if (name == "d") {
            options->data = argument;
        } else if (name == "f") {
            options->force = true;
        } else if (name == "nonul") {
            options->noNul = true;
        } else if (name == "y") {
            options->overwrite = true;
        }
    }
    const int exclusive = seen["v"] + seen["ve"] + seen["va"];
    if (exclusive > 1) return Syntax("use only one of /v, /ve and /va.");
    if (options->positional.size() < wanted) {
        return Syntax(command == "export"   ? "export needs a KEY and a FILE."
                      : command == "import" ? "import needs a FILE."
                                            : command + " needs a KEY.");
    }
    if (options->positional.size() > wanted) {
        return Syntax("unexpected argument " + Quoted(options->positional[wanted]) + ".");
    }
    return std::nullopt;
}

// ------------------------------------------------------------------ registry helpers

// An open key, closed on destruction (the predefined root is never closed).
class Key {
  public:
    Key() = default;
    explicit Key(HKEY handle) : handle_(handle) {}
    ~Key() { Reset(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    Key(Key&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Key& operator=(Key&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    HKEY Get() const { return handle_; }
    HKEY* Out() {
        Reset();
        return &handle_;
    }

  private:
    void Reset() {
        if (handle_ && handle_ != HKEY_LOCAL_MACHINE) RegCloseKey(handle_);
        handle_ = nullptr;
    }
    HKEY handle_ = nullptr;
};

// The root of the machine a key names: HKEY_LOCAL_MACHINE, or a connected handle.
std::optional<Failure> ConnectRoot(const KeyName& name, Key* root) {
    if (name.machine.empty()) {
        *root = Key(HKEY_LOCAL_MACHINE);
        return std::nullopt;
    }
    const LONG rc = RegConnectRegistryA(name.machine.c_str(), HKEY_LOCAL_MACHINE, root->Out());
    if (rc != ERROR_SUCCESS) {
        return Failure{"Cannot connect to \\\\" + name.machine + ": " + Win32Message(rc)};
    }
    return std::nullopt;
}

std::vector<std::string> SubkeyNames(HKEY key, LONG* rc) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        *rc = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (*rc == ERROR_NO_MORE_ITEMS) {
            *rc = ERROR_SUCCESS;
            return names;
        }
        if (*rc != ERROR_SUCCESS) return names;
        names.emplace_back(name, length);
    }
}

// Reads one value: true when it exists; a failure other than "not there" goes to *failure.
bool ReadValue(HKEY key, const std::string& name, RegValue* value,
               std::optional<Failure>* failure) {
    value->name = name;
    DWORD size = 0;
    LONG rc = ERROR_MORE_DATA;
    // The value may grow between asking for its size and reading it; then ask again.
    for (int attempt = 0; rc == ERROR_MORE_DATA && attempt < 8; ++attempt) {
        rc = RegQueryValueExA(key, name.c_str(), nullptr, &value->type, nullptr, &size);
        if (rc != ERROR_SUCCESS) break;
        value->data.assign(size, 0);
        rc = RegQueryValueExA(key, name.c_str(), nullptr, &value->type, value->data.data(), &size);
    }
    if (rc == ERROR_SUCCESS) {
        value->data.resize(size);
        return true;
    }
    if (rc != ERROR_FILE_NOT_FOUND)
        *failure = Failure{"Cannot read " + ValueLabel(name) + ": " + Win32Message(rc)};
    return false;
}

std::vector<RegValue> Values(HKEY key, LONG* rc) {
    std::vector<RegValue> values;
    std::vector<char> name(16384 + 1);
    for (DWORD i = 0;; ++i) {
        RegValue value;
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = 0;
        *rc = RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &value.type, nullptr, &size);
        if (*rc == ERROR_NO_MORE_ITEMS) {
            *rc = ERROR_SUCCESS;
            return values;
        }
        if (*rc != ERROR_SUCCESS) return values;
        value.name.assign(name.data(), nameLength);
        std::optional<Failure> failure;
        if (!ReadValue(key, value.name, &value, &failure)) {
            if (failure) {
                *rc = ERROR_REGISTRY_IO_FAILED;
                return values;
            }
            continue;  // deleted by someone else meanwhile
        }
        values.push_back(std::move(value));
    }
}

// The key's path with every name in its stored spelling (the command line may use any case).
std::string StoredSubKey(HKEY root, const std::string& subKey) {
    std::string result;
    HKEY parent = root;
    Key current;
    std::string_view rest = subKey;
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\\');
        const std::string name(rest.substr(0, cut));
        std::string stored = name;
        LONG rc = ERROR_SUCCESS;
        for (const std::string& candidate : SubkeyNames(parent, &rc)) {
            if (EqualsNoCase(candidate, name)) stored = candidate;
        }
        Key next;
        if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, next.Out()) != ERROR_SUCCESS) {
            return subKey;
        }
        current = std::move(next);
        parent = current.Get();
        result += (result.empty() ? "" : "\\") + stored;
        rest = cut == rest.npos ? std::string_view() : rest.substr(cut + 1);
    }
    return result;
}

// Opens KEY of a command line for reading, with its stored path.
std::optional<Failure> OpenExisting(const std::string& text, Key* root, Key* key,
                                    std::string* subKey, std::string* path) {
    std::string error;
    const auto name = ParseKeyName(text, &error);
    if (!name) return Failure{error + "."};
    if (auto failure = ConnectRoot(*name, root)) return failure;
    const LONG rc = RegOpenKeyExA(root->Get(), name->subKey.c_str(), 0, KEY_ALL_ACCESS, key->Out());
    if (rc == ERROR_FILE_NOT_FOUND) return NotFound(FullKeyPath(name->subKey));
    if (rc != ERROR_SUCCESS) {
        return Failure{"Cannot open " + FullKeyPath(name->subKey) + ": " + Win32Message(rc)};
    }
    *subKey = StoredSubKey(root->Get(), name->subKey);
    *path = FullKeyPath(*subKey);
    return std::nullopt;
}

// Deletes name below parent with everything under it, deepest keys first.
LONG DeleteTree(HKEY parent, const std::string& name) {
    Key key;
    LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.Out());
    if (rc != ERROR_SUCCESS) return rc;
    const std::vector<std::string> children = SubkeyNames(key.Get(), &rc);
    if (rc != ERROR_SUCCESS) return rc;
    for (const std::string& child : children) {
        if ((rc = DeleteTree(key.Get(), child)) != ERROR_SUCCESS) return rc;
    }
    key = Key();
    return RegDeleteKeyA(parent, name.c_str());
}

// Splits "A\B\C" into "A\B" and "C".
std::pair<std::string, std::string> SplitLast(const std::string& subKey) {
    const std::size_t cut = subKey.rfind('\\');
    if (cut == std::string::npos) return {"", subKey};
    return {subKey.substr(0, cut), subKey.substr(cut + 1)};
}

// ------------------------------------------------------------------------ commands

std::string QueryLine(const RegValue& value) {
    return "    " + (value.name.empty() ? std::string("(Default)") : value.name) + "    " +
           TypeName(value.type) + "    " + FormatQueryData(value.type, value.data);
}

// Prints the key block, and with recurse every subkey's block below it.
std::optional<Failure> PrintTree(HKEY key, const std::string& path, bool recurse,
                                 std::ostream& out) {
    LONG rc = ERROR_SUCCESS;
    const std::vector<RegValue> values = Values(key, &rc);
    if (rc != ERROR_SUCCESS) return Failure{"Cannot read " + path + ": " + Win32Message(rc)};
    const std::vector<std::string> children = SubkeyNames(key, &rc);
    if (rc != ERROR_SUCCESS) return Failure{"Cannot read " + path + ": " + Win32Message(rc)};
    out << "\n" << path << "\n";
    for (const RegValue& value : values) out << QueryLine(value) << "\n";
    if (!recurse) {
        if (!children.empty()) out << "\n";
        for (const std::string& child : children) out << path << "\\" << child << "\n";
        return std::nullopt;
    }
    for (const std::string& child : children) {
        Key sub;
        rc = RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, sub.Out());
        if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted by someone else meanwhile
        if (rc != ERROR_SUCCESS)
            return Failure{"Cannot open " + path + "\\" + child + ": " + Win32Message(rc)};
        if (auto failure = PrintTree(sub.Get(), path + "\\" + child, true, out)) return failure;
    }
    return std::nullopt;
}

// The stored spelling of a value name (queries may use any case).
std::string StoredValueName(HKEY key, const std::string& name) {
    std::vector<char> buffer(16384 + 1);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (RegEnumValueA(key, i, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return name;
        }
        const std::string candidate(buffer.data(), length);
        if (EqualsNoCase(candidate, name)) return candidate;
    }
}

// Prints the blocks of key and its subkeys (with recurse) that hold the value name.
std::optional<Failure> FindValue(HKEY key, const std::string& path, const std::string& name,
                                 bool recurse, std::ostream& out, int* found) {
    RegValue value;
    std::optional<Failure> failure;
    if (ReadValue(key, name, &value, &failure)) {
        value.name = StoredValueName(key, name);
        out << "\n" << path << "\n" << QueryLine(value) << "\n";
        ++*found;
    }
    if (failure) return failure;
    if (!recurse) return std::nullopt;
    LONG rc = ERROR_SUCCESS;
    for (const std::string& child : SubkeyNames(key, &rc)) {
        Key sub;
        if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, sub.Out()) != ERROR_SUCCESS) continue;
        if ((failure = FindValue(sub.Get(), path + "\\" + child, name, true, out, found))) {
            return failure;
        }
    }
    if (rc != ERROR_SUCCESS) return Failure{"Cannot read " + path + ": " + Win32Message(rc)};
    return std::nullopt;
}

std::optional<Failure> Query(const Options& options, std::ostream& out) {
    Key root, key;
    std::string subKey, path;
    if (auto failure = OpenExisting(options.positional[0], &root, &key, &subKey, &path))
        return failure;
    if (!options.valueName) return PrintTree(key.Get(), path, options.recurse, out);
    std::ostringstream found;
    int count = 0;
    if (auto failure =
            FindValue(key.Get(), path, *options.valueName, options.recurse, found, &count)) {
        return failure;
    }
    if (count == 0) {
        return NotFound(ValueLabel(*options.valueName) + " in " + path);
    }
    out << found.str();
    return std::nullopt;
}

// Whether a name holds a control character (below 32, or 127). Such a name cannot be
// written on one line of an export or a query, so add refuses it.
bool HasControlCharacter(std::string_view name) {
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

// The name with its control characters spelled out (\n, \r, \t, \xNN), for a message.
std::string Visible(std::string_view name) {
    std::string shown;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            shown += hex;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::optional<Failure> CheckNewNames(const std::string& subKey, const std::string& valueName) {
    const char* rule =
        ": names may not hold control characters (line breaks, tabs and the like); nothing was "
        "changed.";
    if (HasControlCharacter(subKey)) {
        return Failure{"Invalid key name " + Quoted(Visible(FullKeyPath(subKey))) + rule};
    }
    if (HasControlCharacter(valueName)) {
        return Failure{"Invalid value name " + Quoted(Visible(valueName)) + rule};
    }
    return std::nullopt;
}

// The type and bytes that add stores for /t, /d and /nonul.
std::optional<Failure> BuildAddValue(const Options& options, RegValue* value) {
    const std::string typeText = options.type.value_or("REG_SZ");
    struct Type {
        const char* name;
        DWORD number;
    };
    constexpr Type kTypes[] = {{"REG_SZ", REG_SZ},
                               {"REG_EXPAND_SZ", REG_EXPAND_SZ},
                               {"REG_DWORD", REG_DWORD},
                               {"REG_BINARY", REG_BINARY}};
    const Type* type = nullptr;
    for (const Type& candidate : kTypes) {
        if (EqualsNoCase(typeText, candidate.name)) type = &candidate;
    }
    if (!type) {
        return Failure{"Invalid type " + Quoted(typeText) +
                       ": use REG_SZ, REG_EXPAND_SZ, REG_DWORD or REG_BINARY."};
    }
    value->type = type->number;
    const bool isString = type->number == REG_SZ || type->number == REG_EXPAND_SZ;
    if (options.noNul && !isString) {
        return Failure{"/nonul applies only to REG_SZ and REG_EXPAND_SZ."};
    }
    const std::string data = options.data.value_or("");
    if (isString) {
        value->data.assign(data.begin(), data.end());
        if (!options.noNul) value->data.push_back(0);
    } else if (type->number == REG_DWORD) {
        auto bytes = options.data ? ParseDwordArgument(data)
                                  : std::optional<std::vector<BYTE>>(std::vector<BYTE>(4, 0));
        if (!bytes) {
            return Failure{
                "Invalid REG_DWORD data " + Quoted(data) +
                ": use a decimal number or 0x and up to 8 hex digits (at most 4294967295)."};
        }
        value->data = std::move(*bytes);
    } else {
        auto bytes = ParseBinaryArgument(data);
        if (!bytes) {
            return Failure{"Invalid REG_BINARY data " + Quoted(data) +
                           ": use pairs of hex digits, optionally separated by commas or spaces."};
        }
        value->data = std::move(*bytes);
    }
    return std::nullopt;
}

std::optional<Failure> Add(const Options& options, std::ostream& out) {
    std::string error;
    const auto name = ParseKeyName(options.positional[0], &error);
    if (!name) return Failure{error + "."};
    // Without /v or /ve, /t or /d set the default value; with none of them only the key is made.
    const bool setsValue = options.valueName || options.type || options.data || options.noNul;
    RegValue value;
    value.name = options.valueName.value_or("");
    if (auto failure = CheckNewNames(name->subKey, value.name)) return failure;
    if (setsValue) {
        if (auto failure = BuildAddValue(options, &value)) return failure;
    }
    Key root;
    if (auto failure = ConnectRoot(*name, &root)) return failure;
    const std::string path = FullKeyPath(name->subKey);
    Key key;
    LONG rc = RegCreateKeyExA(root.Get(), name->subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
    if (rc != ERROR_SUCCESS) return Failure{"Cannot create " + path + ": " + Win32Message(rc)};
    if (setsValue) {
        RegValue existing;
        std::optional<Failure> failure;
        if (ReadValue(key.Get(), value.name, &existing, &failure) && !options.force) {
            return Failure{"The " + ValueLabel(value.name).substr(4) + " already exists in " +
                           path + "; nothing was changed. Add /f to overwrite it."};
        }
        if (failure) return failure;
        rc = RegSetValueExA(key.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                            static_cast<DWORD>(value.data.size()));
        if (rc != ERROR_SUCCESS) {
            return Failure{"Cannot write " + ValueLabel(value.name) + " in " + path + ": " +
                           Win32Message(rc)};
        }
    }
    out << kSuccess << "\n";
    return std::nullopt;
}

std::optional<Failure> Delete(const Options& options, std::ostream& out) {
    Key root, key;
    std::string subKey, path;
    if (auto failure = OpenExisting(options.positional[0], &root, &key, &subKey, &path))
        return failure;
    const std::string noPrompt = "; nothing was deleted (dornelreg does not prompt).";
    LONG rc = ERROR_SUCCESS;
    if (options.valueName) {
        RegValue value;
        std::optional<Failure> failure;
        if (!ReadValue(key.Get(), *options.valueName, &value, &failure)) {
            if (failure) return failure;
            return NotFound(ValueLabel(*options.valueName) + " in " + path);
        }
        if (!options.force) {
            return Failure{"Deleting " + ValueLabel(*options.valueName) + " of " + path +
                           " needs /f" + noPrompt};
        }
        rc = RegDeleteValueA(key.Get(), options.valueName->c_str());
        if (rc != ERROR_SUCCESS)
            return Failure{"Cannot delete " + ValueLabel(*options.valueName) + ": " +
                           Win32Message(rc)};
    } else if (options.allValues) {
        if (!options.force)
            return Failure{"Deleting every value of " + path + " needs /f" + noPrompt};
        const std::vector<RegValue> values = Values(key.Get(), &rc);
        if (rc != ERROR_SUCCESS) return Failure{"Cannot read " + path + ": " + Win32Message(rc)};
        for (const RegValue& value : values) {
            rc = RegDeleteValueA(key.Get(), value.name.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
                return Failure{"Cannot delete " + ValueLabel(value.name) + ": " + Win32Message(rc)};
            }
        }
    } else {
        if (subKey.empty()) return Failure{"The root key HKEY_LOCAL_MACHINE cannot be deleted."};
        if (!options.force) {
            return Failure{"Deleting the key " + path +
                           " with all its subkeys and values needs /f" + noPrompt};
        }
        key = Key();
        const auto [parentPath, last] = SplitLast(subKey);
        Key parent;
        rc = RegOpenKeyExA(root.Get(), parentPath.c_str(), 0, KEY_ALL_ACCESS, parent.Out());
        if (rc == ERROR_SUCCESS) rc = DeleteTree(parent.Get(), last);
        if (rc != ERROR_SUCCESS) return Failure{"Cannot delete " + path + ": " + Win32Message(rc)};
    }
    out << kSuccess << "\n";
    return std::nullopt;
}

// Appends the .reg sections of key and every subkey below it.
std::optional<Failure> ExportTree(HKEY key, const std::string& subKey, std::string* text) {
    std::string error;
    const auto section = FormatSectionLine(subKey, &error);
    if (!section) return Failure{"Cannot export: " + error + "."};
    LONG rc = ERROR_SUCCESS;
    const std::vector<RegValue> values = Values(key, &rc);
    if (rc != ERROR_SUCCESS)
        return Failure{"Cannot read " + FullKeyPath(subKey) + ": " + Win32Message(rc)};
    const std::vector<std::string> children = SubkeyNames(key, &rc);
    if (rc != ERROR_SUCCESS)
        return Failure{"Cannot read " + FullKeyPath(subKey) + ": " + Win32Message(rc)};
    *text += *section + "\n";
    for (const RegValue& value : values) {
        const auto line = FormatValueLine(value, &error);
        if (!line) return Failure{"Cannot export " + FullKeyPath(subKey) + ": " + error + "."};
        *text += *line + "\n";
    }
    *text += "\n";
    for (const std::string& child : children) {
        Key sub;
        rc = RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, sub.Out());
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        if (rc != ERROR_SUCCESS)
            return Failure{"Cannot open " + FullKeyPath(subKey) + "\\" + child + ": " +
                           Win32Message(rc)};
        const std::string childKey = subKey.empty() ? child : subKey + "\\" + child;
        if (auto failure = ExportTree(sub.Get(), childKey, text)) return failure;
    }
    return std::nullopt;
}

// Writes text to file through a temporary file beside it, so a failed export never leaves
// a half-written file in place of a good one.
std::optional<Failure> WriteFileAtomically(const std::string& file, const std::string& text) {
    std::string temporary = file + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return Failure{"Cannot write " + file + ": " + std::strerror(errno) + "."};
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return Failure{"Cannot write " + file + ": " + std::strerror(saved) + "."};
        }
        written += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; an export is an ordinary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(temporary.c_str(), file.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        return Failure{"Cannot write " + file + ": " + std::strerror(saved) + "."};
    }
    return std::nullopt;
}

std::optional<Failure> Export(const Options& options, std::ostream& out) {
    Key root, key;
    std::string subKey, path;
    if (auto failure = OpenExisting(options.positional[0], &root, &key, &subKey, &path))
        return failure;
    std::string text = std::string(kRegFileHeader) + "\n\n";
    if (auto failure = ExportTree(key.Get(), subKey, &text)) return failure;
    if (auto failure = WriteFileAtomically(options.positional[1], text)) return failure;
    out << kSuccess << "\n";
    return std::nullopt;
}

// Reads a whole file (or pipe) into *bytes. The size is bounded so that a wrong argument
// (a device, a huge file) fails cleanly instead of exhausting memory.
std::optional<Failure> ReadWholeFile(const std::string& file, std::string* bytes) {
    constexpr off_t kMaxRegFileSize = 256L * 1024 * 1024;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Failure{"Cannot read " + file + ": " + std::strerror(errno) + "."};
    struct stat st {};
    std::optional<Failure> failure;
    if (::fstat(fd, &st) != 0) {
        failure = Failure{"Cannot read " + file + ": " + std::strerror(errno) + "."};
    } else if (S_ISDIR(st.st_mode)) {
        failure = Failure{"Cannot read " + file + ": it is a folder."};
    } else if (S_ISREG(st.st_mode) && st.st_size > kMaxRegFileSize) {
        failure = Failure{"Cannot read " + file + ": larger than 256 MB."};
    }
    char buffer[65536];
    while (!failure) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failure = Failure{"Cannot read " + file + ": " + std::strerror(errno) + "."};
        if (n <= 0) break;
        bytes->append(buffer, static_cast<std::size_t>(n));
        if (bytes->size() > static_cast<std::size_t>(kMaxRegFileSize)) {
            failure = Failure{"Cannot read " + file + ": larger than 256 MB."};
        }
    }
    ::close(fd);
    return failure;
}

std::optional<Failure> Import(const Options& options, std::ostream& out) {
    const std::string& file = options.positional[0];
    std::string bytes;
    if (auto failure = ReadWholeFile(file, &bytes)) return failure;
    std::string error;
    const auto operations = ParseRegFile(bytes, &error);
    if (!operations) return Failure{file + ": " + error + "; nothing was imported."};

    Key root;
    if (auto failure = ConnectRoot(KeyName{options.machine, ""}, &root)) return failure;
    Key current;
    std::string currentKey;
    const auto at = [&](const RegOperation& op) {
        return file + ": line " + std::to_string(op.line) + ": ";
    };
    for (const RegOperation& op : *operations) {
        LONG rc = ERROR_SUCCESS;
        if (op.kind == RegOperation::Kind::DeleteKey) {
            current = Key();
            const auto [parentPath, last] = SplitLast(op.subKey);
            Key parent;
            rc = RegOpenKeyExA(root.Get(), parentPath.c_str(), 0, KEY_ALL_ACCESS, parent.Out());
            if (rc == ERROR_SUCCESS) rc = DeleteTree(parent.Get(), last);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
                return Failure{at(op) + "cannot delete " + FullKeyPath(op.subKey) + ": " +
                               Win32Message(rc)};
            }
            continue;
        }
        if (!current.Get() || currentKey != op.subKey) {
            rc = RegCreateKeyExA(root.Get(), op.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, current.Out(), nullptr);
            if (rc != ERROR_SUCCESS) {
                return Failure{at(op) + "cannot create " + FullKeyPath(op.subKey) + ": " +
                               Win32Message(rc)};
            }
            currentKey = op.subKey;
        }
        if (op.kind == RegOperation::Kind::SetValue) {
            rc = RegSetValueExA(current.Get(), op.value.name.c_str(), 0, op.value.type,
                                op.value.data.data(), static_cast<DWORD>(op.value.data.size()));
        } else if (op.kind == RegOperation::Kind::DeleteValue) {
            rc = RegDeleteValueA(current.Get(), op.value.name.c_str());
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        }
        if (rc != ERROR_SUCCESS) {
            return Failure{at(op) + "cannot write " + ValueLabel(op.value.name) + " of " +
                           FullKeyPath(op.subKey) + ": " + Win32Message(rc)};
        }
    }
    out << kSuccess << "\n";
    return std::nullopt;
}

}  // namespace

// ------------------------------------------------------------------ data and Run

std::optional<std::vector<BYTE>> ParseDwordArgument(std::string_view text) {
    std::uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        if (text.empty() || text.size() > 8) return std::nullopt;
        for (char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (!std::isxdigit(u)) return std::nullopt;
            const int digit = std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
            value = value * 16 + static_cast<std::uint64_t>(digit);
        }
    } else {
        if (text.empty() || text.size() > 10) return std::nullopt;
        for (char c : text) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (value > 0xffffffffULL) return std::nullopt;
    }
    std::vector<BYTE> bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<BYTE>((value >> shift) & 0xff));
    return bytes;
}

std::optional<std::vector<BYTE>> ParseBinaryArgument(std::string_view text) {
    std::vector<BYTE> bytes;
    std::string group;
    const auto flush = [&]() {
        if (group.size() % 2) return false;
        for (std::size_t i = 0; i < group.size(); i += 2) {
            bytes.push_back(static_cast<BYTE>(std::stoi(group.substr(i, 2), nullptr, 16)));
        }
        group.clear();
        return true;
    };
    for (char c : text) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!flush()) return std::nullopt;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            group += c;
        } else {
            return std::nullopt;
        }
    }
    if (!flush()) return std::nullopt;
    return bytes;
}

std::string TypeName(DWORD type) {
    static constexpr const char* kNames[] = {"REG_NONE",
                                             "REG_SZ",
                                             "REG_EXPAND_SZ",
                                             "REG_BINARY",
                                             "REG_DWORD",
                                             "REG_DWORD_BIG_ENDIAN",
                                             "REG_LINK",
                                             "REG_MULTI_SZ",
                                             "REG_RESOURCE_LIST",
                                             "REG_FULL_RESOURCE_DESCRIPTOR",
                                             "REG_RESOURCE_REQUIREMENTS_LIST",
                                             "REG_QWORD"};
    if (type < std::size(kNames)) return kNames[type];
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", type);
    return text;
}

std::string FormatQueryData(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::string text(data.begin(), data.end());
        return text.substr(0, text.find('\0'));
    }
    if (type == REG_DWORD && data.size() == 4) {
        const DWORD value =
            data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", value);
        return text;
    }
    std::string hex;
    for (BYTE byte : data) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

namespace {

// Takes "--machine MACHINE" (anywhere) and a leading "\\\\MACHINE" out of args.
std::optional<Failure> TakeMachine(const std::vector<std::string>& args, std::string* machine,
                                   std::vector<std::string>* rest) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--machine" || args[i] == "-machine" || args[i] == "/machine") {
            if (i + 1 >= args.size()) return Syntax("--machine needs a machine name.");
            if (!machine->empty()) return Syntax("the machine is given twice.");
            *machine = args[++i];
            if (machine->empty()) return Syntax("--machine needs a machine name.");
            continue;
        }
        if (i == 0 && args[i].size() > 2 && args[i].compare(0, 2, "\\\\") == 0 &&
            args[i].find('\\', 2) == std::string::npos) {
            *machine = args[i];
            continue;
        }
        rest->push_back(args[i]);
    }
    if (machine->compare(0, 2, "\\\\") == 0) machine->erase(0, 2);
    return std::nullopt;
}

// Makes the command's key name the machine's (a key naming a machine of its own must name
// the same one); import gets the machine for its root.
std::optional<Failure> ApplyMachine(const std::string& machine, Options* options) {
    options->machine = machine;
    if (options->command == "import") return std::nullopt;
    std::string& key = options->positional[0];
    if (key.compare(0, 2, "\\\\") != 0) {
        key = "\\\\" + machine + "\\" + key;
        return std::nullopt;
    }
    std::string error;
    const auto name = ParseKeyName(key, &error);
    if (name && !EqualsNoCase(name->machine, machine)) {
        return Syntax("the key names the machine " + Quoted(name->machine) + " but --machine " +
                      Quoted(machine) + ".");
    }
    return std::nullopt;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << "ERROR: Invalid syntax: no command given. Type \"dornelreg --help\" for usage.\n";
        return 2;
    }
    // "dornelreg --help" and "dornelreg add /?" both ask for the usage.
    const auto isHelp = [](const std::string& arg) {
        return arg == "--help" || arg == "-h" || arg == "/?" || arg == "-?";
    };
    if (isHelp(args[0]) || (args.size() > 1 && isHelp(args[1]))) {
        out << kUsage;
        return 0;
    }
    std::string machine;
    std::vector<std::string> rest;
    std::optional<Failure> failure = TakeMachine(args, &machine, &rest);
    if (failure) {
        err << "ERROR: " << failure->message << "\n";
        return failure->usage ? 2 : 1;
    }
    if (rest.empty()) {
        err << "ERROR: Invalid syntax: no command given. Type \"dornelreg --help\" for usage.\n";
        return 2;
    }
    Options options;
    failure = ParseOptions(rest, &options);
    if (!failure && !machine.empty()) failure = ApplyMachine(machine, &options);
    if (!failure) {
        std::string rootProblem;
        if (!platform::paths::CheckDefaultRoot(&rootProblem)) failure = Failure{rootProblem};
    }
    if (!failure) {
        if (options.command == "query") {
            failure = Query(options, out);
        } else if (options.command == "add") {
            failure = Add(options, out);
        } else if (options.command == "delete") {
            failure = Delete(options, out);
        } else if (options.command == "export") {
            failure = Export(options, out);
        } else {
            failure = Import(options, out);
        }
    }
    if (failure) {
        out.flush();
        err << "ERROR: " << failure->message << "\n";
        return failure->usage ? 2 : 1;
    }
    return 0;
}

}  // namespace dornelreg
