// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "zuvexcpl/boxsheet.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextOption>
#include <QVBoxLayout>
#include <cstdio>
#include <vector>

#include "zuvexcpl/configapp.h"
#include "zuvexcpl/ipaddrctl.h"

using namespace dornelui;

namespace {

// The next token of text from *at, as strtok finds it: separators at the start are
// skipped, the token ends at the next separator (which is consumed). Empty at the end.
std::string NextToken(const std::string& text, std::size_t* at, char separator) {
    std::size_t start = *at;
    while (start < text.size() && text[start] == separator) ++start;
    if (start >= text.size()) {
        *at = text.size();
        return {};
    }
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    *at = end < text.size() ? end + 1 : end;
    return text.substr(start, end - start);
}

QLineEdit* DigitsOnly(QLineEdit* field) {
    field->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), field));
    return field;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CStationSetupPage

CStationSetupPage::CStationSetupPage(QWidget* parent)
    : CPropertyPage("Dornel Station Setup", parent) {
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "Enter appropriate information below to configure the individual Dornel stations. "
        "Changes will not take effect until you reset the Dornel station.",
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* form = new QFormLayout;
    name_ = new QLineEdit(this);
    rotation_ = DigitsOnly(new QLineEdit(this));
    timeout_ = DigitsOnly(new QLineEdit(this));
    address_ = new CIPAddrCtl(this);
    form->addRow("Box Name/Location", name_);
    form->addRow("Message Rotation Delay (seconds)", rotation_);
    form->addRow("User input timeout (seconds)", timeout_);
    form->addRow("Box IP Address", address_);
    layout->addLayout(form);
    layout->addStretch();
}

bool CStationSetupPage::OnInitDialog() {
    const bool shown = CPropertyPage::OnInitDialog();
    address = initialAddress;
    return shown;
}

bool CStationSetupPage::TakeNumber(QLineEdit* field, std::int32_t* value) {
    constexpr int kLow = 5;
    constexpr int kHigh = 300;
    bool ok = false;
    const int number = field->text().trimmed().toInt(&ok);
    QString refusal;
    if (!ok) {
        refusal = "Please enter an integer.";
    } else if (number < kLow || number > kHigh) {
        refusal = QString("Please enter an integer between %1 and %2.").arg(kLow).arg(kHigh);
    }
    if (!refusal.isEmpty()) {
        Exclaim(this, refusal);
        field->setFocus();
        field->selectAll();
        return false;
    }
    *value = number;
    return true;
}

bool CStationSetupPage::UpdateData(bool save) {
    if (!save) {
        name_->setText(QString::fromStdString(friendlyName));
        rotation_->setText(QString::number(rotationDelay));
        timeout_->setText(QString::number(inputTimeout));
        address_->SetText(QString::fromStdString(address));
        return true;
    }
    const std::string name = name_->text().toStdString();
    std::int32_t rotation = 0;
    std::int32_t timeout = 0;
    QString dotted;
    if (!TakeNumber(rotation_, &rotation) || !TakeNumber(timeout_, &timeout)) return false;
    if (!address_->GetText(&dotted)) return false;  // the control showed its message
    friendlyName = name;
    rotationDelay = rotation;
    inputTimeout = timeout;
    address = dotted.toStdString();
    return true;
}

// ---------------------------------------------------------------------------------------
// CNDSEntryDlg

CNDSEntryDlg::CNDSEntryDlg(QWidget* owner) : QDialog(owner) {
    setWindowTitle("Netware Authentication Search Entry");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "Enter the NDS tree name and context within that tree below. The server will search "
        "the given trees and contexts to authenticate a user.",
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* form = new QFormLayout;
    tree_ = new QLineEdit(this);
    context_ = new QLineEdit(this);
    form->addRow("Tree Name", tree_);
    form->addRow("Context Name", context_);
    layout->addLayout(form);
    const dornelui::OkCancelButtons buttons = dornelui::AddOkCancelButtons(this, layout);
    ok_ = buttons.ok;
    cancel_ = buttons.cancel;
    resize(380, sizeHint().height());
}

void CNDSEntryDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    tree_->setText(QString::fromStdString(treeName));
    context_->setText(QString::fromStdString(contextName));
}

