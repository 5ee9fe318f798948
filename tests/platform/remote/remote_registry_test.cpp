// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// Another machine's registry through a real sshd on loopback running the build's
// "dornelreg --serve": every call and error code the same as the local layer on the same
// data, the connection's end with its root key, a connection that breaks or stops answering,
// connections that cannot be made, and an account that may only read the registry.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/remote/remote.h"
#include "tests/fixtures/ssh/sshserver.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string Hex(const BYTE* data, std::size_t size) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        text += digits;
    }
    return text;
}

// The ssh children of this test (one per open connection).
int Children() {
    int count = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc) return -1;
    while (dirent* entry = ::readdir(proc)) {
        if (std::atoi(entry->d_name) <= 0) continue;
        std::ifstream file("/proc/" + std::string(entry->d_name) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        int parent = 0;
        fields >> state >> parent;
        std::ifstream comm("/proc/" + std::string(entry->d_name) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (parent == ::getpid() && name == "ssh") ++count;
    }
    ::closedir(proc);
    return count;
}

// Runs the same calls under a root and writes down every result: codes, types, sizes, bytes
// and the byte after the data (to see a NUL added or not).
class Transcript {
  public:
    explicit Transcript(HKEY root) : root_(root) {}

    std::vector<std::string> Run() {
        HKEY main = nullptr;
        DWORD how = 0;
        Note("create main",
             RegCreateKeyExA(root_, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &main, &how),
             "disposition " + std::to_string(how));
        HKEY again = nullptr;
        Note("create again",
             RegCreateKeyExA(root_, "software\\ORVANE TECHNOLOGY\\zuvexbox", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &again, &how),
             "disposition " + std::to_string(how));
        RegCloseKey(again);

        const BYTE four[] = {3, 0, 0, 0};
        const char withNul[] = "C:\\dornel\\log";
        const char noNul[] = "192.168.1.20";
        Note("set binary", RegSetValueExA(main, "NumServers", 0, REG_BINARY, four, 4));
        Note("set sz", RegSetValueExA(main, "LogDirectory", 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(withNul), sizeof withNul));
        Note("set sz without nul", RegSetValueExA(main, "IPAddress", 0, REG_SZ,
                                                  reinterpret_cast<const BYTE*>(noNul), 12));
        Note("set dword", RegSetValueExA(main, "EnableDebugLog", 0, REG_DWORD, four, 4));
        Note("set expand", RegSetValueExA(main, "Path", 0, REG_EXPAND_SZ,
                                          reinterpret_cast<const BYTE*>("%X%"), 4));
        Note("set empty", RegSetValueExA(main, "Empty", 0, REG_SZ, nullptr, 0));
        Note("set default",
             RegSetValueExA(main, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2));
        Note("set replaces keeping spelling",
             RegSetValueExA(main, "numservers", 0, REG_BINARY, four, 4));
        Note("set null data", RegSetValueExA(main, "X", 0, REG_SZ, nullptr, 3));

        for (const char* name : {"NumServers", "LOGDIRECTORY", "IPAddress", "EnableDebugLog",
                                 "Path", "Empty", "", "Missing"}) {
            Query(main, name, 1024);
            Query(main, name, 2);
            Query(main, name, 12);  // exactly the address without its NUL: none added
        }
        DWORD size = 0, type = 0;
        Note("query size only",
             RegQueryValueExA(main, "LogDirectory", nullptr, &type, nullptr, &size),
             std::to_string(type) + " " + std::to_string(size));
        BYTE buffer[8];
        Note("query data without size",
             RegQueryValueExA(main, "LogDirectory", nullptr, nullptr, buffer, nullptr));

        for (const char* sub : {"Box001", "box000", "Box002", "Control", "Box002\\Deeper"}) {
            HKEY key = nullptr;
            Note(std::string("create ") + sub,
                 RegCreateKeyExA(main, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &how),
                 std::to_string(how));
            RegCloseKey(key);
        }
        for (DWORD index = 0; index < 6; ++index) {
            for (DWORD room : {256u, 6u}) {
                char name[256] = {};
                DWORD length = room;
                const LONG rc =
                    RegEnumKeyExA(main, index, name, &length, nullptr, nullptr, nullptr, nullptr);
                Note("enum key " + std::to_string(index) + "/" + std::to_string(room), rc,
                     rc == ERROR_SUCCESS ? std::string(name) + " " + std::to_string(length) : "");
            }
        }
        DWORD length = 10;
        Note("enum key without buffer",
             RegEnumKeyExA(main, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr));
        for (DWORD index = 0; index < 9; ++index) {
            for (DWORD nameRoom : {256u, 5u}) {
                for (DWORD dataRoom : {256u, 3u}) {
                    char name[256] = {};
                    DWORD nameLength = nameRoom;
                    BYTE data[256];
                    std::fill(std::begin(data), std::end(data), 0xEE);
                    DWORD dataSize = dataRoom;
                    type = 99;
                    const LONG rc = RegEnumValueA(main, index, name, &nameLength, nullptr, &type,
                                                  data, &dataSize);
                    Note("enum value " + std::to_string(index) + "/" + std::to_string(nameRoom) +
                             "/" + std::to_string(dataRoom),
                         rc,
                         std::string(name) + " " + std::to_string(nameLength) + " " +
                             std::to_string(type) + " " + std::to_string(dataSize) + " " +
                             Hex(data, std::min<DWORD>(dataSize + 1, dataRoom)));
                }
            }
        }

        HKEY key = nullptr;
        Note("open missing", RegOpenKeyExA(main, "Box009", 0, KEY_READ, &key));
        Note("open bad name", RegOpenKeyExA(main, "\\Box001", 0, KEY_READ, &key));
        Note("open itself", RegOpenKeyExA(main, "", 0, KEY_READ, &key));
        RegCloseKey(key);
        Note("delete key with subkeys", RegDeleteKeyA(main, "Box002"));
        Note("delete missing key", RegDeleteKeyA(main, "Box009"));
        Note("delete root", RegDeleteKeyA(root_, ""));
        Note("delete missing value", RegDeleteValueA(main, "Missing"));
        Note("delete value", RegDeleteValueA(main, "EMPTY"));
        Note("delete it again", RegDeleteValueA(main, "Empty"));

        // A handle whose key goes away stays safe to use.
        HKEY doomed = nullptr;
        Note("open doomed", RegOpenKeyExA(main, "Box002\\Deeper", 0, KEY_ALL_ACCESS, &doomed));
        Note("delete doomed", RegDeleteKeyA(main, "Box002\\Deeper"));
        Query(doomed, "x", 10);
        Note("set on deleted", RegSetValueExA(doomed, "x", 0, REG_BINARY, four, 4));
        char name[256];
        length = sizeof name;
        Note("enum on deleted",
             RegEnumKeyExA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
        Note("create below deleted",
             RegCreateKeyExA(doomed, "y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &how));
        Note("close doomed", RegCloseKey(doomed));

        Note("close main", RegCloseKey(main));
        Note("close main twice", RegCloseKey(main));
        return lines_;
    }

  private:
    void Note(const std::string& step, LONG rc, const std::string& detail = "") {
        lines_.push_back(step + ": " + std::to_string(rc) + (detail.empty() ? "" : " " + detail));
    }

    void Query(HKEY key, const char* name, DWORD room) {
        BYTE data[1024];
        std::fill(std::begin(data), std::end(data), 0xEE);
        DWORD type = 99;
        DWORD size = room;
        const LONG rc = RegQueryValueExA(key, name, nullptr, &type, data, &size);
        Note(std::string("query ") + name + "/" + std::to_string(room), rc,
             std::to_string(type) + " " + std::to_string(size) + " " +
                 Hex(data, std::min<DWORD>(room, size + 1)));
    }

    HKEY root_;
    std::vector<std::string> lines_;
};

class RemoteRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::string* root : {&localRoot_, &remoteRoot_}) {
            char pattern[] = "/tmp/dornel-remote-XXXXXX";
            ASSERT_NE(::mkdtemp(pattern), nullptr);
            *root = pattern;
        }
        ::setenv("DORNEL_ROOT", localRoot_.c_str(), 1);
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        ASSERT_NE(bin, nullptr);
        binDir_ = bin;
        sshd_ = std::make_unique<dorneltest::SshServer>(binDir_, remoteRoot_);
        ASSERT_TRUE(sshd_->Running()) << sshd_->Log();
        ::setenv("DORNEL_SSH", sshd_->SshCommand().c_str(), 1);
        ::unsetenv("DORNEL_REMOTE_TIMEOUT");
    }

    void TearDown() override {
        sshd_.reset();
        for (const std::string& root : {localRoot_, remoteRoot_}) {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        }
        ::unsetenv("DORNEL_SSH");
        ::unsetenv("DORNEL_REMOTE_TIMEOUT");
    }

    HKEY Connect(const std::string& machine) {
        HKEY root = nullptr;
        const LONG rc = RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, &root);
        EXPECT_EQ(rc, ERROR_SUCCESS) << platform::remote::LastConnectionError() << "\n"
                                     << sshd_->Log();
        return rc == ERROR_SUCCESS ? root : nullptr;
    }

    std::string localRoot_, remoteRoot_, binDir_;
    std::unique_ptr<dorneltest::SshServer> sshd_;
};

