// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The configuration applet's widgets against a real registry in a root of its own: the
// opening (machine selection, defaults, OK, Apply and Cancel), the general settings and
// their stored types, the debug-logging question, a write that fails half-way, and the
// "Network Boot Setup" page with its MAC list. Screenshots of every dialog and page.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <memory>

#include "platform/remote/remote.h"
#include "tests/zuvexcpl/qttesthelpers.h"
#include "tests/zuvexcpl/refusals.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/dhcpsetuppage.h"
#include "zuvexcpl/generalsetuppage.h"
#include "zuvexcpl/ipaddrctl.h"

CConfigApp theApp;

using namespace applettest;
using dornelui::CPropertySheet;

namespace {

const std::string kMain = kZuvexBoxKey;
const std::string kGeneral = kDhcpGeneralKey;
const std::string kDhcp = kDhcpKey;

// A complete general configuration as an administrator left it (numbers as REG_DWORD).
void StoreGeneralValues() {
    SetNumber(kMain, "NumServers", 2);
    SetNumber(kMain, "DHCPActive", 1);
    SetNumber(kMain, "TFTPActive", 0);
    SetNumber(kMain, "EnableDebugLog", 0);
    SetText(kMain, "TFTPDirectory", "D:\\boot");
    SetText(kMain, "LogDirectory", "D:\\logs");
    SetText(kMain, "LogPasswd", "secret");
    SetText(kMain, "SpawnUser", "pcadmin");
    SetText(kMain, "SpawnPasswd", "pw");
    SetText(kMain, "SpawnDomain", "\\\\.");
    SetText(kMain + "\\Box000", "FriendlyName", "Library");
    SetText(kMain + "\\Box001", "IPAddress", "127.0.0.9");  // no FriendlyName
}

// Opens the applet as the control panel does; configure runs on the sheet, then the sheet
// is ended with OK (true) or Cancel (false). The select dialog gets machine.
void OpenApplet(const QString& machine, std::function<void(CPropertySheet*)> configure, bool ok) {
    WhenModal<CSelectServerDlg>([=](CSelectServerDlg* dialog) {
        QTest::keyClicks(dialog->Edit(), machine);
        if (!machine.isEmpty()) {
            dialog->OkButton()->click();
            return;
        }
        WhenModal<CPropertySheet>([=](CPropertySheet* sheet) {
            configure(sheet);
            (ok ? sheet->OkButton() : sheet->CancelButton())->click();
        });
        dialog->OkButton()->click();
    });
    QCOMPARE(theApp.applet.DoubleClick(nullptr, 0, 0), 0);
}

}  // namespace

class ConfigAppletTest : public QObject {
    Q_OBJECT
  private:
    std::unique_ptr<TempRoot> root_;

  private slots:
    void init() {
        root_ = std::make_unique<TempRoot>();
        theApp.registryRoot = HKEY_LOCAL_MACHINE;
    }
    void cleanup() {
        theApp.registryRoot = nullptr;
        root_.reset();
    }

    // --- Reading and writing the general values ------------------------------------------

    void readingTakesTheDefaultsOfAMissingKeyAndOfMissingValues() {
        theApp.numServers = 7;
        theApp.spawnUser = "left over";
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);
        QCOMPARE(theApp.numServers, 0);
        QCOMPARE(theApp.tftpDirectory, std::string("C:\\dornel"));
        QCOMPARE(theApp.logDirectory, std::string("C:\\dornel\\log"));
        QCOMPARE(theApp.spawnUser, std::string(""));

