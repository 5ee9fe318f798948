// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/service/eventsource.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/paths/paths.h"

namespace {

struct EventSource {
    std::string name;
};

int SyslogPriority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
        case EVENTLOG_AUDIT_FAILURE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

std::string OneLine(const char* text) {
    std::string result = text ? text : "";
    for (char& c : result) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return result;
}

}  // namespace

namespace platform::service {

std::string EventLogPath() { return paths::UnderRoot("eventlog"); }

const char* EventTypeName(WORD type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return "success";
        case EVENTLOG_ERROR_TYPE:
            return "error";
        case EVENTLOG_WARNING_TYPE:
            return "warning";
        case EVENTLOG_INFORMATION_TYPE:
            return "information";
        case EVENTLOG_AUDIT_SUCCESS:
            return "audit-success";
        case EVENTLOG_AUDIT_FAILURE:
            return "audit-failure";
        default:
            return "unknown";
    }
}

}  // namespace platform::service

HANDLE RegisterEventSourceA(const char* serverName, const char* sourceName) {
    if (serverName && *serverName) return nullptr;  // only the local machine keeps a log
    if (!sourceName || !*sourceName) return nullptr;
    return new EventSource{sourceName};
}

BOOL ReportEventA(HANDLE eventSource, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, void* rawData) {
    if (!eventSource) return 0;
    const auto* source = static_cast<const EventSource*>(eventSource);

    char when[32];
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);

    std::string message;
    for (WORD i = 0; i < numStrings; ++i) {
        if (i) message += " | ";
        message += OneLine(strings ? strings[i] : nullptr);
    }
    std::string line = std::string(when) + " | " + OneLine(source->name.c_str()) + " | " +
                       platform::service::EventTypeName(type) + " | " + std::to_string(eventId);
    if (numStrings) line += " | " + message;
    line += "\n";

    // One write on an O_APPEND descriptor keeps concurrent entries whole.
    bool written = false;
    int fd = ::open(platform::service::EventLogPath().c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
    }

    ::syslog(LOG_DAEMON | SyslogPriority(type), "%s[%u]: %s", source->name.c_str(),
             static_cast<unsigned>(eventId), message.c_str());
    return written ? 1 : 0;
}

BOOL DeregisterEventSource(HANDLE eventSource) {
    if (!eventSource) return 0;
    delete static_cast<EventSource*>(eventSource);
    return 1;
}
