// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The CPlApplet entry as a control panel calls it: the base applet's results in-process,
// and zuvexcpl.so loaded with dlopen from the build's bin folder, its message table, its
// applet information record, and its opening with the real message boxes of the module.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <cstring>
#include <memory>

#include <dlfcn.h>

#include "tests/zuvexcpl/qttesthelpers.h"
#include "zuvexcpl/cplapplet.h"

using namespace applettest;

namespace {

QPushButton* ButtonOf(QWidget* window, const QString& text) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text().remove('&') == text) return button;
    }
    return nullptr;
}

// Runs action on the next visible modal window with the title (polls 20 ms, for 5 s).
void WhenTitled(const QString& title, std::function<void(QWidget*)> action, int tries = 250) {
    QTimer::singleShot(20, [=]() {
        QWidget* widget = QApplication::activeModalWidget();
        if (widget && widget->isVisible() && widget->windowTitle() == title) {
            action(widget);
        } else if (tries > 0) {
            WhenTitled(title, action, tries - 1);
        }
    });
}

struct Module {
    void* handle = nullptr;
    CplAppletProc entry = nullptr;
    std::int32_t Call(std::uint32_t message, std::intptr_t a = 0, std::intptr_t b = 0) {
        return entry(nullptr, message, a, b);
    }
};

}  // namespace

class CplEntryTest : public QObject {
    Q_OBJECT
  private:
    Module module_;
    std::unique_ptr<TempRoot> root_;

  private slots:
    void initTestCase() {
        root_ = std::make_unique<TempRoot>();
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        QVERIFY(bin);
        const std::string path = std::string(bin) + "/zuvexcpl.so";
        module_.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(module_.handle, ::dlerror());
        module_.entry = reinterpret_cast<CplAppletProc>(::dlsym(module_.handle, "CPlApplet"));
        QVERIFY(module_.entry);
        // The module exports its entry and nothing of its framework or its classes.
        QVERIFY(!::dlsym(module_.handle, "_ZN10CCplApplet10TheAppletEv"));
        QVERIFY(!::dlsym(module_.handle, "theApp"));
    }
    void cleanupTestCase() { root_.reset(); }

