// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/ui/ui.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace dornelui {

// ---------------------------------------------------------------------------------------
// Message boxes

namespace {
MessageBoxAnswerer& Answerer() {
    static MessageBoxAnswerer answerer;
    return answerer;
}
}  // namespace

void SetMessageBoxAnswerer(MessageBoxAnswerer answerer) { Answerer() = std::move(answerer); }

int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style) {
    return MessageBox(owner, text, caption, style, QString());
}

int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style,
               const QString& detail) {
    if (Answerer()) return Answerer()(MessageBoxRequest{owner, text, caption, style, detail});

    QMessageBox box(owner);
    box.setWindowTitle(caption);
    box.setText(text);
    if (!detail.isEmpty()) box.setInformativeText(detail);
    switch (style & 0xF0u) {
        case MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case MB_ICONEXCLAMATION:
            box.setIcon(QMessageBox::Warning);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    switch (style & 0x0Fu) {
        case MB_YESNO:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            break;
        case MB_OKCANCEL:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box.setEscapeButton(QMessageBox::Cancel);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Ok:
            return IDOK;
        default:
            return (style & 0x0Fu) == MB_YESNO ? IDNO : IDCANCEL;
    }
}

void Beep() { QApplication::beep(); }

// ---------------------------------------------------------------------------------------
// Clipboard

bool SetClipboardText(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    clipboard->setText(text);
    return true;
}

OkCancelButtons AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout) {
    auto* row = new QDialogButtonBox(dialog);
    OkCancelButtons buttons;
    buttons.ok = row->addButton("OK", QDialogButtonBox::AcceptRole);
    buttons.cancel = row->addButton("Cancel", QDialogButtonBox::RejectRole);
    buttons.ok->setDefault(true);
    QObject::connect(row, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(row, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(row);
    return buttons;
}

CTextEntryDlg::CTextEntryDlg(const QString& title, const QString& text, QWidget* owner)
    : QDialog(owner) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel(text, this);
    label_->setWordWrap(true);
    layout->addWidget(label_);
    edit_ = new QLineEdit(this);
    layout->addWidget(edit_);
    const OkCancelButtons buttons = AddOkCancelButtons(this, layout);
    ok_ = buttons.ok;
    cancel_ = buttons.cancel;
    resize(380, sizeHint().height());
}

// ---------------------------------------------------------------------------------------
// Property pages

CPropertyPage::CPropertyPage(const QString& title, QWidget* parent)
    : QWidget(parent), title_(title) {}

void CPropertyPage::SetModified(bool changed) {
    modified_ = changed;
    if (sheet_) sheet_->PageModified();
}

bool CPropertyPage::UpdateData(bool) { return true; }

bool CPropertyPage::OnInitDialog() { return UpdateData(false); }

bool CPropertyPage::OnSetActive() { return UpdateData(false); }

bool CPropertyPage::OnKillActive() { return UpdateData(true); }

bool CPropertyPage::OnApply() { return true; }

// ---------------------------------------------------------------------------------------
// Property sheets

CPropertySheet::CPropertySheet(const QString& caption, QWidget* owner) : QDialog(owner) {
    setWindowTitle(caption);
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    layout->addWidget(tabs_);
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(tr("OK"), QDialogButtonBox::AcceptRole);
    cancel_ = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
    apply_ = buttons->addButton(tr("&Apply"), QDialogButtonBox::ApplyRole);
    ok_->setDefault(true);
    apply_->setEnabled(false);
    layout->addWidget(buttons);
    connect(ok_, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
    connect(apply_, &QPushButton::clicked, this, [this] { OnApplyNow(); });
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) { OnTabChanged(index); });
}

void CPropertySheet::AddPage(CPropertyPage* page) {
    page->sheet_ = this;
    pages_.push_back(page);
    switching_ = true;
    tabs_->addTab(page, page->Title());
    switching_ = false;
}

CPropertyPage* CPropertySheet::ActivePage() const {
    return active_ >= 0 ? pages_[static_cast<std::size_t>(active_)] : nullptr;
}

void CPropertySheet::PageModified() {
    bool any = false;
    for (CPropertyPage* page : pages_) any = any || page->IsModified();
    apply_->setEnabled(any);
}

