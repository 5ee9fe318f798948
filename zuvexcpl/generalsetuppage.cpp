// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/generalsetuppage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "zuvexcpl/configapp.h"

using namespace dornelui;

namespace {
// Box keys are numbered with three digits.
constexpr int kMaxStations = 1000;
}  // namespace

CGeneralSetupPage::CGeneralSetupPage(QWidget* parent) : CPropertyPage("General Setup", parent) {
    auto* layout = new QVBoxLayout(this);

    // The stations and their control buttons.
    auto* stationsBox = new QGroupBox("Known Dornel Stations", this);
    auto* stationsRow = new QHBoxLayout(stationsBox);
    stations_ = new CListBox(stationsBox);
    stations_->setMinimumHeight(100);
    stationsRow->addWidget(stations_, 1);
    auto* stationButtons = new QGridLayout;
    const char* labels[] = {"Add",
                            "Delete",
                            "Modify",
                            "Bring Station Online",
                            "Take Station Offline",
                            "Reset Station",
                            "Reconfigure",
                            "Status Enquiry"};
    int at = 0;
    for (const char* label : labels) {
        auto* button = new QPushButton(label, stationsBox);
        button->setAutoDefault(false);
        stationButtons->addWidget(button, at < 3 ? at : at - 3, at < 3 ? 0 : 1);
        ++at;
    }
    stationsRow->addLayout(stationButtons);
    layout->addWidget(stationsBox);

    auto* logBox = new QGroupBox("Log Settings", this);
    auto* logForm = new QFormLayout(logBox);
    logDir_ = new QLineEdit(logBox);
    logPass_ = new QLineEdit(logBox);
    logPass_->setEchoMode(QLineEdit::Password);
    debug_ = new QCheckBox("Enable debug-level logging", logBox);
    logForm->addRow("Log Directory", logDir_);
    logForm->addRow("Log Password (share level access only)", logPass_);
    logForm->addRow(debug_);
    layout->addWidget(logBox);

    auto* spawnBox = new QGroupBox("Impersonation Details", this);
    auto* spawnForm = new QFormLayout(spawnBox);
    user_ = new QLineEdit(spawnBox);
    pass_ = new QLineEdit(spawnBox);
    pass_->setEchoMode(QLineEdit::Password);
    other_ = new QLineEdit(spawnBox);
    spawnForm->addRow("UserName", user_);
    spawnForm->addRow("Password", pass_);
    spawnForm->addRow("Other", other_);
    spawnForm->addRow(
        new QLabel("For NT, enter the user's domain. For Netware, enter TREE|CONTEXT|", spawnBox));
    layout->addWidget(spawnBox);
    layout->addStretch();

    connect(debug_, &QCheckBox::clicked, this,
            [this](bool checked) { OnDebugLogClicked(checked); });
}

bool CGeneralSetupPage::OnInitDialog() {
    RefreshStationList();
    SetModified(true);
    logDirectory = theApp.logDirectory;
    logPasswd = theApp.logPasswd;
    enableDebugLog = theApp.enableDebugLog;
    spawnUser = theApp.spawnUser;
    spawnPasswd = theApp.spawnPasswd;
    spawnDomain = theApp.spawnDomain;
    return UpdateData(false);
}

bool CGeneralSetupPage::UpdateData(bool save) {
    if (!save) {
        logDir_->setText(QString::fromStdString(logDirectory));
        logPass_->setText(QString::fromStdString(logPasswd));
        debug_->setChecked(enableDebugLog != 0);
        user_->setText(QString::fromStdString(spawnUser));
        pass_->setText(QString::fromStdString(spawnPasswd));
        other_->setText(QString::fromStdString(spawnDomain));
        return true;
    }
    logDirectory = logDir_->text().toStdString();
    logPasswd = logPass_->text().toStdString();
    enableDebugLog = debug_->isChecked() ? 1 : 0;
    spawnUser = user_->text().toStdString();
    spawnPasswd = pass_->text().toStdString();
    spawnDomain = other_->text().toStdString();
    return true;
}

void CGeneralSetupPage::OnDebugLogClicked(bool checked) {
    if (!checked) return;
    const int answer = MessageBox(
        this,
        "Enabling the debug-level logging will cause your log file to grow large and may impact "
        "on system performance. Are you sure?",
        CConfigApp::AppName(), MB_YESNO | MB_ICONQUESTION);
    if (answer != IDYES) debug_->setChecked(false);
}

bool CGeneralSetupPage::OnApply() {
    if (!UpdateData(true)) return false;
    theApp.logDirectory = logDirectory;
    theApp.logPasswd = logPasswd;
    theApp.enableDebugLog = enableDebugLog;
    theApp.spawnDomain = spawnDomain;
    theApp.spawnUser = spawnUser;
    theApp.spawnPasswd = spawnPasswd;
    theApp.numServers = stations_->GetCount();
    return true;
}

void CGeneralSetupPage::RefreshStationList() {
    // One line per configured box, so that a line's position is its box number: the box's
    // FriendlyName, or its key name when the key or the name is missing (such a box still
    // counts, and NumServers keeps it).
    stations_->ResetContent();
    const int count = theApp.numServers < 0 ? 0 : std::min(theApp.numServers, kMaxStations);
    for (int i = 0; i < count; ++i) {
        char keyName[16];
        std::snprintf(keyName, sizeof keyName, "Box%03d", i);
        std::string friendly;
        HKEY box = nullptr;
        const std::string path = std::string(kZuvexBoxKey) + "\\" + keyName;
        bool named = false;
        if (RegOpenKeyExA(theApp.registryRoot, path.c_str(), 0, KEY_ALL_ACCESS, &box) ==
            ERROR_SUCCESS) {
            named = ReadRegistryText(box, "FriendlyName", &friendly);
            RegCloseKey(box);
        }
        stations_->AddString(named ? QString::fromStdString(friendly)
                                   : QString("(%1)").arg(keyName));
    }
    theApp.numServers = stations_->GetCount();
}
