// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Settings of the example plug-ins, read from the registry below
// HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\<plug-in key>.
//
// Read afresh on every call: a plug-in is loaded and unloaded around each request and
// keeps nothing between them. Safe from any thread.

#include <string>

namespace examples {

// The registry key of the plug-ins' settings, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kPluginSettingsKey = "SOFTWARE\\Orvane Technology\\ZuvexBox";

// The text of a REG_SZ or REG_EXPAND_SZ value below kPluginSettingsKey\subKey, mapped to a
// native path (platform::paths::NativePath). "" when the key or value is missing, empty,
// or not text.
std::string ReadPathSetting(const char* subKey, const char* valueName);

}  // namespace examples
