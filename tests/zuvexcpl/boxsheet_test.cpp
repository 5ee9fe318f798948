// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The station list of "General Setup" and the box sheet against a real registry in a root of
// its own: Add, Modify and Delete with the box numbering, what each writes (types and stored
// sizes), the station page's checks, the NDS search list and the enabling rule, the message
// page's rules, and the control requests up to the service manager. Screenshots of the box
// sheet's pages and of the NDS entry dialog.

#include "zuvexcpl/boxsheet.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <memory>

#include "tests/zuvexcpl/qttesthelpers.h"
#include "tests/zuvexcpl/refusals.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/generalsetuppage.h"
#include "zuvexcpl/ipaddrctl.h"

CConfigApp theApp;

using namespace applettest;
using dornelui::CPropertySheet;

namespace {

using applettest::RefuseKeyChanges;
using applettest::RefuseValueWrites;

const std::string kMain = kZuvexBoxKey;
std::string Box(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "\\Box%03d", n);
    return kMain + name;
}

std::string Zeroed(const std::string& text) { return text + std::string(1, '\0'); }

// Fills the station page of an open box sheet.
void FillStation(CPropertySheet* sheet, const QString& name, const QString& address,
                 const QString& rotation = "30", const QString& timeout = "30") {
    QVERIFY(sheet->SetActivePage(0));
    auto* station = static_cast<CStationSetupPage*>(sheet->Page(0));
    station->NameEdit()->setText(name);
    station->RotationEdit()->setText(rotation);
    station->TimeoutEdit()->setText(timeout);
    station->AddressCtl()->SetText(address);
}

}  // namespace

class BoxSheetTest : public QObject {
    Q_OBJECT
  private:
    std::unique_ptr<TempRoot> root_;
    std::unique_ptr<CPropertySheet> main_;
    CGeneralSetupPage* page_ = nullptr;

    // "General Setup" on a sheet of its own, initialised as the applet does.
    void OpenGeneral() {
        theApp.ReadGeneralSettings(HKEY_LOCAL_MACHINE);
        main_ = std::make_unique<CPropertySheet>("Dornel Configuration", nullptr);
        page_ = new CGeneralSetupPage;
        main_->AddPage(page_);
        QVERIFY(main_->SetActivePage(0));
    }
    QStringList Lines() const {
        QStringList lines;
        for (int i = 0; i < page_->StationList()->count(); ++i)
            lines << page_->StationList()->item(i)->text();
        return lines;
    }
    // Presses a station button with the box sheet (when it opens) handled by work; the sheet
    // is then closed with OK (ok) or Cancel.
    void Press(int button, std::function<void(CPropertySheet*)> work = {}, bool ok = true) {
        if (work) {
            WhenModal<CPropertySheet>([=](CPropertySheet* sheet) {
                work(sheet);
                if (sheet->isVisible()) (ok ? sheet->OkButton() : sheet->CancelButton())->click();
            });
        }
        page_->StationButton(button)->click();
    }
    void Select(int row) { page_->StationList()->setCurrentRow(row); }

  private slots:
    void init() {
        root_ = std::make_unique<TempRoot>();
        theApp.registryRoot = HKEY_LOCAL_MACHINE;
        theApp.serverName.clear();
    }
    void cleanup() {
        main_.reset();
        page_ = nullptr;
        theApp.registryRoot = nullptr;
        root_.reset();
    }

    // --- Add, Modify, Delete and the numbering ---------------------------------------------

