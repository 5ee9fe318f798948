// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The control panel's side of the applet interface: where applet libraries are looked for,
// and loading one to ask it for its applets.

#include <cstdint>
#include <string>
#include <vector>

#include "zuvexcpl/cpl.h"

namespace cplhost {

// The folders searched, in order: the executable's own folder, each folder of
// DORNEL_APPLET_DIR (separated by ":"), then the installed folder of plug-ins and applets
// (platform::dynlib::InstalledFolder()). Duplicates removed.
std::vector<std::string> AppletFolders();

// One applet as new-inquire describes it.
struct AppletInfo {
    std::string name;
    std::string description;
    std::int32_t icon = 0;
    std::int64_t data = 0;
};

// A loaded applet library. Load fails with a readable error for a file that cannot be
// loaded and for a library without CPlApplet.
class AppletLibrary {
  public:
    AppletLibrary() = default;
    ~AppletLibrary();
    AppletLibrary(const AppletLibrary&) = delete;
    AppletLibrary& operator=(const AppletLibrary&) = delete;

    bool Load(const std::string& path, std::string* error);
    // True when the library has no CPlApplet export (only after a failed Load).
    bool NotAnApplet() const { return notAnApplet_; }

    std::int32_t Call(void* window, std::uint32_t message, std::intptr_t lParam1,
                      std::intptr_t lParam2) const;
    // init, get count and new-inquire for every applet; false (with error) when init
    // refuses. The caller sends exit when done.
    bool Inquire(std::vector<AppletInfo>* applets, std::string* error);

  private:
    void* handle_ = nullptr;
    CplAppletProc entry_ = nullptr;
    bool notAnApplet_ = false;
};

// The base name of a library file ("/x/zuvexcpl.so" -> "zuvexcpl").
std::string BaseName(const std::string& path);

// Every applet library of the folders (first folder wins for a base name), sorted by name
// within each folder.
std::vector<std::string> AppletLibraries(const std::vector<std::string>& folders);

// The file of NAME: NAME itself when it contains "/", else NAME.so (".so" optional) in the
// first folder that has it; "" when none does.
std::string FindApplet(const std::string& name, const std::vector<std::string>& folders);

}  // namespace cplhost
