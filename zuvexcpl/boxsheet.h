// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The pages of the box sheet ("Dornel Configuration") that Add and Modify of "General
// Setup" show for one box: the station's name, timings and address; how its users are
// authenticated; its accounting link; and (Modify only) its 32 display messages. The pages
// hold the values in members; CBoxConfig loads them from a Box%03ld key and writes them back.

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

#include "platform/registry/registry.h"
#include "platform/ui/ui.h"

class CIPAddrCtl;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTextEdit;

// "Dornel Station Setup".
class CStationSetupPage : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    explicit CStationSetupPage(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    bool UpdateData(bool saveAndValidate) override;

    std::string friendlyName;
    std::int32_t rotationDelay = 30;
    std::int32_t inputTimeout = 30;
    std::string address;
    std::string initialAddress;  // copied into address when the page is created

    QLineEdit* NameEdit() const { return name_; }
    QLineEdit* RotationEdit() const { return rotation_; }
    QLineEdit* TimeoutEdit() const { return timeout_; }
    CIPAddrCtl* AddressCtl() const { return address_; }

  private:
    bool TakeNumber(QLineEdit* field, std::int32_t* value);

    QLineEdit* name_ = nullptr;
    QLineEdit* rotation_ = nullptr;
    QLineEdit* timeout_ = nullptr;
    CIPAddrCtl* address_ = nullptr;
};

// "Netware Authentication Search Entry": one tree and context.
class CNDSEntryDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CNDSEntryDlg(QWidget* owner = nullptr);

    std::string treeName;
    std::string contextName;

    QLineEdit* TreeEdit() const { return tree_; }
    QLineEdit* ContextEdit() const { return context_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QLineEdit* tree_ = nullptr;
    QLineEdit* context_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// "Authentication": AuthType, AuthMaster and the NDS search list.
class CAuthenticationSetup : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    explicit CAuthenticationSetup(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    bool UpdateData(bool saveAndValidate) override;

    // Fills the two-column list from ndsSearchList: "tree|context," entries, up to the
    // first empty one.
    void FillNdsList();
    // Enables the host field or the NDS list and its buttons for the checked type.
    void ApplyEnablingRule();
    void OnAddNds();
    void OnDeleteNds();

    std::int32_t authType = -1;  // index of the checked button; -1 for none
    std::string authHost;
    std::string ndsSearchList;

    QRadioButton* TypeButton(int index) const { return types_[static_cast<std::size_t>(index)]; }
    QLineEdit* HostEdit() const { return host_; }
    dornelui::CListCtrl* NdsList() const { return nds_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* DeleteButton() const { return delete_; }

  private:
    // Keeps the entry of ndsSearchList a row shows, for rebuilding the list on a delete.
    void KeepEntry(int row, const std::string& entry);

    std::array<QRadioButton*, 3> types_{};
    QLineEdit* host_ = nullptr;
    dornelui::CListCtrl* nds_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
};

// "Print System Link Configuration": PrintLinkType, PCounterLocation, PrintLinkLocation.
class CPrintLinkPage : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    explicit CPrintLinkPage(QWidget* parent = nullptr);

    bool UpdateData(bool saveAndValidate) override;

    std::int32_t linkType = 0;
    std::string accountDirectory = "C:\\";
    std::string linkLibraryPath;  // carried through a hidden field

    QRadioButton* TypeButton(int index) const { return types_[static_cast<std::size_t>(index)]; }
    QLineEdit* AccountEdit() const { return account_; }

  private:
    std::array<QRadioButton*, 2> types_{};
    QLineEdit* account_ = nullptr;
    QLineEdit* library_ = nullptr;
};

// "Messages": 32 messages of 10 lines of at most 39 characters.
class CMessagePage : public dornelui::CPropertyPage {
    Q_OBJECT
  public:
    static constexpr int kMessages = 32;
    static constexpr int kLines = 10;
    static constexpr int kLineLength = 39;

    explicit CMessagePage(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    bool UpdateData(bool saveAndValidate) override;

    // Shows message n in the field (its 10 lines) and the labels.
    void ShowMessage(int n);
    void OnNext();
    void OnPrev();
    // Commits the field to the current message after the line-count and length checks.
    void OnSave();

    std::array<std::array<std::string, kLines>, kMessages> messageLines{};
    std::int32_t currentMessage = 0;
    std::string messageLabel;
    std::string editText;

    QTextEdit* MessageEdit() const { return edit_; }
    QLabel* LineCountLabel() const { return count_; }
    QLabel* MessageLabel() const { return label_; }
    QPushButton* NextButton() const { return next_; }
    QPushButton* PrevButton() const { return prev_; }
    QPushButton* SaveButton() const { return save_; }

  private:
    int FieldLineCount() const;
    void UpdateLineCount();

    QTextEdit* edit_ = nullptr;
    QLabel* count_ = nullptr;
    QLabel* label_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* prev_ = nullptr;
    QPushButton* save_ = nullptr;
};

// Loading the pages from a box key and writing them back.
namespace boxconfig {

// Reads the values of an open Box%03ld key into the pages (missing values take the
// defaults of a box being modified) and the message table (each line cut to 39 characters).
void Load(HKEY box, CStationSetupPage* station, CAuthenticationSetup* auth, CPrintLinkPage* link,
          CMessagePage* messages);

// Writes the page values into an open box key. A new box (Add) stores the texts without
// their terminating zero, and no message lines; a modified box stores the name, the host and
// the search list with their zero and all 320 message lines (messages non-null). Every
// value is tried; false when any write failed (a read-only account, a lost connection to
// the server's machine), so the caller does not report a change that was not made.
bool Store(HKEY box, bool added, const CStationSetupPage& station, const CAuthenticationSetup& auth,
           const CPrintLinkPage& link, const CMessagePage* messages);

// The name of a message line's value: "Message%02d-%02d".
std::string MessageValueName(int message, int line);

}  // namespace boxconfig
