// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// dornnw.so: the seven exports the server looks up by name, with C linkage.

#include "dornnw/dornnw.h"

#define DORNEL_EXPORT extern "C" __attribute__((visibility("default")))

DORNEL_EXPORT int InitAuth() { return dornnw::InitAuth(); }

DORNEL_EXPORT int AuthUser(const char* user, const char* password, const char* master,
                           const char* data, char* output, int size) {
    return dornnw::AuthUser(user, password, master, data, output, size);
}

DORNEL_EXPORT void EndAuth() { dornnw::EndAuth(); }

DORNEL_EXPORT int DLPL_InitPrintLink() { return dornnw::DLPL_InitPrintLink(); }

DORNEL_EXPORT double DLPL_GetBalance(const char* user, int box, const char* spawnUser,
                                     const char* spawnPassword, const char* spawnDomain) {
    return dornnw::DLPL_GetBalance(user, box, spawnUser, spawnPassword, spawnDomain);
}

DORNEL_EXPORT double DLPL_Deposit(const char* user, double amount, int box, const char* spawnUser,
                                  const char* spawnPassword, const char* spawnDomain) {
    return dornnw::DLPL_Deposit(user, amount, box, spawnUser, spawnPassword, spawnDomain);
}

DORNEL_EXPORT void DLPL_EndPrintLink() { dornnw::DLPL_EndPrintLink(); }
