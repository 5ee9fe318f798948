// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The configuration applet and the running server together: what an administrator sets in
// the applet (on Qt's offscreen platform, in this process) is what dornelman obeys after a
// reconfigure request. The applet stores numbers as 4-byte REG_BINARY where the set-up
// stored REG_DWORD; the server reads both.

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
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/dhcpsetuppage.h"
#include "zuvexcpl/generalsetuppage.h"

CConfigApp theApp;

namespace sessiontest {
namespace {

// The QApplication of the process, with a private runtime folder (removed at exit).
QApplication& App() {
    qtfixture::UsePrivateRuntimeFolder();
    static int argc = 1;
    static char name[] = "applet_e2e_test";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = std::make_unique<QApplication>(argc, argv);
    return *app;
}

using qtfixture::WhenModal;

// Opens the applet on this machine, lets change work on the sheet, and closes it with OK.
// Questions are answered Yes.
void ChangeWithApplet(std::function<void(dornelui::CPropertySheet*)> change) {
    dornelui::SetMessageBoxAnswerer(
        [](const dornelui::MessageBoxRequest&) { return dornelui::IDYES; });
    bool sheetSeen = false;
    WhenModal<CSelectServerDlg>([&](CSelectServerDlg* dialog) {
        WhenModal<dornelui::CPropertySheet>([&](dornelui::CPropertySheet* sheet) {
            sheetSeen = true;
            change(sheet);
            sheet->OkButton()->click();
        });
        dialog->OkButton()->click();
    });
    EXPECT_EQ(theApp.applet.DoubleClick(nullptr, 0, 0), 0);
    EXPECT_TRUE(sheetSeen);
    dornelui::SetMessageBoxAnswerer({});
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

TEST(AppletAndServer, TheServerObeysTheDebugSettingTheAppletWrites) {
    App();
    ServerHarness server;
    ScriptedBox box(BoxAddress(0));
    BoxSetup setup;
    setup.address = box.address();
    ASSERT_TRUE(server.Configure({setup}));  // EnableDebugLog on, as a REG_DWORD
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 15s));
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

}  // namespace
}  // namespace sessiontest
