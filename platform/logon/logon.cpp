// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/logon/logon.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <security/pam_appl.h>

namespace {

// A token handed out as a HANDLE. The tag tells a token from any other pointer.
struct LogonToken {
    static constexpr unsigned kTag = 0x4C4F474Eu;  // "LOGN"
    unsigned tag = kTag;
    platform::logon::Account account;
};

// The one place a PAM result becomes a Win32 code.
DWORD Win32FromPam(int pamResult) {
    switch (pamResult) {
        case PAM_AUTH_ERR:
        case PAM_USER_UNKNOWN:
        case PAM_CRED_INSUFFICIENT:
        case PAM_AUTHINFO_UNAVAIL:
        case PAM_MAXTRIES:
        case PAM_CONV_ERR:
            return ERROR_LOGON_FAILURE;
        case PAM_PERM_DENIED:
            return ERROR_ACCOUNT_RESTRICTION;
        case PAM_ACCT_EXPIRED:
            return ERROR_ACCOUNT_EXPIRED;
        case PAM_NEW_AUTHTOK_REQD:
        case PAM_AUTHTOK_EXPIRED:
            return ERROR_PASSWORD_EXPIRED;
        case PAM_BUF_ERR:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INTERNAL_ERROR;
    }
}

// Answers every prompt with the password and ignores informational and error messages.
// Some modules (pam_matrix "verbose") send messages with resp == NULL, expecting no answer.
int Conversation(int count, const struct pam_message** messages, struct pam_response** responses,
                 void* appData) {
    if (count <= 0 || messages == nullptr) return PAM_CONV_ERR;
    if (responses == nullptr) return PAM_SUCCESS;
    const char* password = static_cast<const char*>(appData);
    // PAM frees the responses and their texts with free().
    auto* answers =
        static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (answers == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const int style = messages[i]->msg_style;
        if (style != PAM_PROMPT_ECHO_OFF && style != PAM_PROMPT_ECHO_ON) continue;
        answers[i].resp = strdup(password);
        if (answers[i].resp == nullptr) {
            for (int j = 0; j < i; ++j) {
                if (answers[j].resp != nullptr) {
                    platform::logon::ClearSecret(answers[j].resp, std::strlen(answers[j].resp));
                }
                std::free(answers[j].resp);
            }
            std::free(answers);
            return PAM_BUF_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// A PAM transaction, ended with the last result when it goes out of scope.
class PamTransaction {
  public:
    PamTransaction() = default;
    ~PamTransaction() {
        if (handle_ != nullptr) pam_end(handle_, lastResult_);
    }
    PamTransaction(const PamTransaction&) = delete;
    PamTransaction& operator=(const PamTransaction&) = delete;

    // Starts the transaction for the service and user; the conversation answers with password.
    int Start(const char* user, const char* password) {
        conversation_.conv = Conversation;
        conversation_.appdata_ptr = const_cast<char*>(password);
        lastResult_ = pam_start(kPamServiceName, user, &conversation_, &handle_);
        return lastResult_;
    }
    // An empty password is refused whatever the site's modules allow (pam_unix "nullok"
    // would let an account without a password in with any empty answer).
    int Authenticate() {
        return lastResult_ = pam_authenticate(handle_, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    }
    int AccountManagement() { return lastResult_ = pam_acct_mgmt(handle_, PAM_SILENT); }

    // The user name after the modules ran (a module may have mapped it).
    std::string User() const {
        const void* item = nullptr;
        if (pam_get_item(handle_, PAM_USER, &item) != PAM_SUCCESS || item == nullptr) return {};
        return static_cast<const char*>(item);
    }

  private:
    pam_handle_t* handle_ = nullptr;
    pam_conv conversation_{};
    int lastResult_ = PAM_SUCCESS;
};

// Fills the ids and groups of the named account from the name service; false when the
// name service does not know it.
bool LookUpAccount(const std::string& name, platform::logon::Account& account) {
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0) bufferSize = 16384;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(bufferSize)]);
    if (!buffer) return false;
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.get(), static_cast<size_t>(bufferSize), &found) !=
            0 ||
        found == nullptr) {
        return false;
    }
    account.name = name;
    account.uid = entry.pw_uid;
    account.gid = entry.pw_gid;
    int count = 32;
    for (int attempt = 0; attempt < 8; ++attempt) {
        account.groups.assign(static_cast<size_t>(count), 0);
        int wanted = count;
        if (getgrouplist(name.c_str(), entry.pw_gid, account.groups.data(), &wanted) >= 0) {
            account.groups.resize(static_cast<size_t>(wanted));
            return true;
        }
        count = wanted > count ? wanted : count * 2;
    }
    account.groups.assign(1, entry.pw_gid);
    return true;
}

}  // namespace

