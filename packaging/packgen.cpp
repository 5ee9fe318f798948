// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornel_packgen: writes the files the Debian package ships that the service layer would
// otherwise write at install time, from the same code, so the package and `dornelman -i`
// never disagree:
//   dornel_packgen unit FILE   the systemd unit for /usr/sbin/dornelman and /var/lib/dornel
//   dornel_packgen pam FILE    the PAM file on Debian's common-auth stack
// A build tool; it is not installed.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/service/scminternal.h"
#include "server/zuvexservice.h"

namespace {

constexpr const char* kInstalledProgram = "/usr/sbin/dornelman";
constexpr const char* kInstalledRoot = "/var/lib/dornel";

bool WriteFile(const char* path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// A folder holding an empty common-auth, so the PAM text comes out on Debian's stack
// whatever the build machine has.
std::string DebianPamFolder(const char* output) {
    std::string folder = std::string(output) + ".stack";
    ::mkdir(folder.c_str(), 0755);
    WriteFile((folder + "/common-auth").c_str(), "");
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("Usage: dornel_packgen unit|pam FILE");
        return 0;
    }
    if (argc != 3) {
        std::fputs("Usage: dornel_packgen unit|pam FILE\n", stderr);
        return 2;
    }
    // Nothing of the builder's environment (a test's loopback address, its mapper port)
    // belongs in a shipped unit.
    for (char** entry = environ; entry && *entry;) {
        if (std::strncmp(*entry, "DORNEL_", 7) == 0) {
            std::string name(*entry, std::strcspn(*entry, "="));
            ::unsetenv(name.c_str());
            entry = environ;
            continue;
        }
        ++entry;
    }
    using namespace platform::service::detail;
    std::string text;
    if (std::strcmp(argv[1], "unit") == 0) {
        text = RenderUnit(kServiceName, kDisplayName, kInstalledProgram, kInstalledRoot);
        // The template's opening comment speaks of the install switch; this copy is the
        // package's.
        const std::size_t unitStart = text.find("[Unit]");
        if (unitStart != std::string::npos) {
            text = std::string("# ") + kDisplayName +
                   ": the unit of the dornel package, upgraded and removed with it.\n"
                   "# Do not edit it: put site changes in a drop-in (systemctl edit dornelman).\n" +
                   text.substr(unitStart);
        }
        // The package ships the man page, so its unit can name it (systemd-analyze verify
        // checks that it is there, which a unit the install switch writes cannot promise).
        const std::size_t description = text.find("\nDescription=");
        const std::size_t lineEnd =
            description == std::string::npos ? description : text.find('\n', description + 1);
        if (lineEnd != std::string::npos)
            text.insert(lineEnd + 1, "Documentation=man:dornelman(8)\n");
    } else if (std::strcmp(argv[1], "pam") == 0) {
        std::string folder = DebianPamFolder(argv[2]);
        text = PamText(folder);
        ::unlink((folder + "/common-auth").c_str());
        ::rmdir(folder.c_str());
    } else {
        std::fprintf(stderr, "dornel_packgen: unknown file kind '%s'\n", argv[1]);
        return 2;
    }
    if (!WriteFile(argv[2], text)) {
        std::fprintf(stderr, "dornel_packgen: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
