// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The NetWare client calls on libldap.
//
// Divisions: the error text of the thread, the client library and name tables, the tree's
// server from the registry, one LDAP connection (open, secure, bind), and the context
// handles with the calls on them.

#include "platform/netware/netware.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ldap.h>
#include <sys/time.h>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"

namespace platform::netware {
namespace {

// ---- The thread's error text --------------------------------------------------------

thread_local std::string lastErrorText;

NWDSCCODE Fail(NWDSCCODE code, const std::string& text) {
    lastErrorText = text;
    return code;
}

NWDSCCODE Succeed() {
    lastErrorText.clear();
    return NW_SUCCESS;
}

// ---- The client library and the name tables ------------------------------------------

constexpr int kUtf8CodePage = 65001;
constexpr int kNoCountry = 1;
// libldap's API version this layer is written against (OpenLDAP 2.4 and later).
constexpr int kLdapApiVersion = 3001;

// ---- The tree's server ----------------------------------------------------------------

constexpr const char* kTreesKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\NDS";
constexpr DWORD kMaxSettingBytes = 4096;

// How to reach one tree.
struct TreeServer {
    std::string uri;     // ldap://, ldaps:// or ldapi:// URI
    std::string caFile;  // native path of the CA certificates, or ""
    bool startTls = false;
};

// A text value of the open key: the stored bytes up to the first NUL. False when missing,
// too long or not text.
bool ReadText(HKEY key, const std::string& name, std::string& text) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxSettingBytes) {
        return false;
    }
    std::vector<BYTE> data(size + 1, 0);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
        return false;
    }
    std::size_t length = 0;
    while (length < size && data[length] != 0) ++length;
    text.assign(reinterpret_cast<const char*>(data.data()), length);
    return true;
}

// A number value of the open key (REG_DWORD or 4-byte REG_BINARY); false when missing.
bool ReadNumber(HKEY key, const std::string& name, DWORD& number) {
    BYTE data[4] = {};
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS ||
        size != sizeof data) {
        return false;
    }
    number = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
             static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
    return true;
}

// The server of a tree ("" for a context with no tree); false when the registry names none.
bool FindTreeServer(const std::string& tree, TreeServer& server) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTreesKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool found = ReadText(key, tree, server.uri) && !server.uri.empty();
    if (found) {
        std::string caFile;
        if (ReadText(key, tree + ".CACert", caFile) && !caFile.empty()) {
            server.caFile = platform::paths::NativePath(caFile);
        }
        DWORD startTls = 0;
        server.startTls = ReadNumber(key, tree + ".StartTLS", startTls) && startTls == 1;
    }
    RegCloseKey(key);
    return found;
}

// ---- One LDAP connection --------------------------------------------------------------

// An LDAP handle, unbound when it goes out of scope.
class Connection {
  public:
    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    LDAP* Get() const { return ld_; }
    LDAP** Out() { return &ld_; }
    bool IsOpen() const { return ld_ != nullptr; }
    void Close() {
        if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
        ld_ = nullptr;
    }

  private:
    LDAP* ld_ = nullptr;
};

// True for result codes that mean the server could not be reached or stopped answering.
bool IsTransportFailure(int code) {
    return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT ||
           code == LDAP_UNAVAILABLE;
}

std::string LdapText(const std::string& what, int code, const char* detail = nullptr) {
    std::string text = what + ": " + ldap_err2string(code) + " (" + std::to_string(code) + ")";
    if (detail != nullptr && *detail != '\0') text += ": " + std::string(detail);
    return text;
}

// Opens a handle on the server with the time limits and, for ldaps:// or StartTLS, the CA
// file; StartTLS is run here. Returns NW_SUCCESS or a code.
NWDSCCODE OpenConnection(const TreeServer& server, Connection& connection) {
    if (ldap_initialize(connection.Out(), server.uri.c_str()) != LDAP_SUCCESS) {
        return Fail(ERR_TRANSPORT_FAILURE, "unusable directory URI " + server.uri);
    }
    LDAP* ld = connection.Get();
    const int version = LDAP_VERSION3;
    timeval connectTimeout{kConnectTimeoutSeconds, 0};
    timeval operationTimeout{kOperationTimeoutSeconds, 0};
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connectTimeout);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operationTimeout);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    const bool ldaps = server.uri.compare(0, 8, "ldaps://") == 0;
    if (ldaps || server.startTls) {
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
        if (!server.caFile.empty()) {
            ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, server.caFile.c_str());
        }
        const int newContext = 0;
        if (ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContext) != LDAP_OPT_SUCCESS) {
            return Fail(ERR_TRANSPORT_FAILURE, "TLS settings refused for " + server.uri);
        }
    }
    if (server.startTls && !ldaps) {
        const int result = ldap_start_tls_s(ld, nullptr, nullptr);
        if (result != LDAP_SUCCESS) {
            return Fail(ERR_TRANSPORT_FAILURE, LdapText("StartTLS with " + server.uri, result));
        }
    }
    return NW_SUCCESS;
}

