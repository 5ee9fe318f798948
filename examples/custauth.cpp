// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// custauth.so: an authentication plug-in that checks box users against a text file of
// crypt(3) password hashes.
//
// The file is named by the REG_SZ value "UserFile" of
// HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\CustAuth (a system path such as
// "C:\dornel-private\boxusers" or a native one). One user a line:
//   user:hash[:qualified name]
// where hash is any crypt(3) hash ("$y$...", "$6$...") and the optional qualified name is
// the name returned to the server for the accounting back-end (the typed name when
// absent). Blank lines and lines starting with "#" are ignored; a hash starting with "!"
// or "*" locks the user. Names compare exactly.
//
// Exports InitAuth, AuthUser and EndAuth. The plug-in keeps no state: every call reads the
// settings and the file, so several box threads may call it at once.

#include <cstddef>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>

#include <crypt.h>

#include "examples/pluginconfig.h"

#define DORNEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kSettingsSubKey = "CustAuth";
constexpr const char* kUserFileValue = "UserFile";

// One line of the user file.
struct UserEntry {
    std::string hash;           // crypt(3) hash
    std::string qualifiedName;  // name for the accounting back-end; may be empty
};

// Finds the user's line; false when the file cannot be read or lacks the user.
bool FindUser(const std::string& path, const char* user, UserEntry& entry) {
    std::ifstream file(path);
    if (!file) return false;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t first = line.find(':');
        if (first == std::string::npos || line.compare(0, first, user) != 0 ||
            first != std::strlen(user)) {
            continue;
        }
        const std::size_t second = line.find(':', first + 1);
        entry.hash = line.substr(
            first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        entry.qualifiedName = second == std::string::npos ? std::string() : line.substr(second + 1);
        return true;
    }
    return false;
}

// Compares two texts in time that depends only on their lengths.
bool SameText(const char* a, const std::string& b) {
    const std::size_t length = std::strlen(a);
    if (length != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

// True when password hashes to the stored hash.
bool PasswordMatches(const char* password, const std::string& hash) {
    if (hash.empty() || hash[0] == '!' || hash[0] == '*') return false;
    // crypt_data is large (about 32 KiB): on the heap, one per call.
    std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
    if (!data) return false;
    const char* result = crypt_r(password, hash.c_str(), data.get());
    // A failed crypt returns null or a text starting with "*".
    if (result == nullptr || result[0] == '*') return false;
    return SameText(result, hash);
}

}  // namespace

// Ready when the user file is configured and can be read.
DORNEL_EXPORT int InitAuth() {
    const std::string path = examples::ReadPathSetting(kSettingsSubKey, kUserFileValue);
    if (path.empty()) return 0;
    std::ifstream file(path);
    return file ? 1 : 0;
}

// Non-zero when user and password match a line of the user file; then writes the line's
// qualified name (or the typed name) into output, NUL-terminated within size bytes. master
// and data are not used by this plug-in.
DORNEL_EXPORT int AuthUser(const char* user, const char* password, const char* master,
                           const char* data, char* output, int size) {
    if (user == nullptr || *user == '\0' || password == nullptr || output == nullptr || size <= 0) {
        return 0;
    }
    const std::string path = examples::ReadPathSetting(kSettingsSubKey, kUserFileValue);
    if (path.empty()) return 0;
    UserEntry entry;
    if (!FindUser(path, user, entry) || !PasswordMatches(password, entry.hash)) return 0;
    const std::string name = entry.qualifiedName.empty() ? std::string(user) : entry.qualifiedName;
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    const std::size_t length = name.size() < room ? name.size() : room;
    std::memcpy(output, name.data(), length);
    output[length] = '\0';
    return 1;
}

// Nothing to release: the plug-in holds no state.
DORNEL_EXPORT void EndAuth() {}