void CNDSEntryDlg::done(int result) {
    if (result == QDialog::Accepted) {
        treeName = tree_->text().toStdString();
        contextName = context_->text().toStdString();
    }
    QDialog::done(result);
}

// ---------------------------------------------------------------------------------------
// CAuthenticationSetup

CAuthenticationSetup::CAuthenticationSetup(QWidget* parent)
    : CPropertyPage("Authentication", parent) {
    auto* outer = new QVBoxLayout(this);
    auto* frame = new QGroupBox("User Authentication Configuration", this);
    auto* layout = new QVBoxLayout(frame);

    auto* against = new QGroupBox("Authenticate against", frame);
    auto* againstLayout = new QVBoxLayout(against);
    const char* labels[] = {"NT Domain", "Netware NDS", "Custom Authentication (via custauth.dll)"};
    for (std::size_t i = 0; i < types_.size(); ++i) {
        types_[i] = new QRadioButton(labels[i], against);
        againstLayout->addWidget(types_[i]);
        connect(types_[i], &QRadioButton::clicked, this, [this] { ApplyEnablingRule(); });
    }
    layout->addWidget(against);

    auto* nt = new QGroupBox("NT Authentication", frame);
    auto* ntForm = new QFormLayout(nt);
    host_ = new QLineEdit(nt);
    ntForm->addRow("Authentication host/domain", host_);
    layout->addWidget(nt);

    auto* nw = new QGroupBox("Netware Authentication", frame);
    auto* nwLayout = new QHBoxLayout(nw);
    nds_ = new CListCtrl(nw);
    nwLayout->addWidget(nds_, 1);
    auto* nwButtons = new QVBoxLayout;
    add_ = new QPushButton("Add", nw);
    delete_ = new QPushButton("Delete", nw);
    add_->setAutoDefault(false);
    delete_->setAutoDefault(false);
    nwButtons->addWidget(add_);
    nwButtons->addWidget(delete_);
    nwButtons->addStretch();
    nwLayout->addLayout(nwButtons);
    layout->addWidget(nw);
    outer->addWidget(frame);

    connect(add_, &QPushButton::clicked, this, [this] { OnAddNds(); });
    connect(delete_, &QPushButton::clicked, this, [this] { OnDeleteNds(); });
}

bool CAuthenticationSetup::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    SetModified(true);
    FillNdsList();
    ApplyEnablingRule();
    return true;
}

bool CAuthenticationSetup::UpdateData(bool save) {
    if (!save) {
        host_->setText(QString::fromStdString(authHost));
        // A radio group without exclusivity can show no button checked (type -1).
        for (std::size_t i = 0; i < types_.size(); ++i) types_[i]->setAutoExclusive(false);
        for (std::size_t i = 0; i < types_.size(); ++i)
            types_[i]->setChecked(static_cast<std::int32_t>(i) == authType);
        for (std::size_t i = 0; i < types_.size(); ++i) types_[i]->setAutoExclusive(true);
        return true;
    }
    authHost = host_->text().toStdString();
    authType = -1;
    for (std::size_t i = 0; i < types_.size(); ++i) {
        if (types_[i]->isChecked()) authType = static_cast<std::int32_t>(i);
    }
    return true;
}

void CAuthenticationSetup::ApplyEnablingRule() {
    const bool nt = types_[0]->isChecked();
    const bool netware = types_[1]->isChecked();
    host_->setEnabled(nt);
    nds_->setEnabled(netware);
    add_->setEnabled(netware);
    delete_->setEnabled(netware);
}

void CAuthenticationSetup::FillNdsList() {
    nds_->DeleteAllItems();
    nds_->DeleteAllColumns();
    const QString headings[] = {"NDS Tree Name", "Context Name"};
    for (int c = 0; c < 2; ++c) {
        nds_->InsertColumn(c, headings[c]);
        nds_->SetColumnWidth(c, nds_->GetStringWidth(headings[c]) + 16);
    }
    std::size_t at = 0;
    while (at <= ndsSearchList.size()) {
        std::size_t end = ndsSearchList.find(',', at);
        if (end == std::string::npos) end = ndsSearchList.size();
        const std::string piece = ndsSearchList.substr(at, end - at);
        if (piece.empty()) break;
        const std::size_t bar = piece.find('|');
        const std::string tree = bar == std::string::npos ? piece : piece.substr(0, bar);
        const std::string context = bar == std::string::npos ? "" : piece.substr(bar + 1);
        const int row = nds_->InsertItem(nds_->GetItemCount(), QString::fromStdString(tree));
        nds_->SetItemText(row, 1, QString::fromStdString(context));
        KeepEntry(row, piece + ",");
        at = end + 1;
    }
}

