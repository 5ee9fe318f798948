// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// dornelreg, the registry command line: query, add, delete, export and import on the
// registry layer, with the switches administrators know (KEY /v NAME /t TYPE /d DATA /f).
// The executable is a thin shell over Run, so tests can also call it in-process.
//
// Nothing here prompts: where an interactive tool would ask before overwriting or deleting,
// dornelreg refuses unless /f is given, so a script never blocks and never loses data by
// accident.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/wintypes.h"

namespace dornelreg {

// Runs one command (args without the program name). Results go to out; every failure is
// one "ERROR: ..." line on err. Returns the exit status: 0 on success, 1 on a failure, 2 on a usage
// error.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The /d text of a REG_DWORD: decimal, or 0x and one to eight hex digits, at most
// 4294967295; as 4 little-endian bytes. Nothing for anything else.
std::optional<std::vector<BYTE>> ParseDwordArgument(std::string_view text);

// The /d text of a REG_BINARY: hex digit pairs, optionally separated by commas or spaces
// ("01000000", "01,00,00,00", "0100 0000"). Nothing for an odd group or a non-hex digit.
std::optional<std::vector<BYTE>> ParseBinaryArgument(std::string_view text);

// The name query prints for a type: "REG_SZ" ... "REG_QWORD", or "0x..." for other numbers.
std::string TypeName(DWORD type);

// The data column of query: strings up to their first NUL, a 4-byte REG_DWORD as 0x hex,
// everything else as upper-case hex digits.
std::string FormatQueryData(DWORD type, const std::vector<BYTE>& data);

}  // namespace dornelreg
