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
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>

#include "client/src/Socket.h"
#include "platform/service/scm.h"
#include "zuvexcpl/boxsheet.h"
#include "zuvexcpl/configapp.h"

using namespace dornelui;

namespace {
// Box keys are numbered with three digits.
constexpr int kMaxStations = 1000;
// Wide enough for the tabs of the box sheet's four pages.
constexpr int kBoxSheetWidth = 640;
constexpr const char* kControlKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\Control";
constexpr const char* kServiceName = "dornelman";

std::string BoxKeyName(long box) {
    char name[24];
    std::snprintf(name, sizeof name, "Box%03ld", box);
    return name;
}

std::string BoxKeyPath(long box) { return std::string(kZuvexBoxKey) + "\\" + BoxKeyName(box); }

// Moves every value of the main key's subkey from into a fresh subkey to (a key left at to
// goes first). A missing from leaves to missing too. False when the registry refused.
bool MoveBoxKey(HKEY main, long from, long to) {
    const std::string fromName = BoxKeyName(from);
    const std::string toName = BoxKeyName(to);
    const LONG gone = RegDeleteKeyA(main, toName.c_str());
    if (gone != ERROR_SUCCESS && gone != ERROR_FILE_NOT_FOUND) return false;
    HKEY source = nullptr;
    if (RegOpenKeyExA(main, fromName.c_str(), 0, KEY_ALL_ACCESS, &source) != ERROR_SUCCESS) {
        return true;
    }
    HKEY target = nullptr;
    bool moved = RegCreateKeyExA(main, toName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &target, nullptr) == ERROR_SUCCESS;
    for (DWORD index = 0; moved; ++index) {
        char name[1024];
        DWORD nameSize = sizeof name;
        std::vector<BYTE> data(64 * 1024);
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LONG rc =
            RegEnumValueA(source, index, name, &nameSize, nullptr, &type, data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        moved = rc == ERROR_SUCCESS &&
                RegSetValueExA(target, name, 0, type, data.data(), dataSize) == ERROR_SUCCESS;
    }
    if (target) RegCloseKey(target);
    RegCloseKey(source);
    return moved && RegDeleteKeyA(main, fromName.c_str()) == ERROR_SUCCESS;
}

// The number of boxes goes into the registry at once whenever the box keys are renumbered
// or added to, so that the server and the keys never disagree about which boxes exist.
// False when the count could not be written.
bool StoreNumServers() {
    HKEY main = nullptr;
    if (RegCreateKeyExA(theApp.registryRoot, kZuvexBoxKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &main, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool written =
        WriteRegistryNumber(main, "NumServers", theApp.numServers) == ERROR_SUCCESS;
    RegCloseKey(main);
    return written;
}

// Shown instead of the success message when a box's values could not all be written.
constexpr const char* kBoxNotWritten = "Cannot write box configuration";
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
        buttons_.append(button);
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
    connect(buttons_[0], &QPushButton::clicked, this, [this] { OnAddStation(); });
    connect(buttons_[1], &QPushButton::clicked, this, [this] { OnDeleteStation(); });
    connect(buttons_[2], &QPushButton::clicked, this, [this] { OnModifyStation(); });
    connect(buttons_[3], &QPushButton::clicked, this, [this] { OnControlStation(130); });
    connect(buttons_[4], &QPushButton::clicked, this, [this] { OnControlStation(129); });
    connect(buttons_[5], &QPushButton::clicked, this, [this] { OnControlStation(128); });
    connect(buttons_[6], &QPushButton::clicked, this, [this] { OnControlStation(131); });
    connect(buttons_[7], &QPushButton::clicked, this, [this] { OnStatusEnquiry(); });
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
        std::string friendly;
        HKEY box = nullptr;
        bool named = false;
        if (RegOpenKeyExA(theApp.registryRoot, BoxKeyPath(i).c_str(), 0, KEY_ALL_ACCESS, &box) ==
            ERROR_SUCCESS) {
            named = ReadRegistryText(box, "FriendlyName", &friendly);
            RegCloseKey(box);
        }
        stations_->AddString(named ? QString::fromStdString(friendly)
                                   : QString("(%1)").arg(BoxKeyName(i).c_str()));
    }
    theApp.numServers = stations_->GetCount();
}

// ---------------------------------------------------------------------------------------
// Add, Delete, Modify

void CGeneralSetupPage::OnAddStation() {
    CPropertySheet sheet("Dornel Configuration", this);
    sheet.resize(kBoxSheetWidth, sheet.sizeHint().height());
    auto* station = new CStationSetupPage;
    auto* auth = new CAuthenticationSetup;
    auto* link = new CPrintLinkPage;
    sheet.AddPage(station);
    sheet.AddPage(auth);
    sheet.AddPage(link);
    if (sheet.DoModal() != QDialog::Accepted) return;

    // The new box takes the number after the listed ones, so that every line keeps its
    // box number; a key left behind at that number is replaced, not merged.
    const int number = stations_->GetCount();
    HKEY main = nullptr;
    HKEY box = nullptr;
    bool created =
        number < kMaxStations &&
        RegCreateKeyExA(theApp.registryRoot, kZuvexBoxKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &main, nullptr) == ERROR_SUCCESS;
    if (created) {
        const LONG gone = RegDeleteKeyA(main, BoxKeyName(number).c_str());
        created =
            (gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND) &&
            RegCreateKeyExA(main, BoxKeyName(number).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &box, nullptr) == ERROR_SUCCESS;
    }
    if (main) RegCloseKey(main);
    if (!created) {
        Exclaim(this, "Cannot create new configuration key");
        return;
    }
    // The count takes the new key even when some of its values failed, so the box is
    // listed and can be modified or deleted.
    bool written = boxconfig::Store(box, true, *station, *auth, *link, nullptr);
    RegCloseKey(box);
    theApp.numServers = number + 1;
    written = StoreNumServers() && written;
    Exclaim(this, written ? "Box details added" : kBoxNotWritten);
    RefreshStationList();
}

void CGeneralSetupPage::OnModifyStation() {
    const int selected = stations_->GetCurSel();
    if (selected < 0) {
        Exclaim(this, "Please select a box first");
        return;
    }
    HKEY box = nullptr;
    if (RegOpenKeyExA(theApp.registryRoot, BoxKeyPath(selected).c_str(), 0, KEY_ALL_ACCESS, &box) !=
        ERROR_SUCCESS) {
        Exclaim(this, "Cannot access box configuration");
        return;
    }
    CPropertySheet sheet("Dornel Configuration", this);
    sheet.resize(kBoxSheetWidth, sheet.sizeHint().height());
    auto* station = new CStationSetupPage;
    auto* auth = new CAuthenticationSetup;
    auto* link = new CPrintLinkPage;
    auto* messages = new CMessagePage;
    boxconfig::Load(box, station, auth, link, messages);
    sheet.AddPage(station);
    sheet.AddPage(auth);
    sheet.AddPage(link);
    sheet.AddPage(messages);
    if (sheet.DoModal() != QDialog::Accepted) {
        RegCloseKey(box);
        return;
    }
    const bool written = boxconfig::Store(box, false, *station, *auth, *link, messages);
    RegCloseKey(box);
    Exclaim(this, written ? "Box configuration updated" : kBoxNotWritten);
    RefreshStationList();
    stations_->setCurrentRow(selected);
}

void CGeneralSetupPage::OnDeleteStation() {
    const int selected = stations_->GetCurSel();
    if (selected < 0) {
        Exclaim(this, "Please select a box first");
        return;
    }
    if (MessageBox(this,
                   "You are about to irrevocably delete a Dornel station configuration. Are you "
                   "sure?",
                   CConfigApp::AppName(), MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    HKEY main = nullptr;
    if (RegOpenKeyExA(theApp.registryRoot, kZuvexBoxKey, 0, KEY_ALL_ACCESS, &main) !=
        ERROR_SUCCESS) {
        Exclaim(this, "Cannot access box configuration");
        return;
    }
    // A listed box whose key is already gone is deleted all the same. The boxes after it
    // move down one number each, so the list's positions stay their box numbers.
    const int count = stations_->GetCount();
    const LONG rc = RegDeleteKeyA(main, BoxKeyName(selected).c_str());
    bool deleted = rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    for (int next = selected + 1; deleted && next < count; ++next) {
        deleted = MoveBoxKey(main, next, next - 1);
    }
    RegCloseKey(main);
    if (deleted) {
        theApp.numServers = count - 1;
        Exclaim(this, "Box configuration deleted");
    } else {
        // The count stays, so every key that may remain is still listed (a number whose
        // key is gone shows as its key name and can be deleted again).
        Exclaim(this, "Could not delete box configuration");
        theApp.numServers = count;
    }
    StoreNumServers();
    RefreshStationList();
}

// ---------------------------------------------------------------------------------------
// Control and status

bool CGeneralSetupPage::WriteControlKey(int box) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(theApp.registryRoot, kControlKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        Exclaim(this, "Cannot create control key");
        return false;
    }
    const bool written = WriteRegistryNumber(key, "Control", box) == ERROR_SUCCESS;
    if (!written) Exclaim(this, "Cannot create control key");
    RegCloseKey(key);
    return written;
}

void CGeneralSetupPage::OnControlStation(int code) {
    const int selected = stations_->GetCurSel();
    if (selected < 0) {
        Exclaim(this, "Please select a box first");
        return;
    }
    const char* question = "About to reconfigure box. Are you sure?";
    switch (code) {
        case 128:
            question = "About to reset box. Are you sure?";
            break;
        case 129:
            question = "About to take box offline. Are you sure?";
            break;
        case 130:
            question = "About to take box online. Are you sure?";
            break;
        default:
            break;
    }
    if (MessageBox(this, question, CConfigApp::AppName(), MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    // The server takes the box number from the key: without it the code would act on
    // whichever box the key named before.
    if (!WriteControlKey(selected)) return;
    SC_HANDLE manager =
        OpenSCManagerA(theApp.serverName.empty() ? nullptr : theApp.serverName.c_str(), nullptr,
                       SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        Exclaim(this, "Cannot connect to remote service manager database.");
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (!service) {
        CloseServiceHandle(manager);
        Exclaim(this, code == 128 ? "Cannot open  service entry" : "Cannot open service entry");
        return;
    }
    SERVICE_STATUS status{};
    const bool accepted = ControlService(service, static_cast<DWORD>(code), &status) != 0;
    Exclaim(this, accepted ? "Done" : "Service did not respond to request");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// How long Status Enquiry waits for each read of the box's report.
constexpr long kStatusReadLimitSeconds = 10;

void CGeneralSetupPage::OnStatusEnquiry() {
    const long selected = stations_->GetCurSel();
    HKEY box = nullptr;
    if (RegOpenKeyExA(theApp.registryRoot, BoxKeyPath(selected).c_str(), 0, KEY_ALL_ACCESS, &box) !=
        ERROR_SUCCESS) {
        Exclaim(this, "Cannot access box configuration");
        return;
    }
    std::string address;
    ReadRegistryText(box, "IPAddress", &address);
    RegCloseKey(box);

    WSADATA winsock{};
    if (WSAStartup(0x0101, &winsock) != 0) return;
    const SOCKET sock = make_connection("3246", kConnectionStream, address.c_str());
    if (sock == INVALID_SOCKET) {
        Exclaim(this, "Could not connect to remote status port");
        WSACleanup();
        return;
    }
    // The box sends its lines and closes; a last line without its end is dropped. A peer
    // that neither sends nor closes is given up after kStatusReadLimitSeconds per read, so
    // the window never hangs on it.
    timeval limit{kStatusReadLimitSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QString report;
    char line[1024];
    while (sock_gets(sock, line, sizeof line) >= 0) report += QString::fromLatin1(line) + "\n";
    closesocket(sock);
    Exclaim(this, report);
    WSACleanup();
}