void CAuthenticationSetup::OnAddNds() {
    CNDSEntryDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    const std::string entry = dialog.treeName + "|" + dialog.contextName + ",";
    ndsSearchList += entry;
    std::size_t at = 0;
    const std::string first = NextToken(entry, &at, '|');
    const std::string second = NextToken(entry, &at, ',');
    const int row = nds_->InsertItem(nds_->GetItemCount(), QString::fromStdString(first));
    nds_->SetItemText(row, 1, QString::fromStdString(second));
    KeepEntry(row, entry);
}

// A row keeps the entry it came from: the display of an added entry may differ from it (an
// empty tree name shows the context in the tree column), and a delete must not write the
// display back.
void CAuthenticationSetup::KeepEntry(int row, const std::string& entry) {
    nds_->topLevelItem(row)->setData(0, Qt::UserRole, QString::fromStdString(entry));
}

void CAuthenticationSetup::OnDeleteNds() {
    const int selected = nds_->GetFirstSelected();
    if (selected < 0) {
        Exclaim(this, "Please select an item first");
        return;
    }
    delete nds_->takeTopLevelItem(selected);
    std::string rebuilt;
    for (int row = 0; row < nds_->GetItemCount(); ++row) {
        rebuilt += nds_->topLevelItem(row)->data(0, Qt::UserRole).toString().toStdString();
    }
    ndsSearchList = rebuilt;
    FillNdsList();
}

// ---------------------------------------------------------------------------------------
// CPrintLinkPage

CPrintLinkPage::CPrintLinkPage(QWidget* parent)
    : CPropertyPage("Print System Link Configuration", parent) {
    auto* outer = new QVBoxLayout(this);
    auto* frame = new QGroupBox("Print System Link Configuration", this);
    auto* layout = new QVBoxLayout(frame);
    auto* type = new QGroupBox("Print Link Type", frame);
    auto* typeLayout = new QVBoxLayout(type);
    types_[0] = new QRadioButton("Pcounter for NTor Netware", type);
    types_[1] = new QRadioButton("Custom PrintLink DLL (via printlink.dll)", type);
    for (auto* button : types_) typeLayout->addWidget(button);
    layout->addWidget(type);

    auto* pcounter = new QGroupBox("Pcounter configuration", frame);
    auto* pcounterForm = new QFormLayout(pcounter);
    account_ = new QLineEdit(pcounter);
    pcounterForm->addRow("Location of account.exe", account_);
    layout->addWidget(pcounter);

    // The custom link's path is kept as loaded: its group is never shown.
    auto* custom = new QGroupBox("Custom PrintLink configuration", frame);
    auto* customForm = new QFormLayout(custom);
    library_ = new QLineEdit(custom);
    customForm->addRow("Path to PrintLink DLL", library_);
    custom->setVisible(false);
    layout->addWidget(custom);
    outer->addWidget(frame);
    outer->addStretch();
}

bool CPrintLinkPage::UpdateData(bool save) {
    if (!save) {
        for (auto* button : types_) button->setAutoExclusive(false);
        for (std::size_t i = 0; i < types_.size(); ++i)
            types_[i]->setChecked(static_cast<std::int32_t>(i) == linkType);
        for (auto* button : types_) button->setAutoExclusive(true);
        account_->setText(QString::fromStdString(accountDirectory));
        library_->setText(QString::fromStdString(linkLibraryPath));
        return true;
    }
    linkType = -1;
    for (std::size_t i = 0; i < types_.size(); ++i) {
        if (types_[i]->isChecked()) linkType = static_cast<std::int32_t>(i);
    }
    accountDirectory = account_->text().toStdString();
    linkLibraryPath = library_->text().toStdString();
    return true;
}

