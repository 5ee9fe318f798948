// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Key names as administrators type them, and the .reg text format, without the registry:
// turning values into .reg lines and a .reg text into the operations it asks for. The
// registry side (reading a tree, applying operations) is in regtool.
//
// A .reg file starts with "Windows Registry Editor Version 5.00" (or "REGEDIT4"), then
// sections "[HKEY_LOCAL_MACHINE\...]" followed by their values:
//   "Name"="text"          REG_SZ of exactly text + one NUL (\\ and \" escaped)
//   "Name"=dword:0000000f  REG_DWORD of exactly 4 bytes, little-endian
//   "Name"=hex:0a,0b       REG_BINARY
//   "Name"=hex(2):...      REG_EXPAND_SZ; hex(N) any type N (N in hex), bytes as stored
//   @=...                  the key's default value
//   "Name"=-               deletes the value;  [-HKEY_LOCAL_MACHINE\...] deletes the key
// Hex lists may continue on the next line after a trailing "\". Lines starting with ";"
// are comments. Writers emit the shortest form that gives back the stored bytes exactly:
// a REG_SZ that is not "text + one NUL" of printable text becomes hex(1), a REG_DWORD that
// is not 4 bytes hex(4).
//
// Pure functions; safe from any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/wintypes.h"

namespace dornelreg {

inline constexpr const char* kRegFileHeader = "Windows Registry Editor Version 5.00";
inline constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";

// A key as given on the command line or in a section header.
struct KeyName {
    std::string machine;  // "" for the local registry, else the name after a leading "\\"
    std::string subKey;   // path below HKEY_LOCAL_MACHINE, "" for the root itself
};

// Parses "HKLM\A\B", "HKEY_LOCAL_MACHINE\A\B" or "\\machine\HKLM\A\B" (root without case,
// trailing backslashes dropped). On failure returns nothing and sets *error to the reason.
std::optional<KeyName> ParseKeyName(std::string_view text, std::string* error);

// "HKEY_LOCAL_MACHINE" or "HKEY_LOCAL_MACHINE\" + subKey.
std::string FullKeyPath(const std::string& subKey);

// One value with its stored bytes.
struct RegValue {
    std::string name;  // "" for the default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

// The .reg text of one value, possibly several physical lines joined by "\" continuations,
// without the final newline. Fails (nothing, *error set) for a name a .reg line cannot hold
// (carriage return or line feed in it).
std::optional<std::string> FormatValueLine(const RegValue& value, std::string* error);

// The section line "[HKEY_LOCAL_MACHINE\...]" of a key; fails as FormatValueLine for a key
// name holding a line break.
std::optional<std::string> FormatSectionLine(const std::string& subKey, std::string* error);

// What an imported file asks for, in file order.
struct RegOperation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    std::string subKey;  // key below HKEY_LOCAL_MACHINE
    RegValue value;      // SetValue: the value; DeleteValue: its name
    int line = 0;        // physical line of the file where it starts
};

// Parses a whole .reg file (its raw bytes: UTF-8 with or without BOM, or UTF-16LE with its
// BOM; LF or CRLF). Returns every operation, or nothing with *error = "line N: reason" when
// any line is malformed, so a bad file changes nothing.
std::optional<std::vector<RegOperation>> ParseRegFile(std::string_view bytes, std::string* error);

// Parses the byte list of a hex: value: items of one or two hex digits separated by commas,
// spaces allowed around them, one trailing comma tolerated. Empty is zero bytes. Fails on an
// empty or longer item or a non-hex character.
std::optional<std::vector<BYTE>> ParseHexList(std::string_view text);

}  // namespace dornelreg
