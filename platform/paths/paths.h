// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Where a run keeps its files, and how the system's drive paths become native ones.
//
// Everything a run owns lives under one root: $DORNEL_ROOT, or /var/lib/dornel when the
// variable is unset or empty. The system keeps its own path texts ("C:\dornel\log" stays
// the default of LogDirectory); they are mapped only when a file is opened:
//   "C:\dornel\log"  ->  <root>/c/dornel/log   (drive letter folded to lower case)
//   "\dornel\x"      ->  <root>/c/dornel/x     (a rooted path without drive is on C:)
//   "dir\file"       ->  dir/file              (relative stays relative)
//   "/srv/boot"      ->  /srv/boot             (already native)
//   "/srv/log\x.log"  ->  /srv/log/x.log        (a system suffix joined onto a native path)
// Every backslash becomes "/". The short (8.3) form of a path is the path itself.
//
// Safe from any thread; the root is read from the environment on every call.

#include <cstddef>
#include <string>

#include "platform/base/wintypes.h"

namespace platform::paths {

// The run's root folder, without a trailing slash.
std::string Root();

// A file or folder under the root: Root() + "/" + relative.
std::string UnderRoot(const std::string& relative);

// The native form of a system path (rules above).
std::string NativePath(const std::string& systemPath);

// Creates a folder and its parents (mode 0755 unless given); true when it exists after.
bool MakeDirectories(const std::string& nativePath, unsigned mode = 0755);

// Creates the root when it is missing: its parents 0755, the root itself 0750 whatever the
// umask, since it holds the registry with the spawn account's password. An existing root
// keeps its mode (a site may have opened it to a group on purpose). True when it exists.
bool MakeRootFolder();

// For the console tools, before they touch the root: false, with a message that names
// DORNEL_ROOT in *problem, when the variable is unset (or empty) and the default root
// cannot be used by this user (it exists and is not writable, or it is missing and cannot
// be created). True when DORNEL_ROOT is set, or the default root is usable.
bool CheckDefaultRoot(std::string* problem);

}  // namespace platform::paths

// Copies the "short form" of a path, which is the path unchanged, into shortPath.
// Returns the length copied (without the NUL); when the buffer of size characters is too
// small, returns the size needed (with the NUL) and copies nothing; 0 for a null input.
DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size);