TEST_F(RemoteRegistryTest, EveryCallAndErrorCodeIsTheLocalLayersOnTheSameData) {
    const std::vector<std::string> local = Transcript(HKEY_LOCAL_MACHINE).Run();

    HKEY remote = Connect("\\\\" + sshd_->Host());
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(platform::remote::LastConnectionError(), "");
    EXPECT_EQ(Children(), 1) << "one ssh for the connection";
    const std::vector<std::string> far = Transcript(remote).Run();
    ASSERT_EQ(local.size(), far.size());
    for (std::size_t i = 0; i < local.size(); ++i) EXPECT_EQ(far[i], local[i]);

    // The root's end is the connection's end: ssh is gone and reaped at once.
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
    EXPECT_EQ(Children(), 0);
    EXPECT_EQ(RegCloseKey(remote), ERROR_INVALID_HANDLE);

    // It all happened in the other machine's registry.
    ::setenv("DORNEL_ROOT", remoteRoot_.c_str(), 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane Technology\\ZuvexBox\\Box001", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RemoteRegistryTest, KeysOfAClosedConnectionFailAndCloseCleanly) {
    HKEY remote = Connect(sshd_->Host());
    ASSERT_NE(remote, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(remote, "SOFTWARE\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_NETNAME_DELETED);
    EXPECT_NE(platform::remote::LastConnectionError(), "");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(Children(), 0);
}

TEST_F(RemoteRegistryTest, ALostConnectionFailsEveryLaterCallWithItsReason) {
    HKEY remote = Connect(sshd_->Host());
    ASSERT_NE(remote, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(remote, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);

    // sshd goes away in the middle of the work: the next write fails, and so does every
    // call after it, without waiting for anything.
    sshd_->KillSessions();
    const BYTE one[] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExA(key, "NumServers", 0, REG_BINARY, one, 4), ERROR_NETNAME_DELETED);
    const std::string reason = platform::remote::LastConnectionError();
    EXPECT_NE(reason.find("lost"), std::string::npos) << reason;
    EXPECT_EQ(RegSetValueExA(key, "NumServers", 0, REG_BINARY, one, 4), ERROR_NETNAME_DELETED);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(remote, "SOFTWARE", 0, KEY_READ, &other), ERROR_NETNAME_DELETED);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(Children(), 0) << "the ended ssh was reaped";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);

    // A new connection works again.
    HKEY fresh = Connect(sshd_->Host());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(RegCloseKey(fresh), ERROR_SUCCESS);
}

TEST_F(RemoteRegistryTest, AServerThatStopsAnsweringIsGivenUpAfterTheTimeLimit) {
    HKEY remote = Connect(sshd_->Host());
    ASSERT_NE(remote, nullptr);
    ::setenv("DORNEL_REMOTE_TIMEOUT", "1", 1);
    sshd_->FreezeSessions(true);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(remote, "SOFTWARE", 0, KEY_READ, &key), ERROR_NETNAME_DELETED);
    const std::string reason = platform::remote::LastConnectionError();
    EXPECT_NE(reason.find("no answer"), std::string::npos) << reason;
    sshd_->FreezeSessions(false);
    EXPECT_EQ(Children(), 0) << "the silent ssh was stopped and reaped";
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
}

