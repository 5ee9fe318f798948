// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CConfigApplet: the configuration applet's entry in the control panel. Opening it asks
// which machine runs the server (CSelectServerDlg), opens that machine's registry root,
// reads the general settings and shows the "Dornel Configuration" sheet; OK writes the
// general settings back.

#include "platform/ui/ui.h"
#include "zuvexcpl/cplapplet.h"

// The module's icon resource.
inline constexpr std::int32_t kConfigAppletIcon = 129;

class CConfigApplet : public CCplApplet {
  public:
    // The opening sequence; returns 0 to the control panel.
    std::int32_t DoubleClick(void* hwndCPl, std::intptr_t lParam1, std::intptr_t lParam2) override;
    // "Dornel", "Dornel Configuration Applet", icon 129, no help file.
    std::int32_t NewInquire(NEWCPLINFOA* info) override;
};

// The machine selection: one edit field of at most 60 characters, OK and Cancel.
class CSelectServerDlg : public dornelui::CTextEntryDlg {
    Q_OBJECT
  public:
    explicit CSelectServerDlg(QWidget* owner = nullptr);
    QString MachineName() const;
};
