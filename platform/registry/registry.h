// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The registry: a hierarchy of keys holding typed values, in one SQLite database at
// <root>/registry.db (platform/paths). The surface is the Win32 calls the system makes.
//
// Semantics callers rely on:
// - key and value names compare without regard to case and keep the spelling they were
//   created with; subkeys enumerate in name order without case;
// - a value keeps its type and its exact stored bytes, so a REG_SZ written without its
//   terminating NUL reads back as exactly its characters;
// - a query into a buffer that is too small fails with ERROR_MORE_DATA, stores the size
//   needed in *cbData and copies nothing; a null data pointer asks only for type and size;
//   a REG_SZ or REG_EXPAND_SZ stored without its NUL gets one after its bytes when the
//   buffer has room, not counted in *cbData;
// - the type of a value is never checked on a query: a 4-byte REG_DWORD reads like a
//   4-byte REG_BINARY;
// - deleting a key that has subkeys fails (ERROR_KEY_HAS_CHILDREN);
// - every write is one transaction: a process killed in the middle leaves the database as
//   before or after that write; several processes may read and write at once.
//
// Handles are opaque; each must be closed with RegCloseKey. A handle is used by one thread
// at a time; different handles may be used from different threads at once. A handle whose
// key was deleted (by this or another process) stays safe to use and close: calls on it fail
// with ERROR_KEY_DELETED. A closed or unknown handle, or one opened before DORNEL_ROOT
// changed, fails with ERROR_INVALID_HANDLE.

#include <cstddef>
#include <cstdint>

#include "platform/base/wintypes.h"
#include "platform/remote/remote.h"

struct RegistryKey;
using HKEY = RegistryKey*;
using REGSAM = DWORD;

// Registry failures beyond the common Win32 codes of wintypes.h: the database cannot be read
// or written (I/O error, still locked by another process after the busy time-out), the
// database file is damaged, or the handle's key has been deleted.
inline constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

// Predefined root. Only HKEY_LOCAL_MACHINE is stored.
extern const HKEY HKEY_LOCAL_MACHINE;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// Access rights (accepted and not enforced: the database file's mode is the access check).
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Dispositions of RegCreateKeyExA.
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// Opens an existing key below hKey ("A\B\C"; an empty or null subKey reopens hKey).
// ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND when the key does not exist.
LONG RegOpenKeyExA(HKEY hKey, const char* subKey, DWORD options, REGSAM samDesired, HKEY* result);

// Opens a key, creating it and any missing parents. *disposition (may be null) tells which.
LONG RegCreateKeyExA(HKEY hKey, const char* subKey, DWORD reserved, char* className, DWORD options,
                     REGSAM samDesired, void* securityAttributes, HKEY* result, DWORD* disposition);

// Closes a handle from RegOpenKeyExA, RegCreateKeyExA or RegConnectRegistryA.
LONG RegCloseKey(HKEY hKey);

// Reads a value (null or "" names the key's default value). See the header comment.
LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);

// Stores a value with exactly cbData bytes; replaces one of the same name (without case).
LONG RegSetValueExA(HKEY hKey, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cbData);

// Deletes one value; ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegDeleteValueA(HKEY hKey, const char* valueName);

// Deletes a key below hKey that has no subkeys (its values go with it).
// ERROR_FILE_NOT_FOUND, or ERROR_KEY_HAS_CHILDREN.
LONG RegDeleteKeyA(HKEY hKey, const char* subKey);

// The index-th subkey name in name order without case. *cchName is the buffer size in
// characters on entry and the name length on success; ERROR_MORE_DATA when it does not
// fit, ERROR_NO_MORE_ITEMS past the last. className and lastWriteTime may be null.
LONG RegEnumKeyExA(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* reserved,
                   char* className, DWORD* cchClassName, void* lastWriteTime);

// The index-th value (name order without case), with its name, type and data as for
// RegQueryValueExA. ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumValueA(HKEY hKey, DWORD index, char* valueName, DWORD* cchValueName, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cbData);

// A handle on a machine's registry root. machineName null, "", or this host's own name
// (with or without leading "\\", without case) is the local registry. Any other name
// ([\\][USER@]HOST[:PORT]) connects to that machine over ssh (platform/remote/remote.h)
// and every call on keys opened under the handle is carried out there, with the results
// and error codes of that machine's registry layer. Closing the handle ends the connection.
// A connection that cannot be made fails with ERROR_BAD_NETPATH (or ERROR_INVALID_PARAMETER
// for a malformed name); calls on a connection that broke later fail with
// ERROR_NETNAME_DELETED. platform::remote::LastConnectionError() tells why.
LONG RegConnectRegistryA(const char* machineName, HKEY hKey, HKEY* result);

// Not a Win32 call: a number that moves whenever the registry's content may have changed, so
// a reader can keep what it read and read again only after a change. It changes after every
// write committed by any process on the same database (this one, dornelreg, the applet) and
// when the database itself changes (DORNEL_ROOT moved, or after a fork); a rolled-back or
// no-op write may move it too. Two equal non-zero readings mean nothing was written in
// between. Cheap enough for every request: SQLite's data version, read on a connection of its
// own that is kept open. Returns 0 when the database cannot be read (never 0 otherwise).
std::uint64_t RegChangeCounter();

namespace platform::registry {

// Not a Win32 call: the serving side of remote registry connections ("dornelreg --serve").
// Answers requests read from in on out with this machine's registry, as the account that
// runs it (a user who cannot write the database gets ERROR_ACCESS_DENIED for writes, as
// locally), until in ends. Returns the exit status: 0 when the client closed the connection.
int ServeRemote(int in, int out);

}  // namespace platform::registry
