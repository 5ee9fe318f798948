// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/cplapplet.h"

#include <cstring>
#include <string>

#include <dlfcn.h>

namespace {
CCplApplet* theApplet = nullptr;

void CopyText(char* field, std::size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text) std::strncpy(field, text, size - 1);
}
}  // namespace

CCplApplet::CCplApplet() { theApplet = this; }

CCplApplet::~CCplApplet() {
    if (theApplet == this) theApplet = nullptr;
}

std::int32_t CCplApplet::DoubleClick(void*, std::intptr_t, std::intptr_t) { return 0; }
std::int32_t CCplApplet::Exit() { return 0; }
std::int32_t CCplApplet::GetCount() { return 1; }
std::int32_t CCplApplet::Init() { return 1; }

std::int32_t CCplApplet::NewInquire(NEWCPLINFOA* info) {
    FillInfo(info, 1, "Applet", "Raw Cpl Applet", "");
    return 0;
}

std::int32_t CCplApplet::Select(std::intptr_t, std::intptr_t) { return 1; }
std::int32_t CCplApplet::Stop(std::intptr_t, std::intptr_t) { return 1; }

CCplApplet* CCplApplet::TheApplet() { return theApplet; }

void CCplApplet::FillInfo(NEWCPLINFOA* info, std::int32_t icon, const char* name,
                          const char* description, const char* helpFile) {
    if (!info) return;
    std::memset(info, 0, sizeof *info);
    info->dwSize = sizeof *info;
    info->idIcon = icon;
    CopyText(info->szName, sizeof info->szName, name);
    CopyText(info->szInfo, sizeof info->szInfo, description);
    CopyText(info->szHelpFile, sizeof info->szHelpFile, helpFile);
}

const char* CplModuleName() {
    static const std::string name = [] {
        Dl_info where{};
        std::string file;
        if (::dladdr(reinterpret_cast<void*>(&CPlApplet), &where) != 0 && where.dli_fname) {
            file = where.dli_fname;
        }
        if (const auto slash = file.rfind('/'); slash != std::string::npos) {
            file.erase(0, slash + 1);
        }
        if (const auto dot = file.find('.'); dot != std::string::npos) file.erase(dot);
        return file;
    }();
    return name.c_str();
}

extern "C" std::int32_t CPlApplet(void* hwndCPl, std::uint32_t message, std::intptr_t lParam1,
                                  std::intptr_t lParam2) {
    CCplApplet* applet = theApplet;
    switch (message) {
        case CPL_INIT:
            return applet ? applet->Init() : 0;
        case CPL_GETCOUNT:
            return applet ? applet->GetCount() : 0;
        case CPL_INQUIRE:
            // Only the icon identifier of the short record is stored.
            if (lParam2) reinterpret_cast<CPLINFO*>(lParam2)->idIcon = 0;
            return 1;
        case CPL_SELECT:
            return applet ? applet->Select(lParam1, lParam2) : 1;
        case CPL_DBLCLK:
            return applet ? applet->DoubleClick(hwndCPl, lParam1, lParam2) : 0;
        case CPL_STOP:
            return applet ? applet->Stop(lParam1, lParam2) : 1;
        case CPL_EXIT:
            return applet ? applet->Exit() : 0;
        case CPL_NEWINQUIRE:
            return applet ? applet->NewInquire(reinterpret_cast<NEWCPLINFOA*>(lParam2)) : 0;
        default:
            return 1;
    }
}
