// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The configuration applet and the running server together: what an administrator sets in
// the applet (on Qt's offscreen platform, in this process) is what dornelman obeys after a
// reconfigure request. The applet stores numbers as 4-byte REG_BINARY where the set-up
// stored REG_DWORD; the server reads both. Opened with a machine name, the applet does the
// same over ssh (a real sshd on loopback whose sessions use the server's root), and a
// connection that breaks under an open sheet makes the next write fail with its message.

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "tests/fixtures/qt/qtfixture.h"
#include "tests/fixtures/ssh/sshserver.h"
#include "tests/integration/server/qtapp.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"
#include "zuvexcpl/boxsheet.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/dhcpsetuppage.h"
#include "zuvexcpl/generalsetuppage.h"

CConfigApp theApp;

namespace sessiontest {
namespace {

using qtfixture::WhenModal;

// Opens the applet on machine ("" for this one), lets change work on the sheet, and closes
// it with OK (Cancel when it stays open, as after a refused page). Every message box is
// answered Yes; their texts are returned.
QStringList ChangeWithApplet(std::function<void(dornelui::CPropertySheet*)> change,
                             const std::string& machine = "") {
    QStringList seen;
    dornelui::SetMessageBoxAnswerer([&seen](const dornelui::MessageBoxRequest& request) {
        seen << request.text;
        return dornelui::IDYES;
    });
    bool sheetSeen = false;
    WhenModal<CSelectServerDlg>([&](CSelectServerDlg* dialog) {
        WhenModal<dornelui::CPropertySheet>([&](dornelui::CPropertySheet* sheet) {
            sheetSeen = true;
            change(sheet);
            sheet->OkButton()->click();
            if (sheet->isVisible()) sheet->CancelButton()->click();
        });
        dialog->Edit()->setText(QString::fromStdString(machine));
        dialog->OkButton()->click();
    });
    EXPECT_EQ(theApp.applet.DoubleClick(nullptr, 0, 0), 0);
    EXPECT_TRUE(sheetSeen);
    dornelui::SetMessageBoxAnswerer({});
    return seen;
}

// On the general page: selects box 0 and presses Modify; work acts on the box sheet, which
// is then closed with OK.
void ModifyFirstBox(dornelui::CPropertySheet* sheet,
                    std::function<void(dornelui::CPropertySheet*)> work) {
    ASSERT_TRUE(sheet->SetActivePage(1));
    auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
    ASSERT_GT(page->StationList()->count(), 0);
    page->StationList()->setCurrentRow(0);
    bool boxSheetSeen = false;
    WhenModal<dornelui::CPropertySheet>([&](dornelui::CPropertySheet* boxSheet) {
        boxSheetSeen = true;
        work(boxSheet);
        boxSheet->OkButton()->click();
    });
    page->StationButton(2)->click();  // Modify
    EXPECT_TRUE(boxSheetSeen);
}

// Presses Reconfigure for the selected box (the question is answered by the answerer).
void Reconfigure(dornelui::CPropertySheet* sheet) {
    auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
    page->StationButton(6)->click();
}

void SetRotationDelay(dornelui::CPropertySheet* boxSheet, const QString& seconds) {
    ASSERT_TRUE(boxSheet->SetActivePage(0));
    static_cast<CStationSetupPage*>(boxSheet->Page(0))->RotationEdit()->setText(seconds);
}

void SetDebugLogging(dornelui::CPropertySheet* sheet, bool on) {
    ASSERT_TRUE(sheet->SetActivePage(1));
    auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
    if (page->DebugLogCheck()->isChecked() != on) page->DebugLogCheck()->click();
    ASSERT_EQ(page->DebugLogCheck()->isChecked(), on);
}

// The stored type and bytes of a general value.
std::pair<DWORD, std::string> Stored(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kZuvexBoxKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {REG_NONE, ""};
    }
    char buffer[64];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    const LONG rc =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return {REG_NONE, ""};
    return {type, std::string(buffer, size)};
}

// A running server with one box that has been sent its settings.
class AppletAndServer : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        BoxSetup setup;
        setup.address = box.address();
        ASSERT_TRUE(server.Configure({setup}));  // EnableDebugLog on, as a REG_DWORD
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 15s));
    }

    ServerHarness server;
    ScriptedBox box{BoxAddress(0)};
};

