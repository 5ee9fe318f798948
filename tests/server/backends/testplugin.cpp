// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// A plug-in for the back-end tests with both interfaces (authentication and PrintLink).
// It records every call in a file and behaves as the environment says, read at each call:
//   DORNEL_TESTPLUGIN_LOG       file that gets one line per call ("InitAuth", "AuthUser
//                               jsmith", "DLPL_Deposit jsmith 2.10 0", ...)
//   DORNEL_TESTPLUGIN_INIT      "0": InitAuth and DLPL_InitPrintLink return 0
//   DORNEL_TESTPLUGIN_PASSWORD  the one password AuthUser accepts (default "pw")
//   DORNEL_TESTPLUGIN_NAME      the qualified name AuthUser returns (default the typed name)
//   DORNEL_TESTPLUGIN_BALANCE   what DLPL_GetBalance and DLPL_Deposit return (default 12.5)
// Built a second time with TESTPLUGIN_NO_END, which leaves out EndAuth and
// DLPL_EndPrintLink (an incomplete plug-in).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define TESTPLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char* Setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

void Record(const std::string& line) {
    const char* path = std::getenv("DORNEL_TESTPLUGIN_LOG");
    if (path == nullptr) return;
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

int InitResult() { return std::strcmp(Setting("DORNEL_TESTPLUGIN_INIT", "1"), "0") == 0 ? 0 : 1; }

double BalanceResult() {
    return std::strtod(Setting("DORNEL_TESTPLUGIN_BALANCE", "12.5"), nullptr);
}

}  // namespace

TESTPLUGIN_EXPORT int InitAuth() {
    Record("InitAuth");
    return InitResult();
}

TESTPLUGIN_EXPORT int AuthUser(const char* user, const char* password, const char* master,
                               const char* data, char* output, int size) {
    Record(std::string("AuthUser ") + user + " " + master + " " + data + " " +
           std::to_string(size));
    if (std::strcmp(password, Setting("DORNEL_TESTPLUGIN_PASSWORD", "pw")) != 0) return 0;
    std::snprintf(output, static_cast<std::size_t>(size), "%s",
                  Setting("DORNEL_TESTPLUGIN_NAME", user));
    return 1;
}

TESTPLUGIN_EXPORT int DLPL_InitPrintLink() {
    Record("DLPL_InitPrintLink");
    return InitResult();
}

TESTPLUGIN_EXPORT double DLPL_GetBalance(const char* user, int box, const char* spawnUser,
                                         const char* spawnPassword, const char* spawnDomain) {
    Record(std::string("DLPL_GetBalance ") + user + " " + std::to_string(box) + " " + spawnUser);
    return BalanceResult();
}

TESTPLUGIN_EXPORT double DLPL_Deposit(const char* user, double amount, int box,
                                      const char* spawnUser, const char* spawnPassword,
                                      const char* spawnDomain) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", amount);
    Record(std::string("DLPL_Deposit ") + user + " " + text + " " + std::to_string(box));
    return BalanceResult();
}

#ifndef TESTPLUGIN_NO_END
TESTPLUGIN_EXPORT void EndAuth() { Record("EndAuth"); }
TESTPLUGIN_EXPORT void DLPL_EndPrintLink() { Record("DLPL_EndPrintLink"); }
#endif
