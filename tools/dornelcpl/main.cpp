// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// dornelcpl, the control panel: lists the applet libraries it finds, or opens one.

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dynlib/dynlib.h"
#include "tools/dornelcpl/cplhost.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: dornelcpl --list\n"
                 "       dornelcpl NAME\n"
                 "       dornelcpl --help\n"
                 "\n"
                 "The control panel of the Dornel applets.\n"
                 "\n"
                 "  --list   print one line per applet: the library's base name, a tab, the\n"
                 "           applet's name, a tab, its description; a library that cannot be\n"
                 "           loaded is reported on standard error and the listing goes on\n"
                 "  NAME     open the applet library NAME (zuvexcpl, or a path to a .so file)\n"
                 "\n"
                 "Applet libraries are looked for beside this program, then in each folder of\n"
                 "DORNEL_APPLET_DIR (separated by ':'), then in %s.\n"
                 "\n"
                 "Exit status: 0 done, 1 failed or refused (library missing or broken, applet\n"
                 "refused to start or to open), 2 usage error.\n",
                 platform::dynlib::InstalledFolder().c_str());
}

int List() {
    const std::vector<std::string> folders = cplhost::AppletFolders();
    for (const std::string& path : cplhost::AppletLibraries(folders)) {
        cplhost::AppletLibrary library;
        std::string error;
        if (!library.Load(path, &error)) {
            // Plug-ins live beside the applets; only a library that cannot load is reported.
            if (!library.NotAnApplet()) std::fprintf(stderr, "dornelcpl: %s\n", error.c_str());
            continue;
        }
        std::vector<cplhost::AppletInfo> applets;
        if (!library.Inquire(&applets, &error)) {
            std::fprintf(stderr, "dornelcpl: %s: %s\n", path.c_str(), error.c_str());
            continue;
        }
        const std::string base = cplhost::BaseName(path);
        for (const cplhost::AppletInfo& applet : applets) {
            std::printf("%s\t%s\t%s\n", base.c_str(), applet.name.c_str(),
                        applet.description.c_str());
        }
        library.Call(nullptr, CPL_EXIT, 0, 0);
    }
    std::fflush(stdout);
    return kDone;
}

int Open(int argc, char** argv, const std::string& name) {
    const std::vector<std::string> folders = cplhost::AppletFolders();
    const std::string path = cplhost::FindApplet(name, folders);
    if (path.empty()) {
        std::string where;
        for (const std::string& folder : folders) where += (where.empty() ? "" : ", ") + folder;
        std::fprintf(stderr, "dornelcpl: no applet library %s.so in %s\n",
                     cplhost::BaseName(name).c_str(), where.c_str());
        return kFailed;
    }
    QApplication application(argc, argv);
    cplhost::AppletLibrary library;
    std::string error;
    if (!library.Load(path, &error)) {
        std::fprintf(stderr, "dornelcpl: %s\n", error.c_str());
        return kFailed;
    }
    std::vector<cplhost::AppletInfo> applets;
    if (!library.Inquire(&applets, &error)) {
        std::fprintf(stderr, "dornelcpl: %s: %s\n", path.c_str(), error.c_str());
        return kFailed;
    }
    if (applets.empty()) {
        std::fprintf(stderr, "dornelcpl: %s holds no applet\n", path.c_str());
        library.Call(nullptr, CPL_EXIT, 0, 0);
        return kFailed;
    }
    const std::intptr_t data = static_cast<std::intptr_t>(applets.front().data);
    const std::int32_t opened = library.Call(nullptr, CPL_DBLCLK, 0, data);
    library.Call(nullptr, CPL_STOP, 0, data);
    library.Call(nullptr, CPL_EXIT, 0, 0);
    if (opened != 0) {
        std::fprintf(stderr, "dornelcpl: %s refused to open (double-click returned %d)\n",
                     applets.front().name.c_str(), static_cast<int>(opened));
        return kFailed;
    }
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return kDone;
    }
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) return List();
    if (argc == 2 && argv[1][0] != '-' && argv[1][0] != '\0') return Open(argc, argv, argv[1]);
    Usage(stderr);
    return kUsage;
}
