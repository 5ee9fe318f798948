// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The NT event log as the service sees it: a registered event source that reports entries.
//
// Each entry is one line appended to <root>/eventlog (the file is kept open between entries)
// and a line sent to syslog:
//   2026-12-08 04:40:01 | Orvane Technology Dornel Manager | information | 108 | Started server
// time (local), source, type (error, warning, information, ...), event id, then the
// inserted strings, each after " | ". Syslog gets "<source>[<id>]: <text>" (SyslogMessage). A line
// is written with one append, so entries from several threads or processes never interleave. A line
// feed inside a string is written as a space, so every entry stays one line.
//
// Safe from any thread. Failures to write are silent, as the service always had them.

#include <string>

#include "platform/base/wintypes.h"

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Registers a source by name on the local machine (serverName null or ""); null on failure.
HANDLE RegisterEventSourceA(const char* serverName, const char* sourceName);

// Reports one entry with numStrings inserted strings (each may be null, written as "").
// Returns non-zero when the line was appended to the event-log file.
BOOL ReportEventA(HANDLE eventSource, WORD type, WORD category, DWORD eventId, void* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, void* rawData);

// Releases a source handle; non-zero on success.
BOOL DeregisterEventSource(HANDLE eventSource);

namespace platform::service {

// The path of the event-log file: <root>/eventlog.
std::string EventLogPath();

// Makes the next entry open the event-log file again by its path: what a service does on
// SIGHUP, which logrotate sends once it has moved the file aside. (An entry also reopens the
// file by itself when the file it holds is no longer at the path.)
void ReopenEventLog();

// The text an entry sends to syslog: "<source>[<id>]: <text>", the text being the inserted
// strings (as in the file) or, for an entry without any, what the event means ("The service
// started" for 105), so every syslog line says what happened.
std::string SyslogMessage(const std::string& sourceName, DWORD eventId, WORD numStrings,
                          const char** strings);

// The type name written for an event type ("error", "warning", "information", ...).
const char* EventTypeName(WORD type);

}  // namespace platform::service
