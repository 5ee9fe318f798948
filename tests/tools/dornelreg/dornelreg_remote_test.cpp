// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// dornelreg on another machine's registry, through a real sshd on loopback: every command
// gives what it gives locally on the same data (a .reg export byte for byte), whichever form
// names the machine, and a machine that cannot be reached is reported with ssh's reason.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fixtures/ssh/sshserver.h"

namespace {

struct Result {
    int status = -1;
    std::string output;  // standard output, then standard error
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A .reg file with every kind of value the applet and the server use, and a few they do not.
constexpr const char* kSetup = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox]
"NumServers"=hex:02,00,00,00
"LogDirectory"="C:\\dornel\\log"
"SpawnUser"=hex(1):61,64,6d,69,6e
"Path"=hex(2):25,00
"EnableDebugLog"=dword:00000001
@="default"

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\Box000]
"IPAddress"=hex(1):31,32,37,2e,30,2e,30,2e,32

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\box 001 with spaces]
"Message"="Say \"hello\""
)";

class DornelregRemoteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::string* root : {&localRoot_, &remoteRoot_}) {
            char pattern[] = "/tmp/dornel-regremote-XXXXXX";
            ASSERT_NE(::mkdtemp(pattern), nullptr);
            *root = pattern;
        }
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        binDir_ = bin;
        sshd_ = std::make_unique<dorneltest::SshServer>(binDir_, remoteRoot_);
        ASSERT_TRUE(sshd_->Running()) << sshd_->Log();
        std::ofstream(localRoot_ + "/setup.reg") << kSetup;
    }

    void TearDown() override {
        sshd_.reset();
        for (const std::string& root : {localRoot_, remoteRoot_}) {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        }
    }

    // Runs the build's dornelreg with the local root and DORNEL_SSH aimed at the test server.
    Result Dornelreg(const std::vector<std::string>& args) const {
        int out[2];
        if (::pipe(out) != 0) return {};
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::close(out[0]);
            ::setenv("DORNEL_ROOT", localRoot_.c_str(), 1);
            ::setenv("DORNEL_SSH", sshd_->SshCommand().c_str(), 1);
            const std::string program = binDir_ + "/dornelreg";
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        Result result;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    std::string localRoot_, remoteRoot_, binDir_;
    std::unique_ptr<dorneltest::SshServer> sshd_;
};

TEST_F(DornelregRemoteTest, EveryCommandThroughMachineGivesWhatItGivesLocally) {
    const std::string setup = localRoot_ + "/setup.reg";
    const std::string host = sshd_->Host();
    const std::string key = "HKLM\\SOFTWARE\\Orvane Technology";
    ASSERT_EQ(Dornelreg({"import", setup}).status, 0);
    const Result imported = Dornelreg({"--machine", host, "import", setup});
    ASSERT_EQ(imported.status, 0) << imported.output;

    // The export through the machine is the local one, byte for byte, in each form of name.
    const std::string local = localRoot_ + "/local.reg";
    ASSERT_EQ(Dornelreg({"export", key, local}).status, 0);
    ASSERT_NE(ReadFile(local).find("\"SpawnUser\"=hex(1):61,64,6d,69,6e"), std::string::npos);
    const std::string port = std::to_string(sshd_->Port());
    int n = 0;
    for (const std::vector<std::string>& form : {std::vector<std::string>{"--machine", host},
                                                 {"\\\\" + host},
                                                 {"--machine", "root@127.0.0.1:" + port}}) {
        const std::string far = localRoot_ + "/remote" + std::to_string(n++) + ".reg";
        std::vector<std::string> args = form;
        for (const std::string& arg : {std::string("export"), key, far}) args.push_back(arg);
        const Result exported = Dornelreg(args);
        ASSERT_EQ(exported.status, 0) << exported.output;
        EXPECT_EQ(ReadFile(far), ReadFile(local)) << form.back();
    }
    // A key that names the machine itself works too.
    const std::string named = localRoot_ + "/named.reg";
    ASSERT_EQ(Dornelreg({"export", "\\\\" + host + "\\" + key, named}).status, 0);
    EXPECT_EQ(ReadFile(named), ReadFile(local));

    // Query, add, delete and their failures read the same on both sides.
    const std::vector<std::vector<std::string>> commands = {
        {"query", key, "/s"},
        {"query", key + "\\ZuvexBox", "/v", "numservers"},
        {"add", key + "\\ZuvexBox", "/v", "NumServers", "/t", "REG_BINARY", "/d", "03000000"},
        {"add", key + "\\ZuvexBox", "/v", "NumServers", "/t", "REG_BINARY", "/d", "03000000", "/f"},
        {"delete", key + "\\ZuvexBox", "/f"},
        {"delete", key + "\\ZuvexBox\\Box000", "/v", "IPAddress", "/f"},
        {"delete", key + "\\ZuvexBox\\Box000", "/v", "IPAddress", "/f"},
        {"query", key + "\\Nothing"},
        {"query", key, "/s"},
    };
    for (const auto& command : commands) {
        const Result here = Dornelreg(command);
        std::vector<std::string> args{"--machine", host};
        args.insert(args.end(), command.begin(), command.end());
        const Result there = Dornelreg(args);
        EXPECT_EQ(there.status, here.status) << command[0] << " " << command[1];
        EXPECT_EQ(there.output, here.output) << command[0] << " " << command[1];
    }
}

TEST_F(DornelregRemoteTest, AMachineThatCannotBeReachedIsReportedWithTheReason) {
    const std::string key = "HKLM\\SOFTWARE";
    Result result = Dornelreg({"--machine", sshd_->Host() + ":1", "query", key});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("ERROR: Cannot connect to \\\\" + sshd_->Host() + ":1"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Connection refused"), std::string::npos) << result.output;

    // Two different machines for one command is a usage error (2), caught before connecting.
    result = Dornelreg({"--machine", sshd_->Host(), "query", "\\\\elsewhere\\HKLM\\SOFTWARE"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.output.find("Invalid syntax"), std::string::npos) << result.output;
    result = Dornelreg({"--machine"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.output.find("Invalid syntax"), std::string::npos) << result.output;
}

}  // namespace
