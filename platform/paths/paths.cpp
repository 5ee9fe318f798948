// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/paths/paths.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace platform::paths {

std::string Root() {
    const char* root = std::getenv("DORNEL_ROOT");
    std::string result = (root && *root) ? root : "/var/lib/dornel";
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

std::string UnderRoot(const std::string& relative) { return Root() + "/" + relative; }

std::string NativePath(const std::string& systemPath) {
    std::string rest = systemPath;
    if (!rest.empty() && rest[0] == '/') {
        // Already native; a system suffix joined onto it ("\dornel.log") still uses "\".
        for (char& c : rest) {
            if (c == '\\') c = '/';
        }
        return rest;
    }
    std::string drive;
    if (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':') {
        drive.assign(1, static_cast<char>(std::tolower(static_cast<unsigned char>(rest[0]))));
        rest.erase(0, 2);
    } else if (!rest.empty() && rest[0] == '\\') {
        drive = "c";
    }
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    if (drive.empty()) return rest;
    // "C:" alone and "C:\" both name the drive's top folder.
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    std::string result = Root() + "/" + drive;
    if (!rest.empty()) result += "/" + rest;
    return result;
}

bool MakeDirectories(const std::string& nativePath, unsigned mode) {
    if (nativePath.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = nativePath.find('/', pos + 1);
        partial = nativePath.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(nativePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeRootFolder() {
    constexpr mode_t kRootMode = 0750;
    const std::string root = Root();
    struct stat st {};
    if (::stat(root.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::size_t cut = root.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !MakeDirectories(root.substr(0, cut))) return false;
    if (::mkdir(root.c_str(), kRootMode) == 0) {
        // The umask may have taken bits away; the root gets exactly its mode.
        ::chmod(root.c_str(), kRootMode);
    } else if (errno != EEXIST) {
        return false;
    }
    return ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CheckDefaultRoot(std::string* problem) {
    const char* set = std::getenv("DORNEL_ROOT");
    if (set && *set) return true;
    const std::string root = Root();
    struct stat st {};
    bool usable;
    if (::stat(root.c_str(), &st) == 0) {
        usable = S_ISDIR(st.st_mode) && ::access(root.c_str(), W_OK | X_OK) == 0;
    } else {
        // The nearest folder that exists decides whether the root could be made.
        std::string parent = root;
        usable = false;
        while (!parent.empty()) {
            const std::size_t cut = parent.find_last_of('/');
            parent = cut == std::string::npos || cut == 0 ? "/" : parent.substr(0, cut);
            if (::stat(parent.c_str(), &st) == 0) {
                usable = S_ISDIR(st.st_mode) && ::access(parent.c_str(), W_OK | X_OK) == 0;
                break;
            }
            if (parent == "/") break;
        }
    }
    if (usable) return true;
    if (problem) {
        *problem = "DORNEL_ROOT is not set, and this user cannot write the default root " + root +
                   ": run as root (the service's account), or set DORNEL_ROOT to the root "
                   "to use";
    }
    return false;
}

}  // namespace platform::paths

DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) {
    if (!longPath) return 0;
    const std::size_t length = std::strlen(longPath);
    if (!shortPath || size < length + 1) return static_cast<DWORD>(length + 1);
    std::memcpy(shortPath, longPath, length + 1);
    return static_cast<DWORD>(length);
}