    void theBaseAppletAnswersWithTheBaseResults() {
        CCplApplet applet;
        QCOMPARE(CCplApplet::TheApplet(), &applet);
        QCOMPARE(CPlApplet(nullptr, CPL_INIT, 0, 0), 1);
        QCOMPARE(CPlApplet(nullptr, CPL_GETCOUNT, 0, 0), 1);
        QCOMPARE(CPlApplet(nullptr, CPL_SELECT, 0, 0), 1);
        QCOMPARE(CPlApplet(nullptr, CPL_DBLCLK, 0, 0), 0);
        QCOMPARE(CPlApplet(nullptr, CPL_STOP, 0, 0), 1);
        QCOMPARE(CPlApplet(nullptr, CPL_EXIT, 0, 0), 0);
        QCOMPARE(CPlApplet(nullptr, 0, 0, 0), 1);
        QCOMPARE(CPlApplet(nullptr, 99, 0, 0), 1);
        NEWCPLINFOA info;
        std::memset(&info, 0x55, sizeof info);
        QCOMPARE(CPlApplet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<std::intptr_t>(&info)), 0);
        QCOMPARE(info.dwSize, std::uint32_t{sizeof(NEWCPLINFOA)});
        QCOMPARE(info.idIcon, 1);
        QCOMPARE(info.dwFlags, 0u);
        QCOMPARE(info.lData, std::int64_t{0});
        QCOMPARE(QString(info.szName), QString("Applet"));
        QCOMPARE(QString(info.szInfo), QString("Raw Cpl Applet"));
        QCOMPARE(QString(info.szHelpFile), QString(""));
    }

    void theModuleAnswersTheMessageTable() {
        QCOMPARE(module_.Call(CPL_INIT), 1);
        QCOMPARE(module_.Call(CPL_GETCOUNT), 1);
        CPLINFO shortInfo;
        std::memset(&shortInfo, 0x55, sizeof shortInfo);
        QCOMPARE(module_.Call(CPL_INQUIRE, 0, reinterpret_cast<std::intptr_t>(&shortInfo)), 1);
        QCOMPARE(shortInfo.idIcon, 0);
        QCOMPARE(shortInfo.idName, 0x55555555);  // only the icon identifier is stored
        QCOMPARE(module_.Call(CPL_SELECT), 1);
        QCOMPARE(module_.Call(CPL_STOP), 1);
        QCOMPARE(module_.Call(CPL_EXIT), 0);
        QCOMPARE(module_.Call(42), 1);

        NEWCPLINFOA info;
        std::memset(&info, 0x55, sizeof info);
        QCOMPARE(module_.Call(CPL_NEWINQUIRE, 0, reinterpret_cast<std::intptr_t>(&info)), 0);
        QCOMPARE(info.dwSize, 248u);
        QCOMPARE(info.dwFlags, 0u);
        QCOMPARE(info.dwHelpContext, 0u);
        QCOMPARE(info.lData, std::int64_t{0});
        QCOMPARE(info.idIcon, 129);
        QCOMPARE(QString(info.szName), QString("Dornel"));
        QCOMPARE(QString(info.szInfo), QString("Dornel Configuration Applet"));
        QCOMPARE(QString(info.szHelpFile), QString(""));
    }

    void anUnreachableMachineShowsTheModulesErrorBox() {
        QString seenText;
        QString seenCaption;
        int buttons = -1;
        bool iconless = false;
        WhenTitled("Select Dornel server", [&](QWidget* dialog) {
            QTest::keyClicks(dialog->findChild<QLineEdit*>(), "faraway");
            WhenTitled("Error", [&](QWidget* window) {
                auto* box = qobject_cast<QMessageBox*>(window);
                if (!box) return;
                seenText = box->text();
                seenCaption = box->windowTitle();
                buttons = static_cast<int>(box->buttons().size());
                iconless = box->icon() == QMessageBox::NoIcon;
                SaveScreen(box, "remote-error");
                box->button(QMessageBox::Ok)->click();
            });
            ButtonOf(dialog, "OK")->click();
        });
        QCOMPARE(module_.Call(CPL_DBLCLK), 0);
        QCOMPARE(seenText, QString("Can't connect to remote server"));
        QCOMPARE(seenCaption, QString("Error"));
        QCOMPARE(buttons, 1);
        QVERIFY(iconless);
    }

    void openingThroughTheEntryWritesTheRegistry() {
        QString question;
        QString questionCaption;
        WhenTitled("Select Dornel server", [&](QWidget* dialog) {
            WhenTitled("Dornel Configuration", [&](QWidget* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                SaveScreen(sheet, "dornel-configuration");
                tabs->setCurrentIndex(1);
                auto* debug = sheet->findChild<QCheckBox*>(QString(), Qt::FindChildrenRecursively);
                for (QCheckBox* box : sheet->findChildren<QCheckBox*>()) {
                    if (box->text() == "Enable debug-level logging") debug = box;
                }
                WhenTitled("zuvexcpl", [&](QWidget* window) {
                    auto* box = qobject_cast<QMessageBox*>(window);
                    if (!box) return;
                    question = box->text();
                    questionCaption = box->windowTitle();
                    SaveScreen(box, "debug-logging-question");
                    box->button(QMessageBox::Yes)->click();
                });
                debug->click();
                ButtonOf(sheet, "OK")->click();
            });
            ButtonOf(dialog, "OK")->click();
        });
        QCOMPARE(module_.Call(CPL_DBLCLK), 0);
        QVERIFY(question.startsWith("Enabling the debug-level logging"));
        QCOMPARE(questionCaption, QString("zuvexcpl"));  // the module's file name
        const Stored debug = Query("SOFTWARE\\Orvane Technology\\ZuvexBox", "EnableDebugLog");
        QCOMPARE(debug.type, REG_BINARY);
        QCOMPARE(debug.bytes, Binary4(1));
    }
};

APPLET_QTEST_MAIN(CplEntryTest)
#include "cplentry_test.moc"
