// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "dnlogview/logviewdlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cstring>
#include <new>

#include "dnlogview/logviewapp.h"
#include "interface/dornellog.h"

const char* const eventNames[kEventNameCount] = {
    "Server Start",
    "Server Stop",
    "Server Connect",
    "Server Disconnect",
    "Server Reconfigure Request",
    "Server Online Request",
    "Server Offline Request",
    "Server Reboot Request",
    "Authentication Request (NT)",
    "Authentication Request (Netware)",
    "Authentication Request (Custom)",
    "Authentication OK - balance returned",
    "Authentication Declined",
    "Deposit Request",
    "Deposit OK",
    "Deposit Error",
    "Door State Change",
    "Deposit Units",
};

namespace {

// The coins and notes of the letters "a" to "i": their names (the pound sign is the
// character U+00A3, byte A3 of the 8-bit set the server writes) and values in pence.
const char16_t* const kCoinNames[9] = {u"5p,",      u"10p,",      u"20p,",
                                       u"50p,",     u"\u00A31,",  u"\u00A32,",
                                       u"\u00A35,", u"\u00A310,", u"\u00A320,"};
const int kCoinPence[9] = {5, 10, 20, 50, 100, 200, 500, 1000, 2000};

constexpr const char* kColumns[5] = {"Date/Time", "Server Number", "Operation", "User",
                                     "Semantic Data"};

// Records fetched before the list is updated: the window stays live on a large log.
constexpr int kRowsPerBatch = 250;
constexpr qint64 kBatchIntervalMs = 100;

// How a search ended.
enum SearchOutcome { kFound, kSearchFailed, kNoMatches, kStopped, kFetchFailed };

QString Pounds(long pence) {
    return QString::fromUtf16(u"\u00A3%1.%2").arg(pence / 100).arg(pence % 100, 2, 10, QChar('0'));
}

// A row of the list: sorts dates by time, the box number as a number, and equal cells in
// the order of the log.
class LogItem : public QTreeWidgetItem {
  public:
    static constexpr int kSequenceRole = Qt::UserRole;
    static constexpr int kTimeKeyRole = Qt::UserRole + 1;

    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        int order = 0;
        if (column == 0) {
            order =
                data(0, kTimeKeyRole).toString().compare(other.data(0, kTimeKeyRole).toString());
        } else if (column == 1) {
            const int a = AtoiValue(text(1));
            const int b = AtoiValue(other.text(1));
            order = a < b ? -1 : a > b ? 1 : 0;
        } else {
            order = text(column).localeAwareCompare(other.text(column));
        }
        if (order != 0) return order < 0;
        return data(0, kSequenceRole).toLongLong() < other.data(0, kSequenceRole).toLongLong();
    }
};

// "Tuesday, 06/03/2001 14:05:09" as "20010306140509"; the text itself when it has another
// shape.
QString TimeKey(const QString& stamp) {
    const int comma = stamp.indexOf(", ");
    const QString rest = comma < 0 ? QString() : stamp.mid(comma + 2);
    if (rest.size() < 19 || rest[2] != '/' || rest[5] != '/' || rest[10] != ' ') return stamp;
    return rest.mid(6, 4) + rest.mid(3, 2) + rest.mid(0, 2) + rest.mid(11, 2) + rest.mid(14, 2) +
           rest.mid(17, 2);
}

}  // namespace

QString CoinName(QChar letter) {
    const char16_t c = letter.unicode();
    if (c >= u'a' && c <= u'i') return QString::fromUtf16(kCoinNames[c - u'a']);
    return "?";
}

QString FormatCoinLetters(const QString& text) {
    QString coins;
    for (QChar letter : text) coins += CoinName(letter);
    return coins;
}

