// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Reading a decimal number out of a tool's output, as the C runtime's atof would but without
// its locale and without its silent infinities.
#pragma once

namespace platform::base {

// Reads the decimal number at text: leading white space, an optional sign, digits with an
// optional decimal point and an optional exponent; it stops at the first character that
// cannot continue the number. No number at all reads as 0.0. A number too large for a
// double is no usable value: false, and value is left as it was.
bool ReadDecimal(const char* text, double& value);

// The accounting tool's answers (account.exe), as the server and the NetWare plug-in read
// them. viewbal prints "... has a balance of N" (older versions "Current balance is N"),
// deposit "New balance is N".
inline constexpr const char* kBalanceMarker = "has a balance of ";
inline constexpr const char* kCurrentBalanceMarker = "Current balance is ";
inline constexpr const char* kNewBalanceMarker = "New balance is ";

// The number after the first occurrence of marker in output; false when the marker is
// absent or the number unusable.
bool NumberAfter(const char* output, const char* marker, double& value);
// viewbal's balance: after kBalanceMarker when the output has it, else after
// kCurrentBalanceMarker.
bool BalanceInToolOutput(const char* output, double& value);
// deposit's new balance.
bool NewBalanceInToolOutput(const char* output, double& value);

}  // namespace platform::base
