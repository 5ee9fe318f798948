// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// ssh's questions as the applets show them (dornel-askpass): which kind of question a prompt
// is, a secret never shown as typed, the typed answer or nothing on Cancel and No.

#include "platform/ui/askpass.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleHints>

#include "tests/zuvexcpl/qttesthelpers.h"

using applettest::Answers;
using applettest::WhenModal;
using dornelui::AskPass;
using dornelui::AskPassKind;
using dornelui::AskPassKindOf;
using dornelui::CAskPassDlg;

class AskPassTest : public QObject {
    Q_OBJECT

    // Answers the next question dialog with text (OK), or cancels it (cancel); what it
    // showed is kept.
    struct Seen {
        QString prompt;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        QString caption;
    };
    static void AnswerNext(Seen* seen, const QString& text, bool cancel = false,
                           const QString& screen = QString()) {
        WhenModal<CAskPassDlg>([=](CAskPassDlg* dialog) {
            seen->prompt = dialog->TextLabel()->text();
            seen->echo = dialog->Edit()->echoMode();
            seen->caption = dialog->windowTitle();
            QTest::keyClicks(dialog->Edit(), text);
            if (!screen.isEmpty()) applettest::SaveScreen(dialog, screen);
            (cancel ? dialog->CancelButton() : dialog->OkButton())->click();
        });
    }

  private slots:
    // A cursor that does not blink, so the screenshot is the same on every run.
    void initTestCase() { QGuiApplication::styleHints()->setCursorFlashTime(0); }

    void theKindComesFromTheHintOrElseFromThePrompt() {
        QCOMPARE(AskPassKindOf("Allow use of key?", "confirm"), AskPassKind::Confirm);
        QCOMPARE(AskPassKindOf("Confirm user presence for key", "none"), AskPassKind::Notice);
        QCOMPARE(AskPassKindOf("Enter passphrase for key '/root/.ssh/id':", nullptr),
                 AskPassKind::Secret);
        QCOMPARE(AskPassKindOf("admin@server's password: ", "something else"), AskPassKind::Secret);
        QCOMPARE(AskPassKindOf("The authenticity of host 'server (10.0.0.1)' can't be "
                               "established.\nAre you sure you want to continue connecting "
                               "(yes/no/[fingerprint])? ",
                               nullptr),
                 AskPassKind::Text);
    }

    void aSecretIsTypedUnseenAndGivenBackOnOkOnly() {
        Seen seen;
        AnswerNext(&seen, "s3cret <pass>", false, "ssh-passphrase");
        QCOMPARE(AskPass("Enter passphrase for key '/root/.ssh/id': ", AskPassKind::Secret),
                 std::optional<QString>("s3cret <pass>"));
        QCOMPARE(seen.echo, QLineEdit::Password);
        QCOMPARE(seen.prompt, QString("Enter passphrase for key '/root/.ssh/id':"));
        QCOMPARE(seen.caption, QString(dornelui::kAskPassCaption));

        AnswerNext(&seen, "typed then cancelled", true);
        QCOMPARE(AskPass("admin@server's password: ", AskPassKind::Secret), std::nullopt);

        // ssh's text is shown as it is, never as markup.
        AnswerNext(&seen, "x");
        AskPass("<b>bold</b> password:", AskPassKind::Secret);
        QCOMPARE(seen.prompt, QString("<b>bold</b> password:"));
    }

    void theHostKeyAnswerIsShownAsTyped() {
        Seen seen;
        AnswerNext(&seen, "yes");
        QCOMPARE(
            AskPass("Are you sure you want to continue connecting (yes/no)? ", AskPassKind::Text),
            std::optional<QString>("yes"));
        QCOMPARE(seen.echo, QLineEdit::Normal);
    }

    void confirmationsAndNoticesGoThroughTheMessageBoxes() {
        Answers answers;
        answers.queue = {dornelui::IDYES, dornelui::IDNO};
        QCOMPARE(AskPass("Allow use of key /root/.ssh/id?\n", AskPassKind::Confirm),
                 std::optional<QString>(""));
        QCOMPARE(AskPass("Allow use of key /root/.ssh/id?\n", AskPassKind::Confirm), std::nullopt);
        QCOMPARE(AskPass("Confirm user presence for key\n", AskPassKind::Notice),
                 std::optional<QString>(""));
        QCOMPARE(answers.Texts(),
                 QStringList({"Allow use of key /root/.ssh/id?", "Allow use of key /root/.ssh/id?",
                              "Confirm user presence for key"}));
        QCOMPARE(answers.seen[0].style, dornelui::MB_YESNO | dornelui::MB_ICONQUESTION);
        QCOMPARE(answers.seen[2].style, dornelui::MB_OK);
        QCOMPARE(answers.seen[0].caption, QString(dornelui::kAskPassCaption));
    }
};

APPLET_QTEST_MAIN(AskPassTest)
#include "askpass_test.moc"
