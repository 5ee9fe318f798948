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

}  // namespace platform::base
