// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// dornelcpl run as a program: the applet list from the build's folder and DORNEL_APPLET_DIR,
// libraries that are broken or are no applets, and the exit statuses of its usage.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class DornelcplTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        bin_ = bin;
        char pattern[] = "/tmp/dornelcpl-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "applets");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Runs dornelcpl with the arguments (already quoted) and DORNEL_APPLET_DIR.
    ToolRun Dornelcpl(const std::string& args, const std::string& appletDir = "") {
        const std::string command = "env DORNEL_APPLET_DIR='" + appletDir + "' DORNEL_ROOT='" +
                                    (dir_ / "root").string() + "' timeout 30 '" + bin_ +
                                    "/dornelcpl' " + args + " >'" + (dir_ / "out").string() +
                                    "' 2>'" + (dir_ / "err").string() + "' </dev/null";
        const int raw = std::system(command.c_str());
        ToolRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(dir_ / "out");
        run.err = ReadFile(dir_ / "err");
        return run;
    }

    std::string bin_;
    fs::path dir_;
};

TEST_F(DornelcplTest, ListsEveryAppletOnceAndReportsBrokenLibraries) {
    const fs::path applets = dir_ / "applets";
    // The same applet under another name, a copy that the build's own shadows, a library
    // that does not load, and a file that is no library at all.
    fs::copy_file(bin_ + "/zuvexcpl.so", applets / "second.so");
    fs::copy_file(bin_ + "/zuvexcpl.so", applets / "zuvexcpl.so");
    std::ofstream(applets / "broken.so") << "not an ELF file\n";
    std::ofstream(applets / "notes.txt") << "ignored\n";

    const ToolRun run = Dornelcpl("--list", applets.string());
    EXPECT_EQ(run.status, 0) << run.err;
    // The build's own folder also holds the log viewer when it was built.
    const std::string logViewer =
        fs::exists(bin_ + "/dnlogview.so") ? "dnlogview\tDornel Log\tDornel Logging Utility\n" : "";
    EXPECT_EQ(run.out, logViewer +
                           "zuvexcpl\tDornel\tDornel Configuration Applet\n"
                           "second\tDornel\tDornel Configuration Applet\n");
    EXPECT_NE(run.err.find("cannot load " + (applets / "broken.so").string()), std::string::npos)
        << run.err;
    // Plug-ins beside the applets are no applets and are passed over in silence.
    EXPECT_EQ(run.err.find("custauth"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("printlink"), std::string::npos) << run.err;
}

TEST_F(DornelcplTest, OpeningFailsClearlyForAMissingBrokenOrForeignLibrary) {
    const fs::path applets = dir_ / "applets";
    std::ofstream(applets / "broken.so") << "not an ELF file\n";

    ToolRun run = Dornelcpl("nothere", applets.string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no applet library nothere.so in " + bin_ + ", " + applets.string() +
                           ", /usr/lib/dornel"),
              std::string::npos)
        << run.err;

    run = Dornelcpl("broken", applets.string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load " + (applets / "broken.so").string()), std::string::npos)
        << run.err;

    if (fs::exists(bin_ + "/custauth.so")) {
        run = Dornelcpl("custauth");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("is not an applet library"), std::string::npos) << run.err;
    }
}

TEST_F(DornelcplTest, UsageErrorsExitWithTwoAndHelpWithZero) {
    for (const char* args : {"", "--bogus", "zuvexcpl extra", "''"}) {
        const ToolRun run = Dornelcpl(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("Usage: dornelcpl --list"), std::string::npos) << args;
        EXPECT_EQ(run.out, "") << args;
    }
    const ToolRun help = Dornelcpl("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status: 0 done, 1 failed or refused"), std::string::npos);
    EXPECT_NE(help.out.find("2 usage error"), std::string::npos);
    EXPECT_NE(help.out.find("DORNEL_APPLET_DIR"), std::string::npos);
}

}  // namespace