TEST_F(RemoteRegistryTest, AConnectionThatCannotBeMadeSaysWhy) {
    HKEY root = reinterpret_cast<HKEY>(1);
    // Nothing listens on the port: ssh's own words come back.
    const std::string refused = sshd_->Host() + ":1";
    EXPECT_EQ(RegConnectRegistryA(refused.c_str(), HKEY_LOCAL_MACHINE, &root), ERROR_BAD_NETPATH);
    EXPECT_EQ(root, nullptr);
    EXPECT_NE(platform::remote::LastConnectionError().find("refused"), std::string::npos)
        << platform::remote::LastConnectionError();

    // A key the server does not know: batch mode fails at once instead of prompting.
    const std::string stranger = "nobody-dornel@" + sshd_->Host();
    EXPECT_EQ(RegConnectRegistryA(stranger.c_str(), HKEY_LOCAL_MACHINE, &root), ERROR_BAD_NETPATH);
    EXPECT_NE(platform::remote::LastConnectionError(), "");

    // A name ssh would take for an option never reaches it.
    EXPECT_EQ(RegConnectRegistryA("-oProxyCommand=false", HKEY_LOCAL_MACHINE, &root),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Children(), 0);

    // The machine answers but has no dornelreg on the account's PATH.
    dorneltest::SshServer bare("/nonexistent", remoteRoot_, "/nonexistent-either");
    ASSERT_TRUE(bare.Running());
    ::setenv("DORNEL_SSH", bare.SshCommand().c_str(), 1);
    EXPECT_EQ(RegConnectRegistryA(bare.Host().c_str(), HKEY_LOCAL_MACHINE, &root),
              ERROR_BAD_NETPATH);
    EXPECT_NE(platform::remote::LastConnectionError().find("dornelreg was not found"),
              std::string::npos)
        << platform::remote::LastConnectionError();
    EXPECT_EQ(Children(), 0);
}

