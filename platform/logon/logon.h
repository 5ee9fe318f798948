// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Logon of an account with its password, over PAM, and the token that describes the
// account so the process layer can run a child as it.
//
// The PAM service is "dornelman" (its file, kPamServiceFile, is installed with the
// service). An interactive logon is authentication plus account management, so a valid
// password for an account that may not log on (expired, locked, refused by the site's
// account rules) is declined; a batch logon is authentication only.
//
// Domains: PAM has no domain. A local domain ("\\.", "", ".", or this host's name, without
// case) logs on the plain user name. Any other domain logs on the plain user name as well:
// which directory holds the account (local files, LDAP, a realm through sssd or winbind)
// is the site's PAM and name-service configuration, not ours.
//
// A token holds the account's user id, primary group and supplementary groups, read with
// getpwnam and getgrouplist at logon. An account that PAM accepts but the name service
// does not know (a module with a user list of its own) is logged on without an identity:
// the credentials are valid, but no child can be run as it. Released with CloseLogonToken.
//
// Safe from any thread; each call runs its own PAM transaction. Failures set the thread's
// last error (GetLastError) to a Win32 code.

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/base/wintypes.h"

// Logon types and providers of LogonUserA.
inline constexpr DWORD LOGON32_LOGON_INTERACTIVE = 2;
inline constexpr DWORD LOGON32_LOGON_BATCH = 4;
inline constexpr DWORD LOGON32_PROVIDER_DEFAULT = 0;

// Further Win32 codes a logon may report (the base codes are in wintypes.h).
inline constexpr LONG ERROR_ACCOUNT_DISABLED = 1331;
inline constexpr LONG ERROR_PASSWORD_EXPIRED = 1330;
inline constexpr LONG ERROR_ACCOUNT_EXPIRED = 1793;
inline constexpr LONG ERROR_INTERNAL_ERROR = 1359;
inline constexpr LONG ERROR_NO_SUCH_USER = 1317;

// The PAM service name, and where the service install puts its file.
inline constexpr const char* kPamServiceName = "dornelman";
inline constexpr const char* kPamServiceFile = "/etc/pam.d/dornelman";

// Logs the account on. logonType is LOGON32_LOGON_INTERACTIVE or LOGON32_LOGON_BATCH;
// provider must be LOGON32_PROVIDER_DEFAULT. On success stores a new token in *token and
// returns non-zero. On failure returns 0, leaves *token null and sets the last error:
// ERROR_LOGON_FAILURE (wrong password, unknown user), ERROR_ACCOUNT_RESTRICTION (account
// management refused the account), ERROR_ACCOUNT_EXPIRED, ERROR_PASSWORD_EXPIRED,
// ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY or ERROR_INTERNAL_ERROR.
BOOL LogonUserA(const char* user, const char* domain, const char* password, DWORD logonType,
                DWORD provider, HANDLE* token);

// Releases a token from LogonUserA; a null token is ignored. Returns non-zero, or 0 with
// ERROR_INVALID_HANDLE for something that is not a token.
BOOL CloseLogonToken(HANDLE token);

namespace platform::logon {

// The account a token stands for.
struct Account {
    std::string name;           // the name PAM logged on
    bool resolved = false;      // the name service knows it; the ids below are valid
    uid_t uid = 0;              // user id
    gid_t gid = 0;              // primary group
    std::vector<gid_t> groups;  // supplementary groups, the primary one included
};

// The account of a token from LogonUserA, or null for something that is not a token. The
// pointer stays valid until the token is closed.
const Account* TokenAccount(HANDLE token);

// The account of this process (real ids and current supplementary groups).
Account CurrentAccount();

// True for a domain that names this machine ("\\.", "", ".", null, or the host name).
bool IsLocalDomain(const char* domain);

// The user name handed to PAM for user and domain (see the header comment).
std::string LogonName(const char* user, const char* domain);

// Overwrites size bytes at data (a password, or a buffer that held one) with zeros in a way
// the compiler keeps even when the buffer is never read again. Null or 0 does nothing.
void ClearSecret(void* data, std::size_t size);

// Clears a buffer that holds a password when it goes out of scope, on every path out.
class SecretGuard {
  public:
    SecretGuard(void* data, std::size_t size) : data_(data), size_(size) {}
    ~SecretGuard() { ClearSecret(data_, size_); }
    SecretGuard(const SecretGuard&) = delete;
    SecretGuard& operator=(const SecretGuard&) = delete;

  private:
    void* data_;
    std::size_t size_;
};

}  // namespace platform::logon
