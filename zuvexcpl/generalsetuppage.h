// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The "General Setup" page: the log settings and the impersonation account, copied into
// CConfigApp when the page is applied, and the list of known stations with its buttons.

#include <QList>
#include <string>

#include "platform/ui/ui.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

class CGeneralSetupPage : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    explicit CGeneralSetupPage(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    bool OnApply() override;
    bool UpdateData(bool saveAndValidate) override;

    // Rebuilds the station list from the Box%03ld keys and sets numServers to its length.
    void RefreshStationList();
    // "Enable debug-level logging" was clicked.
    void OnDebugLogClicked(bool checked);

    // The station buttons. A line's position in the list is its box number.
    void OnAddStation();
    void OnDeleteStation();
    void OnModifyStation();
    // One of the four control requests: 128 reset, 129 off line, 130 on line, 131
    // reconfigure. Asks, writes the control key and sends the code to the service.
    void OnControlStation(int code);
    // Reads the selected box's status port and shows what the box sends.
    void OnStatusEnquiry();
    // Stores the box number for the service's next control code; shows "Cannot create
    // control key" and returns false when the key cannot be written.
    bool WriteControlKey(int box);

    std::string logDirectory;
    std::string logPasswd;
    int enableDebugLog = 0;
    std::string spawnUser;
    std::string spawnPasswd;
    std::string spawnDomain;

    QLineEdit* LogDirectoryEdit() const { return logDir_; }
    QLineEdit* LogPasswordEdit() const { return logPass_; }
    QCheckBox* DebugLogCheck() const { return debug_; }
    QLineEdit* UserEdit() const { return user_; }
    QLineEdit* PasswordEdit() const { return pass_; }
    QLineEdit* OtherEdit() const { return other_; }
    dornelui::CListBox* StationList() const { return stations_; }
    // "Add", "Delete", "Modify", "Bring Station Online", "Take Station Offline",
    // "Reset Station", "Reconfigure", "Status Enquiry", by that index.
    QPushButton* StationButton(int index) const { return buttons_.at(index); }

  private:
    QLineEdit* logDir_ = nullptr;
    QLineEdit* logPass_ = nullptr;
    QCheckBox* debug_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* pass_ = nullptr;
    QLineEdit* other_ = nullptr;
    dornelui::CListBox* stations_ = nullptr;
    QList<QPushButton*> buttons_;
};
