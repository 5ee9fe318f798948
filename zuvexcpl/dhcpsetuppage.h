// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The "Network Boot Setup" page: the DHCP and TFTP switches, the TFTP directory, the common
// client options of DHCP\General and the table of MAC addresses with their IP addresses
// (one DHCP\<MAC> key each). MAC entries are written and deleted at once; the options when
// the page is applied; the switches and the directory go to CConfigApp, which writes them
// when the sheet closes with OK.

#include <QDialog>
#include <string>

#include "platform/ui/ui.h"

class CIPAddrCtl;
class QCheckBox;
class QLineEdit;
class QPushButton;

// "Add New DHCP host entry": a MAC text and an address.
class CAddDHCPHostDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAddDHCPHostDlg(QWidget* owner = nullptr);

    std::string macAddress;             // "" at start
    std::string ipAddress = "0.0.0.0";  // "%d.%d.%d.%d" after OK

    QLineEdit* MacEdit() const { return mac_; }
    CIPAddrCtl* AddressCtl() const { return ip_; }
    QPushButton* OkButton() const { return ok_; }

    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QLineEdit* mac_ = nullptr;
    CIPAddrCtl* ip_ = nullptr;
    QPushButton* ok_ = nullptr;
};

class CDHCPSetupPage : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    explicit CDHCPSetupPage(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    bool OnApply() override;
    bool UpdateData(bool saveAndValidate) override;

    // Rebuilds the MAC list from the DHCP keys.
    void RefreshMacList();
    void OnAddMac();
    void OnDeleteMac();

    // Members.
    std::string domainName;
    int dhcpActive = 0;
    std::string tftpDirectory;
    int tftpActive = 0;
    std::string dns1 = "0.0.0.0";
    std::string dns2 = "0.0.0.0";
    std::string gateway = "0.0.0.0";
    std::string subnetMask = "0.0.0.0";

    // Fields, for tests and screenshots.
    dornelui::CListCtrl* MacList() const { return macList_; }
    QLineEdit* DomainEdit() const { return domain_; }
    QCheckBox* DhcpCheck() const { return dhcpCheck_; }
    QCheckBox* TftpCheck() const { return tftpCheck_; }
    QLineEdit* TftpDirectoryEdit() const { return tftpDir_; }
    CIPAddrCtl* Dns1Ctl() const { return dns1Ctl_; }
    CIPAddrCtl* Dns2Ctl() const { return dns2Ctl_; }
    CIPAddrCtl* GatewayCtl() const { return gatewayCtl_; }
    CIPAddrCtl* SubnetCtl() const { return subnetCtl_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* DeleteButton() const { return delete_; }

  private:
    void Message(const QString& text);

    dornelui::CListCtrl* macList_ = nullptr;
    QLineEdit* domain_ = nullptr;
    QCheckBox* dhcpCheck_ = nullptr;
    QCheckBox* tftpCheck_ = nullptr;
    QLineEdit* tftpDir_ = nullptr;
    CIPAddrCtl* dns1Ctl_ = nullptr;
    CIPAddrCtl* dns2Ctl_ = nullptr;
    CIPAddrCtl* gatewayCtl_ = nullptr;
    CIPAddrCtl* subnetCtl_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
};
