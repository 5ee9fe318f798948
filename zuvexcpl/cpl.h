// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The control-panel applet interface as it is on this platform: the messages a host sends
// to a module's CPlApplet entry and the two applet information records it passes. Shared by
// the applets (through cplapplet.h) and the host (dornelcpl), which needs nothing else.
//
// An applet module is a shared object exporting, with C linkage,
//     std::int32_t CPlApplet(void* hwndCPl, std::uint32_t message,
//                            std::intptr_t lParam1, std::intptr_t lParam2);
// hwndCPl is the host's window (a QWidget*, or null when the host shows none). A host calls
// init, get count, then new-inquire for each applet 0..count-1 (lParam1 the applet's index,
// lParam2 a NEWCPLINFOA*); to open one, double-click (lParam1 the index, lParam2 its lData),
// then stop (same arguments) and finally exit before unloading the module.

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t CPL_INIT = 1;
inline constexpr std::uint32_t CPL_GETCOUNT = 2;
inline constexpr std::uint32_t CPL_INQUIRE = 3;
inline constexpr std::uint32_t CPL_SELECT = 4;
inline constexpr std::uint32_t CPL_DBLCLK = 5;
inline constexpr std::uint32_t CPL_STOP = 6;
inline constexpr std::uint32_t CPL_EXIT = 7;
inline constexpr std::uint32_t CPL_NEWINQUIRE = 8;

// The entry's type, for a host that looks it up with dlsym.
using CplAppletProc = std::int32_t (*)(void* hwndCPl, std::uint32_t message, std::intptr_t lParam1,
                                       std::intptr_t lParam2);
inline constexpr const char* kCplAppletEntry = "CPlApplet";

// The short record of inquire: resource identifiers only (the entry stores the icon's).
struct CPLINFO {
    std::int32_t idIcon;
    std::int32_t idName;
    std::int32_t idInfo;
    std::int32_t reserved;  // keeps lData 8-aligned
    std::int64_t lData;
};
static_assert(sizeof(CPLINFO) == 24);

// The extended applet information record of new-inquire. Fixed-width fields, the same on
// every build of this platform; dwSize holds sizeof(NEWCPLINFOA) = 248.
//   offset  0  dwSize        record size
//   offset  4  dwFlags       0
//   offset  8  dwHelpContext 0
//   offset 12  idIcon        icon resource identifier of the module
//   offset 16  lData         applet data handed back with double-click and stop
//   offset 24  szName[32]    applet name, NUL-terminated
//   offset 56  szInfo[64]    description, NUL-terminated
//   offset 120 szHelpFile[128] help file, NUL-terminated ("" for none)
struct NEWCPLINFOA {
    std::uint32_t dwSize;
    std::uint32_t dwFlags;
    std::uint32_t dwHelpContext;
    std::int32_t idIcon;
    std::int64_t lData;
    char szName[32];
    char szInfo[64];
    char szHelpFile[128];
};
static_assert(sizeof(NEWCPLINFOA) == 248);
static_assert(offsetof(NEWCPLINFOA, idIcon) == 12);
static_assert(offsetof(NEWCPLINFOA, lData) == 16);
static_assert(offsetof(NEWCPLINFOA, szName) == 24);
static_assert(offsetof(NEWCPLINFOA, szInfo) == 56);
static_assert(offsetof(NEWCPLINFOA, szHelpFile) == 120);