BOOL LogonUserA(const char* user, const char* domain, const char* password, DWORD logonType,
                DWORD provider, HANDLE* token) {
    if (token != nullptr) *token = nullptr;
    if (user == nullptr || *user == '\0' || password == nullptr || token == nullptr ||
        provider != LOGON32_PROVIDER_DEFAULT ||
        (logonType != LOGON32_LOGON_INTERACTIVE && logonType != LOGON32_LOGON_BATCH)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string name = platform::logon::LogonName(user, domain);
    PamTransaction pam;
    if (int result = pam.Start(name.c_str(), password); result != PAM_SUCCESS) {
        SetLastError(Win32FromPam(result));
        return 0;
    }
    if (int result = pam.Authenticate(); result != PAM_SUCCESS) {
        SetLastError(Win32FromPam(result));
        return 0;
    }
    if (logonType == LOGON32_LOGON_INTERACTIVE) {
        if (int result = pam.AccountManagement(); result != PAM_SUCCESS) {
            SetLastError(Win32FromPam(result));
            return 0;
        }
    }
    auto* logon = new (std::nothrow) LogonToken;
    if (logon == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    std::string accountName = pam.User();
    if (accountName.empty()) accountName = name;
    // An account PAM accepts but the name service does not know (a module with its own
    // user list) is logged on without an identity; no child can be run as it.
    logon->account.name = accountName;
    logon->account.resolved = LookUpAccount(accountName, logon->account);
    *token = logon;
    SetLastError(ERROR_SUCCESS);
    return 1;
}

BOOL CloseLogonToken(HANDLE token) {
    if (token == nullptr) return 1;
    auto* logon = static_cast<LogonToken*>(token);
    if (logon->tag != LogonToken::kTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    logon->tag = 0;
    delete logon;
    return 1;
}

namespace platform::logon {

const Account* TokenAccount(HANDLE token) {
    if (token == nullptr) return nullptr;
    auto* logon = static_cast<const LogonToken*>(token);
    return logon->tag == LogonToken::kTag ? &logon->account : nullptr;
}

Account CurrentAccount() {
    Account account;
    account.resolved = true;
    account.uid = getuid();
    account.gid = getgid();
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        account.groups.assign(static_cast<size_t>(count), 0);
        const int got = getgroups(count, account.groups.data());
        account.groups.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    return account;
}

bool IsLocalDomain(const char* domain) {
    if (domain == nullptr || *domain == '\0') return true;
    if (std::strcmp(domain, "\\\\.") == 0 || std::strcmp(domain, ".") == 0) return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    const char* name = domain;
    if (name[0] == '\\' && name[1] == '\\') name += 2;
    return strcasecmp(name, host) == 0;
}

void ClearSecret(void* data, std::size_t size) {
    if (data != nullptr && size > 0) explicit_bzero(data, size);
}

std::string LogonName(const char* user, const char* domain) {
    // PAM knows no domain; every domain logs on the plain name (see the header).
    (void)domain;
    return user != nullptr ? std::string(user) : std::string();
}

}  // namespace platform::logon
