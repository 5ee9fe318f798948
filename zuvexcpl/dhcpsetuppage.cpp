// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/dhcpsetuppage.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "zuvexcpl/configapp.h"
#include "zuvexcpl/ipaddrctl.h"

using namespace dornelui;

namespace {
std::string DhcpSubkey(const std::string& name) { return std::string(kDhcpKey) + "\\" + name; }
}  // namespace

// ---------------------------------------------------------------------------------------
// CAddDHCPHostDlg

CAddDHCPHostDlg::CAddDHCPHostDlg(QWidget* owner) : QDialog(owner) {
    setWindowTitle("Add New DHCP host entry");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "Enter a new MAC to IP address map. The MAC address MUST be in the form "
        "00-00-00-00-00-00",
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* form = new QFormLayout;
    mac_ = new QLineEdit(this);
    ip_ = new CIPAddrCtl(this);
    form->addRow("New MAC address", mac_);
    form->addRow("New IP address", ip_);
    layout->addLayout(form);
    const dornelui::OkCancelButtons buttons = dornelui::AddOkCancelButtons(this, layout);
    ok_ = buttons.ok;
    resize(360, sizeHint().height());
}

void CAddDHCPHostDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    mac_->setText(QString::fromStdString(macAddress));
    ip_->SetText(QString::fromStdString(ipAddress));
}

void CAddDHCPHostDlg::done(int result) {
    if (result == QDialog::Accepted) {
        QString address;
        if (!ip_->GetText(&address)) return;  // the message was shown; the dialog stays
        macAddress = mac_->text().toStdString();
        ipAddress = address.toStdString();
    }
    QDialog::done(result);
}

// ---------------------------------------------------------------------------------------
// CDHCPSetupPage: layout

CDHCPSetupPage::CDHCPSetupPage(QWidget* parent) : CPropertyPage("Network Boot Setup", parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(
        "The Dornel server implements a DHCP and TFTP server which are required to\n"
        "network boot the client Dornel stations. If you already have an assigned DHCP and\n"
        "TFTP server on your network, DO NOT enable this one. ",
        this));
    auto* switches = new QHBoxLayout;
    dhcpCheck_ = new QCheckBox("Enable DHCP Server", this);
    tftpCheck_ = new QCheckBox("Enable TFTP Server", this);
    switches->addWidget(dhcpCheck_);
    switches->addWidget(tftpCheck_);
    switches->addStretch();
    layout->addLayout(switches);

    auto* options = new QGroupBox("Common Client Options", this);
    auto* grid = new QGridLayout(options);
    domain_ = new QLineEdit(options);
    dns1Ctl_ = new CIPAddrCtl(options);
    dns2Ctl_ = new CIPAddrCtl(options);
    gatewayCtl_ = new CIPAddrCtl(options);
    subnetCtl_ = new CIPAddrCtl(options);
    dns1Ctl_->setObjectName("dns1");
    dns2Ctl_->setObjectName("dns2");
    gatewayCtl_->setObjectName("gateway");
    subnetCtl_->setObjectName("subnet");
    grid->addWidget(new QLabel("Domain Name", options), 0, 0);
    grid->addWidget(domain_, 0, 1, 1, 2);
    grid->addWidget(new QLabel("DNS Servers", options), 1, 0);
    grid->addWidget(dns1Ctl_, 1, 1);
    grid->addWidget(dns2Ctl_, 1, 2);
    grid->addWidget(new QLabel("Gateway", options), 2, 0);
    grid->addWidget(gatewayCtl_, 2, 1);
    grid->addWidget(new QLabel("Subnet Mask", options), 3, 0);
    grid->addWidget(subnetCtl_, 3, 1);
    layout->addWidget(options);

    auto* macRow = new QHBoxLayout;
    macList_ = new CListCtrl(this);
    macList_->setMinimumHeight(110);
    macRow->addWidget(macList_, 1);
    auto* macButtons = new QVBoxLayout;
    add_ = new QPushButton("Add MAC address", this);
    delete_ = new QPushButton("Delete MAC", this);
    add_->setAutoDefault(false);
    delete_->setAutoDefault(false);
    macButtons->addWidget(add_);
    macButtons->addWidget(delete_);
    macButtons->addStretch();
    macRow->addLayout(macButtons);
    layout->addLayout(macRow);

    auto* tftpRow = new QHBoxLayout;
    tftpRow->addWidget(new QLabel("TFTP Kernel Image Directory", this));
    tftpDir_ = new QLineEdit(this);
    tftpRow->addWidget(tftpDir_, 1);
    layout->addLayout(tftpRow);

    connect(add_, &QPushButton::clicked, this, [this] { OnAddMac(); });
    connect(delete_, &QPushButton::clicked, this, [this] { OnDeleteMac(); });
}

void CDHCPSetupPage::Message(const QString& text) { Exclaim(this, text); }

// ---------------------------------------------------------------------------------------
// Creation, data exchange, apply

bool CDHCPSetupPage::OnInitDialog() {
    dhcpActive = theApp.dhcpActive;
    tftpActive = theApp.tftpActive;
    tftpDirectory = theApp.tftpDirectory;
    dns1 = dns2 = gateway = subnetMask = "0.0.0.0";

    HKEY general = nullptr;
    if (RegOpenKeyExA(theApp.registryRoot, kDhcpGeneralKey, 0, KEY_ALL_ACCESS, &general) ==
        ERROR_SUCCESS) {
        ReadRegistryText(general, "SUBNETMASK", &subnetMask);
        ReadRegistryText(general, "ROUTER_1", &gateway);
        ReadRegistryText(general, "DNS_1", &dns1);
        ReadRegistryText(general, "DNS_2", &dns2);
        ReadRegistryText(general, "DOMAINNAME", &domainName);
        RegCloseKey(general);
        SetModified(true);
        RefreshMacList();
    }
    UpdateData(false);
    return true;
}