// ---------------------------------------------------------------------------------------
// CMessagePage

CMessagePage::CMessagePage(QWidget* parent) : CPropertyPage("Messages", parent) {
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "Each Dornel station can show up to 32 messages of up to 10 lines on its display, "
        "rotating between them. Use \"Next\" and \"Prev\" to move between the messages and "
        "\"Save\" to keep the lines of the message shown.",
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* countRow = new QHBoxLayout;
    countRow->addWidget(new QLabel("Current Message Lines ", this));
    count_ = new QLabel("0", this);
    count_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    countRow->addWidget(count_);
    countRow->addStretch();
    layout->addLayout(countRow);
    edit_ = new QTextEdit(this);
    edit_->setAcceptRichText(false);
    edit_->setLineWrapMode(QTextEdit::NoWrap);
    // Every line is centred, as on the box's display.
    QTextOption centred = edit_->document()->defaultTextOption();
    centred.setAlignment(Qt::AlignHCenter);
    edit_->document()->setDefaultTextOption(centred);
    edit_->setFontFamily("DejaVu Sans Mono");
    edit_->setMinimumHeight(edit_->fontMetrics().lineSpacing() * 11 + 12);
    layout->addWidget(edit_, 1);
    auto* navigation = new QHBoxLayout;
    prev_ = new QPushButton("Prev", this);
    next_ = new QPushButton("Next", this);
    save_ = new QPushButton("Save", this);
    for (auto* button : {prev_, next_, save_}) button->setAutoDefault(false);
    auto* middle = new QVBoxLayout;
    label_ = new QLabel("Message : 0", this);
    label_->setAlignment(Qt::AlignCenter);
    middle->addWidget(label_);
    middle->addWidget(save_);
    navigation->addWidget(prev_);
    navigation->addLayout(middle, 1);
    navigation->addWidget(next_);
    layout->addLayout(navigation);

    connect(next_, &QPushButton::clicked, this, [this] { OnNext(); });
    connect(prev_, &QPushButton::clicked, this, [this] { OnPrev(); });
    connect(save_, &QPushButton::clicked, this, [this] { OnSave(); });
    connect(edit_, &QTextEdit::textChanged, this, [this] { UpdateLineCount(); });
}

bool CMessagePage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    ShowMessage(0);
    return true;
}

bool CMessagePage::UpdateData(bool save) {
    if (!save) {
        label_->setText(QString::fromStdString(messageLabel));
        edit_->setPlainText(QString::fromStdString(editText).replace("\r\n", "\n"));
        return true;
    }
    editText = edit_->toPlainText().replace("\n", "\r\n").toStdString();
    return true;
}

int CMessagePage::FieldLineCount() const { return edit_->document()->blockCount(); }

void CMessagePage::UpdateLineCount() { count_->setText(QString::number(FieldLineCount())); }

void CMessagePage::ShowMessage(int n) {
    currentMessage = n;
    messageLabel = "Message : " + std::to_string(n);
    std::string joined;
    for (int l = 0; l < kLines; ++l) {
        if (l) joined += "\r\n";
        joined += messageLines[static_cast<std::size_t>(n)][static_cast<std::size_t>(l)];
    }
    editText = joined;
    UpdateData(false);
    UpdateLineCount();
}

void CMessagePage::OnNext() {
    ShowMessage(currentMessage >= kMessages - 1 ? 0 : currentMessage + 1);
}

void CMessagePage::OnPrev() {
    ShowMessage(currentMessage <= 0 ? kMessages - 1 : currentMessage - 1);
}

void CMessagePage::OnSave() {
    if (FieldLineCount() > kLines) {
        Exclaim(this, "A message may contain at most 10 lines");
        return;
    }
    constexpr int kReadLimit = 1024;
    std::vector<std::string> lines;
    for (QTextBlock block = edit_->document()->begin(); block.isValid(); block = block.next()) {
        std::string line = block.text().toStdString();
        if (line.size() > kReadLimit) line.resize(kReadLimit);
        if (line.size() > static_cast<std::size_t>(kLineLength)) {
            Exclaim(this, "All lines in a message must be less than 40 characters");
            return;
        }
        lines.push_back(line);
    }
    auto& message = messageLines[static_cast<std::size_t>(currentMessage)];
    for (auto& line : message) line.clear();
    for (std::size_t j = 0; j < lines.size(); ++j) message[j] = lines[j];
    Exclaim(this, "Done");
}

