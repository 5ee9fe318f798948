// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Test vocabulary for the registry: a fresh DORNEL_ROOT per test, and short helpers to
// create keys, write and read values as byte vectors, and list names in enumeration order.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"

namespace registry_test {

using Bytes = std::vector<BYTE>;

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The bytes of text with its terminating NUL, as a REG_SZ is normally stored.
inline Bytes WithNul(const std::string& text) {
    Bytes bytes = ToBytes(text);
    bytes.push_back(0);
    return bytes;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dornel-registry-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ::setenv("DORNEL_ROOT", root_.c_str(), 1);
    }

    void TearDown() override {
        for (HKEY key : opened_) RegCloseKey(key);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        ::unsetenv("DORNEL_ROOT");
    }

    // Creates (or opens) HKLM\path; the handle is closed at the end of the test.
    HKEY Create(const std::string& path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        if (key) opened_.push_back(key);
        return key;
    }

    // Opens HKLM\path; the result code, with the handle kept for closing in *key.
    LONG Open(const std::string& path, HKEY* key) {
        const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key);
        if (rc == ERROR_SUCCESS) opened_.push_back(*key);
        return rc;
    }

    static LONG Set(HKEY key, const char* name, DWORD type, const Bytes& data) {
        return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }

    // Reads a value through the two-call pattern (size first, then data).
    static LONG Get(HKEY key, const char* name, DWORD* type, Bytes* data) {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        data->assign(size, 0xEE);
        rc = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        data->resize(size);
        return rc;
    }

    static std::vector<std::string> SubkeyNames(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            const LONG rc =
                RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) {
                EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
                break;
            }
            names.emplace_back(name, length);
        }
        return names;
    }

    static std::vector<std::string> ValueNames(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            const LONG rc =
                RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) {
                EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
                break;
            }
            names.emplace_back(name, length);
        }
        return names;
    }

    std::string root_;
    std::vector<HKEY> opened_;
};

}  // namespace registry_test
