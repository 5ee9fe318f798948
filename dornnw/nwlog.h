// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The plug-in's own text log, "c:\dornnw.log" (platform/paths maps it under the run's root).
//
// Every log call writes its message followed by a line feed. The lines of one request (from
// InitAuth or DLPL_InitPrintLink to EndAuth or DLPL_EndPrintLink, all on the box's thread)
// are kept for that thread and appended to the file in one write when the request ends, so
// two boxes served at once each leave a whole block of lines, never lines mixed together.
// A line logged on a thread with no request open is appended at once.
//
// Safe from any thread: each thread has its own block, and each append is one write to a
// file opened for appending.

#include <string>

namespace dornnw {

// The native path of the log file.
std::string LogPath();

// Starts this thread's block (a block still open is written first).
void OpenLog();

// Adds message and a line feed to this thread's block (or to the file, when none is open).
void Log(const std::string& message);

// Log with a printf format.
void LogF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends this thread's block to the file and ends it; nothing when none is open.
void CloseLog();

}  // namespace dornnw
