// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// ssh's questions as dialogs. When an applet reaches another machine, ssh asks for a
// password, a key's passphrase or whether to trust a new host key through the program named
// by SSH_ASKPASS; dornel-askpass is that program, and this is what it shows. ssh gives the
// prompt as the program's argument and tells by SSH_ASKPASS_PROMPT when it wants only a Yes
// or No ("confirm") or nothing at all ("none", a notice such as "touch your key").

#include <QString>
#include <optional>

#include "platform/ui/ui.h"

namespace dornelui {

// The caption of every ssh question.
inline constexpr const char* kAskPassCaption = "Dornel: connecting to the server";

enum class AskPassKind {
    Secret,   // a password or passphrase, typed without echo
    Text,     // an answer shown as typed: the host-key question wants "yes"
    Confirm,  // Yes or No
    Notice,   // shown, nothing to answer
};

// The kind of question: from SSH_ASKPASS_PROMPT when ssh set it (promptHint, may be null),
// else from the prompt (a "yes/no" question is Text, anything else Secret).
AskPassKind AskPassKindOf(const QString& prompt, const char* promptHint);

// The question with one field for the answer, OK and Cancel.
class CAskPassDlg : public CTextEntryDlg {
    Q_OBJECT
  public:
    CAskPassDlg(const QString& prompt, bool secret, QWidget* owner = nullptr);
    QString Answer() const;
};

// Asks. The answer to give ssh ("" for Confirm's Yes and for a Notice), or nothing when the
// person cancelled or answered No. Confirm and Notice go through MessageBox.
std::optional<QString> AskPass(const QString& prompt, AskPassKind kind, QWidget* owner = nullptr);

}  // namespace dornelui
