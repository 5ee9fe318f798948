// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The log viewer against a running dornelman: the viewer's window (Qt's offscreen platform,
// in this process, driven with QtTest) binds through the server's endpoint mapper on a port
// of its own and searches, cashes up and clears a log prepared before the start. A server
// that stops, or stops answering, while the window is open is reported, never waited on.

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "dnlogview/logviewapp.h"
#include "dnlogview/logviewdlg.h"
#include "platform/ui/ui.h"
#include "tests/fixtures/freeze.h"
#include "tests/fixtures/qt/qtfixture.h"
#include "tests/integration/server/qtapp.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

// Runs action on the next visible modal dialog of type T, waiting up to 10 s: the window
// may still be finishing a call.
template <class T>
void WhenModal(std::function<void(T*)> action) {
    qtfixture::WhenModal<T>(std::move(action), 500);
}

void SaveScreen(QWidget* widget, const QString& name) {
    const char* dir = std::getenv("DORNEL_SCREENS_DIR");
    if (!dir || !*dir) return;
    QDir().mkpath(dir);
    EXPECT_TRUE(widget->grab().save(QString(dir) + "/" + name + ".png"));
}

// The prepared log: box 2's door and coins, a deposit request of box 3, two debug records
// of no box, a code without a name, and an older record written later.
const char* const kPreparedLog =
    "Tuesday, 08/12/2026 09:00:00|2|16|N/A|Open|\n"
    "Tuesday, 08/12/2026 09:00:01|2|17|alice|aab|\n"
    "Tuesday, 08/12/2026 09:00:02|2|17|alice|e|\n"
    "Tuesday, 08/12/2026 09:00:03|2|16|N/A|Closed|\n"
    "Tuesday, 08/12/2026 09:00:04|2|17|bob|b|\n"
    "Tuesday, 08/12/2026 09:00:05|3|13|carol|abi|\n"
    "Tuesday, 08/12/2026 09:00:06|-1|500|N/A|trace quokka one|\n"
    "Tuesday, 08/12/2026 09:00:07|-1|500|N/A|trace quokka two|\n"
    "Tuesday, 08/12/2026 09:00:08|4|42|N/A|odd wombat|\n"
    "Tuesday, 08/12/2026 09:00:09|10|11|dave|12.50 wombat|\n"
    "Monday, 07/12/2026 23:59:59|3|14|erin|3.00 wombat|\n";

// Every message box of the viewer, answered from a queue (default: OK, or No to a question).
class Answers {
  public:
    Answers() {
        dornelui::SetMessageBoxAnswerer([this](const dornelui::MessageBoxRequest& request) {
            seen.push_back(request.text);
            if (queue.empty()) {
                return (request.style & 0xF) == dornelui::MB_YESNO ? dornelui::IDNO
                                                                   : dornelui::IDOK;
            }
            const int answer = queue.front();
            queue.pop_front();
            return answer;
        });
    }
    ~Answers() { dornelui::SetMessageBoxAnswerer({}); }
    QString Last() const { return seen.isEmpty() ? QString() : seen.back(); }
    QStringList seen;
    std::deque<int> queue;
};

class LogViewerEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        ::setenv("DORNEL_RPC_ADDRESS", "127.0.0.1", 1);
        ::setenv("DORNEL_EPM_PORT", std::to_string(server_.epmPort()).c_str(), 1);
        // A server that never answers is given up on after this long.
        ::setenv("DORNEL_RPC_CALL_TIMEOUT", "3000", 1);
        WriteLog(kPreparedLog);
        ASSERT_TRUE(server_.Configure({}));
    }

    // The next test's server gets a mapper port of its own.
    void TearDown() override { ::setenv("DORNEL_EPM_PORT", "0", 1); }

    void WriteLog(const std::string& text) {
        std::ofstream(server_.root() + "/c/dornel/log/dornel.log", std::ios::binary) << text;
    }

    std::string LogText() const {
        std::ifstream in(server_.root() + "/c/dornel/log/dornel.log", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // A window bound as the applet binds it (empty address: this machine).
    std::unique_ptr<CLogViewDlg> OpenWindow() {
        EXPECT_TRUE(applet_.Bind("127.0.0.1"));
        auto dialog = std::make_unique<CLogViewDlg>(&applet_.binding);
        dialog->show();
        return dialog;
    }

    // Types the text and presses Go; waits for the search to end when it starts one.
    static void Search(CLogViewDlg* dialog, const QString& text) {
        dialog->SearchEdit()->setText(text);
        QSignalSpy finished(dialog, &CLogViewDlg::searchFinished);
        dialog->GoButton()->click();
        if (dialog->Busy()) {
            ASSERT_TRUE(finished.wait(60000));
        }
        ASSERT_FALSE(dialog->Busy());
    }

    static QStringList Column(CLogViewDlg* dialog, int column) {
        QStringList cells;
        for (int row = 0; row < dialog->logList->GetItemCount(); ++row) {
            cells << dialog->logList->GetItemText(row, column);
        }
        return cells;
    }

    // Cash-up of the box through the box dialog.
    static void CashUp(CLogViewDlg* dialog, const QString& box) {
        WhenModal<CSelectBoxDlg>([box](CSelectBoxDlg* select) {
            select->Edit()->setText(box);
            select->OkButton()->click();
        });
        dialog->CashButton()->click();
    }

    ServerHarness server_;
    CLogViewerApplet applet_;
};

TEST_F(LogViewerEndToEnd, SearchesListTranslatedRowsAndReportEachOutcome) {
    ASSERT_TRUE(server_.Start());
    Answers answers;
    auto dialog = OpenWindow();

    // Nothing to search for.
    Search(dialog.get(), "");
    EXPECT_EQ(answers.Last(), "Please enter a search string first");

    // No match.
    Search(dialog.get(), "no such aardvark");
    EXPECT_EQ(answers.Last(), "No items matched your search");

    // Only debug records match, and they are hidden: the table keeps its headers only.
    answers.seen.clear();
    Search(dialog.get(), "QUOKKA");
    EXPECT_EQ(answers.Last(), "Nothing matching your search critera could be found");
    EXPECT_EQ(dialog->logList->GetItemCount(), 0);
    ASSERT_EQ(dialog->logList->ColumnCount(), 5);
    const QStringList headers{"Date/Time", "Server Number", "Operation", "User", "Semantic Data"};
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(dialog->logList->headerItem()->text(column), headers[column]);
    }

    // Shown after the toggle, at the next search.
    QTest::mouseClick(dialog->DebugCheck(), Qt::LeftButton);
    EXPECT_TRUE(dialog->DebugCheck()->isChecked());
    EXPECT_EQ(dialog->showDebugEvents, 1);
    answers.seen.clear();
    Search(dialog.get(), "quokka");
    EXPECT_TRUE(answers.seen.isEmpty()) << answers.seen.join("; ").toStdString();
    EXPECT_EQ(Column(dialog.get(), 1), QStringList({"-1", "-1"}));
    EXPECT_EQ(Column(dialog.get(), 2), QStringList({"DebugEvent", "DebugEvent"}));
    EXPECT_EQ(Column(dialog.get(), 4), QStringList({"trace quokka one", "trace quokka two"}));

    // Coins: a deposit request's letters as coin names, the units of a deposit as sent.
    Search(dialog.get(), "carol");
    ASSERT_EQ(dialog->logList->GetItemCount(), 1);
    EXPECT_EQ(dialog->logList->GetItemText(0, 0), "Tuesday, 08/12/2026 09:00:05");
    EXPECT_EQ(dialog->logList->GetItemText(0, 1), "3");
    EXPECT_EQ(dialog->logList->GetItemText(0, 2), "Deposit Request");
    EXPECT_EQ(dialog->logList->GetItemText(0, 3), "carol");
    EXPECT_EQ(dialog->logList->GetItemText(0, 4), QString::fromUtf8("5p,10p,£20,"));
    Search(dialog.get(), "alice");
    EXPECT_EQ(Column(dialog.get(), 2), QStringList({"Deposit Units", "Deposit Units"}));
    EXPECT_EQ(Column(dialog.get(), 4), QStringList({"aab", "e"}));

    // Sorted by time (the older record written last comes first), by box number as a
    // number, and an unnamed code shows as its number.
    Search(dialog.get(), "wombat");
    EXPECT_EQ(Column(dialog.get(), 0),
              QStringList({"Monday, 07/12/2026 23:59:59", "Tuesday, 08/12/2026 09:00:08",
                           "Tuesday, 08/12/2026 09:00:09"}));
    EXPECT_EQ(Column(dialog.get(), 2),
              QStringList({"Deposit OK", "42", "Authentication OK - balance returned"}));
    dialog->logList->sortByColumn(1, Qt::AscendingOrder);
    EXPECT_EQ(Column(dialog.get(), 1), QStringList({"3", "4", "10"}));
    dialog->logList->sortByColumn(1, Qt::DescendingOrder);
    EXPECT_EQ(Column(dialog.get(), 1), QStringList({"10", "4", "3"}));

    // The whole log, for the documentation; every message box left the window open.
    dialog->logList->sortByColumn(0, Qt::AscendingOrder);
    Search(dialog.get(), "2026");
    EXPECT_GE(dialog->logList->GetItemCount(), 11);
    EXPECT_TRUE(dialog->isVisible());
    SaveScreen(dialog.get(), "log-view");
}

