// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/base/decimal.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace platform::base {

bool ReadDecimal(const char* text, double& value) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') ++p;
    }
    if (p == digits || (p == digits + 1 && *digits == '.')) {
        value = 0.0;
        return true;
    }
    if (*p == 'e' || *p == 'E') {
        const char* exponent = p + 1;
        if (*exponent == '+' || *exponent == '-') ++exponent;
        if (*exponent >= '0' && *exponent <= '9') {
            p = exponent;
            while (*p >= '0' && *p <= '9') ++p;
        }
    }
    // from_chars takes no leading "+", and reads no locale.
    if (*start == '+') ++start;
    double parsed = 0.0;
    const auto [end, error] = std::from_chars(start, p, parsed);
    if (error != std::errc() || end != p || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool NumberAfter(const char* output, const char* marker, double& value) {
    const char* found = std::strstr(output, marker);
    return found != nullptr && ReadDecimal(found + std::strlen(marker), value);
}

bool BalanceInToolOutput(const char* output, double& value) {
    if (std::strstr(output, kBalanceMarker) != nullptr) {
        return NumberAfter(output, kBalanceMarker, value);
    }
    return NumberAfter(output, kCurrentBalanceMarker, value);
}

bool NewBalanceInToolOutput(const char* output, double& value) {
    return NumberAfter(output, kNewBalanceMarker, value);
}

}  // namespace platform::base
