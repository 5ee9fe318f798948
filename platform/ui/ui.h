// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The user-interface layer of the applets, on Qt 6 Widgets: message boxes, property sheets
// and their pages, list controls and the clipboard, with the few calls the applets make.
//
// Every message box and confirmation goes through MessageBox below. A test installs an
// answerer (SetMessageBoxAnswerer) that sees each box's text, caption and style and returns
// the button pressed; without one a real modal QMessageBox is shown.
//
// Property sheets behave as the applets expect: a page is initialised (OnInitDialog) the
// first time it is shown; each time it becomes active its fields are shown from its members
// (OnSetActive) and each time it is left they are taken back (OnKillActive, which may refuse
// and keep the page). OK and Apply apply every page that has been shown at least once, in
// page order; a page that refuses keeps the sheet open on it. Apply is enabled while any
// page is marked changed.

#include <QDialog>
#include <QListWidget>
#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace dornelui {

// Message box styles and results (the values the applets' code has always used).
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

struct MessageBoxRequest {
    QWidget* owner = nullptr;
    QString text;
    QString caption;
    unsigned style = MB_OK;
    QString detail;  // shown under the text, smaller (why something failed); may be empty
};

// Shows a modal message box owned by owner and returns the button pressed (IDOK, IDCANCEL,
// IDYES or IDNO). Closing a Yes/No box without an answer counts as IDNO.
int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style);
// The same with a detail under the text (none when detail is empty).
int MessageBox(QWidget* owner, const QString& text, const QString& caption, unsigned style,
               const QString& detail);

// Replaces the real boxes by answerer (tests); an empty function restores them.
using MessageBoxAnswerer = std::function<int(const MessageBoxRequest&)>;
void SetMessageBoxAnswerer(MessageBoxAnswerer answerer);

// The system's default beep (a rejected key).
void Beep();

// Puts text on the clipboard; false when there is no clipboard to put it on.
bool SetClipboardText(const QString& text);

// The OK and Cancel row of a small dialog, added to layout: OK is the default button and
// accepts the dialog, Cancel rejects it.
struct OkCancelButtons {
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
};
OkCancelButtons AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout);

// A small dialog: a line of text, one field under it, OK and Cancel (the machine and box
// selections, ssh's questions). A subclass sets the field's limits and takes its value.
class CTextEntryDlg : public QDialog {
    Q_OBJECT
  public:
    CTextEntryDlg(const QString& title, const QString& text, QWidget* owner = nullptr);
    QLabel* TextLabel() const { return label_; }
    QLineEdit* Edit() const { return edit_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  private:
    QLabel* label_ = nullptr;
    QLineEdit* edit_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

class CPropertySheet;

// One page of a property sheet.
class CPropertyPage : public QWidget {
    Q_OBJECT
  public:
    explicit CPropertyPage(const QString& title, QWidget* parent = nullptr);

    const QString& Title() const { return title_; }
    bool IsInitialised() const { return initialised_; }
    // Marks the page changed (enables the sheet's Apply button) or unchanged.
    void SetModified(bool changed = true);
    bool IsModified() const { return modified_; }
    CPropertySheet* Sheet() const { return sheet_; }

    // Moves the members into the fields (false) or the fields into the members (true);
    // false when a field holds a value that cannot be taken.
    virtual bool UpdateData(bool saveAndValidate);

    // First showing: the default shows the members in the fields.
    virtual bool OnInitDialog();
    // Becoming active / being left (false keeps the page).
    virtual bool OnSetActive();
    virtual bool OnKillActive();
    // OK or Apply; false refuses and keeps the sheet open.
    virtual bool OnApply();

  private:
    friend class CPropertySheet;
    QString title_;
    bool initialised_ = false;
    bool modified_ = false;
    CPropertySheet* sheet_ = nullptr;
};

// A modal property sheet with OK, Cancel and Apply.
class CPropertySheet : public QDialog {
    Q_OBJECT
  public:
    CPropertySheet(const QString& caption, QWidget* owner);

    // The sheet takes ownership of the page.
    void AddPage(CPropertyPage* page);
    int PageCount() const { return static_cast<int>(pages_.size()); }
    CPropertyPage* Page(int index) const { return pages_.at(static_cast<std::size_t>(index)); }
    CPropertyPage* ActivePage() const;
    // Leaves the active page (which may refuse) and shows the page at index.
    bool SetActivePage(int index);

    // Shows the sheet modally; QDialog::Accepted when it ended with OK.
    int DoModal();

    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    QPushButton* ApplyButton() const { return apply_; }

    // Called by pages when their changed mark moves.
    void PageModified();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    bool ApplyAll();
    void OnOk();
    void OnApplyNow();
    void OnTabChanged(int index);
    bool Activate(int index);

    std::vector<CPropertyPage*> pages_;
    QTabWidget* tabs_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* apply_ = nullptr;
    int active_ = -1;
    bool switching_ = false;
};

// A report-style list control with columns (MAC lists and the like).
class CListCtrl : public QTreeWidget {
    Q_OBJECT
  public:
    explicit CListCtrl(QWidget* parent = nullptr);

    void DeleteAllItems();
    void DeleteAllColumns();
    int InsertColumn(int index, const QString& heading);
    int ColumnCount() const { return columnCount(); }
    void SetColumnWidth(int column, int width);
    // Appends a row with text in column 0; returns its index.
    int InsertItem(int index, const QString& text);
    void SetItemText(int row, int column, const QString& text);
    QString GetItemText(int row, int column) const;
    int GetItemCount() const { return topLevelItemCount(); }
    int GetSelectedCount() const;
    // The first selected row, or -1.
    int GetFirstSelected() const;
    void SelectRow(int row);
    // Width of the text in the control's font.
    int GetStringWidth(const QString& text) const;
};

// A single-selection, unsorted list box.
class CListBox : public QListWidget {
    Q_OBJECT
  public:
    explicit CListBox(QWidget* parent = nullptr);
    void ResetContent() { clear(); }
    int AddString(const QString& text);
    int GetCount() const { return count(); }
    int GetCurSel() const { return currentRow(); }
};

}  // namespace dornelui