    void addWritesANewKeyAfterTheListedBoxesWithItsTypesAndSizes() {
        Answers answers;
        OpenGeneral();
        QVERIFY(Lines().isEmpty());
        Press(0, [](CPropertySheet* sheet) {
            QCOMPARE(sheet->windowTitle(), QString("Dornel Configuration"));
            QCOMPARE(sheet->PageCount(), 3);  // no message page at Add
            auto* station = static_cast<CStationSetupPage*>(sheet->Page(0));
            QCOMPARE(station->RotationEdit()->text(), QString("30"));  // Add proposes 30
            QCOMPARE(station->TimeoutEdit()->text(), QString("30"));
            FillStation(sheet, "Library", "127.0.6.201", "20", "45");
            QVERIFY(sheet->SetActivePage(1));
            auto* auth = static_cast<CAuthenticationSetup*>(sheet->Page(1));
            auth->TypeButton(0)->click();
            auth->HostEdit()->setText("CAMPUS");
            QVERIFY(sheet->SetActivePage(2));
            auto* link = static_cast<CPrintLinkPage*>(sheet->Page(2));
            QVERIFY(link->TypeButton(0)->isChecked());
            QCOMPARE(link->AccountEdit()->text(), QString("C:\\"));
            link->TypeButton(1)->click();
            SaveScreen(sheet, "box-printlink");
            // Apply writes nothing; only OK does.
            sheet->ApplyButton()->click();
            QVERIFY(!KeyExists(Box(0)));
        });
        QCOMPARE(answers.Texts(), QStringList{"Box details added"});
        QCOMPARE(answers.seen[0].style, dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION);
        QCOMPARE(Lines(), QStringList{"Library"});
        QCOMPARE(theApp.numServers, 1);
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(1));

        const Stored address = Query(Box(0), "IPAddress");
        QCOMPARE(address.type, REG_SZ);
        QCOMPARE(address.bytes, std::string("127.0.6.201"));
        QCOMPARE(Query(Box(0), "FriendlyName").bytes, std::string("Library"));
        QCOMPARE(Query(Box(0), "RotationDelay").type, REG_BINARY);
        QCOMPARE(Query(Box(0), "RotationDelay").bytes, Binary4(20));
        QCOMPARE(Query(Box(0), "UITimeout").bytes, Binary4(45));
        QCOMPARE(Query(Box(0), "AuthType").bytes, Binary4(0));
        QCOMPARE(Query(Box(0), "AuthMaster").bytes, std::string("CAMPUS"));
        QCOMPARE(Query(Box(0), "NetwareAuthData").bytes, std::string());
        QCOMPARE(Query(Box(0), "PrintLinkType").bytes, Binary4(1));
        QCOMPARE(Query(Box(0), "PCounterLocation").bytes, std::string("C:\\"));
        QCOMPARE(Query(Box(0), "PrintLinkLocation").bytes, std::string());
        QVERIFY(!Query(Box(0), "Message00-00").exists());

        // No authentication button chosen: stored as -1. A key left behind at the next
        // number is replaced, not merged into the new box.
        SetText(Box(1), "Message03-04", "stale");
        Press(0, [](CPropertySheet* sheet) { FillStation(sheet, "Hall", "127.0.6.202"); });
        QCOMPARE(Lines(), (QStringList{"Library", "Hall"}));
        QCOMPARE(Query(Box(1), "AuthType").bytes, Binary4(0xFFFFFFFFu));
        QVERIFY(!Query(Box(1), "Message03-04").exists());

