// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CStringEx: the server's string object, a std::string with the few operations the
// configuration code uses.

#include <cstring>
#include <string>

class CStringEx {
public:
    CStringEx() = default;
    explicit CStringEx(const char* text) : text_(text ? text : "") {}
    CStringEx& operator=(const char* text) {
        text_ = text ? text : "";
        return *this;
    }
    const char* c_str() const { return text_.c_str(); }
    std::size_t GetLength() const { return text_.size(); }
    bool IsEmpty() const { return text_.empty(); }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};
