// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The loader layer with real shared objects: the search order, paths, missing libraries
// and exports, and the loader's reasons.

#include "platform/dynlib/dynlib.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/fixtures/backends/testsupport.h"

namespace {

using AnswerProc = int (*)();

// The folder the build put the test libraries in.
std::string PluginFolder() { return std::string(DYNTEST_PLUGIN_DIR); }

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("DORNEL_PLUGIN_DIR", ("/nonexistent::" + PluginFolder()).c_str(), 1);
    }
    void TearDown() override { unsetenv("DORNEL_PLUGIN_DIR"); }
};

int AnswerOf(const char* name) {
    platform::dynlib::Library library(name);
    if (!library.IsLoaded()) return -1;
    auto answer = library.Find<AnswerProc>("DyntestAnswer");
    return answer != nullptr ? answer() : -2;
}

TEST_F(Loader, DllNamesLoadSharedObjectsFromThePluginFolders) {
    EXPECT_EQ(platform::dynlib::NativeLibraryName("custauth.dll"), "custauth.so");
    EXPECT_EQ(platform::dynlib::NativeLibraryName("PrintLink.DLL"), "PrintLink.so");
    EXPECT_EQ(platform::dynlib::NativeLibraryName("libm.so.6"), "libm.so.6");

    HMODULE module = LoadLibraryA("dynplugin.dll");
    ASSERT_NE(module, nullptr) << platform::dynlib::DynlibErrorText();
    auto answer = reinterpret_cast<AnswerProc>(GetProcAddress(module, "DyntestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 1);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(Loader, TheExecutablesFolderComesFirst) {
    // dynorder.so is in the plug-in folder (answer 1) and beside this executable (answer 2).
    EXPECT_EQ(AnswerOf("dynorder.dll"), 2);
    const auto folders = platform::dynlib::SearchFolders();
    ASSERT_EQ(folders.size(), 4u);
    EXPECT_EQ(folders[1], "/nonexistent");
    EXPECT_EQ(folders[2], PluginFolder());
    // The package's folder, after the site's own, before the loader's search.
    EXPECT_EQ(folders[3], "/usr/lib/dornel");
}

TEST_F(Loader, APathIsLoadedFromThereOnly) {
    EXPECT_EQ(AnswerOf((PluginFolder() + "/dynorder.so").c_str()), 1);
    EXPECT_EQ(AnswerOf((PluginFolder() + "/dynorder.dll").c_str()), 1);
    EXPECT_EQ(AnswerOf("/nonexistent/dynplugin.dll"), -1);
}

TEST_F(Loader, TheLoadersOwnSearchComesLast) {
    HMODULE module = LoadLibraryA("libm.so.6");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "cos"), nullptr);
    FreeLibrary(module);
}

// ----------------------------------------------------------------------------------------

TEST_F(Loader, MissingLibrariesAndExportsFailWithTheLoadersReason) {
    EXPECT_EQ(LoadLibraryA("nosuchplugin.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(platform::dynlib::DynlibErrorText().find("nosuchplugin.so"), std::string::npos);

    EXPECT_EQ(LoadLibraryA(""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    platform::dynlib::Library library("dynplugin.dll");
    ASSERT_TRUE(library.IsLoaded());
    EXPECT_EQ(platform::dynlib::DynlibErrorText(), "");
    EXPECT_EQ(library.Find<AnswerProc>("NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(platform::dynlib::DynlibErrorText().find("NoSuchExport"), std::string::npos);
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(Loader, ABrokenLibraryStopsTheSearchWithItsReason) {
    backendtest::TempRoot root;
    backendtest::WriteFile(root / "dynplugin.so", "not a shared object");
    setenv("DORNEL_PLUGIN_DIR", (root.Path() + ":" + PluginFolder()).c_str(), 1);
    EXPECT_EQ(LoadLibraryA("dynplugin.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(platform::dynlib::DynlibErrorText().find(root.Path()), std::string::npos);
}

}  // namespace