        // Cancel writes nothing.
        Press(
            0, [](CPropertySheet* sheet) { FillStation(sheet, "Never", "127.0.6.203"); }, false);
        QVERIFY(!KeyExists(Box(2)));
        QCOMPARE(theApp.numServers, 2);
    }

    void everyConfiguredBoxKeepsItsLineAndDeleteRenumbersTheKeysAfterIt() {
        Answers answers;
        SetNumber(kMain, "NumServers", 4);
        SetText(Box(0), "FriendlyName", "Zero");
        SetText(Box(1), "IPAddress", "127.0.6.211");  // no name
        SetText(Box(2), "FriendlyName", "Two");
        SetText(Box(2), "Message01-02", "kept with its box");
        SetText(Box(3), "FriendlyName", "Three");
        OpenGeneral();
        QCOMPARE(Lines(), (QStringList{"Zero", "(Box001)", "Two", "Three"}));

        // Nothing selected.
        Press(1);
        Press(2);
        QCOMPARE(answers.Texts(),
                 (QStringList{"Please select a box first", "Please select a box first"}));

        // No to the question keeps everything.
        answers.seen.clear();
        Select(1);
        answers.queue = {dornelui::IDNO};
        Press(1);
        QCOMPARE(answers.Texts(),
                 QStringList{"You are about to irrevocably delete a Dornel station "
                             "configuration. Are you sure?"});
        QCOMPARE(answers.seen[0].style, dornelui::MB_YESNO | dornelui::MB_ICONQUESTION);
        QVERIFY(KeyExists(Box(1)));

        // Yes: Box001 goes, Box002 and Box003 move down and keep their values.
        answers.seen.clear();
        answers.queue = {dornelui::IDYES};
        Select(1);
        Press(1);
        QCOMPARE(answers.Texts().last(), QString("Box configuration deleted"));
        QCOMPARE(Lines(), (QStringList{"Zero", "Two", "Three"}));
        QCOMPARE(theApp.numServers, 3);
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(3));
        QCOMPARE(Query(Box(1), "FriendlyName").bytes, Zeroed("Two"));
        QCOMPARE(Query(Box(1), "Message01-02").bytes, Zeroed("kept with its box"));
        QVERIFY(!Query(Box(1), "IPAddress").exists());
        QCOMPARE(Query(Box(2), "FriendlyName").bytes, Zeroed("Three"));
        QVERIFY(!KeyExists(Box(3)));

        // A line whose key is gone can be deleted too; the next Add takes the next number.
        SetNumber(kMain, "NumServers", 3);
        {
            HKEY main = CreateKey(kMain);
            QCOMPARE(RegDeleteKeyA(main, "Box000"), ERROR_SUCCESS);
            RegCloseKey(main);
        }
        page_->RefreshStationList();
        QCOMPARE(Lines(), (QStringList{"(Box000)", "Two", "Three"}));
        answers.queue = {dornelui::IDYES};
        Select(0);
        Press(1);
        QCOMPARE(Lines(), (QStringList{"Two", "Three"}));
        Press(0, [](CPropertySheet* sheet) { FillStation(sheet, "Four", "127.0.6.214"); });
        QCOMPARE(Lines(), (QStringList{"Two", "Three", "Four"}));
        QCOMPARE(Query(Box(2), "FriendlyName").bytes, std::string("Four"));
    }

    void modifyLoadsWithDefaultsWritesWithZerosAndCancelChangesNothing() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "Foyer", false);
        SetText(Box(0), "IPAddress", "127.0.6.220", false);
        SetText(Box(0), "Message05-09", std::string(50, 'x'));
        OpenGeneral();

        // Cancel: the key stays as it was, message lines included.
        Select(0);
        Press(
            2,
            [](CPropertySheet* sheet) {
                QCOMPARE(sheet->PageCount(), 4);
                auto* station = static_cast<CStationSetupPage*>(sheet->Page(0));
                QCOMPARE(station->RotationEdit()->text(), QString("15"));  // missing: 15
                QCOMPARE(station->TimeoutEdit()->text(), QString("30"));
                QCOMPARE(station->NameEdit()->text(), QString("Foyer"));
                QCOMPARE(station->AddressCtl()->Field(3)->text(), QString("220"));
                station->NameEdit()->setText("Changed");
            },
            false);
        QVERIFY(answers.seen.empty());
        QCOMPARE(Query(Box(0), "FriendlyName").bytes, std::string("Foyer"));
        QVERIFY(!Query(Box(0), "RotationDelay").exists());
        QCOMPARE(Query(Box(0), "Message05-09").bytes, Zeroed(std::string(50, 'x')));

        // OK: the defaults are written, the texts with their zero, all 320 lines.
        Select(0);
        Press(2, [](CPropertySheet* sheet) {
            QVERIFY(sheet->SetActivePage(1));
            auto* auth = static_cast<CAuthenticationSetup*>(sheet->Page(1));
            QVERIFY(auth->TypeButton(0)->isChecked());  // missing AuthType: 0
            QCOMPARE(auth->HostEdit()->text(), QString("\\\\."));
            SaveScreen(sheet, "box-authentication");
            QVERIFY(sheet->SetActivePage(3));
            auto* messages = static_cast<CMessagePage*>(sheet->Page(3));
            QCOMPARE(messages->LineCountLabel()->text(), QString("10"));
            messages->MessageEdit()->setPlainText("Welcome to the\nlibrary\n\nCopies 10c a page");
            messages->SaveButton()->click();
            SaveScreen(sheet, "box-messages");
            QVERIFY(sheet->SetActivePage(0));
            SaveScreen(sheet, "box-station");
        });
        QCOMPARE(answers.Texts(), (QStringList{"Done", "Box configuration updated"}));
        QCOMPARE(Query(Box(0), "FriendlyName").bytes, Zeroed("Foyer"));
        QCOMPARE(Query(Box(0), "Message00-01").bytes, Zeroed("library"));
        QCOMPARE(Query(Box(0), "IPAddress").bytes, std::string("127.0.6.220"));
        QCOMPARE(Query(Box(0), "RotationDelay").bytes, Binary4(15));
        QCOMPARE(Query(Box(0), "AuthMaster").bytes, Zeroed("\\\\."));
        QCOMPARE(Query(Box(0), "NetwareAuthData").bytes, Zeroed(""));
        QCOMPARE(Query(Box(0), "PCounterLocation").bytes, std::string("C:\\"));
        QCOMPARE(Query(Box(0), "Message05-09").bytes, Zeroed(std::string(39, 'x')));
        QCOMPARE(Query(Box(0), "Message31-09").bytes, Zeroed(""));
        QVERIFY(!Query(Box(0), "Message32-00").exists());

        // A listed box without a key cannot be modified.
        answers.seen.clear();
        SetNumber(kMain, "NumServers", 2);
        theApp.numServers = 2;
        page_->RefreshStationList();
        Select(1);
        Press(2);
        QCOMPARE(answers.Texts(), QStringList{"Cannot access box configuration"});
    }

    void theStationPageChecksItsNumbersAndAddress() {
        Answers answers;
        OpenGeneral();
        Press(0, [&answers](CPropertySheet* sheet) {
            auto* station = static_cast<CStationSetupPage*>(sheet->Page(0));
            const auto refused = [&](const QString& rotation, const QString& timeout,
                                     const QString& address, const QString& text, QWidget* focus) {
                answers.seen.clear();
                FillStation(sheet, "Edge", address, rotation, timeout);
                sheet->OkButton()->click();
                QVERIFY(sheet->isVisible());
                QCOMPARE(answers.Texts(), QStringList{text});
                QCOMPARE(answers.seen[0].style, dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION);
                if (focus) QCOMPARE(QApplication::focusWidget(), focus);
            };
            const QString range = "Please enter an integer between 5 and 300.";
            refused("4", "30", "127.0.6.230", range, station->RotationEdit());
            refused("301", "30", "127.0.6.230", range, station->RotationEdit());
            refused("", "30", "127.0.6.230", "Please enter an integer.", station->RotationEdit());
            refused("5", "4", "127.0.6.230", range, station->TimeoutEdit());
            // Only digits can be typed.
            station->TimeoutEdit()->clear();
            QTest::keyClicks(station->TimeoutEdit(), "-1x2");
            QCOMPARE(station->TimeoutEdit()->text(), QString("12"));
            // An empty part of the address stops the exchange with the control's message.
            answers.seen.clear();
            FillStation(sheet, "Edge", "127.0.6.230", "5", "300");
            station->AddressCtl()->Field(3)->clear();
            sheet->OkButton()->click();
            QVERIFY(sheet->isVisible());
            QCOMPARE(answers.seen.size(), std::size_t{1});
            QVERIFY(!answers.seen[0].text.isEmpty());
            QCOMPARE(QApplication::focusWidget(), station->AddressCtl()->Field(3));
            FillStation(sheet, "Edge", "127.0.6.230", "5", "300");
            answers.seen.clear();
        });
        QCOMPARE(answers.Texts(), QStringList{"Box details added"});
        QCOMPARE(Query(Box(0), "RotationDelay").bytes, Binary4(5));
        QCOMPARE(Query(Box(0), "UITimeout").bytes, Binary4(300));
        QCOMPARE(Query(Box(0), "IPAddress").bytes, std::string("127.0.6.230"));
    }

    void aRegistryThatRefusesKeepsEveryBoxListed() {
        Answers answers;
        SetNumber(kMain, "NumServers", 2);
        SetText(Box(0), "FriendlyName", "Zero");
        SetText(Box(1), "FriendlyName", "One");
        OpenGeneral();

        // A deletion that fails leaves the count, so no box drops out of the list.
        RefuseKeyChanges(root_->path(), "DELETE");
        answers.queue = {dornelui::IDYES};
        Select(0);
        Press(1);
        QCOMPARE(answers.Texts().last(), QString("Could not delete box configuration"));
        QCOMPARE(Lines(), (QStringList{"Zero", "One"}));
        QCOMPARE(theApp.numServers, 2);

        // A key that cannot be created: the sheet's input is dropped, the count stays.
        RefuseKeyChanges(root_->path(), "INSERT");
        answers.seen.clear();
        Press(0, [](CPropertySheet* sheet) { FillStation(sheet, "New", "127.0.6.235"); });
        QCOMPARE(answers.Texts(), QStringList{"Cannot create new configuration key"});
        QCOMPARE(Lines(), (QStringList{"Zero", "One"}));
        QCOMPARE(theApp.numServers, 2);
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(2));
    }

    void boxValuesTheRegistryRefusesAreReportedNotClaimed() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "Foyer", false);
        SetText(Box(0), "IPAddress", "127.0.6.220", false);
        OpenGeneral();
        RefuseValueWrites(root_->path(), "UITimeout");

        // Modify: the other values are still written.
        Select(0);
        Press(2, [](CPropertySheet*) {});
        QCOMPARE(answers.Texts(), QStringList{"Cannot write box configuration"});
        QCOMPARE(Query(Box(0), "RotationDelay").bytes, Binary4(15));
        QVERIFY(!Query(Box(0), "UITimeout").exists());

        // Add: the box is counted and listed all the same, so it can be mended or deleted.
        answers.seen.clear();
        Press(0, [](CPropertySheet* sheet) { FillStation(sheet, "New", "127.0.6.236"); });
        QCOMPARE(answers.Texts(), QStringList{"Cannot write box configuration"});
        QCOMPARE(Lines(), (QStringList{"Foyer", "New"}));
        QCOMPARE(Query(kMain, "NumServers").bytes, Binary4(2));
    }

    // --- Authentication and the NDS search list -------------------------------------------

    void theNdsListFollowsAddAndDeleteAndTheTypeEnablesTheFields() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "Lab");
        SetNumber(Box(0), "AuthType", 1);
        // No trailing comma on the last entry; a context holding "|".
        SetText(Box(0), "NetwareAuthData", "T1|C1,T2|o=a|b");
        OpenGeneral();
        Select(0);
        Press(2, [&answers](CPropertySheet* sheet) {
            QVERIFY(sheet->SetActivePage(1));
            auto* auth = static_cast<CAuthenticationSetup*>(sheet->Page(1));
            auto* list = auth->NdsList();
            QCOMPARE(list->headerItem()->text(0), QString("NDS Tree Name"));
            QCOMPARE(list->headerItem()->text(1), QString("Context Name"));
            QCOMPARE(list->GetItemCount(), 2);
            QCOMPARE(list->GetItemText(1, 0), QString("T2"));
            QCOMPARE(list->GetItemText(1, 1), QString("o=a|b"));

            // Netware: list and buttons on, host off; NT: the reverse; custom: all off.
            QVERIFY(list->isEnabled() && auth->AddButton()->isEnabled());
            QVERIFY(!auth->HostEdit()->isEnabled());
            auth->TypeButton(0)->click();
            QVERIFY(!list->isEnabled() && !auth->DeleteButton()->isEnabled());
            QVERIFY(auth->HostEdit()->isEnabled());
            QCOMPARE(list->GetItemCount(), 2);  // entries kept
            auth->TypeButton(2)->click();
            QVERIFY(!list->isEnabled() && !auth->HostEdit()->isEnabled());
            auth->TypeButton(1)->click();

            // Delete without a selection, then the first row.
            auth->DeleteButton()->click();
            QCOMPARE(answers.Texts(), QStringList{"Please select an item first"});
            list->SelectRow(0);
            auth->DeleteButton()->click();
            QCOMPARE(auth->ndsSearchList, std::string("T2|o=a|b,"));
            QCOMPARE(list->GetItemCount(), 1);

            // Add through the dialog; Cancel adds nothing.
            WhenModal<CNDSEntryDlg>([](CNDSEntryDlg* dialog) {
                QCOMPARE(dialog->windowTitle(), QString("Netware Authentication Search Entry"));
                dialog->TreeEdit()->setText("ignored");
                dialog->CancelButton()->click();
            });
            auth->AddButton()->click();
            QCOMPARE(list->GetItemCount(), 1);
            WhenModal<CNDSEntryDlg>([](CNDSEntryDlg* dialog) {
                QCOMPARE(dialog->TreeEdit()->text(), QString());
                dialog->TreeEdit()->setText("CORP");
                dialog->ContextEdit()->setText("ou=staff.o=corp");
                SaveScreen(dialog, "nds-entry");
                dialog->OkButton()->click();
            });
            auth->AddButton()->click();
            QCOMPARE(list->GetItemCount(), 2);
            QCOMPARE(list->GetItemText(1, 0), QString("CORP"));
            QCOMPARE(list->GetItemText(1, 1), QString("ou=staff.o=corp"));
            // An empty tree name: the row shows the context with its comma until a refill.
            WhenModal<CNDSEntryDlg>([](CNDSEntryDlg* dialog) {
                dialog->ContextEdit()->setText("o=x");
                dialog->OkButton()->click();
            });
            auth->AddButton()->click();
            QCOMPARE(list->GetItemText(2, 0), QString("o=x,"));
            QCOMPARE(list->GetItemText(2, 1), QString());
        });
        QCOMPARE(Query(Box(0), "NetwareAuthData").bytes,
                 Zeroed("T2|o=a|b,CORP|ou=staff.o=corp,|o=x,"));
        QCOMPARE(Query(Box(0), "AuthType").bytes, Binary4(1));
    }

    void deletingAnNdsEntryKeepsTheOthersAsStored() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetNumber(Box(0), "AuthType", 1);
        SetText(Box(0), "NetwareAuthData", "T1|C1,");
        OpenGeneral();
        Select(0);
        Press(2, [](CPropertySheet* sheet) {
            QVERIFY(sheet->SetActivePage(1));
            auto* auth = static_cast<CAuthenticationSetup*>(sheet->Page(1));
            // An entry with no tree name shows differently from what is stored ...
            WhenModal<CNDSEntryDlg>([](CNDSEntryDlg* dialog) {
                dialog->ContextEdit()->setText("o=x");
                dialog->OkButton()->click();
            });
            auth->AddButton()->click();
            // ... and deleting another entry keeps it as it was stored.
            auth->NdsList()->SelectRow(0);
            auth->DeleteButton()->click();
            QCOMPARE(auth->ndsSearchList, std::string("|o=x,"));
            QCOMPARE(auth->NdsList()->GetItemText(0, 1), QString("o=x"));
        });
        QCOMPARE(Query(Box(0), "NetwareAuthData").bytes, Zeroed("|o=x,"));
    }

    // --- Messages ---------------------------------------------------------------------------

    void theMessagePageKeepsItsLineRulesAndWraps() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "Desk");
        SetText(Box(0), "Message00-00", "Welcome");
        SetText(Box(0), "Message00-01", "to the library");
        SetText(Box(0), "Message02-05", "old line");
        OpenGeneral();
        Select(0);
        Press(2, [&answers](CPropertySheet* sheet) {
            QVERIFY(sheet->SetActivePage(3));
            auto* page = static_cast<CMessagePage*>(sheet->Page(3));
            QCOMPARE(page->MessageLabel()->text(), QString("Message : 0"));
            QCOMPARE(page->LineCountLabel()->text(), QString("10"));
            QVERIFY(page->MessageEdit()->toPlainText().startsWith("Welcome\nto the library\n"));

            // Wrapping both ways.
            page->PrevButton()->click();
            QCOMPARE(page->MessageLabel()->text(), QString("Message : 31"));
            page->NextButton()->click();
            QCOMPARE(page->MessageLabel()->text(), QString("Message : 0"));
            for (int i = 0; i < 32; ++i) page->NextButton()->click();
            QCOMPARE(page->currentMessage, 0);

            // 11 lines (Enter after the tenth) and a line of 40 are refused.
            const QString ten39 = QStringList(10, QString(39, 'a')).join("\n");
            page->MessageEdit()->setPlainText(ten39 + "\n");
            QCOMPARE(page->LineCountLabel()->text(), QString("11"));
            page->SaveButton()->click();
            page->MessageEdit()->setPlainText("short\n" + QString(40, 'b'));
            page->SaveButton()->click();
            QCOMPARE(answers.Texts(),
                     (QStringList{"A message may contain at most 10 lines",
                                  "All lines in a message must be less than 40 characters"}));
            QCOMPARE(page->messageLines[0][0], std::string("Welcome"));

            // 10 lines of 39 are taken.
            answers.seen.clear();
            page->MessageEdit()->setPlainText(ten39);
            page->SaveButton()->click();
            QCOMPARE(answers.Texts(), QStringList{"Done"});
            QCOMPARE(page->messageLines[0][9], std::string(39, 'a'));

            // Three lines clear the rest of the message.
            page->NextButton()->click();
            page->NextButton()->click();
            page->MessageEdit()->setPlainText("one\ntwo\nthree");
            QCOMPARE(page->LineCountLabel()->text(), QString("3"));
            page->SaveButton()->click();
            QCOMPARE(page->messageLines[2][5], std::string());

            // Unsaved changes are dropped on Next; an empty field clears a message.
            page->NextButton()->click();
            page->MessageEdit()->setPlainText("never saved");
            page->NextButton()->click();
            page->PrevButton()->click();
            QCOMPARE(page->MessageEdit()->toPlainText(), QString(9, '\n'));
            page->MessageEdit()->clear();
            QCOMPARE(page->LineCountLabel()->text(), QString("1"));
        });
        QCOMPARE(Query(Box(0), "Message00-09").bytes, Zeroed(std::string(39, 'a')));
        QCOMPARE(Query(Box(0), "Message02-00").bytes, Zeroed("one"));
        QCOMPARE(Query(Box(0), "Message02-02").bytes, Zeroed("three"));
        QCOMPARE(Query(Box(0), "Message02-05").bytes, Zeroed(""));
        QCOMPARE(Query(Box(0), "Message03-00").bytes, Zeroed(""));
    }

    void allThreeHundredTwentyLinesRoundTripThroughTheRegistry() {
        // Every line distinct, written through one sheet and read back by the next.
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "Round");
        OpenGeneral();
        Answers answers;
        const auto text = [](int m, int l) { return QString("m%1 line %2").arg(m).arg(l); };
        Select(0);
        Press(2, [&](CPropertySheet* sheet) {
            QVERIFY(sheet->SetActivePage(3));
            auto* page = static_cast<CMessagePage*>(sheet->Page(3));
            for (int m = 0; m < 32; ++m) {
                QStringList lines;
                for (int l = 0; l < 10; ++l) lines << text(m, l);
                page->MessageEdit()->setPlainText(lines.join("\n"));
                page->SaveButton()->click();
                page->NextButton()->click();
            }
        });
        for (int m = 0; m < 32; ++m) {
            for (int l = 0; l < 10; ++l) {
                const std::string name = boxconfig::MessageValueName(m, l);
                QCOMPARE(Query(Box(0), name.c_str()).bytes, Zeroed(text(m, l).toStdString()));
            }
        }
        Select(0);
        Press(
            2,
            [&](CPropertySheet* sheet) {
                auto* page = static_cast<CMessagePage*>(sheet->Page(3));
                QVERIFY(sheet->SetActivePage(3));
                for (int m = 0; m < 32; ++m)
                    for (int l = 0; l < 10; ++l)
                        QCOMPARE(QString::fromStdString(page->messageLines[m][l]), text(m, l));
            },
            false);
    }

    // --- Control requests up to the service manager ---------------------------------------

    void controlRequestsAskWriteTheKeyAndReportTheServiceManager() {
        Answers answers;
        SetNumber(kMain, "NumServers", 2);
        SetText(Box(0), "FriendlyName", "A");
        SetText(Box(1), "FriendlyName", "B");
        OpenGeneral();
        const std::string control = kMain + "\\Control";

        // Nothing selected: no question, nothing written.
        for (int button = 3; button <= 6; ++button) Press(button);
        QCOMPARE(answers.Texts(), QStringList(4, "Please select a box first"));
        QVERIFY(!KeyExists(control));

        // No to the question: nothing written.
        answers.seen.clear();
        Select(1);
        Press(5);
        QCOMPARE(answers.Texts(), QStringList{"About to reset box. Are you sure?"});
        QCOMPARE(answers.seen[0].style, dornelui::MB_YESNO | dornelui::MB_ICONQUESTION);
        QVERIFY(!KeyExists(control));

        // Yes, with no service installed: the key holds the box, the service entry is missing
        // (two spaces in the reset's text).
        const struct {
            int button;
            QString question;
            QString failure;
        } cases[] = {
            {5, "About to reset box. Are you sure?", "Cannot open  service entry"},
            {4, "About to take box offline. Are you sure?", "Cannot open service entry"},
            {3, "About to take box online. Are you sure?", "Cannot open service entry"},
            {6, "About to reconfigure box. Are you sure?", "Cannot open service entry"},
        };
        for (const auto& c : cases) {
            answers.seen.clear();
            answers.queue = {dornelui::IDYES};
            Press(c.button);
            QCOMPARE(answers.Texts(), (QStringList{c.question, c.failure}));
            QCOMPARE(Query(control, "Control").type, REG_BINARY);
            QCOMPARE(Query(control, "Control").bytes, Binary4(1));
        }

        // Another machine's service manager cannot be reached.
        answers.seen.clear();
        theApp.serverName = "no-such-machine.invalid";
        Select(0);
        answers.queue = {dornelui::IDYES};
        Press(6);
        QCOMPARE(answers.Texts().last(),
                 QString("Cannot connect to remote service manager database."));
        QCOMPARE(Query(control, "Control").bytes, Binary4(0));

        // Status Enquiry without a selection looks for Box-01.
        answers.seen.clear();
        page_->StationList()->setCurrentRow(-1);
        Press(7);
        QCOMPARE(answers.Texts(), QStringList{"Cannot access box configuration"});
    }

    void aControlKeyThatCannotBeWrittenSendsNoCode() {
        Answers answers;
        SetNumber(kMain, "NumServers", 1);
        SetText(Box(0), "FriendlyName", "A");
        OpenGeneral();
        RefuseValueWrites(root_->path(), "Control");
        Select(0);
        answers.queue = {dornelui::IDYES};
        Press(6);
        // Nothing reaches the service manager: no word from it follows.
        QCOMPARE(answers.Texts(), (QStringList{"About to reconfigure box. Are you sure?",
                                               "Cannot create control key"}));
    }
};

APPLET_QTEST_MAIN(BoxSheetTest)
#include "boxsheet_test.moc"
