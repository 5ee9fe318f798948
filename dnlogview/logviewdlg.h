// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CLogViewDlg, "Dornel Log Utility": searches the server's log for a text and lists the
// matching records (Date/Time, Server Number, Operation, User, Semantic Data) with the event
// codes translated into names; asks the server for the cash one box should hold
// (CSelectBoxDlg picks the box) and offers that account for the clipboard; clears the log
// after a confirmation.
//
// The window never waits on the server: every DornelLog call runs on a worker thread while
// the window keeps serving events, and the runtime's call time-out bounds each call. A
// search fetches its records in the background with a progress bar and a "Stop" button; the
// list sorts on any column (dates by time, box numbers as numbers). A failure of the RPC
// layer is reported with the message of the action that failed, as a declined call is.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/rpc/rpc.h"
#include "platform/ui/ui.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Event codes the viewer treats specially.
inline constexpr int kDepositRequestEvent = 13;
inline constexpr int kDebugEventCode = 500;
// The names of event codes 0 to 17.
inline constexpr int kEventNameCount = 18;
extern const char* const eventNames[kEventNameCount];

// The coin names of the letters "a" to "i" ("5p," ... "£20,"); any other character "?".
QString CoinName(QChar letter);
// The coin names of the text's characters, one after the other.
QString FormatCoinLetters(const QString& text);
// The display of one cell: column 2 as the event's name, column 4 of a deposit request as
// coins, anything else unchanged. Cells are cut to kMaxCellChars characters.
inline constexpr int kMaxCellChars = 4096;
QString TranslateField(const QString& text, int column, int eventType);
// The fields of a record line split at "|", numbered from 0.
QStringList SplitRecord(const QString& line);
// The leading number of a text as atoi reads it (0 when there is none).
int AtoiValue(const QString& text);

// "Select Dornel client": a box number from 0 to 99.
class CSelectBoxDlg : public dornelui::CTextEntryDlg {
    Q_OBJECT
  public:
    explicit CSelectBoxDlg(QWidget* owner = nullptr);

    // Takes the field into selectedBox; refuses (and stays open) when it is not a number of
    // 0 to 99, saying so.
    void accept() override;

    int selectedBox = 0;
};

class CLogViewDlg : public QDialog {
    Q_OBJECT
  public:
    CLogViewDlg(RPC_BINDING_HANDLE* bindingRef, QWidget* owner = nullptr);
    ~CLogViewDlg() override;

    // Appends the record as a row unless it is a debug record and those are hidden; true
    // when it was shown. Column widths are fitted after each batch of rows (FitColumns).
    bool AddLogRow(const QString& line);
    void FitColumns();

    // The actions of the buttons.
    void OnSearch();
    void OnStopSearch();
    void OnToggleDebug();
    void OnCashUp();
    void OnClearLog();

    // True while a call to the server is under way.
    bool Busy() const { return busy_; }

    // Closing while a call is under way stops a search and closes once the call returned.
    void done(int result) override;

    dornelui::CListCtrl* logList = nullptr;
    QString searchText;
    RPC_BINDING_HANDLE* bindingRef = nullptr;
    int showDebugEvents = 0;

    // The controls, for the tests.
    QLineEdit* SearchEdit() const { return searchEdit_; }
    QPushButton* GoButton() const { return go_; }
    QPushButton* StopButton() const { return stop_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    QPushButton* CashButton() const { return cash_; }
    QPushButton* ClearButton() const { return clear_; }
    QCheckBox* DebugCheck() const { return debug_; }
    QProgressBar* Progress() const { return progress_; }
    QLabel* Status() const { return status_; }
    QGroupBox* CashBox() const { return cashBox_; }
    QTableWidget* CashTable() const { return cashTable_; }

  signals:
    // A search has ended (found, nothing found, failed or stopped).
    void searchFinished();

  private:
    struct SearchState;
    void SetBusy(bool busy);
    // Runs call on a worker thread and serves events until it returns; false when it threw
    // (a failure of the RPC layer).
    bool CallOffThread(const std::function<void()>& call);
    void OnSearchRows(const QStringList& lines, long fetched);
    void OnSearchEnded(int outcome, long total);
    void ShowCashTable(int box, const QStringList& counts);
    int Message(const QString& text, unsigned style = dornelui::MB_OK);

    QLineEdit* searchEdit_ = nullptr;
    QPushButton* go_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* cash_ = nullptr;
    QPushButton* clear_ = nullptr;
    QCheckBox* debug_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QGroupBox* cashBox_ = nullptr;
    QTableWidget* cashTable_ = nullptr;

    bool busy_ = false;
    int pendingClose_ = -1;  // the result to close with once the call under way returned
    long shown_ = 0;         // rows shown by the search under way
    long sequence_ = 0;      // log order of the rows, for sorting back
    std::shared_ptr<SearchState> search_;
    std::thread worker_;
};
