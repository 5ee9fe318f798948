// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Authentication of box users: the selection by authType (NT logon, the NetWare plug-in
// dornnw.dll, a customer's custauth.dll) and the plug-in call.
//
// Runs on the calling box's handler thread; several boxes may authenticate at once, each
// loading, calling and unloading the plug-in on its own thread.

#include <cstring>

#include "platform/dynlib/dynlib.h"
#include "platform/logon/logon.h"
#include "server/zuvexservice.h"

namespace {

constexpr int kAuthOutputSize = 1024;  // the plug-in's output buffer, always this size

using InitAuthProc = int (*)();
using AuthUserProc = int (*)(const char*, const char*, const char*, const char*, char*, int);
using EndAuthProc = void (*)();

// Copies text into the record's userName, cut to fit and always terminated.
void SetUserName(t_ServerStartInfo* info, const char* text) {
    const std::size_t length = strnlen(text, sizeof info->userName - 1);
    std::memcpy(info->userName, text, length);
    info->userName[length] = '\0';
}

}  // namespace

AuthOutcome CZuvexService::AuthenticateUser(t_ServerStartInfo* info, const char* user,
                                            const char* password) {
    char master[sizeof info->authMaster];
    char data[sizeof info->netwareAuthData];
    GetConfigString(info->authMaster, master, sizeof master);
    GetConfigString(info->netwareAuthData, data, sizeof data);
    switch (info->authType) {
        case 0: {
            EventLog.LogDebugEvent(info, "About to LogonUser");
            EventLog.LogUserEvent(info, CEventLog::AuthRequestNT, user);
            SetUserName(info, user);
            HANDLE token = nullptr;
            if (!LogonUserA(user, master, password, LOGON32_LOGON_INTERACTIVE,
                            LOGON32_PROVIDER_DEFAULT, &token)) {
                EventLog.LogDebugEvent(info, "LogonUser failed with %X",
                                       static_cast<unsigned>(GetLastError()));
                return AuthOutcome::Declined;
            }
            EventLog.LogDebugEvent(info, "Done.");
            // Only the credentials are checked; the token serves nothing else.
            CloseLogonToken(token);
            return AuthOutcome::Accepted;
        }
        case 1:
            EventLog.LogUserEvent(info, CEventLog::AuthRequestNetware, user);
            SetUserName(info, user);
            return DoDLLAuth("dornnw.dll", user, password, master, data, info)
                       ? AuthOutcome::Accepted
                       : AuthOutcome::Declined;
        case 2:
            EventLog.LogUserEvent(info, CEventLog::AuthRequestCustom, user);
            SetUserName(info, user);
            return DoDLLAuth("custauth.dll", user, password, master, data, info)
                       ? AuthOutcome::Accepted
                       : AuthOutcome::Declined;
        default:
            return AuthOutcome::InvalidType;
    }
}

int DoDLLAuth(const char* library, const char* user, const char* password, const char* master,
              const char* data, t_ServerStartInfo* info) {
    platform::dynlib::Library plugin(library);
    if (!plugin.IsLoaded()) return 0;
    auto initAuth = plugin.Find<InitAuthProc>("InitAuth");
    auto authUser = plugin.Find<AuthUserProc>("AuthUser");
    auto endAuth = plugin.Find<EndAuthProc>("EndAuth");
    if (initAuth == nullptr || authUser == nullptr || endAuth == nullptr) return 0;

    CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling InitAuth");
    if (initAuth() == 0) return 0;

    CZuvexService::EventLog.LogDebugEvent(nullptr, "Calling AuthUser");
    char output[kAuthOutputSize] = {};
    const int result = authUser(user != nullptr ? user : "", password != nullptr ? password : "",
                                master != nullptr ? master : "", data != nullptr ? data : "",
                                output, kAuthOutputSize);
    CZuvexService::EventLog.LogDebugEvent(nullptr, "AuthUser returned %d", result);
    // A plug-in that filled the whole buffer left no terminator: the name ends at size - 1.
    output[kAuthOutputSize - 1] = '\0';
    if (result != 0) SetUserName(info, output);
    endAuth();
    return result;
}
