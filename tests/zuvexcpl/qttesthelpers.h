// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// What the applet's QtTest programs share: a private root (registry) per test function,
// registry helpers, an answerer for the applet's message boxes, driving modal dialogs, and
// saving screenshots for the documentation.

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "tests/fixtures/qt/qtfixture.h"

namespace applettest {

// A fresh DORNEL_ROOT, removed again by the destructor.
class TempRoot {
  public:
    TempRoot() {
        char pattern[] = "/tmp/dornel-applet-XXXXXX";
        if (::mkdtemp(pattern)) path_ = pattern;
        ::setenv("DORNEL_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Message boxes of the applet (in this process), answered from a queue; every box is kept.
class Answers {
  public:
    Answers() {
        dornelui::SetMessageBoxAnswerer([this](const dornelui::MessageBoxRequest& request) {
            seen.push_back(request);
            if (queue.empty())
                return (request.style & 0xF) == dornelui::MB_YESNO ? dornelui::IDNO
                                                                   : dornelui::IDOK;
            const int answer = queue.front();
            queue.pop_front();
            return answer;
        });
    }
    ~Answers() { dornelui::SetMessageBoxAnswerer({}); }
    QStringList Texts() const {
        QStringList texts;
        for (const auto& request : seen) texts << request.text;
        return texts;
    }
    std::deque<int> queue;
    std::vector<dornelui::MessageBoxRequest> seen;
};

using qtfixture::WhenModal;

// Saves a grab of the widget as docs/screens/<name>.png when DORNEL_SCREENS_DIR is set.
inline void SaveScreen(QWidget* widget, const QString& name) {
    const char* dir = std::getenv("DORNEL_SCREENS_DIR");
    if (!dir || !*dir) return;
    QDir().mkpath(dir);
    QVERIFY(widget->grab().save(QString(dir) + "/" + name + ".png"));
}

inline HKEY CreateKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

inline void SetText(const std::string& path, const char* name, const std::string& text,
                    bool withZero = true) {
    HKEY key = CreateKey(path);
    QVERIFY(key);
    QCOMPARE(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + (withZero ? 1 : 0))),
             ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetNumber(const std::string& path, const char* name, std::uint32_t value,
                      DWORD type = REG_DWORD) {
    HKEY key = CreateKey(path);
    QVERIFY(key);
    const BYTE bytes[4] = {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
    QCOMPARE(RegSetValueExA(key, name, 0, type, bytes, 4), ERROR_SUCCESS);
    RegCloseKey(key);
}

// A stored value: its type and exact bytes; type REG_NONE when it cannot be read.
struct Stored {
    DWORD type = REG_NONE;
    std::string bytes;
    bool exists() const { return type != REG_NONE; }
};

inline Stored Query(const std::string& path, const char* name) {
    Stored stored;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return stored;
    }
    char buffer[2048];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
        ERROR_SUCCESS) {
        stored.type = type;
        stored.bytes.assign(buffer, size);
    }
    RegCloseKey(key);
    return stored;
}

inline bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

inline std::string Binary4(std::uint32_t value) {
    return std::string{char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

// Sets up what every QtTest program needs before its QApplication: the offscreen platform
// unless one is chosen, and a private runtime folder.
inline void PrepareQtEnvironment() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static std::string runtime;
    if (runtime.empty()) {
        char pattern[] = "/tmp/dornel-xdg-XXXXXX";
        if (::mkdtemp(pattern)) runtime = pattern;
        ::chmod(runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
}

}  // namespace applettest

// A QtTest main that prepares the environment first and removes the runtime folder after.
#define APPLET_QTEST_MAIN(TestClass)                                          \
    int main(int argc, char** argv) {                                         \
        applettest::PrepareQtEnvironment();                                   \
        QApplication app(argc, argv);                                         \
        TestClass test;                                                       \
        const int rc = QTest::qExec(&test, argc, argv);                       \
        std::error_code ignored;                                              \
        std::filesystem::remove_all(std::getenv("XDG_RUNTIME_DIR"), ignored); \
        return rc;                                                            \
    }
