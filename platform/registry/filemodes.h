// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The registry's files at rest. The database holds the spawn account's password
// (SpawnPasswd) and the log password, so it and its -wal and -shm files are for their owner
// only (0600); the registry layer creates them so. A database made before that, or opened
// up by hand, is tightened when the service starts.

#include <string>

namespace platform::registry {

// The group whose members administer the server: the registry's files may be readable and
// writable by it (mode 0660, group dornel), and the service leaves that as it is.
inline constexpr const char* kAdminGroup = "dornel";

// Takes the group and other bits (only the other bits when the file's group is kAdminGroup)
// off <root>/registry.db and its -wal and -shm files
// (symbolic links and files that are not regular are left alone). Returns one text for the
// NT event log that names every file it changed (or could not change), e.g.
//   "WARNING: registry files were open to other accounts and are now private:
//    /var/lib/dornel/registry.db (mode 0644 -> 0600), /var/lib/dornel/registry.db-wal
//    (mode 0644 -> 0600)"
// or "" when every file was private already or does not exist.
std::string MakeRegistryFilesPrivate();

}  // namespace platform::registry
