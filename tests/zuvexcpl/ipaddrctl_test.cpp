// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The address entry control: parsing a text for display, reading the address with its
// range and missing-value messages, typing with auto-advance, and the keys that move
// between the fields, leave the control or press the dialog's default button.

#include "zuvexcpl/ipaddrctl.h"

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "tests/zuvexcpl/qttesthelpers.h"
#include "zuvexcpl/configapp.h"

CConfigApp theApp;

using namespace applettest;

namespace {

QString Shown(CIPAddrCtl& control) {
    QStringList parts;
    for (int i = 0; i < 4; ++i) parts << control.Field(i)->text();
    return parts.join('.');
}

QString Range(int value) {
    return QString(
               "%1 is not a valid entry.  Please specify a value between 0 and 255 for this "
               "field.")
        .arg(value);
}

// A dialog with an edit, the control and another edit, and a default OK button.
struct Form {
    QDialog dialog;
    QLineEdit* before = new QLineEdit(&dialog);
    CIPAddrCtl* control = new CIPAddrCtl(&dialog);
    QLineEdit* after = new QLineEdit(&dialog);
    QPushButton* ok = new QPushButton("OK", &dialog);
    int okClicks = 0;
    bool exposed = false;
    Form() {
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(before);
        layout->addWidget(control);
        layout->addWidget(after);
        layout->addWidget(ok);
        ok->setDefault(true);
        QObject::connect(ok, &QPushButton::clicked, [this] { ++okClicks; });
        dialog.show();
        exposed = QTest::qWaitForWindowExposed(&dialog);
        dialog.activateWindow();
        QApplication::setActiveWindow(&dialog);
    }
};

}  // namespace

