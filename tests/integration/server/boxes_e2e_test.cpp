// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// An administrator sets up a site's boxes with the configuration applet (Qt's offscreen
// platform, in this process) against a running dornelman and boxsim boxes: a box added and
// given its messages is served after a reconfigure request with its address, its
// authentication, its accounting link and its messages; every control button reaches the
// server and the box; a stopped service refuses the request after the control key was
// written; "Status Enquiry" shows what the box's status port sends.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "tests/fixtures/qt/qtfixture.h"
#include "tests/integration/server/qtapp.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"
#include "zuvexcpl/boxsheet.h"
#include "zuvexcpl/configapp.h"
#include "zuvexcpl/generalsetuppage.h"
#include "zuvexcpl/ipaddrctl.h"

CConfigApp theApp;

namespace sessiontest {
namespace {

using qtfixture::WhenModal;

// Counts the occurrences of text in what the tool printed, waiting up to timeout for count.
bool WaitForOutput(const BackgroundTool& tool, const std::string& text, int count,
                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string output = tool.Output();
        int found = 0;
        for (std::size_t at = output.find(text); at != std::string::npos;
             at = output.find(text, at + 1))
            ++found;
        if (found >= count) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
}

int Occurrences(const BackgroundTool& tool, const std::string& text) {
    const std::string output = tool.Output();
    int found = 0;
    for (std::size_t at = output.find(text); at != std::string::npos;
         at = output.find(text, at + 1))
        ++found;
    return found;
}

// A boxsim box on address that runs the script lines, with fixed status lines.
std::unique_ptr<BackgroundTool> StartBoxsim(const ServerHarness& server, const std::string& name,
                                            const std::string& address, const std::string& script,
                                            const std::vector<std::string>& statusLines) {
    const std::string scriptPath = server.root() + "/" + name + ".script";
    std::ofstream(scriptPath) << "# box " << name << "\n" << script;
    std::vector<std::string> args = {"--address", address,     "--script",
                                     scriptPath,  "--timeout", "240"};
    for (const std::string& line : statusLines) {
        args.push_back("--status-line");
        args.push_back(line);
    }
    auto tool = std::make_unique<BackgroundTool>(server.binDir() + "/boxsim", args,
                                                 server.root() + "/" + name + ".out");
    EXPECT_TRUE(WaitForOutput(*tool, "listening on", 1, 10s)) << tool->Output();
    return tool;
}

// Every message box of the applet: its text is kept, questions are answered Yes.
struct Answers {
    Answers() { Install(); }
    void Install() {
        dornelui::SetMessageBoxAnswerer([this](const dornelui::MessageBoxRequest& request) {
            texts.push_back(request.text.toStdString());
            return (request.style & 0xF) == dornelui::MB_YESNO ? dornelui::IDYES : dornelui::IDOK;
        });
    }
    ~Answers() { dornelui::SetMessageBoxAnswerer({}); }
    std::string Last() const { return texts.empty() ? "" : texts.back(); }
    std::vector<std::string> texts;
};

// Opens the applet on this machine, runs work on "General Setup", closes it with OK.
void WithGeneralSetup(std::function<void(CGeneralSetupPage*)> work) {
    bool seen = false;
    WhenModal<CSelectServerDlg>([&](CSelectServerDlg* dialog) {
        WhenModal<dornelui::CPropertySheet>([&](dornelui::CPropertySheet* sheet) {
            seen = true;
            EXPECT_TRUE(sheet->SetActivePage(1));
            work(static_cast<CGeneralSetupPage*>(sheet->Page(1)));
            sheet->OkButton()->click();
        });
        dialog->OkButton()->click();
    });
    EXPECT_EQ(theApp.applet.DoubleClick(nullptr, 0, 0), 0);
    EXPECT_TRUE(seen);
}

// Presses a station button; the box sheet it opens (if any) gets work and OK.
void Press(CGeneralSetupPage* page, int button,
           std::function<void(dornelui::CPropertySheet*)> work = {}) {
    if (work) {
        WhenModal<dornelui::CPropertySheet>([=](dornelui::CPropertySheet* sheet) {
            work(sheet);
            sheet->OkButton()->click();
        });
    }
    page->StationButton(button)->click();
}

QString MessageText(int m, int l) { return QString("msg %1 line %2").arg(m).arg(l); }

// The payload boxsim prints for a message page of ten lines.
std::string PagePayload(int m) {
    std::string text;
    for (int l = 0; l < 10; ++l) {
        if (l) text += "\\n";
        text += MessageText(m, l).toStdString();
    }
    return text;
}

// Indexes of the station buttons.
constexpr int kOnlineButton = 3, kOfflineButton = 4, kResetButton = 5, kReconfButton = 6,
              kStatusButton = 7;

TEST(BoxesFromTheApplet, AnAddedBoxIsServedAndObeysEveryControl) {
    App();
    ServerHarness server;
    ASSERT_TRUE(server.AddUser("alice", "secret", 12.5));
    BoxSetup first;
    first.address = BoxAddress(0);
    ASSERT_TRUE(server.Configure({first}));
    auto boxA = StartBoxsim(server, "a", BoxAddress(0), "", {});
    // The added box signs a user in once it is served: custom authentication and link.
    auto boxB = StartBoxsim(server, "b", BoxAddress(1), "expect 16\nauth alice|secret\nexpect 12\n",
                            {"Coins: 12", "Door: closed"});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WaitForOutput(*boxA, "recv 16", 1, 15s)) << boxA->Output();
    ::setenv("DORNEL_ROOT", server.root().c_str(), 1);