TEST_F(LogViewerEndToEnd, CashUpShowsTheAccountAndATableAndCopiesItOnlyOnYes) {
    ASSERT_TRUE(server_.Start());
    Answers answers;
    auto dialog = OpenWindow();

    // The box dialog refuses what is not a number of 0 to 99 and stays open.
    bool refused = false;
    WhenModal<CSelectBoxDlg>([&](CSelectBoxDlg* select) {
        select->Edit()->setText("two");
        select->OkButton()->click();
        EXPECT_EQ(answers.Last(), "Please enter an integer.");
        select->Edit()->setText("100");
        select->OkButton()->click();
        EXPECT_EQ(answers.Last(), "Please enter an integer between 0 and 99.");
        refused = select->isVisible();
        SaveScreen(select, "select-box");
        select->CancelButton()->click();
    });
    dialog->CashButton()->click();
    EXPECT_TRUE(refused);
    EXPECT_EQ(answers.seen.size(), 2);  // Cancel asked the server nothing

    // Box 2 took 10p since its door closed; No leaves the clipboard as it was.
    QGuiApplication::clipboard()->setText("untouched");
    answers.seen.clear();
    CashUp(dialog.get(), "2");
    const QString account = QString::fromUtf8(
        "The box should contain the following amounts of cash :\r\n"
        "\t5p,\t0\r\n\t10p,\t1\r\n\t20p,\t0\r\n\t50p,\t0\r\n\t£1,\t0\r\n\t£2,\t0\r\n"
        "\t£5,\t0\r\n\t£10,\t0\r\n\t£20,\t0\r\n");
    ASSERT_EQ(answers.seen.size(), 2);
    EXPECT_EQ(answers.seen[0], account);
    EXPECT_EQ(answers.seen[1], "Do you want to copy the cash content to the clipboard?");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "untouched");
    ASSERT_TRUE(dialog->CashBox()->isVisible());
    EXPECT_EQ(dialog->CashTable()->item(1, 0)->text(), "10p");
    EXPECT_EQ(dialog->CashTable()->item(1, 1)->text(), "1");
    EXPECT_EQ(dialog->CashTable()->item(9, 2)->text(), QString::fromUtf8("£0.10"));

    // Box 3: no units of its own (its deposit request is no count); Yes copies the account.
    answers.seen.clear();
    answers.queue = {dornelui::IDOK, dornelui::IDYES};
    CashUp(dialog.get(), "3");
    ASSERT_EQ(answers.seen.size(), 3);
    EXPECT_TRUE(answers.seen[0].contains("\t10p,\t0\r\n"));
    EXPECT_EQ(answers.seen[2], "Cash content is now on the clipboard.");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), answers.seen[0]);
    EXPECT_EQ(dialog->CashTable()->item(9, 2)->text(), QString::fromUtf8("£0.00"));

    // Box 2 once more for the picture, beside its records.
    Search(dialog.get(), "|2|");
    CashUp(dialog.get(), "2");
    SaveScreen(dialog.get(), "cash-up");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(LogViewerEndToEnd, ClearAsksFirstAndEmptiesTheServersLog) {
    ASSERT_TRUE(server_.Start());
    Answers answers;
    auto dialog = OpenWindow();
    Search(dialog.get(), "wombat");
    ASSERT_EQ(dialog->logList->GetItemCount(), 3);

    // No: nothing is cleared.
    dialog->ClearButton()->click();
    EXPECT_EQ(answers.Last(), "Are you absolutely sure you want to clear the Dornel log?");
    EXPECT_NE(LogText().find("wombat"), std::string::npos);

    // Yes: the server's file is emptied; the list is left as it was.
    answers.queue = {dornelui::IDYES};
    dialog->ClearButton()->click();
    EXPECT_EQ(answers.Last(), "Log cleared.");
    EXPECT_EQ(LogText().find("wombat"), std::string::npos);
    EXPECT_EQ(dialog->logList->GetItemCount(), 3);
    Search(dialog.get(), "wombat");
    EXPECT_EQ(answers.Last(), "No items matched your search");
}