class IPAddrCtlTest : public QObject {
    Q_OBJECT
  private slots:
    void parsingForDisplay_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << ""
                               << "0.0.0.0";
        QTest::newRow("four parts") << "192.168.1.20"
                                    << "192.168.1.20";
        QTest::newRow("three parts") << "10.1.2"
                                     << "10.1.0.2";
        QTest::newRow("one part") << "7"
                                  << "0.0.0.7";
        QTest::newRow("low 8 bits") << "300.256.1.511"
                                    << "44.0.1.255";
        QTest::newRow("not numbers") << "a.b.c.d"
                                     << "0.0.0.0";
        QTest::newRow("negative") << "-1.2.3.4"
                                  << "255.2.3.4";
    }
    void parsingForDisplay() {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        CIPAddrCtl control;
        control.SetText(text);
        QCOMPARE(Shown(control), shown);
    }

    void readingChecksEveryPart() {
        Answers answers;
        Form form;
        CIPAddrCtl& control = *form.control;
        control.SetText("10.20.30.40");
        QString text;
        QVERIFY(control.GetText(&text));
        QCOMPARE(text, QString("10.20.30.40"));
        QVERIFY(answers.seen.empty());

        // A value of 256 in the third field: its message, the field focused and selected.
        control.Field(2)->setText("256");
        CIPAddrCtl::Address address;
        QVERIFY(!control.GetAddress(false, &address));
        QCOMPARE(address.failingField, 3);
        QVERIFY(answers.seen.empty());  // no message asked for
        QVERIFY(!control.GetText(&text));
        QCOMPARE(answers.Texts(), QStringList{Range(256)});
        QCOMPARE(answers.seen[0].caption, QString("Error"));
        QCOMPARE(answers.seen[0].style, dornelui::MB_OK | dornelui::MB_ICONEXCLAMATION);
        QVERIFY(control.Field(2)->hasFocus());
        QCOMPARE(control.Field(2)->selectedText(), QString("256"));

        // An empty field comes before a later bad one.
        answers.seen.clear();
        control.Field(1)->clear();
        QVERIFY(!control.GetAddress(true, &address));
        QCOMPARE(address.failingField, 2);
        QCOMPARE(answers.Texts(), QStringList{"Missing value in IP address"});
        QVERIFY(control.Field(1)->hasFocus());
    }

    void typingAdvancesAfterThreeDigitsAndChecksTheRange() {
        Answers answers;
        Form form;
        CIPAddrCtl& control = *form.control;
        control.SetText("");
        control.setFocus();
        QVERIFY(control.Field(0)->hasFocus());
        QCOMPARE(control.Field(0)->selectedText(), QString("0"));
        QTest::keyClicks(control.Field(0), "255");
        QVERIFY(control.Field(1)->hasFocus());
        QTest::keyClicks(control.Field(1), "256");
        QCOMPARE(answers.Texts(), QStringList{Range(256)});
        QVERIFY(control.Field(1)->hasFocus());
        QCOMPARE(control.Field(1)->selectedText(), QString("256"));
        QTest::keyClicks(control.Field(1), "12");  // replaces the selection
        QCOMPARE(control.Field(1)->text(), QString("12"));
        QVERIFY(control.Field(1)->hasFocus());
        // "." and space move on with the next field selected; letters are refused.
        QTest::keyClick(control.Field(1), '.');
        QVERIFY(control.Field(2)->hasFocus());
        QTest::keyClicks(control.Field(2), "7x");
        QCOMPARE(control.Field(2)->text(), QString("7"));
        QTest::keyClick(control.Field(2), Qt::Key_Space);
        QVERIFY(control.Field(3)->hasFocus());
        QTest::keyClicks(control.Field(3), "1");
        QTest::keyClick(control.Field(3), '.');  // nothing after the fourth field
        QVERIFY(control.Field(3)->hasFocus());
        QCOMPARE(control.Field(3)->text(), QString("1"));
        QString text;
        QVERIFY(control.GetText(&text));
        QCOMPARE(text, QString("255.12.7.1"));
        QCOMPARE(answers.seen.size(), std::size_t{1});
    }

    void arrowsCrossFieldsTabLeavesAndEnterPressesTheDefaultButton() {
        Answers answers;
        Form form;
        CIPAddrCtl& control = *form.control;
        control.SetText("1.22.3.4");
        control.Field(1)->setFocus();
        control.Field(1)->setCursorPosition(2);
        QTest::keyClick(control.Field(1), Qt::Key_Right);
        QVERIFY(control.Field(2)->hasFocus());
        QCOMPARE(control.Field(2)->cursorPosition(), 0);
        QTest::keyClick(control.Field(2), Qt::Key_Left);
        QVERIFY(control.Field(1)->hasFocus());
        QTest::keyClick(control.Field(1), Qt::Key_Left);  // inside the text: moves the caret
        QVERIFY(control.Field(1)->hasFocus());
        QCOMPARE(control.Field(1)->cursorPosition(), 1);
        control.Field(0)->setFocus();
        control.Field(0)->setCursorPosition(0);
        QTest::keyClick(control.Field(0), Qt::Key_Left);  // none before the first
        QVERIFY(control.Field(0)->hasFocus());

        QTest::keyClick(control.Field(1), Qt::Key_Tab);
        QVERIFY(form.after->hasFocus());
        control.Field(2)->setFocus();
        QTest::keyClick(control.Field(2), Qt::Key_Tab, Qt::ShiftModifier);
        QVERIFY(form.before->hasFocus());

        QCOMPARE(form.okClicks, 0);
        QTest::keyClick(control.Field(3), Qt::Key_Return);
        QCOMPARE(form.okClicks, 1);
        QVERIFY(answers.seen.empty());
    }

    void readOnlyAndDisabled() {
        CIPAddrCtl control;
        control.SetReadOnly(true);
        for (int i = 0; i < 4; ++i) QVERIFY(control.Field(i)->isReadOnly());
        control.setEnabled(false);
        for (int i = 0; i < 4; ++i) QVERIFY(!control.Field(i)->isEnabled());
    }
};

APPLET_QTEST_MAIN(IPAddrCtlTest)
#include "ipaddrctl_test.moc"
