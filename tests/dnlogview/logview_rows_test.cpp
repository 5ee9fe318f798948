// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The log viewer's display of records without a server: cells and coin names, rows with
// debug records hidden or shown, sorting, the box dialog's refusals, and the messages that
// need no call.

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <cstdlib>
#include <filesystem>

#include "dnlogview/logviewdlg.h"
#include "platform/ui/ui.h"

namespace {

class Answers {
  public:
    Answers() {
        dornelui::SetMessageBoxAnswerer([this](const dornelui::MessageBoxRequest& request) {
            seen << request.text;
            return dornelui::IDOK;
        });
    }
    ~Answers() { dornelui::SetMessageBoxAnswerer({}); }
    QStringList seen;
};

QString Utf8(const char* text) { return QString::fromUtf8(text); }

}  // namespace

class LogViewRowsTest : public QObject {
    Q_OBJECT
  private slots:
    void coinLettersBecomeCoinNames() {
        QCOMPARE(FormatCoinLetters("aab"), QString("5p,5p,10p,"));
        QCOMPARE(FormatCoinLetters("abcdefghi"), Utf8("5p,10p,20p,50p,£1,£2,£5,£10,£20,"));
        QCOMPARE(FormatCoinLetters("aXj "), QString("5p,???"));
        QCOMPARE(FormatCoinLetters(""), QString());
        // The pound sign is one character, U+00A3.
        QCOMPARE(CoinName('e').size(), 3);
        QCOMPARE(CoinName('e').at(0).unicode(), char16_t(0xA3));
    }

    void cellsAreTranslatedByColumnAndEventType() {
        QCOMPARE(TranslateField("0", 2, 0), QString("Server Start"));
        QCOMPARE(TranslateField("11", 2, 11), QString("Authentication OK - balance returned"));
        QCOMPARE(TranslateField("17", 2, 17), QString("Deposit Units"));
        QCOMPARE(TranslateField("500", 2, 500), QString("DebugEvent"));
        QCOMPARE(TranslateField(" 16", 2, 16), QString("Door State Change"));
        // Codes without a name show as their number; no digits read as 0.
        QCOMPARE(TranslateField("18", 2, 18), QString("18"));
        QCOMPARE(TranslateField("-3", 2, -3), QString("-3"));
        QCOMPARE(TranslateField("x", 2, 0), QString("Server Start"));
        // Coins only in the data of a deposit request.
        QCOMPARE(TranslateField("abi", 4, 13), Utf8("5p,10p,£20,"));
        QCOMPARE(TranslateField("abi", 4, 17), QString("abi"));
        QCOMPARE(TranslateField("abi", 3, 13), QString("abi"));
        QCOMPARE(TranslateField("-1", 1, 500), QString("-1"));
        // Long fields are bounded, coins or not.
        QCOMPARE(TranslateField(QString(10000, 'a'), 4, 13).size(), kMaxCellChars);
        QCOMPARE(TranslateField(QString(10000, 'z'), 4, 14).size(), kMaxCellChars);
    }

    void numbersAreReadAsAtoiReadsThem() {
        QCOMPARE(AtoiValue("  42|"), 42);
        QCOMPARE(AtoiValue("-1"), -1);
        QCOMPARE(AtoiValue("+7x"), 7);
        QCOMPARE(AtoiValue("N/A"), 0);
        QCOMPARE(AtoiValue(""), 0);
        QCOMPARE(AtoiValue("99999999999"), 2147483647);
        QCOMPARE(AtoiValue("-99999999999"), -2147483647 - 1);
    }

    void debugRowsFollowTheToggleAndOddLinesStillMakeRows() {
        RPC_BINDING_HANDLE none = nullptr;
        CLogViewDlg dialog(&none);
        for (const char* heading : {"a", "b", "c", "d", "e"}) {
            dialog.logList->InsertColumn(dialog.logList->ColumnCount(), heading);
        }
        const QString debug = "Tuesday, 08/12/2026 09:00:06|-1|500|N/A|trace|\n";
        QVERIFY(!dialog.AddLogRow(debug));
        QCOMPARE(dialog.logList->GetItemCount(), 0);
        dialog.DebugCheck()->click();
        QCOMPARE(dialog.showDebugEvents, 1);
        QVERIFY(dialog.DebugCheck()->isChecked());
        QVERIFY(dialog.AddLogRow(debug));
        QCOMPARE(dialog.logList->GetItemText(0, 2), QString("DebugEvent"));
        dialog.DebugCheck()->click();
        QCOMPARE(dialog.showDebugEvents, 0);
        QVERIFY(!dialog.DebugCheck()->isChecked());

        // A bar in the data splits it: the cell shows the part before the bar. A line cut
        // short shows empty cells.
        QVERIFY(dialog.AddLogRow("Tuesday, 08/12/2026 09:00:07|2|3|N/A|a|b|\n"));
        QCOMPARE(dialog.logList->GetItemText(1, 4), QString("a"));
        QVERIFY(dialog.AddLogRow("a continuation of a long line"));
        QCOMPARE(dialog.logList->GetItemText(2, 0), QString("a continuation of a long line"));
        QCOMPARE(dialog.logList->GetItemText(2, 2), QString("Server Start"));
        QCOMPARE(dialog.logList->GetItemText(2, 4), QString());
    }

