// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/configapplet.h"

#include <QLineEdit>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "platform/dynlib/dynlib.h"
#include "platform/remote/remote.h"
#include "platform/ui/ui.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/dhcpsetuppage.h"
#include "zuvexcpl/generalsetuppage.h"

CSelectServerDlg::CSelectServerDlg(QWidget* owner)
    : CTextEntryDlg("Select Dornel server",
                    "Type the UNC path to the machine running the Dornel server below. Leave "
                    "blank for this machine.",
                    owner) {
    Edit()->setMaxLength(60);
}

QString CSelectServerDlg::MachineName() const { return Edit()->text(); }

namespace {

// ssh may ask the administrator something (a password, a passphrase, a new host key):
// through dornel-askpass, as a dialog, found where the plug-ins are looked for (beside the
// program, then the installed folder). A site's own SSH_ASKPASS is kept.
void UseGraphicalSshPrompts() {
    platform::remote::SetPrompting(platform::remote::Prompting::Interactive);
    const char* own = std::getenv("SSH_ASKPASS");
    if (own && *own) return;
    for (const std::string& folder : platform::dynlib::SearchFolders()) {
        const std::string program = folder + "/dornel-askpass";
        if (::access(program.c_str(), X_OK) == 0) {
            ::setenv("SSH_ASKPASS", program.c_str(), 1);
            return;
        }
    }
}

}  // namespace

std::int32_t CConfigApplet::NewInquire(NEWCPLINFOA* info) {
    FillInfo(info, kConfigAppletIcon, "Dornel", "Dornel Configuration Applet", "");
    return 0;
}

std::int32_t CConfigApplet::DoubleClick(void* hwndCPl, std::intptr_t, std::intptr_t) {
    auto* owner = static_cast<QWidget*>(hwndCPl);
    CSelectServerDlg select(owner);
    if (select.exec() != QDialog::Accepted) return 0;
    theApp.serverName = select.MachineName().toStdString();

    // This machine's root, or the named machine's through a registry connection.
    HKEY root = HKEY_LOCAL_MACHINE;
    if (!theApp.serverName.empty()) {
        UseGraphicalSshPrompts();
        HKEY remote = nullptr;
        if (RegConnectRegistryA(theApp.serverName.c_str(), HKEY_LOCAL_MACHINE, &remote) !=
            ERROR_SUCCESS) {
            // ssh's own words say whether the host, the login or the server's programs failed.
            dornelui::MessageBox(owner, "Can't connect to remote server", "Error", dornelui::MB_OK,
                                 QString::fromStdString(platform::remote::LastConnectionError()));
            return 0;
        }
        root = remote;
    }

    theApp.ReadGeneralSettings(root);
    theApp.registryRoot = root;

    int result = QDialog::Rejected;
    {
        dornelui::CPropertySheet sheet("Dornel Configuration", owner);
        sheet.setObjectName("DornelConfigurationSheet");
        sheet.AddPage(new CDHCPSetupPage);
        sheet.AddPage(new CGeneralSetupPage);
        result = sheet.DoModal();
    }
    if (result == QDialog::Accepted) theApp.WriteGeneralSettings(root, owner);
    if (root != HKEY_LOCAL_MACHINE) RegCloseKey(root);
    theApp.registryRoot = nullptr;
    return 0;
}