// The hook the applets use: in interactive mode ssh asks for a key's passphrase through the
// SSH_ASKPASS program (a dialog there, a script here); in batch mode it never asks.
TEST_F(RemoteRegistryTest, APassphraseIsAskedThroughAskpassOnlyWhenPromptingIsAllowed) {
    const std::string folder = sshd_->Folder();
    ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N 'open sesame' -f " + folder +
                           "/locked >/dev/null && cat " + folder + "/locked.pub >> " + folder +
                           "/authorized_keys")
                              .c_str()),
              0);
    // A client configuration that offers only the locked key.
    std::ifstream in(folder + "/config");
    std::ofstream out(folder + "/locked_config");
    for (std::string line; std::getline(in, line);) {
        if (line.find("IdentityFile") != std::string::npos)
            line = "  IdentityFile " + folder + "/locked";
        out << line << "\n";
    }
    out.close();
    const std::string askpass = folder + "/askpass.sh";
    std::ofstream(askpass) << "#!/bin/sh\necho \"$1\" >> " << folder
                           << "/asked\necho 'open sesame'\n";
    ASSERT_EQ(::chmod(askpass.c_str(), 0755), 0);
    ::setenv("DORNEL_SSH", ("ssh -F " + folder + "/locked_config").c_str(), 1);
    ::setenv("SSH_ASKPASS", askpass.c_str(), 1);
    ::unsetenv("SSH_ASKPASS_REQUIRE");

    HKEY root = nullptr;
    EXPECT_EQ(RegConnectRegistryA(sshd_->Host().c_str(), HKEY_LOCAL_MACHINE, &root),
              ERROR_BAD_NETPATH);
    EXPECT_FALSE(std::filesystem::exists(folder + "/asked")) << "batch mode never prompts";

    platform::remote::SetPrompting(platform::remote::Prompting::Interactive);
    const LONG rc = RegConnectRegistryA(sshd_->Host().c_str(), HKEY_LOCAL_MACHINE, &root);
    platform::remote::SetPrompting(platform::remote::Prompting::Batch);
    ::unsetenv("SSH_ASKPASS");
    ASSERT_EQ(rc, ERROR_SUCCESS) << platform::remote::LastConnectionError();
    std::ifstream asked(folder + "/asked");
    std::string prompt;
    std::getline(asked, prompt);
    EXPECT_NE(prompt.find("passphrase"), std::string::npos) << prompt;
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, "SOFTWARE\\Through the dialog", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// A local account for the test: a shell (sshd runs the command through it) and a password
// field that is not locked (sshd refuses locked accounts); removed at the end.
class TestAccount {
  public:
    explicit TestAccount(std::string name) : name_(std::move(name)) {
        Quiet("userdel " + name_);
        made_ = Quiet("useradd -M -s /bin/sh -c 'dornel remote test' " + name_) &&
                Quiet("usermod -p '*' " + name_);
    }
    ~TestAccount() {
        // Its last ssh session may take a moment to end after the connection closed.
        for (int attempt = 0; made_ && attempt < 50; ++attempt) {
            if (Quiet("userdel " + name_)) return;
            ::usleep(100000);
        }
        if (made_) Quiet("userdel -f " + name_);
    }
    bool Made() const { return made_; }
    const std::string& Name() const { return name_; }