    void rowsSortByTimeAcrossYearsAndByBoxNumber() {
        RPC_BINDING_HANDLE none = nullptr;
        CLogViewDlg dialog(&none);
        for (const char* heading : {"a", "b", "c", "d", "e"}) {
            dialog.logList->InsertColumn(dialog.logList->ColumnCount(), heading);
        }
        dialog.AddLogRow("Thursday, 01/01/2026 00:00:01|12|2|N/A| |\n");
        dialog.AddLogRow("Wednesday, 31/12/2025 23:59:59|9|2|N/A| |\n");
        dialog.AddLogRow("Friday, 02/01/2026 10:00:00|-1|2|N/A| |\n");
        dialog.AddLogRow("Thursday, 01/01/2026 00:00:01|3|2|N/A| |\n");
        dialog.logList->setSortingEnabled(true);
        dialog.logList->sortByColumn(0, Qt::AscendingOrder);
        QStringList boxes;
        for (int row = 0; row < 4; ++row) boxes << dialog.logList->GetItemText(row, 1);
        QCOMPARE(boxes, QStringList({"9", "12", "3", "-1"}));  // equal times keep log order
        dialog.logList->sortByColumn(1, Qt::AscendingOrder);
        boxes.clear();
        for (int row = 0; row < 4; ++row) boxes << dialog.logList->GetItemText(row, 1);
        QCOMPARE(boxes, QStringList({"-1", "3", "9", "12"}));
    }

    void aSearchWithoutTextAsksForOneAndCallsNothing() {
        Answers answers;
        RPC_BINDING_HANDLE none = nullptr;  // a call would fail: none is made
        CLogViewDlg dialog(&none);
        dialog.show();
        dialog.GoButton()->click();
        QCOMPARE(answers.seen, QStringList({"Please enter a search string first"}));
        QVERIFY(!dialog.Busy());
        QVERIFY(dialog.isVisible());
        // Return in the search field searches; it does not close the window.
        QTest::keyClick(dialog.SearchEdit(), Qt::Key_Return);
        QCOMPARE(answers.seen.size(), 2);
        QVERIFY(dialog.isVisible());
    }

    void aBindingTheRuntimeRefusesIsReportedByEachAction() {
        Answers answers;
        RPC_BINDING_HANDLE none = nullptr;
        CLogViewDlg dialog(&none);
        dialog.show();
        dialog.SearchEdit()->setText("anything");
        QSignalSpy finished(&dialog, &CLogViewDlg::searchFinished);
        dialog.GoButton()->click();
        QVERIFY(finished.wait(10000));
        QVERIFY(!dialog.Busy());
        QCOMPARE(answers.seen, QStringList({"Could not perform remote RPC search."}));
        QVERIFY(dialog.GoButton()->isEnabled());

        answers.seen.clear();
        QTimer::singleShot(50, [] {
            if (auto* select = qobject_cast<CSelectBoxDlg*>(QApplication::activeModalWidget())) {
                select->Edit()->setText("1");
                select->OkButton()->click();
            }
        });
        dialog.CashButton()->click();
        QCOMPARE(answers.seen, QStringList({"Cannot communicate with server."}));
        QVERIFY(!dialog.CashBox()->isVisible());
        QVERIFY(dialog.isVisible());
    }

    void theBoxDialogTakesWholeNumbersFrom0To99() {
        Answers answers;
        CSelectBoxDlg select;
        select.show();
        for (const char* refused : {"", "two", "1.5", "-1", "100"}) {
            select.Edit()->setText(refused);
            select.OkButton()->click();
            QVERIFY2(select.isVisible(), refused);
        }
        QCOMPARE(answers.seen, QStringList({"Please enter an integer.", "Please enter an integer.",
                                            "Please enter an integer.",
                                            "Please enter an integer between 0 and 99.",
                                            "Please enter an integer between 0 and 99."}));
        select.Edit()->setText(" 99 ");
        select.OkButton()->click();
        QCOMPARE(select.result(), int(QDialog::Accepted));
        QCOMPARE(select.selectedBox, 99);
    }
};

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char pattern[] = "/tmp/dornel-logview-xdg-XXXXXX";
    const std::string runtime = ::mkdtemp(pattern) ? pattern : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int rc = 0;
    {
        QApplication app(argc, argv);
        LogViewRowsTest test;
        rc = QTest::qExec(&test, argc, argv);
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    return rc;
}

#include "logview_rows_test.moc"