// Waits (bounded) for the answer to msgid; LDAP_SUCCESS with *message, or a result code.
int AwaitResult(LDAP* ld, int msgid, LDAPMessage** message) {
    timeval timeout{kOperationTimeoutSeconds, 0};
    const int type = ldap_result(ld, msgid, LDAP_MSG_ALL, &timeout, message);
    if (type > 0) return LDAP_SUCCESS;
    if (type == 0) {
        ldap_abandon_ext(ld, msgid, nullptr, nullptr);
        return LDAP_TIMEOUT;
    }
    int code = LDAP_SERVER_DOWN;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code == LDAP_SUCCESS ? LDAP_SERVER_DOWN : code;
}

// Whether the entry exists, asked anonymously: true only when the directory answers that it
// does not (noSuchObject). A directory that hides entries says the same of hidden ones.
bool EntryIsMissing(LDAP* ld, const std::string& dn) {
    char noAttributes[] = LDAP_NO_ATTRS;
    char* attributes[] = {noAttributes, nullptr};
    timeval timeout{kOperationTimeoutSeconds, 0};
    int msgid = 0;
    if (ldap_search_ext(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 1, nullptr,
                        nullptr, &timeout, 1, &msgid) != LDAP_SUCCESS) {
        return false;
    }
    LDAPMessage* message = nullptr;
    if (AwaitResult(ld, msgid, &message) != LDAP_SUCCESS) return false;
    int code = LDAP_OTHER;
    bool missing = false;
    for (LDAPMessage* m = ldap_first_message(ld, message); m != nullptr;
         m = ldap_next_message(ld, m)) {
        if (ldap_msgtype(m) == LDAP_RES_SEARCH_RESULT &&
            ldap_parse_result(ld, m, &code, nullptr, nullptr, nullptr, nullptr, 0) ==
                LDAP_SUCCESS) {
            missing = code == LDAP_NO_SUCH_OBJECT;
        }
    }
    ldap_msgfree(message);
    return missing;
}

// True when the bind answer's password policy control says the password has expired or
// must be changed (a grace login, or a reset).
bool PasswordMustChange(LDAP* ld, LDAPControl** controls) {
    if (controls == nullptr) return false;
    LDAPControl* control =
        ldap_control_find(LDAP_CONTROL_PASSWORDPOLICYRESPONSE, controls, nullptr);
    if (control == nullptr) return false;
    ber_int_t expire = -1;
    ber_int_t grace = -1;
    LDAPPasswordPolicyError error = PP_noError;
    if (ldap_parse_passwordpolicy_control(ld, control, &expire, &grace, &error) != LDAP_SUCCESS) {
        return false;
    }
    return error == PP_passwordExpired || error == PP_changeAfterReset || grace >= 0;
}