TEST_F(AppletAndServer, TheServerObeysTheDebugSettingTheAppletWrites) {
    ::setenv("DORNEL_ROOT", server.root().c_str(), 1);

    // Off: the applet rewrites the value as 4-byte binary 0, and the box keeps its place in
    // the station list (it has no name), so NumServers stays 1.
    ChangeWithApplet([](dornelui::CPropertySheet* sheet) { SetDebugLogging(sheet, false); });
    EXPECT_EQ(Stored("EnableDebugLog"), std::make_pair(REG_BINARY, std::string(4, '\0')));
    EXPECT_EQ(Stored("NumServers"), std::make_pair(REG_BINARY, std::string("\1\0\0\0", 4)));
    box.ClearPackets();
    EXPECT_EQ(server.Control(131, 0).status, 0);
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 10s));
    EXPECT_TRUE(server.WaitForRecord(0, kReconfigureRequest, {}, 5s));
    EXPECT_EQ(server.CountRecords(0, kDebug, "Box reconfigure event"), 0);

    // On again through the applet (its question answered Yes): the next reconfigure is
    // logged at debug level.
    ChangeWithApplet([](dornelui::CPropertySheet* sheet) { SetDebugLogging(sheet, true); });
    EXPECT_EQ(Stored("EnableDebugLog"), std::make_pair(REG_BINARY, std::string("\1\0\0\0", 4)));
    box.ClearPackets();
    EXPECT_EQ(server.Control(131, 0).status, 0);
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 10s));
    EXPECT_TRUE(server.WaitForRecord(0, kDebug, "Box reconfigure event", 10s));

    // The box is still served under the configuration the applet wrote back.
    EXPECT_TRUE(server.Stop());
    ::unsetenv("DORNEL_ROOT");
}

TEST_F(AppletAndServer, OnAnotherMachineTheAppletEditsABoxAndTheServerObeys) {
    dorneltest::SshServer sshd(server.binDir(), server.root());
    ASSERT_TRUE(sshd.Running()) << sshd.Log();
    ::setenv("DORNEL_SSH", sshd.SshCommand().c_str(), 1);
    // The administrator's own machine has a registry of its own, with no boxes in it.
    const std::string adminRoot = server.root() + "/administrator";
    std::filesystem::create_directories(adminRoot);
    ::setenv("DORNEL_ROOT", adminRoot.c_str(), 1);

    // A new rotation delay for box 0, then Reconfigure: the box gets it from the server.
    box.ClearPackets();
    QStringList seen = ChangeWithApplet(
        [](dornelui::CPropertySheet* sheet) {
            ModifyFirstBox(
                sheet, [](dornelui::CPropertySheet* boxSheet) { SetRotationDelay(boxSheet, "7"); });
            Reconfigure(sheet);
        },
        sshd.Host());
    EXPECT_EQ(seen.join(" / ").toStdString(),
              "Box configuration updated / About to reconfigure box. Are you sure? / Done");
    EXPECT_TRUE(server.WaitForRecord(0, kReconfigureRequest, {}, 15s));
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 15s));
    bool sentSeven = false;
    for (const BoxPacket& packet : box.Packets()) {
        if (packet.type == PKT_SETTINGS && packet.payload.rfind("7|", 0) == 0) sentSeven = true;
    }
    EXPECT_TRUE(sentSeven) << "the box was sent the rotation delay the applet wrote";
    EXPECT_EQ(Stored("RotationDelay"), std::make_pair(DWORD{REG_NONE}, std::string()))
        << "nothing was written on the administrator's machine";

    // The connection breaks while the box sheet is open: its OK reports that nothing was
    // written, the main sheet's pages refuse, and the applet comes back at once.
    seen = ChangeWithApplet(
        [&sshd](dornelui::CPropertySheet* sheet) {
            ModifyFirstBox(sheet, [&sshd](dornelui::CPropertySheet* boxSheet) {
                SetRotationDelay(boxSheet, "9");
                sshd.KillSessions();
            });
        },
        sshd.Host());
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.front().toStdString(), "Cannot write box configuration");
    EXPECT_TRUE(seen.contains("Could not write general DHCP parameters"))
        << seen.join(" / ").toStdString();
    const ToolResult stored = server.Tool(
        "dornelreg",
        {"query", std::string("HKLM\\") + kZuvexBoxKey + "\\Box000", "/v", "RotationDelay"});
    EXPECT_NE(stored.output.find("07000000"), std::string::npos) << stored.output;

    EXPECT_TRUE(server.Stop());
    ::unsetenv("DORNEL_ROOT");
    ::unsetenv("DORNEL_SSH");
}

}  // namespace
}  // namespace sessiontest
