// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The control-panel applet framework (library dornel_cplframework): the base applet object
// and the module's exported CPlApplet entry that dispatches the host's messages to it.
//
// A module derives one class from CCplApplet and defines one object of it at namespace
// scope; the base constructor records it as the module's one applet, and CPlApplet (defined
// in the framework and exported with C linkage) hands every message to that object. Link the
// module with the framework and build it with hidden visibility: CPlApplet is the only
// symbol the module exports.

#include <cstdint>

#include "zuvexcpl/cpl.h"

class CCplApplet {
  public:
    CCplApplet();
    virtual ~CCplApplet();  // destroy
    CCplApplet(const CCplApplet&) = delete;
    CCplApplet& operator=(const CCplApplet&) = delete;

    // The host's messages, in the order of the virtual table, with the base results.
    virtual std::int32_t DoubleClick(void* hwndCPl, std::intptr_t lParam1,
                                     std::intptr_t lParam2);  // 0
    virtual std::int32_t Exit();                              // 0
    virtual std::int32_t GetCount();                          // 1
    virtual std::int32_t Init();                              // 1
    // Fills icon 1, "Applet", "Raw Cpl Applet", no help file; returns 0.
    virtual std::int32_t NewInquire(NEWCPLINFOA* info);
    virtual std::int32_t Select(std::intptr_t lParam1, std::intptr_t lParam2);  // 1
    virtual std::int32_t Stop(std::intptr_t lParam1, std::intptr_t lParam2);    // 1

    // The module's one applet (the last constructed and not yet destroyed), or null.
    static CCplApplet* TheApplet();

  protected:
    // Fills a new-inquire record: size, no flags, no help context, lData 0, the icon
    // resource and the texts (cut to their fields, always NUL-terminated).
    static void FillInfo(NEWCPLINFOA* info, std::int32_t icon, const char* name,
                         const char* description, const char* helpFile);
};

// The file name of the module that holds this framework, without folder and extension
// ("zuvexcpl" for zuvexcpl.so): the applets caption their message boxes with it.
const char* CplModuleName();

extern "C" __attribute__((visibility("default"))) std::int32_t CPlApplet(void* hwndCPl,
                                                                         std::uint32_t message,
                                                                         std::intptr_t lParam1,
                                                                         std::intptr_t lParam2);