int AtoiValue(const QString& text) {
    int at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    long long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + (text[at++].unicode() - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    value = negative ? -value : value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<int>(value);
}

QStringList SplitRecord(const QString& line) { return line.split('|'); }

QString TranslateField(const QString& text, int column, int eventType) {
    QString cell;
    if (column == 2) {
        const int code = AtoiValue(text);
        if (code == kDebugEventCode) {
            cell = "DebugEvent";
        } else if (code >= 0 && code < kEventNameCount) {
            cell = eventNames[code];
        } else {
            cell = QString::number(code);  // a code without a name shows as its number
        }
    } else if (column == 4 && eventType == kDepositRequestEvent) {
        cell = FormatCoinLetters(text.left(kMaxCellChars));
    } else {
        cell = text;
    }
    if (cell.size() > kMaxCellChars) cell.truncate(kMaxCellChars);
    return cell;
}

// ---------------------------------------------------------------------------------------

CSelectBoxDlg::CSelectBoxDlg(QWidget* owner)
    : CTextEntryDlg("Select Dornel client",
                    "Type the ID number of the Dornel box you wish to enquire upon.", owner) {
    setObjectName("SelectBoxDlg");
    Edit()->setObjectName("selectedBox");
    Edit()->setText("0");
}

void CSelectBoxDlg::accept() {
    bool number = false;
    const int value = Edit()->text().trimmed().toInt(&number);
    const unsigned style = dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION;
    if (!number) {
        dornelui::MessageBox(this, "Please enter an integer.", kLogViewerCaption, style);
    } else if (value < 0 || value > 99) {
        dornelui::MessageBox(this,
                             QString("Please enter an integer between %1 and %2.").arg(0).arg(99),
                             kLogViewerCaption, style);
    } else {
        selectedBox = value;
        QDialog::accept();
        return;
    }
    Edit()->selectAll();
    Edit()->setFocus();
}

// ---------------------------------------------------------------------------------------

struct CLogViewDlg::SearchState {
    std::atomic<bool> stop{false};
};

namespace {

// Return in the search field searches instead of closing the window with its default
// button.
class ReturnSearches : public QObject {
  public:
    ReturnSearches(CLogViewDlg* dialog) : QObject(dialog), dialog_(dialog) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                if (!dialog_->Busy()) dialog_->OnSearch();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    CLogViewDlg* dialog_;
};

}  // namespace

CLogViewDlg::CLogViewDlg(RPC_BINDING_HANDLE* binding, QWidget* owner)
    : QDialog(owner), bindingRef(binding) {
    setWindowTitle("Dornel Log Utility");
    setObjectName("LogViewDlg");
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);

    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(new QLabel("Search for", this));
    searchEdit_ = new QLineEdit(this);
    searchEdit_->setObjectName("searchText");
    searchEdit_->installEventFilter(new ReturnSearches(this));
    searchRow->addWidget(searchEdit_, 1);
    go_ = new QPushButton("Go", this);
    go_->setAutoDefault(false);
    searchRow->addWidget(go_);
    stop_ = new QPushButton("Stop", this);
    stop_->setAutoDefault(false);
    stop_->setEnabled(false);
    stop_->setToolTip("Stop fetching the records of this search");
    searchRow->addWidget(stop_);
    layout->addLayout(searchRow);

    auto* middle = new QHBoxLayout;
    logList = new dornelui::CListCtrl(this);
    logList->setObjectName("logList");
    logList->setSortingEnabled(false);
    logList->header()->setSectionsClickable(true);
    logList->header()->setSortIndicatorShown(true);
    middle->addWidget(logList, 1);

    cashBox_ = new QGroupBox("Cash content", this);
    auto* cashLayout = new QVBoxLayout(cashBox_);
    cashTable_ = new QTableWidget(10, 3, cashBox_);
    cashTable_->setObjectName("cashTable");
    cashTable_->setHorizontalHeaderLabels({"Coin", "Count", "Value"});
    cashTable_->verticalHeader()->hide();
    cashTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    cashTable_->setSelectionMode(QAbstractItemView::NoSelection);
    cashLayout->addWidget(cashTable_);
    cashBox_->setVisible(false);
    middle->addWidget(cashBox_);
    layout->addLayout(middle, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setVisible(false);
    progressRow->addWidget(progress_, 1);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    progressRow->addWidget(status_, 1);
    layout->addLayout(progressRow);

    auto* bottom = new QHBoxLayout;
    debug_ = new QCheckBox("Show debug events", this);
    bottom->addWidget(debug_);
    cash_ = new QPushButton("Cash content", this);
    cash_->setAutoDefault(false);
    bottom->addWidget(cash_);
    clear_ = new QPushButton("Clear log", this);
    clear_->setAutoDefault(false);
    bottom->addWidget(clear_);
    bottom->addStretch(1);
    ok_ = new QPushButton("OK", this);
    ok_->setDefault(true);
    bottom->addWidget(ok_);
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setAutoDefault(false);
    bottom->addWidget(cancel_);
    layout->addLayout(bottom);

    connect(go_, &QPushButton::clicked, this, &CLogViewDlg::OnSearch);
    connect(stop_, &QPushButton::clicked, this, &CLogViewDlg::OnStopSearch);
    connect(debug_, &QCheckBox::clicked, this, &CLogViewDlg::OnToggleDebug);
    connect(cash_, &QPushButton::clicked, this, &CLogViewDlg::OnCashUp);
    connect(clear_, &QPushButton::clicked, this, &CLogViewDlg::OnClearLog);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    resize(820, 560);
}

CLogViewDlg::~CLogViewDlg() {
    if (search_) search_->stop = true;
    if (worker_.joinable()) worker_.join();
}

int CLogViewDlg::Message(const QString& text, unsigned style) {
    return dornelui::MessageBox(this, text, kLogViewerCaption, style);
}

void CLogViewDlg::SetBusy(bool busy) {
    busy_ = busy;
    go_->setEnabled(!busy);
    cash_->setEnabled(!busy);
    clear_->setEnabled(!busy);
    stop_->setEnabled(busy && search_ != nullptr);
    if (busy) {
        progress_->setRange(0, 0);  // busy until the server answers
        progress_->setVisible(true);
    } else {
        progress_->setVisible(false);
    }
    if (!busy && pendingClose_ >= 0) {
        const int result = pendingClose_;
        pendingClose_ = -1;
        QTimer::singleShot(0, this, [this, result] { QDialog::done(result); });
    }
}

void CLogViewDlg::done(int result) {
    if (busy_) {
        // Close once the call under way has returned (bounded by the call time-out).
        pendingClose_ = result;
        if (search_) search_->stop = true;
        status_->setText("Closing when the server has answered...");
        return;
    }
    QDialog::done(result);
}

bool CLogViewDlg::CallOffThread(const std::function<void()>& call) {
    bool ok = true;
    QEventLoop loop;
    SetBusy(true);
    std::thread thread([&] {
        try {
            call();
        } catch (const std::exception&) {
            ok = false;  // a failure of the RPC layer (no server, dropped, timed out)
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
    SetBusy(false);
    return ok;
}

void CLogViewDlg::FitColumns() {
    for (int column = 0; column < logList->ColumnCount(); ++column) {
        logList->resizeColumnToContents(column);
    }
}

bool CLogViewDlg::AddLogRow(const QString& line) {
    const QStringList fields = SplitRecord(line);
    const int eventType = AtoiValue(fields.value(2));
    if (eventType == kDebugEventCode && showDebugEvents == 0) return false;

    auto* item = new LogItem;
    item->setText(0, fields.value(0).left(kMaxCellChars));
    item->setData(0, LogItem::kSequenceRole, static_cast<qlonglong>(sequence_++));
    item->setData(0, LogItem::kTimeKeyRole, TimeKey(fields.value(0)));
    for (int column = 1; column <= 4; ++column) {
        item->setText(column, TranslateField(fields.value(column), column, eventType));
    }
    logList->addTopLevelItem(item);
    return true;
}

void CLogViewDlg::OnSearch() {
    if (busy_) return;
    searchText = searchEdit_->text();
    if (searchText.isEmpty()) {
        Message("Please enter a search string first");
        return;
    }

    logList->setSortingEnabled(false);
    logList->DeleteAllItems();
    logList->DeleteAllColumns();
    for (int column = 0; column < 5; ++column) logList->InsertColumn(column, kColumns[column]);
    logList->header()->show();
    FitColumns();
    shown_ = 0;
    sequence_ = 0;
    status_->setText("Searching...");

    // The search text, with its terminating zero, in a zero-filled block of its own.
    const QByteArray text = searchText.toLatin1();
    auto* block = static_cast<unsigned char*>(MIDL_user_allocate(text.size() + 1));
    if (!block) {
        Message("Could not perform remote RPC search.");
        return;
    }
    std::memcpy(block, text.constData(), text.size());

    search_ = std::make_shared<SearchState>();
    SetBusy(true);
    const RPC_BINDING_HANDLE binding = *bindingRef;
    std::shared_ptr<SearchState> state = search_;
    const LONG length = static_cast<LONG>(text.size() + 1);
    worker_ = std::thread([this, binding, state, block, length] {
        auto ended = [this](int outcome, long total) {
            QMetaObject::invokeMethod(
                this, [this, outcome, total] { OnSearchEnded(outcome, total); },
                Qt::QueuedConnection);
        };
        LogSearchRequest request{};
        request.length = length;
        request.text = block;
        LONG count = 0;
        error_status_t status = 0;
        try {
            status = DornelLogClient::DoLogSearch(binding, &request, &count);
        } catch (const std::exception&) {
            MIDL_user_free(block);
            return ended(kSearchFailed, 0);
        }
        MIDL_user_free(block);
        if (status != 0) return ended(kSearchFailed, 0);
        if (count == 0) return ended(kNoMatches, 0);
        if (state->stop) return ended(kStopped, count);

        QStringList lines;
        long fetched = 0;
        QElapsedTimer sinceBatch;
        sinceBatch.start();
        auto flush = [&] {
            QMetaObject::invokeMethod(
                this,
                [this, batch = std::move(lines), fetched, count] {
                    progress_->setRange(0, static_cast<int>(count));
                    OnSearchRows(batch, fetched);
                },
                Qt::QueuedConnection);
            lines = QStringList();
            sinceBatch.restart();
        };
        try {
            DWORD position = 0;
            DornelLogClient::GetFirstEventEntry(binding, &position);  // its status is not used
            for (;;) {
                if (state->stop) {
                    flush();
                    return ended(kStopped, count);
                }
                LogBuffer entry{};
                try {
                    status = DornelLogClient::GetNextEventEntry(binding, &position, &entry);
                } catch (...) {
                    MIDL_user_free(entry.data);
                    throw;
                }
                if (status != 0) break;
                if (entry.data) lines << QString::fromLatin1(reinterpret_cast<char*>(entry.data));
                MIDL_user_free(entry.data);
                ++fetched;
                if (lines.size() >= kRowsPerBatch || sinceBatch.elapsed() >= kBatchIntervalMs) {
                    flush();
                }
            }
        } catch (const std::exception&) {
            flush();
            return ended(kFetchFailed, count);
        }
        flush();
        ended(kFound, count);
    });
}

void CLogViewDlg::OnStopSearch() {
    if (search_) search_->stop = true;
    stop_->setEnabled(false);
    status_->setText("Stopping...");
}

void CLogViewDlg::OnSearchRows(const QStringList& lines, long fetched) {
    logList->setUpdatesEnabled(false);
    for (const QString& line : lines) {
        if (AddLogRow(line)) ++shown_;
    }
    logList->setUpdatesEnabled(true);
    FitColumns();
    progress_->setValue(static_cast<int>(fetched));
    status_->setText(QString("%1 of %2 records fetched").arg(fetched).arg(progress_->maximum()));
}

void CLogViewDlg::OnSearchEnded(int outcome, long total) {
    if (worker_.joinable()) worker_.join();
    search_.reset();
    FitColumns();
    logList->setSortingEnabled(true);
    if (logList->header()->sortIndicatorSection() < 0 ||
        logList->header()->sortIndicatorSection() >= logList->ColumnCount()) {
        logList->sortByColumn(0, Qt::AscendingOrder);
    }
    const long matches = total;
    SetBusy(false);
    switch (outcome) {
        case kSearchFailed:
            status_->setText("The search failed");
            Message("Could not perform remote RPC search.");
            break;
        case kNoMatches:
            status_->setText("No records matched");
            Message("No items matched your search");
            break;
        case kStopped:
            status_->setText(
                QString("Stopped: %1 records listed of %2 matches").arg(shown_).arg(matches));
            break;
        case kFetchFailed:
            status_->setText(
                QString("%1 records listed before the server stopped answering").arg(shown_));
            Message("Could not perform remote RPC search.");
            break;
        default:
            status_->setText(QString("%1 records listed of %2 matches").arg(shown_).arg(matches));
            if (shown_ == 0) Message("Nothing matching your search critera could be found");
            break;
    }
    emit searchFinished();
}

void CLogViewDlg::OnToggleDebug() {
    showDebugEvents = showDebugEvents ? 0 : 1;
    debug_->setChecked(showDebugEvents != 0);
}

void CLogViewDlg::ShowCashTable(int box, const QStringList& counts) {
    cashBox_->setTitle(QString("Cash content of box %1").arg(box));
    long total = 0;
    for (int i = 0; i < 9; ++i) {
        const int count = AtoiValue(counts.value(i));
        const long pence = static_cast<long>(count) * kCoinPence[i];
        total += pence;
        QString name = CoinName(QChar('a' + i));
        name.chop(1);  // the table needs no comma
        cashTable_->setItem(i, 0, new QTableWidgetItem(name));
        auto* countItem = new QTableWidgetItem(QString::number(count));
        countItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        cashTable_->setItem(i, 1, countItem);
        auto* valueItem = new QTableWidgetItem(Pounds(pence));
        valueItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        cashTable_->setItem(i, 2, valueItem);
    }
    auto* totalName = new QTableWidgetItem("Total");
    QFont bold = totalName->font();
    bold.setBold(true);
    totalName->setFont(bold);
    cashTable_->setItem(9, 0, totalName);
    cashTable_->setItem(9, 1, new QTableWidgetItem(QString()));
    auto* totalItem = new QTableWidgetItem(Pounds(total));
    totalItem->setFont(bold);
    totalItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cashTable_->setItem(9, 2, totalItem);
    cashTable_->resizeColumnsToContents();
    cashTable_->resizeRowsToContents();
    int width = cashTable_->frameWidth() * 2;
    for (int c = 0; c < 3; ++c) width += cashTable_->columnWidth(c);
    cashTable_->setMinimumWidth(width + 4);
    cashTable_->setMaximumWidth(width + 4);
    cashBox_->setVisible(true);
}

void CLogViewDlg::OnCashUp() {
    if (busy_) return;
    int box = 0;
    {
        CSelectBoxDlg select;
        if (select.exec() != QDialog::Accepted) return;
        box = select.selectedBox;
    }

    LogBuffer result{};
    error_status_t status = kLogStatusFailed;
    const RPC_BINDING_HANDLE binding = *bindingRef;
    const bool called =
        CallOffThread([&] { status = DornelLogClient::CashUp(binding, box, &result); });
    if (!called || status != 0) {
        MIDL_user_free(result.data);
        status_->setText("The cash-up failed");
        Message("Cannot communicate with server.");
        return;
    }

    const QStringList counts =
        QString::fromLatin1(result.data ? reinterpret_cast<char*>(result.data) : "").split(',');
    QString account = "The box should contain the following amounts of cash :\r\n";
    for (int i = 0; i < 9; ++i) {
        account +=
            "\t" + FormatCoinLetters(QString(QChar('a' + i))) + "\t" + counts.value(i) + "\r\n";
    }
    ShowCashTable(box, counts);
    status_->setText(QString("Cash content of box %1 received").arg(box));
    Message(account);
    MIDL_user_free(result.data);

    if (Message("Do you want to copy the cash content to the clipboard?",
                dornelui::MB_YESNO | dornelui::MB_ICONQUESTION) == dornelui::IDNO) {
        return;
    }
    try {
        if (!dornelui::SetClipboardText(account)) {
            Message("Could not access the clipboard");
            return;
        }
    } catch (const std::bad_alloc&) {
        Message("Could not allocate memory for the clipboard data");
        return;
    }
    Message("Cash content is now on the clipboard.");
}

void CLogViewDlg::OnClearLog() {
    if (busy_) return;
    if (Message("Are you absolutely sure you want to clear the Dornel log?",
                dornelui::MB_YESNO | dornelui::MB_ICONQUESTION) != dornelui::IDYES) {
        return;
    }
    error_status_t status = kLogStatusFailed;
    const RPC_BINDING_HANDLE binding = *bindingRef;
    const bool called = CallOffThread([&] { status = DornelLogClient::ClearLog(binding); });
    if (called && status == 0) {
        status_->setText("The log was cleared");
        Message("Log cleared.");
    } else {
        Message("Unable to clear the log. Please try again later.");
    }
}