    Answers answers;
    WithGeneralSetup([&](CGeneralSetupPage* page) {
        // Add the second box, then give it its messages through Modify.
        Press(page, 0, [](dornelui::CPropertySheet* sheet) {
            auto* station = static_cast<CStationSetupPage*>(sheet->Page(0));
            station->NameEdit()->setText("Hall");
            station->RotationEdit()->setText("20");
            station->TimeoutEdit()->setText("40");
            station->AddressCtl()->SetText(QString::fromStdString(BoxAddress(1)));
            EXPECT_TRUE(sheet->SetActivePage(1));
            static_cast<CAuthenticationSetup*>(sheet->Page(1))->TypeButton(2)->click();
            EXPECT_TRUE(sheet->SetActivePage(2));
            static_cast<CPrintLinkPage*>(sheet->Page(2))->TypeButton(1)->click();
        });
        EXPECT_EQ(answers.Last(), "Box details added");
        ASSERT_EQ(page->StationList()->count(), 2);
        page->StationList()->setCurrentRow(1);
        Press(page, 2, [](dornelui::CPropertySheet* sheet) {
            EXPECT_TRUE(sheet->SetActivePage(3));
            auto* messages = static_cast<CMessagePage*>(sheet->Page(3));
            for (int m = 0; m < 32; ++m) {
                QStringList lines;
                for (int l = 0; l < 10; ++l) lines << MessageText(m, l);
                messages->MessageEdit()->setPlainText(lines.join("\n"));
                messages->SaveButton()->click();
                messages->NextButton()->click();
            }
        });
        EXPECT_EQ(answers.Last(), "Box configuration updated");

        // Reconfigure the new box: the server starts serving it at its address.
        page->StationList()->setCurrentRow(1);
        Press(page, kReconfButton);
        EXPECT_EQ(answers.Last(), "Done");
        EXPECT_TRUE(WaitForOutput(*boxB, "recv 16 20|40|", 1, 20s)) << boxB->Output();
        EXPECT_TRUE(WaitForOutput(*boxB, "recv 12 12.50", 1, 20s)) << boxB->Output();
        for (int m = 0; m < 32; ++m) {
            EXPECT_EQ(Occurrences(*boxB, "recv 7 " + PagePayload(m)), 1) << "message " << m;
        }
        EXPECT_TRUE(server.WaitForRecord(1, kAuthOK, {}, 5s));

        // Status Enquiry: each line the box ends with CR LF is followed by an empty line.
        dornelui::SetMessageBoxAnswerer({});
        QString report;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            report = box->text();
            const char* dir = std::getenv("DORNEL_SCREENS_DIR");
            if (dir && *dir) {
                EXPECT_TRUE(box->grab().save(QString(dir) + "/status-report.png"));
            }
            box->button(QMessageBox::Ok)->click();
        });
        Press(page, kStatusButton);
        EXPECT_EQ(report.toStdString(), "Coins: 12\n\nDoor: closed\n\n");
        answers.Install();

        // Every control button reaches the first box.
        page->StationList()->setCurrentRow(0);
        const struct {
            int button;
            int packet;
            int record;
        } controls[] = {{kOfflineButton, 4, kOfflineRequest},
                        {kOnlineButton, 3, kOnlineRequest},
                        {kResetButton, 5, kRebootRequest},
                        {kReconfButton, 16, kReconfigureRequest}};
        for (const auto& c : controls) {
            const std::string packet = "recv " + std::to_string(c.packet);
            const int before = Occurrences(*boxA, packet + "\n") + Occurrences(*boxA, packet + " ");
            Press(page, c.button);
            EXPECT_EQ(answers.Last(), "Done") << c.button;
            EXPECT_TRUE(server.WaitForRecord(0, c.record, {}, 10s)) << c.button;
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (Occurrences(*boxA, packet + "\n") + Occurrences(*boxA, packet + " ") <= before &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(50ms);
            EXPECT_GT(Occurrences(*boxA, packet + "\n") + Occurrences(*boxA, packet + " "), before)
                << c.button << "\n"
                << boxA->Output();
            if (c.button == kResetButton) {
                // The box is reset and the server connects again.
                EXPECT_TRUE(WaitForOutput(*boxA, "session key agreed", 2, 30s)) << boxA->Output();
            }
        }
        EXPECT_FALSE(server.ControlKeyExists());

        // A stopped service refuses; the key holds the box all the same.
        EXPECT_TRUE(server.Stop());
        page->StationList()->setCurrentRow(1);
        Press(page, kReconfButton);
        EXPECT_EQ(answers.Last(), "Service did not respond to request");
        EXPECT_TRUE(server.ControlKeyExists());

        // A box whose status port has nobody behind it.
        boxB.reset();
        Press(page, kStatusButton);
        EXPECT_EQ(answers.Last(), "Could not connect to remote status port");
    });
    ::unsetenv("DORNEL_ROOT");
}

}  // namespace
}  // namespace sessiontest
