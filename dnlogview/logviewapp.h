// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The log viewer's application and applet objects. Opening the applet asks for the machine
// that runs the server (CSelectLogServerDlg), binds to its DornelLog interface through
// that machine's endpoint mapper, checks the connection with Ping, shows the log window
// (CLogViewDlg) modally and, once it is closed, calls UnPing and frees the binding. Every
// opening binds afresh; nothing is remembered between openings.

#include <QDialog>
#include <QString>
#include <cstdint>

#include "platform/rpc/rpc.h"
#include "platform/ui/ui.h"
#include "zuvexcpl/cplapplet.h"

class QLineEdit;
class QPushButton;

// The module's icon resource.
inline constexpr std::int32_t kLogViewerIcon = 129;

// Messages of the opening.
inline constexpr const char* kCannotConnectText = "Could not connect to the Dornel RPC server";
inline constexpr const char* kCannotPingText = "Could not ping the RPC server";

// The caption of the viewer's message boxes.
inline constexpr const char* kLogViewerCaption = "Dornel Log";

class CLogViewerApplet : public CCplApplet {
  public:
    ~CLogViewerApplet() override;

    // The opening sequence; returns 0 to the control panel.
    std::int32_t DoubleClick(void* hwndCPl, std::intptr_t lParam1, std::intptr_t lParam2) override;
    // "Dornel Log", "Dornel Logging Utility", icon 129, no help file.
    std::int32_t NewInquire(NEWCPLINFOA* info) override;

    // Binds to the log interface on address (a dotted address or a host name; no endpoint,
    // so the runtime asks that machine's endpoint mapper), authentication level none. True
    // when the string binding, the handle and the authentication were all made.
    bool Bind(const QString& address);
    // Frees the binding and the string binding (either may be null).
    void Unbind();

    RPC_CSTR stringBinding = nullptr;
    RPC_BINDING_HANDLE binding = nullptr;
};

// The module's one application object: it owns the applet.
class CLogViewerApp {
  public:
    CLogViewerApp() = default;
    CLogViewerApp(const CLogViewerApp&) = delete;
    CLogViewerApp& operator=(const CLogViewerApp&) = delete;

    CLogViewerApplet applet;
};

// "Select Dornel server": the address of the server's machine, at most 60 characters.
class CSelectLogServerDlg : public dornelui::CTextEntryDlg {
    Q_OBJECT
  public:
    explicit CSelectLogServerDlg(QWidget* owner = nullptr);

    // Takes the field into serverAddress when the dialog is accepted.
    void accept() override;

    QString serverAddress;
};