  private:
    static bool Quiet(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    std::string name_;
    bool made_ = false;
};

TEST_F(RemoteRegistryTest, AnAccountThatMayOnlyReadIsRefusedEveryWriteAsLocally) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a local account";
    TestAccount reader("dnlro" + std::to_string(::getpid() % 100000));
    ASSERT_TRUE(reader.Made());

    // The registry of the far machine, readable by everyone and writable by root only.
    HKEY admin = Connect(sshd_->Host());
    ASSERT_NE(admin, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(admin, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const BYTE two[] = {2, 0, 0, 0};
    ASSERT_EQ(RegSetValueExA(key, "NumServers", 0, REG_BINARY, two, 4), ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(admin);
    ASSERT_EQ(::chmod(remoteRoot_.c_str(), 0755), 0);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ::chmod((remoteRoot_ + "/registry.db" + suffix).c_str(), 0644);
    }

    HKEY root = Connect(reader.Name() + "@" + sshd_->Host());
    ASSERT_NE(root, nullptr);
    // Closed however the test ends, so the account's session ends before it is removed.
    std::unique_ptr<RegistryKey, LONG (*)(HKEY)> closeRoot(root, RegCloseKey);
    ASSERT_EQ(RegOpenKeyExA(root, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    BYTE data[4] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "NumServers", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 2);
    const BYTE one[] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExA(key, "NumServers", 0, REG_BINARY, one, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "NumServers"), ERROR_ACCESS_DENIED);
    HKEY made = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(key, "Control", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr),
        ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    closeRoot.reset();

    // The same account on that machine itself gets the same answer from dornelreg.
    const std::string local = "DORNEL_ROOT=" + remoteRoot_ + " setpriv --reuid=" + reader.Name() +
                              " --regid=" + reader.Name() + " --clear-groups " + binDir_ +
                              "/dornelreg add \"HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\" "
                              "/v NumServers /t REG_BINARY /d 01000000 /f 2>&1";
    FILE* pipe = ::popen(local.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_NE(::pclose(pipe), 0);
    EXPECT_NE(output.find("Access is denied."), std::string::npos) << output;

    // Nothing was changed.
    ::setenv("DORNEL_ROOT", remoteRoot_.c_str(), 1);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane Technology\\ZuvexBox", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "NumServers", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 2);
    RegCloseKey(key);
}

}  // namespace
