// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The NetWare client calls the plug-in makes, on an LDAP directory (libldap).
//
// A directory tree is an LDAP server: the tree's name maps to a server URI through the
// registry key HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\NDS, one REG_SZ value
// per tree, named by the tree (names compare without case), such as "ldap://127.0.0.1:3890"
// or "ldaps://dir.example.org". The value named "" is the server of a context with no tree
// set. Optional values "<tree>.CACert" (REG_SZ: a CA certificate file, a system or native
// path) and "<tree>.StartTLS" (REG_DWORD 1: StartTLS on an ldap:// URI) secure the link.
//
// Names are NetWare names: dotted components, right to left from the root. A typeless name
// gets o= for its last component, ou= for each middle one and cn= for the first; a component
// written "type=value" keeps its type. A name without a leading dot is relative to the
// context's name context (none set: the name is complete); a leading dot makes it absolute.
// "\" makes the next character part of the component ("a\.b" is one component "a.b"). Every
// value is escaped for the DN (RFC 4514), so no name can change the DN's structure.
//
// NWDSLogin is one simple bind that proves the password: an empty password is refused before
// anything is sent (an LDAP bind with an empty password is an unauthenticated bind that a
// server may answer with success). The bound connection is the login; NWDSLogout unbinds.
// Connecting takes at most kConnectTimeoutSeconds and every operation at most
// kOperationTimeoutSeconds, so an unreachable directory ends a call in bounded time.
//
// Every call returns 0 for success and a negative NetWare-style code otherwise (below).
// Context handles may be created, used and freed on any thread; one handle is used by one
// thread at a time. Handles are never reused, so a freed or unknown handle fails cleanly.

#include <cstdint>
#include <string>

using NWDSCCODE = int;
using NWDSContextHandle = std::uint32_t;

// The locale record NWLlocaleconv fills.
struct LCONV {
    int country_id;  // 1: no country rules apply
    int code_page;   // 65001: names travel as UTF-8, as LDAP has them
};

// Context keys of NWDSSetContext.
inline constexpr int DCK_NAME_CONTEXT = 3;  // value: the name context (a NetWare name)
inline constexpr int DCK_TREE_NAME = 11;    // value: the tree name

// Result codes.
inline constexpr NWDSCCODE NW_SUCCESS = 0;
// NWDSLogin: the password was right but the directory says it has expired or must be
// changed (a grace login, or a reset by an administrator). The connection is bound all the
// same; the caller logs out.
inline constexpr NWDSCCODE ERR_PASSWORD_EXPIRED = -223;
inline constexpr NWDSCCODE ERR_NOT_ENOUGH_MEMORY = -301;
inline constexpr NWDSCCODE ERR_BAD_KEY = -302;                // NWDSSetContext: unknown key
inline constexpr NWDSCCODE ERR_BAD_CONTEXT = -303;            // unknown or freed handle
inline constexpr NWDSCCODE ERR_NULL_POINTER = -331;           // a required pointer is null
inline constexpr NWDSCCODE ERR_INVALID_NAME = -342;           // a name or context is malformed
inline constexpr NWDSCCODE ERR_UNICODE_TABLES = -349;         // a code page other than 65001
inline constexpr NWDSCCODE ERR_LIBRARY_VERSION = -350;        // libldap older than needed
inline constexpr NWDSCCODE ERR_NO_SUCH_ENTRY = -601;          // the object is not in the tree
inline constexpr NWDSCCODE ERR_TRANSPORT_FAILURE = -625;      // server unreachable or unknown
inline constexpr NWDSCCODE ERR_DIRECTORY_REFUSED = -641;      // any other refusal
inline constexpr NWDSCCODE ERR_FAILED_AUTHENTICATION = -669;  // wrong or empty password

inline constexpr int kConnectTimeoutSeconds = 5;
inline constexpr int kOperationTimeoutSeconds = 10;
// The longest name, name context or tree name accepted, in bytes.
inline constexpr std::size_t kMaxNameLength = 256;

// Initialises the client call library: checks that libldap offers the API this layer uses.
// Both arguments are reserved (null).
NWDSCCODE NWCallsInit(void* reserved1, void* reserved2);

// Fills the locale record (country 1, code page 65001).
NWDSCCODE NWLlocaleconv(LCONV* lconv);

// Takes a reference on the name tables for the country and code page; only code page 65001
// is served. Each successful call is matched by one NWFreeUnicodeTables.
NWDSCCODE NWInitUnicodeTables(int countryCode, int codePage);
NWDSCCODE NWFreeUnicodeTables();

// Creates a context handle with no tree and no name context.
NWDSCCODE NWDSCreateContextHandle(NWDSContextHandle* context);

// Sets the tree name (DCK_TREE_NAME) or the name context (DCK_NAME_CONTEXT, "" or "[Root]"
// for none) of a context; value is a NUL-terminated text. A name context is checked for form
// here; a tree is looked up at login.
NWDSCCODE NWDSSetContext(NWDSContextHandle context, int key, const void* value);

// Logs in to the context's tree as objectName (see the name rules above) with password:
// a simple bind. optionsFlag and validityPeriod are reserved (0). A login on a context that
// is already logged in replaces it.
NWDSCCODE NWDSLogin(NWDSContextHandle context, int optionsFlag, const char* objectName,
                    const char* password, int validityPeriod);

// Ends the context's login (an unbind); 0 also when it had none.
NWDSCCODE NWDSLogout(NWDSContextHandle context);

// Frees a context handle, ending its login.
NWDSCCODE NWDSFreeContext(NWDSContextHandle context);

namespace platform::netware {

// The DN of objectName in the name context (both NetWare names, rules above); false with
// the code in *error (ERR_INVALID_NAME) when either is malformed or the result is empty.
bool NameToDn(const std::string& objectName, const std::string& nameContext, std::string& dn,
              NWDSCCODE* error = nullptr);

// One attribute value escaped for a DN (RFC 4514).
std::string EscapeDnValue(const std::string& value);

// The number of context handles created and not yet freed, in this process.
std::size_t OpenContextCount();

// Why this thread's last failing call failed, in words (the LDAP server's text included),
// or "" after a success.
std::string LastErrorText();

}  // namespace platform::netware
