// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/registry/filemodes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <grp.h>
#include <sys/stat.h>

#include "platform/paths/paths.h"

namespace platform::registry {

namespace {

bool AdminGroup(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry && entry->gr_name && std::strcmp(entry->gr_name, kAdminGroup) == 0;
}

}  // namespace

std::string MakeRegistryFilesPrivate() {
    std::string changed;
    std::string failed;
    const std::string database = platform::paths::UnderRoot("registry.db");
    for (const std::string& file : {database, database + "-wal", database + "-shm"}) {
        // Never through a descriptor of its own: closing one would drop the locks that this
        // process's registry connection holds on the same file. A symbolic link is not
        // followed; the root is the service's own folder, so nothing swaps the file meanwhile.
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // The administrators' group (kAdminGroup) keeps what its members were given.
        const mode_t open = AdminGroup(st.st_gid) ? 007 : 077;
        if ((st.st_mode & open) == 0) continue;
        const auto before = static_cast<unsigned>(st.st_mode & 07777);
        const auto after = before & ~static_cast<unsigned>(open);
        char text[512];
        if (::chmod(file.c_str(), after) == 0) {
            std::snprintf(text, sizeof text, "%s%s (mode %04o -> %04o)",
                          changed.empty() ? "" : ", ", file.c_str(), before, after);
            changed += text;
        } else {
            std::snprintf(text, sizeof text, "; %s (mode %04o) could not be made private: %s",
                          file.c_str(), before, std::strerror(errno));
            failed += text;
        }
    }
    if (changed.empty() && failed.empty()) return "";
    if (changed.empty()) return "WARNING: registry files are open to other accounts" + failed;
    return "WARNING: registry files were open to other accounts and are now private: " + changed +
           failed;
}

}  // namespace platform::registry
