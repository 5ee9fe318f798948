// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/dynlib/dynlib.h"

#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include "platform/paths/paths.h"

namespace platform::dynlib {
namespace {

thread_local std::string lastErrorText;

// The one place the loader's error text is read; keeps it for DynlibErrorText.
void KeepLoaderError(const std::string& context) {
    const char* text = dlerror();
    lastErrorText = context;
    if (text != nullptr) {
        if (!lastErrorText.empty()) lastErrorText += ": ";
        lastErrorText += text;
    }
}

bool EndsWithDll(const std::string& name) {
    if (name.size() < 4) return false;
    const std::string tail = name.substr(name.size() - 4);
    return strcasecmp(tail.c_str(), ".dll") == 0;
}

// The folder of the running executable, or "" when it cannot be read.
std::string ExecutableFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    path[length] = '\0';
    std::string folder(path);
    const auto slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

void* Open(const std::string& path) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) KeepLoaderError({});
    return handle;
}

}  // namespace

std::string NativeLibraryName(const std::string& fileName) {
    if (EndsWithDll(fileName)) return fileName.substr(0, fileName.size() - 4) + ".so";
    return fileName;
}

std::vector<std::string> SearchFolders(const char* variable) {
    std::vector<std::string> folders;
    const std::string own = ExecutableFolder();
    if (!own.empty()) folders.push_back(own);
    const char* extra = std::getenv(variable);
    if (extra != nullptr) {
        std::string list(extra);
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t colon = list.find(':', start);
            const std::size_t end = colon == std::string::npos ? list.size() : colon;
            if (end > start) folders.push_back(list.substr(start, end - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    folders.push_back(InstalledFolder());
    return folders;
}

std::string InstalledFolder() { return DORNEL_INSTALLED_LIB_DIR; }

std::string DynlibErrorText() { return lastErrorText; }

}  // namespace platform::dynlib

HMODULE LoadLibraryA(const char* fileName) {
    using namespace platform::dynlib;
    if (fileName == nullptr || *fileName == '\0') {
        lastErrorText = "no library name";
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string system(fileName);
    if (system.find('/') != std::string::npos || system.find('\\') != std::string::npos) {
        void* handle = Open(NativeLibraryName(platform::paths::NativePath(system)));
        if (handle == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        lastErrorText.clear();
        return handle;
    }
    const std::string name = NativeLibraryName(system);
    for (const std::string& folder : SearchFolders()) {
        const std::string path = folder + "/" + name;
        // Only a file that is there is tried, so the error kept is about a library that
        // exists but failed to load, if any did.
        if (access(path.c_str(), F_OK) != 0) continue;
        if (void* handle = Open(path)) {
            lastErrorText.clear();
            return handle;
        }
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (void* handle = Open(name)) {
        lastErrorText.clear();
        return handle;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
    using namespace platform::dynlib;
    if (module == nullptr || procName == nullptr) {
        lastErrorText = "no library or symbol name";
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(module, procName);
    if (symbol == nullptr) {
        KeepLoaderError(procName);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    lastErrorText.clear();
    return symbol;
}

BOOL FreeLibrary(HMODULE module) {
    using namespace platform::dynlib;
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    dlerror();
    if (dlclose(module) != 0) {
        KeepLoaderError("dlclose");
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return 1;
}