TEST_F(LogViewerEndToEnd, AStoppedServerIsReportedByEveryActionAndTheWindowStaysOpen) {
    ASSERT_TRUE(server_.Start());
    Answers answers;
    auto dialog = OpenWindow();
    Search(dialog.get(), "wombat");
    ASSERT_EQ(dialog->logList->GetItemCount(), 3);
    ASSERT_TRUE(server_.Stop());

    Search(dialog.get(), "wombat");
    EXPECT_EQ(answers.Last(), "Could not perform remote RPC search.");
    answers.seen.clear();
    CashUp(dialog.get(), "2");
    EXPECT_EQ(answers.seen, QStringList({"Cannot communicate with server."}));
    answers.queue = {dornelui::IDYES};
    dialog->ClearButton()->click();
    EXPECT_EQ(answers.Last(), "Unable to clear the log. Please try again later.");
    EXPECT_TRUE(dialog->isVisible());

    // Back again: the same window works on.
    ASSERT_TRUE(server_.Start());
    Search(dialog.get(), "wombat");
    EXPECT_EQ(dialog->logList->GetItemCount(), 3);
}

TEST_F(LogViewerEndToEnd, AServerThatNeverAnswersTimesOutWhileTheWindowKeepsWorking) {
    ASSERT_TRUE(server_.Start());
    const int pid = server_.ServerPid();
    ASSERT_GT(pid, 0);
    Answers answers;
    auto dialog = OpenWindow();
    Search(dialog.get(), "wombat");
    ASSERT_EQ(dialog->logList->GetItemCount(), 3);

    // The server is frozen: the call runs out after the time-out while the window serves
    // its events; closing it then waits for the call, not longer.
    ASSERT_TRUE(dorneltest::FreezeProcess(pid));
    struct Resume {
        int pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{pid};
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    Search(dialog.get(), "wombat");
    ticker.stop();
    EXPECT_EQ(answers.Last(), "Could not perform remote RPC search.");
    EXPECT_GT(ticks, 10);  // the event loop ran during the call
    EXPECT_TRUE(dialog->isVisible());

    answers.queue = {dornelui::IDYES};
    dialog->ClearButton()->click();
    EXPECT_EQ(answers.Last(), "Unable to clear the log. Please try again later.");

    // Cancel during a search: the window closes once the call has run out, not before.
    dialog->SearchEdit()->setText("wombat");
    QSignalSpy finished(dialog.get(), &CLogViewDlg::searchFinished);
    dialog->GoButton()->click();
    ASSERT_TRUE(dialog->Busy());
    dialog->CancelButton()->click();
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(finished.wait(30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 5000));
    EXPECT_EQ(dialog->result(), int(QDialog::Rejected));
}

TEST_F(LogViewerEndToEnd, ALargeLogIsFetchedInTheBackgroundAndCanBeStopped) {
    std::string log;
    constexpr int kRecords = 20000;
    for (int i = 0; i < kRecords; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "Tuesday, 08/12/2026 10:%02d:%02d|%d|17|user%d|bulk ab|\n",
                      (i / 60) % 60, i % 60, i % 7, i);
        log += line;
    }
    WriteLog(log);
    ASSERT_TRUE(server_.Start());
    Answers answers;
    auto dialog = OpenWindow();

    // While the records come in, the event loop runs and the progress moves.
    int ticks = 0;
    int partial = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        const int value = dialog->Progress()->value();
        if (dialog->Busy() && value > 0 && value < kRecords) ++partial;
    });
    ticker.start(5);
    Search(dialog.get(), "bulk");
    ticker.stop();
    EXPECT_TRUE(answers.seen.isEmpty()) << answers.seen.join("; ").toStdString();
    EXPECT_EQ(dialog->logList->GetItemCount(), kRecords);
    EXPECT_GT(ticks, 0);
    EXPECT_GT(partial, 0);
    EXPECT_EQ(dialog->Status()->text(), "20000 records listed of 20000 matches");

    // Stop: the rows so far stay, and the next search starts afresh.
    dialog->SearchEdit()->setText("bulk");
    QSignalSpy finished(dialog.get(), &CLogViewDlg::searchFinished);
    dialog->GoButton()->click();
    ASSERT_TRUE(dialog->Busy());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->logList->GetItemCount() > 0; }, 30000));
    EXPECT_TRUE(dialog->StopButton()->isEnabled());
    dialog->StopButton()->click();
    ASSERT_TRUE(finished.wait(30000));
    EXPECT_LT(dialog->logList->GetItemCount(), kRecords);
    EXPECT_TRUE(dialog->Status()->text().startsWith("Stopped"))
        << dialog->Status()->text().toStdString();
    Search(dialog.get(), "user19999|");
    ASSERT_EQ(dialog->logList->GetItemCount(), 1);
    EXPECT_EQ(dialog->logList->GetItemText(0, 3), "user19999");
}

