// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/service/eventsource.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

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

// The event-log file, kept open between entries. It is opened again when asked to
// (ReopenEventLog: SIGHUP after logrotate moved it), when the root changed, and when the file
// at the path is no longer the one held (moved or deleted without a signal).
struct EventLogFile {
    std::mutex lock;
    int fd = -1;
    std::string path;
    bool reopen = false;
};

EventLogFile& LogFile() {
    static EventLogFile* file = new EventLogFile;  // never destroyed: used until the very end
    return *file;
}

bool StillAtPath(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Appends one whole line; one write on an O_APPEND descriptor keeps entries from several
// threads or processes whole.
bool AppendLine(const std::string& line) {
    EventLogFile& file = LogFile();
    const std::string path = platform::service::EventLogPath();
    std::lock_guard<std::mutex> guard(file.lock);
    if (file.fd >= 0 && (file.reopen || file.path != path || !StillAtPath(file.fd, path))) {
        ::close(file.fd);
        file.fd = -1;
    }
    file.reopen = false;
    if (file.fd < 0) {
        file.fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        file.path = path;
    }
    if (file.fd < 0) return false;
    return ::write(file.fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
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

std::string SyslogMessage(const std::string& sourceName, DWORD eventId, WORD numStrings,
                          const char** strings) {
    std::string text;
    for (WORD i = 0; i < numStrings; ++i) {
        if (i) text += " | ";
        text += OneLine(strings ? strings[i] : nullptr);
    }
    if (text.empty()) {
        // The service framework's entries carry no strings; their text is the event's meaning.
        switch (eventId) {
            case 103:
                text = "The control handler could not be registered";
                break;
            case 104:
                text = "The service failed to initialise and stops";
                break;
            case 105:
                text = "The service started";
                break;
            case 106:
                text = "The service got a control request it does not handle";
                break;
            case 109:
                text = "The service got a stop request";
                break;
            default:
                text = "Event " + std::to_string(eventId);
                break;
        }
    }
    return OneLine(sourceName.c_str()) + "[" + std::to_string(eventId) + "]: " + text;
}

void ReopenEventLog() {
    EventLogFile& file = LogFile();
    std::lock_guard<std::mutex> guard(file.lock);
    file.reopen = true;
}

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
    std::tm local{};
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

    const bool written = AppendLine(line);

    ::syslog(LOG_DAEMON | SyslogPriority(type), "%s",
             platform::service::SyslogMessage(source->name, eventId, numStrings, strings).c_str());
    return written ? 1 : 0;
}

BOOL DeregisterEventSource(HANDLE eventSource) {
    if (!eventSource) return 0;
    delete static_cast<EventSource*>(eventSource);
    return 1;
}
