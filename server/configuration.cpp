// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/zuvexservice.h"

// The server's configuration: the registry below SOFTWARE\Orvane Technology\ZuvexBox read
// into the service object, the global strings and the ten box records.
//
// Sections:
//   1. Globals: the configuration strings, ConfigLock, GetConfigString.
//   2. The service object: constructor, destructor.

#include <cstring>

// ---------------------------------------------------------------------------------------
// 1. Globals.

char SpawnUser[1024];
char SpawnPasswd[1024];
char SpawnDomain[1024];
char LogDir[1024] = "C:\\dornel\\log";  // what the log uses before the first read
char LogPasswd[1024];
char GlobalTFTPDirectory[260];

CZuvexService* TheGlobalService = nullptr;

std::mutex& ConfigLock() {
    static std::mutex lock;
    return lock;
}

void GetConfigString(const char* source, char* out, std::size_t size) {
    if (!out || size == 0) return;
    std::lock_guard<std::mutex> guard(ConfigLock());
    if (!source) {
        out[0] = '\0';
        return;
    }
    const std::size_t length = strnlen(source, size - 1);
    std::memcpy(out, source, length);
    out[length] = '\0';
}

// ---------------------------------------------------------------------------------------
// 2. The service object.

CZuvexService::CZuvexService(const char* display, const char* service)
    : CNTService(display, service), tftpDirectory("C:\\dornel") {
    // The records are plain data; start them empty rather than indeterminate.
    std::memset(static_cast<void*>(boxes), 0, sizeof boxes);
}

CZuvexService::~CZuvexService() {
    if (TheGlobalService == this) TheGlobalService = nullptr;
}