// Binds dn with password on the open connection. NW_SUCCESS or ERR_PASSWORD_EXPIRED leave it
// bound; any other code leaves it to be closed.
NWDSCCODE Bind(LDAP* ld, const std::string& dn, const char* password) {
    // The caller's buffer as it is: no copy of the password is made (and left uncleared).
    berval credentials{static_cast<ber_len_t>(std::strlen(password)), const_cast<char*>(password)};
    LDAPControl* policyRequest = nullptr;
    ldap_create_passwordpolicy_control(ld, &policyRequest);
    LDAPControl* requests[] = {policyRequest, nullptr};
    int msgid = 0;
    int code = ldap_sasl_bind(ld, dn.c_str(), LDAP_SASL_SIMPLE, &credentials,
                              policyRequest != nullptr ? requests : nullptr, nullptr, &msgid);
    if (policyRequest != nullptr) ldap_control_free(policyRequest);
    LDAPMessage* message = nullptr;
    if (code == LDAP_SUCCESS) code = AwaitResult(ld, msgid, &message);
    if (code != LDAP_SUCCESS) {
        return Fail(IsTransportFailure(code) ? ERR_TRANSPORT_FAILURE : ERR_DIRECTORY_REFUSED,
                    LdapText("bind as " + dn, code));
    }
    int result = LDAP_OTHER;
    char* detail = nullptr;
    LDAPControl** controls = nullptr;
    if (ldap_parse_result(ld, message, &result, nullptr, &detail, nullptr, &controls, 1) !=
        LDAP_SUCCESS) {
        return Fail(ERR_DIRECTORY_REFUSED, "unreadable bind answer for " + dn);
    }
    const bool mustChange = PasswordMustChange(ld, controls);
    const std::string text = LdapText("bind as " + dn, result, detail);
    ldap_memfree(detail);
    ldap_controls_free(controls);
    switch (result) {
        case LDAP_SUCCESS:
            if (mustChange) return Fail(ERR_PASSWORD_EXPIRED, text + ": password must change");
            return Succeed();
        case LDAP_INVALID_CREDENTIALS:
            if (mustChange) return Fail(ERR_PASSWORD_EXPIRED, text + ": password has expired");
            if (EntryIsMissing(ld, dn)) return Fail(ERR_NO_SUCH_ENTRY, text + ": no such entry");
            return Fail(ERR_FAILED_AUTHENTICATION, text);
        case LDAP_NO_SUCH_OBJECT:
            return Fail(ERR_NO_SUCH_ENTRY, text);
        case LDAP_INVALID_DN_SYNTAX:
            return Fail(ERR_INVALID_NAME, text);
        case LDAP_INAPPROPRIATE_AUTH:
        case LDAP_UNWILLING_TO_PERFORM:
            return Fail(ERR_FAILED_AUTHENTICATION, text);
        default:
            return Fail(IsTransportFailure(result) ? ERR_TRANSPORT_FAILURE : ERR_DIRECTORY_REFUSED,
                        text);
    }
}

// ---- Context handles ------------------------------------------------------------------

struct Context {
    std::mutex lock;  // one call at a time on a handle
    std::string tree;
    std::string nameContext;
    Connection connection;  // open while logged in
};

std::mutex contextsLock;
std::map<NWDSContextHandle, std::shared_ptr<Context>> contexts;
NWDSContextHandle nextHandle = 1;

std::shared_ptr<Context> FindContext(NWDSContextHandle handle) {
    const std::lock_guard<std::mutex> guard(contextsLock);
    const auto found = contexts.find(handle);
    return found == contexts.end() ? nullptr : found->second;
}

}  // namespace

std::size_t OpenContextCount() {
    const std::lock_guard<std::mutex> guard(contextsLock);
    return contexts.size();
}

std::string LastErrorText() { return lastErrorText; }

}  // namespace platform::netware

using namespace platform::netware;

NWDSCCODE NWCallsInit(void* reserved1, void* reserved2) {
    LDAPAPIInfo info{};
    info.ldapai_info_version = LDAP_API_INFO_VERSION;
    if (ldap_get_option(nullptr, LDAP_OPT_API_INFO, &info) != LDAP_OPT_SUCCESS) {
        return Fail(ERR_LIBRARY_VERSION, "libldap does not report its API");
    }
    const int version = info.ldapai_api_version;
    ldap_memfree(info.ldapai_vendor_name);
    if (info.ldapai_extensions != nullptr)
        ldap_memvfree(reinterpret_cast<void**>(info.ldapai_extensions));
    if (version < kLdapApiVersion) {
        return Fail(ERR_LIBRARY_VERSION, "libldap API " + std::to_string(version) + " is too old");
    }
    return Succeed();
}

NWDSCCODE NWLlocaleconv(LCONV* lconv) {
    if (lconv == nullptr) return Fail(ERR_NULL_POINTER, "no locale record");
    lconv->country_id = kNoCountry;
    lconv->code_page = kUtf8CodePage;
    return Succeed();
}

NWDSCCODE NWInitUnicodeTables(int countryCode, int codePage) {
    if (codePage != kUtf8CodePage) {
        return Fail(ERR_UNICODE_TABLES, "code page " + std::to_string(codePage) + " not served");
    }
    return Succeed();
}

