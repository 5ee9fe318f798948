// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "tools/dornelcpl/cplhost.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <dlfcn.h>
#include <unistd.h>

#include "platform/dynlib/dynlib.h"

namespace cplhost {

namespace fs = std::filesystem;

std::vector<std::string> AppletFolders() {
    std::vector<std::string> folders;
    for (const std::string& folder : platform::dynlib::SearchFolders("DORNEL_APPLET_DIR")) {
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

std::string BaseName(const std::string& path) {
    std::string name = fs::path(path).filename().string();
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
        name.resize(name.size() - 3);
    return name;
}

std::vector<std::string> AppletLibraries(const std::vector<std::string>& folders) {
    std::vector<std::string> result;
    std::vector<std::string> seen;
    for (const std::string& folder : folders) {
        std::vector<std::string> here;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& path = it->path();
            if (path.extension() != ".so") continue;
            std::error_code typeError;
            if (!fs::is_regular_file(path, typeError)) continue;
            here.push_back(path.string());
        }
        std::sort(here.begin(), here.end());
        for (const std::string& path : here) {
            const std::string base = BaseName(path);
            if (std::find(seen.begin(), seen.end(), base) != seen.end()) continue;
            seen.push_back(base);
            result.push_back(path);
        }
    }
    return result;
}

std::string FindApplet(const std::string& name, const std::vector<std::string>& folders) {
    if (name.find('/') != std::string::npos) return name;
    const std::string file = BaseName(name) + ".so";
    for (const std::string& folder : folders) {
        const fs::path candidate = fs::path(folder) / file;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return "";
}

AppletLibrary::~AppletLibrary() {
    // Applets may leave Qt objects or threads behind: the library stays mapped.
    handle_ = nullptr;
}

bool AppletLibrary::Load(const std::string& path, std::string* error) {
    notAnApplet_ = false;
    ::dlerror();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) {
        const char* why = ::dlerror();
        if (error) *error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    entry_ = reinterpret_cast<CplAppletProc>(::dlsym(handle_, kCplAppletEntry));
    if (!entry_) {
        notAnApplet_ = true;
        if (error) *error = path + " is not an applet library (it exports no CPlApplet)";
        ::dlclose(handle_);
        handle_ = nullptr;
        return false;
    }
    return true;
}

std::int32_t AppletLibrary::Call(void* window, std::uint32_t message, std::intptr_t lParam1,
                                 std::intptr_t lParam2) const {
    return entry_ ? entry_(window, message, lParam1, lParam2) : 0;
}

bool AppletLibrary::Inquire(std::vector<AppletInfo>* applets, std::string* error) {
    if (Call(nullptr, CPL_INIT, 0, 0) == 0) {
        if (error) *error = "the applet library refused to start (init returned 0)";
        return false;
    }
    const std::int32_t count = Call(nullptr, CPL_GETCOUNT, 0, 0);
    for (std::int32_t i = 0; i < count && i < 64; ++i) {
        NEWCPLINFOA info;
        std::memset(&info, 0, sizeof info);
        info.dwSize = sizeof info;
        Call(nullptr, CPL_NEWINQUIRE, i, reinterpret_cast<std::intptr_t>(&info));
        AppletInfo applet;
        applet.name.assign(info.szName, strnlen(info.szName, sizeof info.szName));
        applet.description.assign(info.szInfo, strnlen(info.szInfo, sizeof info.szInfo));
        applet.icon = info.idIcon;
        applet.data = info.lData;
        if (applets) applets->push_back(applet);
    }
    return true;
}

}  // namespace cplhost