// ---------------------------------------------------------------------------------------
// Loading and storing a box key

namespace boxconfig {

std::string MessageValueName(int message, int line) {
    char name[32];
    std::snprintf(name, sizeof name, "Message%02d-%02d", message, line);
    return name;
}

namespace {

std::string Text(HKEY box, const char* name, const char* fallback) {
    std::string value;
    return ReadRegistryText(box, name, &value) ? value : std::string(fallback);
}

std::int32_t Number(HKEY box, const char* name, std::int32_t fallback) {
    std::int32_t value = 0;
    return ReadRegistryNumber(box, name, &value) ? value : fallback;
}

// A text stored with its terminating zero.
LONG WriteTextWithZero(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

}  // namespace

void Load(HKEY box, CStationSetupPage* station, CAuthenticationSetup* auth, CPrintLinkPage* link,
          CMessagePage* messages) {
    station->friendlyName = Text(box, "FriendlyName", "");
    station->initialAddress = Text(box, "IPAddress", "");
    station->address = station->initialAddress;
    station->rotationDelay = Number(box, "RotationDelay", 15);
    station->inputTimeout = Number(box, "UITimeout", 30);
    auth->authType = Number(box, "AuthType", 0);
    auth->authHost = Text(box, "AuthMaster", "\\\\.");
    auth->ndsSearchList = Text(box, "NetwareAuthData", "");
    link->linkType = Number(box, "PrintLinkType", 0);
    link->accountDirectory = Text(box, "PCounterLocation", "C:\\");
    link->linkLibraryPath = Text(box, "PrintLinkLocation", "");
    if (!messages) return;
    for (int m = 0; m < CMessagePage::kMessages; ++m) {
        for (int l = 0; l < CMessagePage::kLines; ++l) {
            std::string line = Text(box, MessageValueName(m, l).c_str(), "");
            if (line.size() > static_cast<std::size_t>(CMessagePage::kLineLength))
                line.resize(CMessagePage::kLineLength);
            messages->messageLines[static_cast<std::size_t>(m)][static_cast<std::size_t>(l)] = line;
        }
    }
}

bool Store(HKEY box, bool added, const CStationSetupPage& station, const CAuthenticationSetup& auth,
           const CPrintLinkPage& link, const CMessagePage* messages) {
    bool written = true;
    const auto check = [&written](LONG rc) { written = written && rc == ERROR_SUCCESS; };
    // A new box stores its texts without the zero; a modified one keeps the zero of the
    // name, the host and the search list. Readers take both forms.
    const auto zeroed = [box, added](const char* name, const std::string& text) {
        return added ? WriteRegistryText(box, name, text) : WriteTextWithZero(box, name, text);
    };
    check(WriteRegistryText(box, "IPAddress", station.address));
    check(zeroed("FriendlyName", station.friendlyName));
    check(WriteRegistryNumber(box, "RotationDelay", station.rotationDelay));
    check(WriteRegistryNumber(box, "UITimeout", station.inputTimeout));
    check(WriteRegistryNumber(box, "AuthType", auth.authType));
    check(zeroed("AuthMaster", auth.authHost));
    check(zeroed("NetwareAuthData", auth.ndsSearchList));
    check(WriteRegistryNumber(box, "PrintLinkType", link.linkType));
    check(WriteRegistryText(box, "PCounterLocation", link.accountDirectory));
    check(WriteRegistryText(box, "PrintLinkLocation", link.linkLibraryPath));
    if (added || !messages) return written;
    for (int m = 0; m < CMessagePage::kMessages; ++m) {
        for (int l = 0; l < CMessagePage::kLines; ++l) {
            check(WriteTextWithZero(
                box, MessageValueName(m, l).c_str(),
                messages->messageLines[static_cast<std::size_t>(m)][static_cast<std::size_t>(l)]));
        }
    }
    return written;
}

}  // namespace boxconfig
