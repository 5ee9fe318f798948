// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/ui/askpass.h"

#include <QLabel>
#include <QLineEdit>
#include <cstring>

namespace dornelui {

AskPassKind AskPassKindOf(const QString& prompt, const char* promptHint) {
    if (promptHint && std::strcmp(promptHint, "confirm") == 0) return AskPassKind::Confirm;
    if (promptHint && std::strcmp(promptHint, "none") == 0) return AskPassKind::Notice;
    // The host-key question ends "(yes/no)?" or "(yes/no/[fingerprint])?": the answer is
    // typed, and it is no secret.
    return prompt.contains("(yes/no", Qt::CaseInsensitive) ? AskPassKind::Text
                                                           : AskPassKind::Secret;
}

CAskPassDlg::CAskPassDlg(const QString& prompt, bool secret, QWidget* owner)
    : CTextEntryDlg(kAskPassCaption, prompt.trimmed(), owner) {
    TextLabel()->setTextFormat(Qt::PlainText);  // ssh's text, never markup
    if (secret) Edit()->setEchoMode(QLineEdit::Password);
    Edit()->setFocus();
    resize(460, sizeHint().height());
}

QString CAskPassDlg::Answer() const { return Edit()->text(); }

std::optional<QString> AskPass(const QString& prompt, AskPassKind kind, QWidget* owner) {
    switch (kind) {
        case AskPassKind::Confirm:
            if (MessageBox(owner, prompt.trimmed(), kAskPassCaption, MB_YESNO | MB_ICONQUESTION) !=
                IDYES) {
                return std::nullopt;
            }
            return QString();
        case AskPassKind::Notice:
            MessageBox(owner, prompt.trimmed(), kAskPassCaption, MB_OK);
            return QString();
        case AskPassKind::Secret:
        case AskPassKind::Text:
            break;
    }
    CAskPassDlg dialog(prompt, kind == AskPassKind::Secret, owner);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Answer();
}

}  // namespace dornelui
