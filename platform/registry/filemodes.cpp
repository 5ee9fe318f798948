// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/registry/filemodes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"

namespace platform::registry {

std::string MakeRegistryFilesPrivate() {
    std::string changed;
    std::string failed;
    const std::string database = platform::paths::UnderRoot("registry.db");
    for (const std::string& file : {database, database + "-wal", database + "-shm"}) {
        // Through a descriptor of the file itself, so a link put in its place is not followed.
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) {
            ::close(fd);
            continue;
        }
        const auto before = static_cast<unsigned>(st.st_mode & 07777);
        const auto after = before & 07700u;
        char text[512];
        if (::fchmod(fd, after) == 0) {
            std::snprintf(text, sizeof text, "%s%s (mode %04o -> %04o)",
                          changed.empty() ? "" : ", ", file.c_str(), before, after);
            changed += text;
        } else {
            std::snprintf(text, sizeof text, "; %s (mode %04o) could not be made private: %s",
                          file.c_str(), before, std::strerror(errno));
            failed += text;
        }
        ::close(fd);
    }
    if (changed.empty() && failed.empty()) return "";
    if (changed.empty()) return "WARNING: registry files are open to other accounts" + failed;
    return "WARNING: registry files were open to other accounts and are now private: " + changed +
           failed;
}

}  // namespace platform::registry
