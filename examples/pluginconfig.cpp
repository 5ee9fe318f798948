// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "examples/pluginconfig.h"

#include <vector>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"

namespace examples {

std::string ReadPathSetting(const char* subKey, const char* valueName) {
    const std::string keyName = std::string(kPluginSettingsKey) + "\\" + subKey;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::string text;
    if (RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        std::vector<BYTE> data(size);
        if (RegQueryValueExA(key, valueName, nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            // The stored bytes may or may not end with a NUL.
            std::size_t length = 0;
            while (length < size && data[length] != 0) ++length;
            text.assign(reinterpret_cast<const char*>(data.data()), length);
        }
    }
    RegCloseKey(key);
    if (text.empty()) return {};
    return platform::paths::NativePath(text);
}

}  // namespace examples
