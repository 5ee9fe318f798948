// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "dnlogview/logviewapp.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "dnlogview/logviewdlg.h"
#include "interface/dornellog.h"
#include "platform/ui/ui.h"

// The viewer's allocator pair: zero-filled blocks, as the server's.
void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }
void MIDL_user_free(void* block) { std::free(block); }

CSelectLogServerDlg::CSelectLogServerDlg(QWidget* owner)
    : CTextEntryDlg("Select Dornel server",
                    "Type the IP addres of the machine running the Dornel server below. You may "
                    "leave this blank for the local machine",
                    owner) {
    setObjectName("SelectLogServerDlg");
    Edit()->setObjectName("serverAddress");
    Edit()->setMaxLength(60);
}

void CSelectLogServerDlg::accept() {
    serverAddress = Edit()->text().trimmed();
    QDialog::accept();
}

CLogViewerApplet::~CLogViewerApplet() { Unbind(); }

std::int32_t CLogViewerApplet::NewInquire(NEWCPLINFOA* info) {
    FillInfo(info, kLogViewerIcon, "Dornel Log", "Dornel Logging Utility", "");
    return 0;
}

bool CLogViewerApplet::Bind(const QString& address) {
    Unbind();
    try {
        const QByteArray host = address.toLocal8Bit();
        if (RpcStringBindingComposeA(kDornelLogUuid, "ncacn_ip_tcp", host.constData(), nullptr,
                                     nullptr, &stringBinding) != RPC_S_OK) {
            return false;
        }
        if (RpcBindingFromStringBindingA(reinterpret_cast<const char*>(stringBinding), &binding) !=
            RPC_S_OK) {
            binding = nullptr;
            return false;
        }
        if (RpcBindingSetAuthInfoA(binding, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_AUTHN_NONE,
                                   nullptr, 0) != RPC_S_OK) {
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    return binding != nullptr;
}

void CLogViewerApplet::Unbind() {
    if (binding) RpcBindingFree(&binding);
    binding = nullptr;
    if (stringBinding) RpcStringFreeA(&stringBinding);
    stringBinding = nullptr;
}

std::int32_t CLogViewerApplet::DoubleClick(void* hwndCPl, std::intptr_t, std::intptr_t) {
    auto* owner = static_cast<QWidget*>(hwndCPl);
    QString address;
    {
        CSelectLogServerDlg select(owner);
        if (select.exec() != QDialog::Accepted) return 0;
        address = select.serverAddress;
    }
    if (address.isEmpty()) address = "127.0.0.1";

    if (!Bind(address)) {
        Unbind();
        dornelui::MessageBox(owner, kCannotConnectText, kLogViewerCaption, dornelui::MB_OK);
        return 0;
    }
    // The first call also finds the server's endpoint through the endpoint mapper: a
    // machine without a server fails here, in the runtime.
    error_status_t status = 0;
    try {
        status = DornelLogClient::Ping(binding);
    } catch (const std::exception&) {
        Unbind();
        dornelui::MessageBox(owner, kCannotConnectText, kLogViewerCaption, dornelui::MB_OK);
        return 0;
    }
    if (status != 0) {
        dornelui::MessageBox(owner, kCannotPingText, kLogViewerCaption, dornelui::MB_OK);
    }

    {
        CLogViewDlg view(&binding);
        view.exec();
    }

    try {
        DornelLogClient::UnPing(binding);
    } catch (const std::exception&) {
        // The server went away while the window was open; there is nothing left to release
        // on its side.
    }
    Unbind();
    return 0;
}