        // The key exists, its values do not: TFTPDirectory falls back to "C:\".
        SetNumber(kMain, "NumServers", 3, REG_DWORD);
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);
        QCOMPARE(theApp.numServers, 3);  // a REG_DWORD reads like a 4-byte REG_BINARY
        QCOMPARE(theApp.tftpDirectory, std::string("C:\\"));
        QCOMPARE(theApp.logDirectory, std::string("C:\\dornel\\log"));
        QCOMPARE(theApp.spawnUser, std::string(""));
        QCOMPARE(theApp.spawnPasswd, std::string(""));
        QCOMPARE(theApp.spawnDomain, std::string(""));

        // Texts with and without their zero read alike; a number longer than 4 bytes fails.
        SetText(kMain, "LogDirectory", "E:\\log", false);
        SetText(kMain, "SpawnUser", "admin", true);
        HKEY key = CreateKey(kMain);
        const BYTE eight[8] = {5, 0, 0, 0, 0, 0, 0, 0};
        QCOMPARE(RegSetValueExA(key, "DHCPActive", 0, REG_BINARY, eight, 8), ERROR_SUCCESS);
        RegCloseKey(key);
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);
        QCOMPARE(theApp.logDirectory, std::string("E:\\log"));
        QCOMPARE(theApp.spawnUser, std::string("admin"));
        QCOMPARE(theApp.dhcpActive, 0);
    }

    void writingStoresNumbersAsFourByteBinaryAndTextsWithoutTheirZero() {
        Answers answers;
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);  // missing key: defaults
        theApp.numServers = -2;
        theApp.enableDebugLog = 1;
        QVERIFY(theApp.WriteGeneralSettings(HKEY_LOCAL_MACHINE));
        QVERIFY(answers.seen.empty());
        const Stored count = Query(kMain, "NumServers");
        QCOMPARE(count.type, REG_BINARY);
        QCOMPARE(count.bytes, Binary4(0xFFFFFFFEu));
        QCOMPARE(Query(kMain, "EnableDebugLog").bytes, Binary4(1));
        QCOMPARE(Query(kMain, "DHCPActive").type, REG_BINARY);
        QCOMPARE(Query(kMain, "TFTPActive").bytes, Binary4(0));
        const Stored tftp = Query(kMain, "TFTPDirectory");
        QCOMPARE(tftp.type, REG_SZ);
        QCOMPARE(tftp.bytes, std::string("C:\\dornel"));  // 9 bytes, no zero
        QCOMPARE(Query(kMain, "LogDirectory").bytes, std::string("C:\\dornel\\log"));
        for (const char* name : {"LogPasswd", "SpawnUser", "SpawnPasswd", "SpawnDomain"}) {
            const Stored empty = Query(kMain, name);
            QCOMPARE(empty.type, REG_SZ);
            QCOMPARE(empty.bytes, std::string());
        }
    }

    void aFailedWriteStopsTheSequenceAndSaysSo() {
        StoreGeneralValues();
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);
        theApp.tftpDirectory = "F:\\new";
        theApp.logDirectory = "F:\\newlog";
        theApp.spawnUser = "someone";
        applettest::RefuseValueWrites(root_->path(), "LogDirectory");
        Answers answers;
        QVERIFY(!theApp.WriteGeneralSettings(HKEY_LOCAL_MACHINE));
        QCOMPARE(answers.seen.size(), std::size_t{1});
        QCOMPARE(answers.seen[0].text, QString("Cannot write system information"));
        QCOMPARE(answers.seen[0].caption, QString("Error"));
        QCOMPARE(answers.seen[0].style, dornelui::MB_OK);
        // Before the failure: written. The failing value and every later one: as they were.
        QCOMPARE(Query(kMain, "TFTPDirectory").bytes, std::string("F:\\new"));
        QCOMPARE(Query(kMain, "LogDirectory").bytes, std::string("D:\\logs\0", 8));
        QCOMPARE(Query(kMain, "SpawnUser").bytes, std::string("pcadmin\0", 8));
    }

    // --- The opening -----------------------------------------------------------------------

    void okWithoutVisitingGeneralSetupWritesBackWhatWasRead() {
        Answers answers;
        StoreGeneralValues();
        OpenApplet(
            "",
            [](CPropertySheet* sheet) {
                QCOMPARE(sheet->windowTitle(), QString("Dornel Configuration"));
                QCOMPARE(sheet->PageCount(), 2);
                QCOMPARE(sheet->Page(0)->Title(), QString("Network Boot Setup"));
                QCOMPARE(sheet->Page(1)->Title(), QString("General Setup"));
                QVERIFY(!sheet->Page(1)->IsInitialised());
                // DHCP\General is missing: the page is not marked changed.
                QVERIFY(!sheet->ApplyButton()->isEnabled());
                auto* page = static_cast<CDHCPSetupPage*>(sheet->Page(0));
                QCOMPARE(page->TftpDirectoryEdit()->text(), QString("D:\\boot"));
                QVERIFY(page->DhcpCheck()->isChecked());
                QCOMPARE(page->MacList()->ColumnCount(), 0);
            },
            true);
        QVERIFY(answers.seen.empty());
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(2));
        QCOMPARE(Query(kMain, "NumServers").type, REG_BINARY);  // rewritten as 4-byte binary
        QCOMPARE(Query(kMain, "DHCPActive").bytes, Binary4(1));
        QCOMPARE(Query(kMain, "TFTPDirectory").bytes, std::string("D:\\boot"));
        QCOMPARE(Query(kMain, "SpawnPasswd").bytes, std::string("pw"));
        // The DHCP page was applied: its options were written with their defaults.
        QCOMPARE(Query(kGeneral, "SUBNETMASK").bytes, std::string("0.0.0.0"));
        QCOMPARE(Query(kGeneral, "DOMAINNAME").bytes, std::string());
    }

    void generalSetupShowsTheValuesAndKeepsEveryConfiguredBox() {
        Answers answers;
        StoreGeneralValues();
        OpenApplet(
            "",
            [](CPropertySheet* sheet) {
                QVERIFY(sheet->SetActivePage(1));
                auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
                QCOMPARE(page->LogDirectoryEdit()->text(), QString("D:\\logs"));
                QCOMPARE(page->LogPasswordEdit()->echoMode(), QLineEdit::Password);
                QCOMPARE(page->UserEdit()->text(), QString("pcadmin"));
                QCOMPARE(page->OtherEdit()->text(), QString("\\\\."));
                // One line per box; a box without a name keeps its place (and its number).
                QCOMPARE(page->StationList()->GetCount(), 2);
                QCOMPARE(page->StationList()->item(0)->text(), QString("Library"));
                QCOMPARE(page->StationList()->item(1)->text(), QString("(Box001)"));
                QVERIFY(sheet->ApplyButton()->isEnabled());
                page->UserEdit()->setText("other");
                SaveScreen(sheet, "general-setup");
            },
            true);
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(2));
        QCOMPARE(Query(kMain, "SpawnUser").bytes, std::string("other"));
    }

    void applyThenCancelKeepsTheDhcpOptionsButNotTheGeneralValues() {
        Answers answers;
        StoreGeneralValues();
        SetText(kGeneral, "ROUTER_2", "10.0.0.2");
        SetText(kGeneral, "WINS_1", "10.0.0.3");
        OpenApplet(
            "",
            [](CPropertySheet* sheet) {
                auto* page = static_cast<CDHCPSetupPage*>(sheet->Page(0));
                QVERIFY(sheet->ApplyButton()->isEnabled());  // DHCP\General exists
                page->DomainEdit()->setText("boxes.example");
                page->Dns1Ctl()->SetText("192.168.1.53");
                page->GatewayCtl()->SetText("192.168.1.1");
                page->SubnetCtl()->SetText("255.255.255.0");
                page->DhcpCheck()->setChecked(false);
                page->TftpDirectoryEdit()->setText("Z:\\never");
                sheet->ApplyButton()->click();
                QVERIFY(sheet->isVisible());
                QVERIFY(!sheet->ApplyButton()->isEnabled());
                QVERIFY(sheet->SetActivePage(1));
                static_cast<CGeneralSetupPage*>(sheet->Page(1))
                    ->LogDirectoryEdit()
                    ->setText("Q:\\x");
            },
            false);
        QCOMPARE(Query(kGeneral, "DOMAINNAME").bytes, std::string("boxes.example"));
        QCOMPARE(Query(kGeneral, "DOMAINNAME").type, REG_SZ);
        QCOMPARE(Query(kGeneral, "DNS_1").bytes, std::string("192.168.1.53"));
        QCOMPARE(Query(kGeneral, "DNS_2").bytes, std::string("0.0.0.0"));
        QCOMPARE(Query(kGeneral, "ROUTER_1").bytes, std::string("192.168.1.1"));
        QCOMPARE(Query(kGeneral, "SUBNETMASK").bytes, std::string("255.255.255.0"));
        // Values this page does not own stay as they were.
        QCOMPARE(Query(kGeneral, "ROUTER_2").bytes, std::string("10.0.0.2\0", 9));
        QCOMPARE(Query(kGeneral, "WINS_1").bytes, std::string("10.0.0.3\0", 9));
        // Cancel: the switches, the directory and the general values were not written.
        QCOMPARE(Query(kMain, "DHCPActive").type, REG_DWORD);
        QCOMPARE(Query(kMain, "DHCPActive").bytes, Binary4(1));
        QCOMPARE(Query(kMain, "TFTPDirectory").bytes, std::string("D:\\boot\0", 8));
        QCOMPARE(Query(kMain, "LogDirectory").bytes, std::string("D:\\logs\0", 8));
    }

    void debugLoggingAsksWhenSwitchedOnAndNoLeavesItOff() {
        Answers answers;
        answers.queue = {dornelui::IDNO};
        OpenApplet(
            "",
            [&answers](CPropertySheet* sheet) {
                QVERIFY(sheet->SetActivePage(1));
                auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
                page->DebugLogCheck()->click();
                QCOMPARE(answers.seen.size(), std::size_t{1});
                QVERIFY(!page->DebugLogCheck()->isChecked());
            },
            true);
        QCOMPARE(answers.seen.size(), std::size_t{1});
        QCOMPARE(answers.seen[0].text,
                 QString("Enabling the debug-level logging will cause your log file to grow "
                         "large and may impact on system performance. Are you sure?"));
        QCOMPARE(answers.seen[0].style, dornelui::MB_YESNO | dornelui::MB_ICONQUESTION);
        QCOMPARE(Query(kMain, "EnableDebugLog").bytes, Binary4(0));
        // The defaults of a missing key went back as read, the spawn texts as empty texts.
        QCOMPARE(Query(kMain, "TFTPDirectory").bytes, std::string("C:\\dornel"));
        QCOMPARE(Query(kMain, "SpawnUser").bytes, std::string());

        answers.seen.clear();
        answers.queue = {dornelui::IDYES};
        OpenApplet(
            "",
            [&answers](CPropertySheet* sheet) {
                QVERIFY(sheet->SetActivePage(1));
                auto* page = static_cast<CGeneralSetupPage*>(sheet->Page(1));
                page->DebugLogCheck()->click();
                QVERIFY(page->DebugLogCheck()->isChecked());
                // Clearing asks nothing; checking again asks again.
                page->DebugLogCheck()->click();
                QVERIFY(!page->DebugLogCheck()->isChecked());
                answers.queue = {dornelui::IDYES};
                page->DebugLogCheck()->click();
                QCOMPARE(answers.seen.size(), std::size_t{2});
            },
            true);
        QCOMPARE(Query(kMain, "EnableDebugLog").bytes, Binary4(1));
    }

    void aMachineThatCannotBeReachedEndsTheOpeningWithNothingWritten() {
        Answers answers;
        theApp.registryRoot = nullptr;
        // ssh's questions are to come as dialogs, from the helper found with the plug-ins.
        ::unsetenv("SSH_ASKPASS");
        ::setenv("DORNEL_PLUGIN_DIR", std::getenv("DORNEL_BIN_DIR"), 1);
        OpenApplet("no-such-machine.invalid", {}, true);
        ::unsetenv("DORNEL_PLUGIN_DIR");
        QCOMPARE(answers.Texts(), QStringList{"Can't connect to remote server"});
        QCOMPARE(answers.seen.at(0).caption, QString("Error"));
        QCOMPARE(answers.seen[0].style, dornelui::MB_OK);
        // ssh's reason comes with it.
        QVERIFY2(answers.seen[0].detail.contains("no-such-machine.invalid"),
                 qPrintable(answers.seen[0].detail));
        QCOMPARE(platform::remote::CurrentPrompting(), platform::remote::Prompting::Interactive);
        QCOMPARE(QString(std::getenv("SSH_ASKPASS")),
                 QString(std::getenv("DORNEL_BIN_DIR")) + "/dornel-askpass");
        QCOMPARE(theApp.serverName, std::string("no-such-machine.invalid"));
        QVERIFY(!KeyExists(kMain));
        QVERIFY(!theApp.registryRoot);
    }

    void cancellingTheMachineSelectionDoesNothing() {
        Answers answers;
        WhenModal<CSelectServerDlg>([](CSelectServerDlg* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("Select Dornel server"));
            QCOMPARE(dialog->Edit()->maxLength(), 60);
            QCOMPARE(dialog->Edit()->text(), QString());
            SaveScreen(dialog, "select-server");
            dialog->CancelButton()->click();
        });
        QCOMPARE(theApp.applet.DoubleClick(nullptr, 0, 0), 0);
        QVERIFY(answers.seen.empty());
        QVERIFY(!KeyExists(kMain));
    }

    // --- "Network Boot Setup" and its MAC list --------------------------------------------

    void macListAddDeleteAndTheAddDialog() {
        Answers answers;
        SetText(kGeneral, "SUBNETMASK", "255.255.0.0");
        SetText(kGeneral, "DNS_2", "10.1.2");  // shown as 10.1.0.2
        SetText(kDhcp + "\\00-11-22-33-44-55", "IPADDR", "10.0.0.5");
        SetText(kDhcp + "\\AA-BB-CC-DD-EE-FF", "IPADDR", "10.0.0.6", false);
        QVERIFY(CreateKey(kDhcp + "\\01-02-03-04-05-06"));  // no address yet

        CPropertySheet sheet("Dornel Configuration", nullptr);
        auto* page = new CDHCPSetupPage;
        sheet.AddPage(page);
        sheet.AddPage(new CGeneralSetupPage);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        dornelui::CListCtrl* list = page->MacList();
        QCOMPARE(list->GetItemCount(), 3);  // General is not a MAC
        QCOMPARE(list->headerItem()->text(0), QString("MAC address"));
        QCOMPARE(list->headerItem()->text(1), QString("IP address"));
        QCOMPARE(list->GetItemText(0, 0), QString("00-11-22-33-44-55"));
        QCOMPARE(list->GetItemText(0, 1), QString("10.0.0.5"));
        QCOMPARE(list->GetItemText(1, 1), QString(""));
        QCOMPARE(list->GetItemText(2, 1), QString("10.0.0.6"));
        QCOMPARE(page->SubnetCtl()->Field(1)->text(), QString("255"));
        QCOMPARE(page->Dns2Ctl()->Field(2)->text(), QString("0"));
        QCOMPARE(page->Dns2Ctl()->Field(3)->text(), QString("2"));
        SaveScreen(&sheet, "network-boot-setup");

        // Add: the dialog's address is taken as a dotted text; an existing MAC is replaced.
        WhenModal<CAddDHCPHostDlg>([](CAddDHCPHostDlg* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("Add New DHCP host entry"));
            QCOMPARE(dialog->MacEdit()->text(), QString());
            QCOMPARE(dialog->AddressCtl()->Field(0)->text(), QString("0"));
            QTest::keyClicks(dialog->MacEdit(), "00-11-22-33-44-55");
            dialog->AddressCtl()->SetText("192.168.7.300");
            SaveScreen(dialog, "add-dhcp-host");
            dialog->OkButton()->click();
        });
        page->AddButton()->click();
        QCOMPARE(Query(kDhcp + "\\00-11-22-33-44-55", "IPADDR").bytes, std::string("192.168.7.44"));
        QCOMPARE(list->GetItemText(0, 1), QString("192.168.7.44"));

        // An address field left empty keeps the dialog open with the message; a new MAC
        // typed without dashes is stored as typed.
        WhenModal<CAddDHCPHostDlg>([&answers](CAddDHCPHostDlg* dialog) {
            QTest::keyClicks(dialog->MacEdit(), "0a0b0c0d0e0f");
            dialog->AddressCtl()->Field(2)->clear();
            dialog->OkButton()->click();
            QVERIFY(dialog->isVisible());
            QCOMPARE(answers.Texts().value(0), QString("Missing value in IP address"));
            QTest::keyClicks(dialog->AddressCtl()->Field(2), "9");
            dialog->OkButton()->click();
        });
        page->AddButton()->click();
        QCOMPARE(Query(kDhcp + "\\0a0b0c0d0e0f", "IPADDR").bytes, std::string("0.0.9.0"));
        QCOMPARE(list->GetItemCount(), 4);

        // Cancel writes nothing; an empty MAC names no key and is refused.
        WhenModal<CAddDHCPHostDlg>([](CAddDHCPHostDlg* dialog) { dialog->reject(); });
        page->AddButton()->click();
        answers.seen.clear();
        WhenModal<CAddDHCPHostDlg>([](CAddDHCPHostDlg* dialog) { dialog->OkButton()->click(); });
        page->AddButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Cannot create new key"});
        QVERIFY(!Query(kDhcp, "IPADDR").exists());
        QCOMPARE(list->GetItemCount(), 4);

        // Delete: one selected row, confirmed.
        answers.seen.clear();
        page->DeleteButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Please select one MAC address to delete"});
        QCOMPARE(answers.seen[0].style, dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION);
        list->SelectRow(0);
        list->SelectRow(1);
        page->DeleteButton()->click();
        QCOMPARE(answers.seen.size(), std::size_t{2});  // two rows: the same message
        list->clearSelection();
        list->SelectRow(0);
        answers.seen.clear();
        answers.queue = {dornelui::IDNO};
        page->DeleteButton()->click();
        QCOMPARE(answers.Texts(),
                 QStringList{"Are you sure you wish to delete this MAC? The box will be unable "
                             "to boot if you do so."});
        QCOMPARE(answers.seen[0].style, dornelui::MB_YESNO | dornelui::MB_ICONQUESTION);
        QVERIFY(KeyExists(kDhcp + "\\00-11-22-33-44-55"));
        answers.queue = {dornelui::IDYES};
        page->DeleteButton()->click();
        QVERIFY(!KeyExists(kDhcp + "\\00-11-22-33-44-55"));
        QCOMPARE(list->GetItemCount(), 3);
        QCOMPARE(list->GetItemText(0, 0), QString("01-02-03-04-05-06"));
        sheet.reject();
    }

    void aBadAddressKeepsTheSheetOpenAndWritesNothing() {
        Answers answers;
        SetText(kGeneral, "DNS_1", "1.2.3.4");
        CPropertySheet sheet("Dornel Configuration", nullptr);
        auto* page = new CDHCPSetupPage;
        sheet.AddPage(page);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        page->GatewayCtl()->Field(3)->setText("256");
        sheet.OkButton()->click();
        QVERIFY(sheet.isVisible());
        QCOMPARE(answers.Texts(),
                 QStringList{"256 is not a valid entry.  Please specify a value between 0 and "
                             "255 for this field."});
        QCOMPARE(answers.seen[0].caption, QString("Error"));
        QVERIFY(!Query(kGeneral, "ROUTER_1").exists());
        page->GatewayCtl()->Field(3)->setText("254");
        sheet.OkButton()->click();
        QVERIFY(!sheet.isVisible());
        QCOMPARE(Query(kGeneral, "ROUTER_1").bytes, std::string("0.0.0.254"));
        QCOMPARE(Query(kGeneral, "DNS_1").bytes, std::string("1.2.3.4"));
    }

    void failedDhcpWritesSayWhatFailedAndKeepTheSheetOpen() {
        Answers answers;
        SetText(kDhcp + "\\00-00-00-00-00-01", "IPADDR", "10.0.0.1");
        CPropertySheet sheet("Dornel Configuration", nullptr);
        auto* page = new CDHCPSetupPage;
        sheet.AddPage(page);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        applettest::RefuseValueWrites(root_->path(), "IPADDR");
        applettest::RefuseKeyChanges(root_->path(), "INSERT");

        // A MAC whose key cannot be created, and one whose address cannot be written.
        WhenModal<CAddDHCPHostDlg>([](CAddDHCPHostDlg* dialog) {
            QTest::keyClicks(dialog->MacEdit(), "00-00-00-00-00-02");
            dialog->OkButton()->click();
        });
        page->AddButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Cannot create new key"});
        QCOMPARE(answers.seen[0].caption, CConfigApp::AppName());
        answers.seen.clear();
        WhenModal<CAddDHCPHostDlg>([](CAddDHCPHostDlg* dialog) {
            QTest::keyClicks(dialog->MacEdit(), "00-00-00-00-00-01");
            dialog->OkButton()->click();
        });
        page->AddButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Cannot write IP address"});
        QCOMPARE(Query(kDhcp + "\\00-00-00-00-00-01", "IPADDR").bytes,
                 std::string("10.0.0.1\0", 9));

        // DHCP\General cannot be created: the options are refused and the sheet stays.
        answers.seen.clear();
        sheet.OkButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Could not write general DHCP parameters"});
        QVERIFY(sheet.isVisible());
        sheet.reject();
    }

    void aDhcpOptionThatCannotBeWrittenKeepsTheSheetOpen() {
        Answers answers;
        SetText(kGeneral, "DNS_1", "1.1.1.1");  // the key exists, so opening it works
        CPropertySheet sheet("Dornel Configuration", nullptr);
        sheet.AddPage(new CDHCPSetupPage);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        applettest::RefuseValueWrites(root_->path(), "DNS_2");
        sheet.OkButton()->click();
        QCOMPARE(answers.Texts(), QStringList{"Could not write general DHCP parameters"});
        QVERIFY(sheet.isVisible());
        QCOMPARE(Query(kGeneral, "DNS_1").bytes, std::string("1.1.1.1"));  // the others went on
        sheet.reject();
    }

    void aSubkeyNamedGeneralInAnotherCaseIsAMac() {
        Answers answers;
        SetText(kDhcp + "\\general", "IPADDR", "10.9.9.9");
        CPropertySheet sheet("Dornel Configuration", nullptr);
        auto* page = new CDHCPSetupPage;
        sheet.AddPage(page);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        QCOMPARE(page->MacList()->GetItemCount(), 1);
        QCOMPARE(page->MacList()->GetItemText(0, 0), QString("general"));
        QCOMPARE(page->MacList()->GetItemText(0, 1), QString("10.9.9.9"));
        sheet.reject();
    }
};

APPLET_QTEST_MAIN(ConfigAppletTest)
#include "configapplet_test.moc"