bool CDHCPSetupPage::UpdateData(bool save) {
    if (!save) {
        domain_->setText(QString::fromStdString(domainName));
        dhcpCheck_->setChecked(dhcpActive != 0);
        tftpDir_->setText(QString::fromStdString(tftpDirectory));
        tftpCheck_->setChecked(tftpActive != 0);
        dns1Ctl_->SetText(QString::fromStdString(dns1));
        dns2Ctl_->SetText(QString::fromStdString(dns2));
        gatewayCtl_->SetText(QString::fromStdString(gateway));
        subnetCtl_->SetText(QString::fromStdString(subnetMask));
        return true;
    }
    domainName = domain_->text().toStdString();
    dhcpActive = dhcpCheck_->isChecked() ? 1 : 0;
    tftpDirectory = tftpDir_->text().toStdString();
    tftpActive = tftpCheck_->isChecked() ? 1 : 0;
    struct Exchange {
        CIPAddrCtl* control;
        std::string* member;
    };
    for (const Exchange& field :
         {Exchange{dns1Ctl_, &dns1}, Exchange{dns2Ctl_, &dns2}, Exchange{gatewayCtl_, &gateway},
          Exchange{subnetCtl_, &subnetMask}}) {
        QString text;
        if (!field.control->GetText(&text)) return false;
        *field.member = text.toStdString();
    }
    return true;
}

bool CDHCPSetupPage::OnApply() {
    if (!UpdateData(true)) return false;
    theApp.dhcpActive = dhcpActive;
    theApp.tftpActive = tftpActive;
    theApp.tftpDirectory = tftpDirectory;

    HKEY general = nullptr;
    if (RegCreateKeyExA(theApp.registryRoot, kDhcpGeneralKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &general, nullptr) != ERROR_SUCCESS) {
        Message("Could not write general DHCP parameters");
        return false;
    }
    // Every option is tried; one that is not written keeps the sheet open, as a key that
    // cannot be opened does (an account that may only read, a lost connection).
    bool written = true;
    for (const auto& [name, value] :
         {std::pair<const char*, const std::string&>{"SUBNETMASK", subnetMask},
          {"ROUTER_1", gateway},
          {"DNS_1", dns1},
          {"DNS_2", dns2},
          {"DOMAINNAME", domainName}}) {
        written = WriteRegistryText(general, name, value) == ERROR_SUCCESS && written;
    }
    RegCloseKey(general);
    if (!written) Message("Could not write general DHCP parameters");
    return written;
}

// ---------------------------------------------------------------------------------------
// The MAC list

void CDHCPSetupPage::RefreshMacList() {
    macList_->DeleteAllColumns();
    macList_->InsertColumn(0, "MAC address");
    macList_->InsertColumn(1, "IP address");

    HKEY dhcp = nullptr;
    if (RegOpenKeyExA(theApp.registryRoot, kDhcpKey, 0, KEY_ALL_ACCESS, &dhcp) != ERROR_SUCCESS) {
        return;
    }
    macList_->SetColumnWidth(0, 2 * macList_->GetStringWidth("99-99-99-99-99-99"));
    macList_->SetColumnWidth(1, 2 * macList_->GetStringWidth("999.999.999.999"));
    for (DWORD index = 0;; ++index) {
        char name[1024];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(dhcp, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        const std::string subkey(name, length);
        if (subkey == "General") continue;
        const int row =
            macList_->InsertItem(macList_->GetItemCount(), QString::fromStdString(subkey));
        HKEY client = nullptr;
        if (RegOpenKeyExA(dhcp, subkey.c_str(), 0, KEY_ALL_ACCESS, &client) == ERROR_SUCCESS) {
            std::string address;
            if (ReadRegistryText(client, "IPADDR", &address)) {
                macList_->SetItemText(row, 1, QString::fromStdString(address));
            }
            RegCloseKey(client);
        }
    }
    RegCloseKey(dhcp);
}

void CDHCPSetupPage::OnAddMac() {
    CAddDHCPHostDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    // A MAC text names one key below DHCP: an empty text or one with a backslash would
    // write into the DHCP key itself or into a nested key the server never reads.
    HKEY client = nullptr;
    if (dialog.macAddress.empty() || dialog.macAddress.find('\\') != std::string::npos ||
        RegCreateKeyExA(theApp.registryRoot, DhcpSubkey(dialog.macAddress).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &client,
                        nullptr) != ERROR_SUCCESS) {
        Message("Cannot create new key");
        return;
    }
    if (WriteRegistryText(client, "IPADDR", dialog.ipAddress) != ERROR_SUCCESS) {
        Message("Cannot write IP address");
        RegCloseKey(client);
        return;
    }
    RegCloseKey(client);
    RefreshMacList();
}

void CDHCPSetupPage::OnDeleteMac() {
    if (macList_->GetSelectedCount() != 1) {
        Message("Please select one MAC address to delete");
        return;
    }
    const std::string mac = macList_->GetItemText(macList_->GetFirstSelected(), 0).toStdString();
    if (MessageBox(this,
                   "Are you sure you wish to delete this MAC? The box will be unable to boot if "
                   "you do so.",
                   CConfigApp::AppName(), MB_YESNO | MB_ICONQUESTION) == IDNO) {
        return;
    }
    if (RegDeleteKeyA(theApp.registryRoot, DhcpSubkey(mac).c_str()) != ERROR_SUCCESS) {
        Message("Unable to delete the MAC address");
        return;
    }
    RefreshMacList();
}