NWDSCCODE NWFreeUnicodeTables() {
    // Nothing is loaded: names are UTF-8 throughout.
    return Succeed();
}

NWDSCCODE NWDSCreateContextHandle(NWDSContextHandle* context) {
    if (context == nullptr) return Fail(ERR_NULL_POINTER, "no place for the context handle");
    auto created = std::make_shared<Context>();
    const std::lock_guard<std::mutex> guard(contextsLock);
    const NWDSContextHandle handle = nextHandle++;
    if (nextHandle == 0) nextHandle = 1;
    contexts.emplace(handle, std::move(created));
    *context = handle;
    return Succeed();
}

NWDSCCODE NWDSSetContext(NWDSContextHandle context, int key, const void* value) {
    const std::shared_ptr<Context> found = FindContext(context);
    if (found == nullptr) return Fail(ERR_BAD_CONTEXT, "unknown context handle");
    if (key != DCK_TREE_NAME && key != DCK_NAME_CONTEXT) {
        return Fail(ERR_BAD_KEY, "context key " + std::to_string(key) + " is not served");
    }
    if (value == nullptr) return Fail(ERR_NULL_POINTER, "no value for the context key");
    const char* text = static_cast<const char*>(value);
    const std::size_t length = strnlen(text, kMaxNameLength + 1);
    if (length > kMaxNameLength) return Fail(ERR_INVALID_NAME, "context value too long");
    const std::lock_guard<std::mutex> guard(found->lock);
    if (key == DCK_TREE_NAME) {
        found->tree.assign(text, length);
    } else {
        // The form of a context is checked now, with a name that cannot fail on its own.
        std::string dn;
        if (!NameToDn("x", std::string(text, length), dn)) {
            return Fail(ERR_INVALID_NAME, "malformed name context \"" + std::string(text) + "\"");
        }
        found->nameContext.assign(text, length);
    }
    return Succeed();
}

NWDSCCODE NWDSLogin(NWDSContextHandle context, int optionsFlag, const char* objectName,
                    const char* password, int validityPeriod) {
    const std::shared_ptr<Context> found = FindContext(context);
    if (found == nullptr) return Fail(ERR_BAD_CONTEXT, "unknown context handle");
    if (objectName == nullptr || password == nullptr) {
        return Fail(ERR_NULL_POINTER, "no name or no password");
    }
    const std::lock_guard<std::mutex> guard(found->lock);
    found->connection.Close();
    // An empty password would be an unauthenticated bind, which some servers accept.
    if (*password == '\0') return Fail(ERR_FAILED_AUTHENTICATION, "empty password refused");
    std::string dn;
    if (!NameToDn(objectName, found->nameContext, dn)) {
        return Fail(ERR_INVALID_NAME, "malformed name \"" + std::string(objectName) + "\"");
    }
    TreeServer server;
    if (!FindTreeServer(found->tree, server)) {
        return Fail(ERR_TRANSPORT_FAILURE, "no directory server for tree \"" + found->tree +
                                               "\" in HKEY_LOCAL_MACHINE\\" + kTreesKey);
    }
    NWDSCCODE code = OpenConnection(server, found->connection);
    if (code == NW_SUCCESS) code = Bind(found->connection.Get(), dn, password);
    if (code != NW_SUCCESS && code != ERR_PASSWORD_EXPIRED) found->connection.Close();
    return code;
}

NWDSCCODE NWDSLogout(NWDSContextHandle context) {
    const std::shared_ptr<Context> found = FindContext(context);
    if (found == nullptr) return Fail(ERR_BAD_CONTEXT, "unknown context handle");
    const std::lock_guard<std::mutex> guard(found->lock);
    found->connection.Close();
    return Succeed();
}

NWDSCCODE NWDSFreeContext(NWDSContextHandle context) {
    std::shared_ptr<Context> found;
    {
        const std::lock_guard<std::mutex> guard(contextsLock);
        const auto entry = contexts.find(context);
        if (entry == contexts.end()) return Fail(ERR_BAD_CONTEXT, "unknown context handle");
        found = std::move(entry->second);
        contexts.erase(entry);
    }
    // The login ends when the last user of the context lets it go (here, normally).
    const std::lock_guard<std::mutex> guard(found->lock);
    found->connection.Close();
    return Succeed();
}
