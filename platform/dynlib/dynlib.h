// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Loading plug-in libraries by the file names the system uses ("custauth.dll").
//
// LoadLibraryA("name.dll") loads "name.so" (a name without ".dll" is taken as it is),
// looking in this order:
//   1. the folder of the running executable (/proc/self/exe);
//   2. each folder of DORNEL_PLUGIN_DIR (colon-separated; empty entries are skipped);
//   3. the installed folder of plug-ins and applets, /usr/lib/dornel (InstalledFolder), where
//      the package puts them while the programs live in /usr/sbin and /usr/bin;
//   4. the dynamic loader's own search (LD_LIBRARY_PATH, the cache, the system folders).
// A name holding a "/" or "\" is a path: it is mapped with platform::paths and loaded
// from there only.
//
// Libraries are opened with RTLD_NOW | RTLD_LOCAL, so a plug-in with an unresolved symbol
// fails to load instead of failing later inside a call. The loader counts references, so
// several threads may load, use and free the same plug-in at once.
//
// Why the last load failed is kept per thread (the loader's text of the last folder tried)
// for the debug record, through DynlibErrorText.

#include <string>
#include <vector>

#include "platform/base/wintypes.h"

using HMODULE = void*;
using FARPROC = void*;

inline constexpr LONG ERROR_MOD_NOT_FOUND = 126;
inline constexpr LONG ERROR_PROC_NOT_FOUND = 127;

// Loads a library (search above). Returns its handle, or null with the last error
// ERROR_MOD_NOT_FOUND (or ERROR_INVALID_PARAMETER for a null or empty name).
HMODULE LoadLibraryA(const char* fileName);

// The address of an exported symbol, or null with ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE module, const char* procName);

// Releases one reference from LoadLibraryA; non-zero on success.
BOOL FreeLibrary(HMODULE module);

namespace platform::dynlib {

// The native file name loaded for a system name ("custauth.dll" -> "custauth.so").
std::string NativeLibraryName(const std::string& fileName);

// The folders searched before the loader's own search, in order: the executable's folder,
// each folder of the colon-separated list in the environment variable (DORNEL_PLUGIN_DIR for
// plug-ins; the control panel passes DORNEL_APPLET_DIR), then InstalledFolder().
std::vector<std::string> SearchFolders(const char* variable = "DORNEL_PLUGIN_DIR");

// The installed folder of plug-ins and applets: /usr/lib/dornel (DORNEL_INSTALLED_LIB_DIR at
// build time).
std::string InstalledFolder();

// The loader's text for this thread's last failed LoadLibraryA or GetProcAddress, or ""
// after a success.
std::string DynlibErrorText();

// A library loaded with LoadLibraryA, freed when it goes out of scope. Copy whatever a
// plug-in returned into your own buffers before the Library is destroyed.
class Library {
  public:
    // Loads fileName as LoadLibraryA does; IsLoaded tells whether it worked.
    explicit Library(const char* fileName) : module_(LoadLibraryA(fileName)) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool IsLoaded() const { return module_ != nullptr; }

    // The export name as a function pointer of type Function, or null when missing.
    template <typename Function>
    Function Find(const char* name) const {
        return reinterpret_cast<Function>(GetProcAddress(module_, name));
    }

  private:
    HMODULE module_;
};

}  // namespace platform::dynlib
