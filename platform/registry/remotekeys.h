// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Internal to the registry layer: keys of another machine's registry. RegConnectRegistryA
// with another machine's name opens a connection (platform/remote) to "dornelreg --serve"
// there; each key opened under it is a number on the serving side, and each Reg* call on it
// is one request. The calls here take the arguments the Reg* calls have already checked and
// return what the serving side's own registry layer returned.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace platform::remote {
class Connection;
}

namespace platform::registry::detail {

// Operations of the registry conversation (first number of a request).
enum class RegOp : std::uint32_t {
    Open = 1,         // key, subKey                  -> rc, key
    Create = 2,       // key, subKey                  -> rc, key, disposition
    Close = 3,        // key                          -> rc
    Get = 4,          // key, name                    -> rc, type, data
    Set = 5,          // key, name, type, data        -> rc
    DeleteValue = 6,  // key, name                    -> rc
    DeleteKey = 7,    // key, subKey                  -> rc
    EnumKey = 8,      // key, index                   -> rc, name
    EnumValue = 9,    // key, index                   -> rc, name, type, data
};

// The remote part of a handle: the connection and the key's number on the serving side
// (0 is the serving side's HKEY_LOCAL_MACHINE).
struct RemoteKey {
    std::shared_ptr<platform::remote::Connection> connection;
    std::uint32_t id = 0;
};

// True when key is an open handle of a remote connection.
bool IsRemote(HKEY key);

LONG RemoteConnect(const char* machineName, HKEY* result);
LONG RemoteOpen(HKEY key, const char* subKey, HKEY* result);
LONG RemoteCreate(HKEY key, const char* subKey, HKEY* result, DWORD* disposition);
LONG RemoteClose(HKEY key);
LONG RemoteGet(HKEY key, const char* name, DWORD* type, std::vector<BYTE>* data);
LONG RemoteSet(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size);
LONG RemoteDeleteValue(HKEY key, const char* name);
LONG RemoteDeleteKey(HKEY key, const char* subKey);
LONG RemoteEnumKey(HKEY key, DWORD index, std::string* name);
LONG RemoteEnumValue(HKEY key, DWORD index, std::string* name, DWORD* type,
                     std::vector<BYTE>* data);

// Hands a value to a caller's buffers with the size rules of RegQueryValueExA (registry.cpp).
LONG CopyOut(DWORD storedType, const std::vector<BYTE>& stored, DWORD* type, BYTE* data,
             DWORD* cbData);

}  // namespace platform::registry::detail