TEST_F(LogViewerEndToEnd, OpeningBindsPingsShowsTheWindowAndUnbinds) {
    ASSERT_TRUE(server_.Start());
    Answers answers;

    // Listed by the control panel.
    const ToolResult list = server_.Tool("dornelcpl", {"--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.output.find("dnlogview\tDornel Log\tDornel Logging Utility"), std::string::npos)
        << list.output;
    NEWCPLINFOA info{};
    EXPECT_EQ(applet_.NewInquire(&info), 0);
    EXPECT_EQ(info.idIcon, kLogViewerIcon);

    // Cancel: no window, no message.
    WhenModal<CSelectLogServerDlg>([](CSelectLogServerDlg* select) {
        select->Edit()->setText("127.0.0.1");
        select->CancelButton()->click();
    });
    EXPECT_EQ(applet_.DoubleClick(nullptr, 0, 0), 0);
    EXPECT_TRUE(answers.seen.isEmpty());
    EXPECT_EQ(applet_.binding, nullptr);

    // A machine with no server: binding is local work, Ping fails in the runtime.
    WhenModal<CSelectLogServerDlg>([](CSelectLogServerDlg* select) {
        select->Edit()->setText("127.0.0.2");
        select->OkButton()->click();
    });
    EXPECT_EQ(applet_.DoubleClick(nullptr, 0, 0), 0);
    EXPECT_EQ(answers.seen, QStringList({"Could not connect to the Dornel RPC server"}));
    EXPECT_EQ(applet_.binding, nullptr);

    // Empty: this machine. The window searches through the opening's binding; either button
    // closes it and the binding is freed.
    for (const char* button : {"OK", "Cancel"}) {
        answers.seen.clear();
        bool searched = false;
        WhenModal<CSelectLogServerDlg>([&](CSelectLogServerDlg* select) {
            EXPECT_TRUE(select->Edit()->text().isEmpty());  // nothing remembered
            if (std::string(button) == "OK") SaveScreen(select, "select-log-server");
            WhenModal<CLogViewDlg>([&](CLogViewDlg* view) {
                EXPECT_EQ(view->windowTitle(), "Dornel Log Utility");
                EXPECT_EQ(view->showDebugEvents, 0);
                Search(view, "carol");
                searched = view->logList->GetItemCount() == 1;
                (std::string(button) == "OK" ? view->OkButton() : view->CancelButton())->click();
            });
            select->OkButton()->click();
        });
        EXPECT_EQ(applet_.DoubleClick(nullptr, 0, 0), 0);
        EXPECT_TRUE(searched) << button;
        EXPECT_TRUE(answers.seen.isEmpty()) << answers.seen.join("; ").toStdString();
        EXPECT_EQ(applet_.binding, nullptr);
        EXPECT_EQ(applet_.stringBinding, nullptr);
    }
}

}  // namespace
}  // namespace sessiontest
