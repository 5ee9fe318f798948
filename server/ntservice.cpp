// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/ntservice.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

CNTService* CNTService::m_pThis = nullptr;

namespace {

// LogEvent is called from every thread of the server; the source is registered once.
std::mutex eventSourceLock;

void CopyName(char (&target)[64], const char* source) {
    std::memset(target, 0, sizeof target);
    if (source) std::strncpy(target, source, sizeof target - 1);
}

}  // namespace

CNTService::CNTService(const char* display, const char* service) {
    CopyName(displayName, display);
    CopyName(serviceName, service);
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_pThis = this;
}

CNTService::~CNTService() {
    if (eventSource) {
        DeregisterEventSource(eventSource);
        eventSource = nullptr;
    }
    if (m_pThis == this) m_pThis = nullptr;
}

void CNTService::LogEvent(WORD eventType, DWORD eventId, const char* string1,
                          const char* string2, const char* string3) {
    const char* strings[3];
    WORD count = 0;
    for (const char* s : {string1, string2, string3}) {
        if (s) strings[count++] = s;
    }
    HANDLE source;
    {
        std::lock_guard<std::mutex> guard(eventSourceLock);
        if (!eventSource) eventSource = RegisterEventSourceA(nullptr, displayName);
        source = eventSource;
    }
    if (source) ReportEventA(source, eventType, 0, eventId, nullptr, count, 0, strings, nullptr);
}

void CNTService::DebugMsg(const char* format, ...) {}
