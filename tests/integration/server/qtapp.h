// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The QApplication of an end-to-end test program that drives the applets' windows in its own
// process (Qt's offscreen platform): made on first use, with a private runtime folder, and
// ended after the last test while Qt's own globals still live (ending it from a static
// destructor at exit is too late).

#include <QApplication>

#include <gtest/gtest.h>

#include "tests/fixtures/qt/qtfixture.h"

namespace sessiontest {

inline QApplication* theQtApplication = nullptr;

inline QApplication& App() {
    if (!theQtApplication) {
        qtfixture::UsePrivateRuntimeFolder();
        static int argc = 1;
        static char name[] = "dornel-e2e-test";
        static char* argv[] = {name, nullptr};
        theQtApplication = new QApplication(argc, argv);
    }
    return *theQtApplication;
}

class EndQtApplication : public ::testing::Environment {
  public:
    void TearDown() override {
        delete theQtApplication;
        theQtApplication = nullptr;
    }
};
[[maybe_unused]] inline ::testing::Environment* const kEndQtApplication =
    ::testing::AddGlobalTestEnvironment(new EndQtApplication);

}  // namespace sessiontest