bool CPropertySheet::Activate(int index) {
    if (index < 0 || index >= PageCount()) return false;
    CPropertyPage* page = pages_[static_cast<std::size_t>(index)];
    if (!page->initialised_) {
        page->initialised_ = true;
        page->OnInitDialog();
    }
    active_ = index;
    page->OnSetActive();
    return true;
}

bool CPropertySheet::SetActivePage(int index) {
    if (index < 0 || index >= PageCount()) return false;
    if (index == active_) return true;
    if (CPropertyPage* current = ActivePage(); current && !current->OnKillActive()) return false;
    switching_ = true;
    tabs_->setCurrentIndex(index);
    switching_ = false;
    return Activate(index);
}

void CPropertySheet::OnTabChanged(int index) {
    if (switching_ || index == active_) return;
    if (CPropertyPage* current = ActivePage(); current && !current->OnKillActive()) {
        switching_ = true;
        tabs_->setCurrentIndex(active_);  // the page refused to be left
        switching_ = false;
        return;
    }
    Activate(index);
}

void CPropertySheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (active_ < 0 && PageCount() > 0) {
        switching_ = true;
        tabs_->setCurrentIndex(0);
        switching_ = false;
        Activate(0);
    }
}

int CPropertySheet::DoModal() {
    active_ = -1;
    return exec();
}

bool CPropertySheet::ApplyAll() {
    if (CPropertyPage* current = ActivePage(); current && !current->OnKillActive()) return false;
    for (int i = 0; i < PageCount(); ++i) {
        CPropertyPage* page = pages_[static_cast<std::size_t>(i)];
        if (!page->initialised_) continue;
        if (!page->OnApply()) {
            if (i != active_) SetActivePage(i);
            return false;
        }
    }
    for (CPropertyPage* page : pages_) page->modified_ = false;
    PageModified();
    return true;
}

void CPropertySheet::OnOk() {
    if (ApplyAll()) accept();
}

void CPropertySheet::OnApplyNow() {
    if (ApplyAll()) {
        // The active page shows its members again, as after any apply.
        if (CPropertyPage* current = ActivePage()) current->OnSetActive();
    }
}

// ---------------------------------------------------------------------------------------
// List controls

CListCtrl::CListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setUniformRowHeights(true);
    setColumnCount(0);
    header()->setStretchLastSection(false);
    header()->hide();
}

void CListCtrl::DeleteAllItems() { clear(); }

void CListCtrl::DeleteAllColumns() {
    clear();
    setColumnCount(0);
    header()->hide();
}

int CListCtrl::InsertColumn(int index, const QString& heading) {
    const int count = columnCount();
    if (index < 0 || index > count) index = count;
    setColumnCount(count + 1);
    QTreeWidgetItem* head = headerItem();
    for (int c = count; c > index; --c) head->setText(c, head->text(c - 1));
    head->setText(index, heading);
    header()->show();
    return index;
}

void CListCtrl::SetColumnWidth(int column, int width) { setColumnWidth(column, width); }

int CListCtrl::InsertItem(int index, const QString& text) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, text);
    if (index < 0 || index > topLevelItemCount()) index = topLevelItemCount();
    insertTopLevelItem(index, item);
    return index;
}

void CListCtrl::SetItemText(int row, int column, const QString& text) {
    if (QTreeWidgetItem* item = topLevelItem(row)) item->setText(column, text);
}

QString CListCtrl::GetItemText(int row, int column) const {
    QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(column) : QString();
}

int CListCtrl::GetSelectedCount() const { return static_cast<int>(selectedItems().size()); }

int CListCtrl::GetFirstSelected() const {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (topLevelItem(i)->isSelected()) return i;
    }
    return -1;
}

void CListCtrl::SelectRow(int row) {
    if (QTreeWidgetItem* item = topLevelItem(row)) item->setSelected(true);
}

int CListCtrl::GetStringWidth(const QString& text) const {
    return QFontMetrics(font()).horizontalAdvance(text);
}

CListBox::CListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
}

int CListBox::AddString(const QString& text) {
    addItem(text);
    return count() - 1;
}

}  // namespace dornelui
