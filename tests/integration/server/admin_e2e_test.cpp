// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// What an administrator meets, end to end with the real programs: "dornelman --check" on a
// clean site and on each mistake a site makes; the box overview of "dornelsc boxes" with a
// real boxsim box and an address nobody answers on; the once-per-outage reports of an
// unreachable box; the PAM file as the site's; the exit codes and switches of every tool;
// the default root without DORNEL_ROOT. Parts that need root (running a tool as "nobody")
// skip without it.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace {

using namespace sessiontest;
using namespace std::chrono_literals;

const std::string kConfig = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox";

std::string BinDir() {
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    return bin ? bin : "build/bin";
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsRoot() { return ::geteuid() == 0; }
bool HaveSetpriv() { return IsRoot() && std::system("command -v setpriv >/dev/null 2>&1") == 0; }

// How a program is run: its environment changes, and whether as the account "nobody".
struct RunOptions {
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
    bool asNobody = false;
};

// Runs a program with its output and errors captured; status -1 when it did not end in time
// (it is killed then).
ToolResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {}, std::chrono::milliseconds timeout = 30s) {
    ToolResult result;
    std::vector<std::string> words;
    if (options.asNobody) {
        words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        if (::access(words[0].c_str(), X_OK) != 0) words[0] = "/bin/setpriv";
    }
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, 0);
        for (const std::string& name : options.unset) ::unsetenv(name.c_str());
        for (const auto& [name, value] : options.set) ::setenv(name.c_str(), value.c_str(), 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return result;
    }
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool ended = false;
    for (;;) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
        if (!ended && ::waitpid(pid, &status, WNOHANG) == pid) ended = true;
        if (ended && n == 0) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(10ms);
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        result.status = -1;
    } else {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::close(fds[0]);
    return result;
}

// The environment the harness gives its tools, for a program run outside it.
RunOptions HarnessEnvironment(const ServerHarness& server) {
    RunOptions options;
    options.set = {{"DORNEL_ROOT", server.root()},
                   {"DORNEL_UNIT_DIR", server.root() + "/units"},
                   {"DORNEL_PAM_DIR", server.root() + "/pam"},
                   {"DORNEL_EPM_PORT", std::to_string(server.epmPort())},
                   {"DORNEL_RPC_ADDRESS", ServerHarness::kRpcAddress}};
    return options;
}

// A listening TCP socket on 127.0.0.1:port, closed when it goes.
class TakenPort {
  public:
    explicit TakenPort(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = fd_ >= 0 &&
              ::bind(fd_, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
              ::listen(fd_, 4) == 0;
    }
    ~TakenPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    bool ok() const { return ok_; }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

// A box of the configuration at the address, with the defaults of BoxSetup.
BoxSetup Box(const std::string& address) {
    BoxSetup box;
    box.address = address;
    return box;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text) {
    int count = 0;
    for (const std::string& line : lines) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

// --- dornelman --check ---------------------------------------------------------------

// A clean two-box site (custom plug-ins for logon and balances).
void ConfigureCleanSite(ServerHarness& server) {
    ASSERT_TRUE(server.Configure({Box(BoxAddress(0)), Box(BoxAddress(1))}));
}

ToolResult Check(const ServerHarness& server) { return server.Tool("dornelman", {"--check"}); }

TEST(ConfigurationCheck, ACleanSitePasses) {
    ServerHarness server;
    ConfigureCleanSite(server);
    ToolResult result = Check(server);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("dornelman --check: no problems found"), std::string::npos)
        << result.output;
    // -t is the same check.
    EXPECT_EQ(server.Tool("dornelman", {"-t"}).status, 0);
}

// A root without a registry is most likely a wrong DORNEL_ROOT: said so, and nothing is
// created there.
TEST(ConfigurationCheck, ARootWithoutARegistryIsNamedAndLeftAlone) {
    ServerHarness server;
    RunOptions options = HarnessEnvironment(server);
    const std::string empty = server.root() + "/not-the-root";
    options.set["DORNEL_ROOT"] = empty;
    ToolResult result = RunProgram(BinDir() + "/dornelman", {"--check"}, options);
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find(empty + "/registry.db: no registry here"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("set DORNEL_ROOT"), std::string::npos) << result.output;
    EXPECT_FALSE(std::filesystem::exists(empty));
}

// One mistake an administrator makes: registry lines over the clean site, anything else it
// needs, and the texts the check must print for it.
struct Mistake {
    const char* name;
    std::function<std::string(ServerHarness&)> make;  // returns .reg lines to import
    std::vector<std::string> expected;
};

TEST(ConfigurationCheck, EachMistakeIsNamedWithItsKeyAndWhatToDo) {
    const std::vector<Mistake> mistakes = {
        {"AuthType stored as text",
         [](ServerHarness&) { return kConfig + "\\Box000]\n\"AuthType\"=\"0\"\n"; },
         {"ZuvexBox\\Box000 AuthType = \"0\" (REG_SZ): a number stored as text",
          "/t REG_DWORD /d 0 /f"}},
        {"NumServers stored as text",
         [](ServerHarness&) { return kConfig + "]\n\"NumServers\"=\"2\"\n"; },
         {"ZuvexBox NumServers = \"2\" (REG_SZ)"}},
        {"unknown AuthType",
         [](ServerHarness&) { return kConfig + "\\Box000]\n\"AuthType\"=dword:00000005\n"; },
         {"Box000 AuthType = 5: out of range"}},
        {"unknown PrintLinkType",
         [](ServerHarness&) { return kConfig + "\\Box001]\n\"PrintLinkType\"=dword:00000004\n"; },
         {"Box001 PrintLinkType = 4: out of range"}},
        {"a box without IPAddress",
         [](ServerHarness&) { return kConfig + "\\Box001]\n\"IPAddress\"=-\n"; },
         {"Box001 IPAddress: missing; the box is not started"}},
        {"two boxes with one address",
         [](ServerHarness&) {
             return kConfig + "\\Box001]\n\"IPAddress\"=\"" + BoxAddress(0) + "\"\n";
         },
         {"Box001 IPAddress = \"" + BoxAddress(0) + "\": the same address as Box000"}},
        {"a missing log folder",
         [](ServerHarness&) { return kConfig + "]\n\"LogDirectory\"=\"C:\\\\nolog\"\n"; },
         {"LogDirectory = \"C:\\nolog\"", "the folder does not exist"}},
        {"a log folder that is a file",
         [](ServerHarness& server) {
             std::ofstream(server.root() + "/c/logfile") << "x";
             return kConfig + "]\n\"LogDirectory\"=\"C:\\\\logfile\"\n";
         },
         {"LogDirectory = \"C:\\logfile\"", "not a folder"}},
        {"a TFTP folder inside the registry's folder",
         [](ServerHarness& server) {
             std::filesystem::create_directories(server.root() + "/tftp");
             ::chmod(server.root().c_str(), 0755);
             ::chmod((server.root() + "/tftp").c_str(), 0755);
             const std::string secret = server.root() + "/tftp/private.bin";
             std::ofstream(secret) << "x";
             ::chmod(secret.c_str(), 0600);
             return kConfig + "]\n\"TFTPActive\"=dword:00000001\n";
         },
         {"TFTPDirectory = \"", "inside the run's root", "outside its drive folders"}},
        {"a TFTP folder without the boot image and with a file it refuses",
         [](ServerHarness& server) {
             const std::string folder = server.root() + "/c/boot";
             std::filesystem::create_directories(folder);
             ::chmod(server.root().c_str(), 0755);
             for (const char* dir : {"/c", "/c/boot"}) ::chmod((server.root() + dir).c_str(), 0755);
             const std::string secret = folder + "/private.bin";
             std::ofstream(secret) << "x";
             ::chmod(secret.c_str(), 0600);
             return kConfig +
                    "]\n\"TFTPActive\"=dword:00000001\n\"TFTPDirectory\"=\"C:\\\\boot\"\n";
         },
         {"no boot image orvane.bin", "/c/boot/private.bin: not readable by everyone"}},
        {"account.exe missing and the spawn account unknown",
         [](ServerHarness&) {
             return kConfig +
                    "]\n\"SpawnUser\"=\"dornel-admin-nosuch\"\n\"SpawnPasswd\"=\"Pa55-secret\"\n" +
                    kConfig +
                    "\\Box000]\n\"AuthType\"=dword:00000000\n\"PrintLinkType\"=dword:00000000\n"
                    "\"PCounterLocation\"=\"C:\\\\PCounter\"\n";
         },
         {"SpawnUser = \"dornel-admin-nosuch\": no such account", "account.exe of Box000 (",
          "/c/PCounter/account.exe): missing"}},
        {"account.exe not executable by the spawn account",
         [](ServerHarness& server) {
             std::filesystem::create_directories(server.root() + "/c/PCounter");
             std::ofstream(server.root() + "/c/PCounter/account.exe") << "#!/bin/sh\n";
             ::chmod((server.root() + "/c/PCounter/account.exe").c_str(), 0644);
             return kConfig + "]\n\"SpawnUser\"=\"root\"\n" + kConfig +
                    "\\Box000]\n\"AuthType\"=dword:00000000\n\"PrintLinkType\"=dword:00000000\n"
                    "\"PCounterLocation\"=\"C:\\\\PCounter\"\n";
         },
         {"/c/PCounter/account.exe): not executable by the spawn account root"}},
        {"malformed DHCP host keys",
         [](ServerHarness&) {
             return kConfig + "\\DHCP\\00:40:05:43:7D:1D]\n\"IPADDR\"=\"10.0.0.5\"\n\n" + kConfig +
                    "\\DHCP\\00-40-05-43-7D-1E]\n\"IPADDR\"=\"10.0.0.300\"\n";
         },
         {"DHCP\\00:40:05:43:7D:1D: not a hardware address",
          "DHCP\\00-40-05-43-7D-1E IPADDR = \"10.0.0.300\": not a dotted IPv4 address"}},
    };
    for (const Mistake& mistake : mistakes) {
        SCOPED_TRACE(mistake.name);
        ServerHarness server;
        ConfigureCleanSite(server);
        ASSERT_TRUE(server.Import(mistake.make(server)));
        ToolResult result = Check(server);
        EXPECT_EQ(result.status, 1) << result.output;
        for (const std::string& text : mistake.expected) {
            EXPECT_NE(result.output.find(text), std::string::npos) << "missing: " << text << "\n"
                                                                   << result.output;
        }
        EXPECT_NE(result.output.find("problem"), std::string::npos);
        // Never a password, not even a wrong one.
        EXPECT_EQ(result.output.find("Pa55-secret"), std::string::npos) << result.output;
    }
}

// Plug-ins are looked for as the service looks for them: beside the program first, then in
// DORNEL_PLUGIN_DIR. A copy of dornelman in a folder of its own sees only the test's.
TEST(ConfigurationCheck, APlugInThatDoesNotLoadOrLacksAnExportIsNamed) {
    ServerHarness server;
    ConfigureCleanSite(server);
    const std::string programDir = server.root() + "/program";
    const std::string pluginDir = server.root() + "/plugins";
    std::filesystem::create_directories(programDir);
    std::filesystem::create_directories(pluginDir);
    std::filesystem::copy_file(BinDir() + "/dornelman", programDir + "/dornelman");
    // A "custauth" that is really the PrintLink plug-in: it loads, but lacks AuthUser.
    std::filesystem::copy_file(BinDir() + "/printlink.so", pluginDir + "/custauth.so");

    RunOptions options = HarnessEnvironment(server);
    options.set["DORNEL_PLUGIN_DIR"] = pluginDir;
    ToolResult result = RunProgram(programDir + "/dornelman", {"--check"}, options);
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("plug-in custauth.dll (custauth.so): lacks the export InitAuth"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("plug-in printlink.dll (printlink.so): does not load"),
              std::string::npos)
        << result.output;
}

TEST(ConfigurationCheck, ATakenEndpointMapperPortIsNamed) {
    ServerHarness server;
    ConfigureCleanSite(server);
    TakenPort taken(server.epmPort());
    ASSERT_TRUE(taken.ok());
    ToolResult result = Check(server);
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("endpoint mapper TCP port " + std::to_string(server.epmPort()) +
                                 " on 127.0.0.1: taken by another program"),
              std::string::npos)
        << result.output;
}

TEST(ConfigurationCheck, TheMapperAddressIsReadAsTheListenersReadIt) {
    ServerHarness server;
    ConfigureCleanSite(server);
    RunOptions options = HarnessEnvironment(server);
    // A host name is an address the listeners take: nothing to report.
    options.set["DORNEL_RPC_ADDRESS"] = "localhost";
    ToolResult byName = RunProgram(BinDir() + "/dornelman", {"--check"}, options);
    EXPECT_EQ(byName.status, 0) << byName.output;
    // A name that resolves to nothing is named.
    options.set["DORNEL_RPC_ADDRESS"] = "no-such-host.invalid";
    ToolResult unknown = RunProgram(BinDir() + "/dornelman", {"--check"}, options);
    EXPECT_EQ(unknown.status, 1) << unknown.output;
    EXPECT_NE(unknown.output.find("DORNEL_RPC_ADDRESS = \"no-such-host.invalid\": not an IPv4 "
                                  "address, nor a name of one"),
              std::string::npos)
        << unknown.output;
}

// --- Failures the running server names ----------------------------------------------------

TEST(ServerFailures, ATakenMapperPortIsAnErrorEntryThatNamesIt) {
    ServerHarness server;
    ScriptedBox box(BoxAddress(2));
    ASSERT_TRUE(server.Configure({Box(box.address())}));
    TakenPort taken(server.epmPort());
    ASSERT_TRUE(taken.ok());
    ASSERT_TRUE(server.Start());
    const std::string text = "ERROR: the endpoint mapper's TCP port " +
                             std::to_string(server.epmPort()) + " is taken by another program";
    // The start has written its notices by the time it reports running.
    std::string events;
    for (const std::string& line : server.EventLog()) events += line + "\n";
    EXPECT_NE(events.find("| error | 107 | " + text), std::string::npos) << events;
    EXPECT_EQ(CountLines(server.EventLog(), "| error | 107 | " + text), 1);
}

// One box served by a real boxsim, one at an address nobody answers on.
TEST(BoxOverview, ShowsEachBoxStateFailureAndUserAndReportsAnOutageOnce) {
    ServerHarness server;
    const std::string live = BoxAddress(3);
    const std::string away = BoxAddress(4);
    ASSERT_TRUE(server.Configure({Box(live), Box(away)}));
    ASSERT_TRUE(server.AddUser("alice", "pw-alice", 12.5));
    const std::string script = server.root() + "/box.script";
    std::ofstream(script) << "auth alice|pw-alice\nexpect 12\nwait 60000\n";
    BackgroundTool boxsim(BinDir() + "/boxsim",
                          {"--address", live, "--script", script, "--once", "--timeout", "90"},
                          server.root() + "/boxsim.out");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForRecord(0, kAuthOK, {}, 20s)) << boxsim.Output();
    const std::string unreachable = "WARNING: Box001 at " + away +
                                    " cannot be reached: "
                                    "connection refused; retrying every second";
    ASSERT_TRUE(server.WaitForEvent(100, unreachable, 10s));

    ToolResult text = server.Tool("dornelsc", {"boxes", "dornelman"});
    EXPECT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("0  Box000  " + live + "  connected since "), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("user: alice"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("1  Box001  " + away + "  off line since "), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("last failure: connection refused at "), std::string::npos)
        << text.output;

    ToolResult json = server.Tool("dornelsc", {"boxes", "dornelman", "--json"});
    EXPECT_EQ(json.status, 0) << json.output;
    for (const std::string& field :
         {std::string("\"service\": \"dornelman\""), std::string("\"number\": 0"),
          "\"address\": \"" + live + "\"", std::string("\"state\": \"connected\""),
          std::string("\"user\": \"alice\""), std::string("\"state\": \"offline\""),
          std::string("\"last_failure\": \"connection refused\"")}) {
        EXPECT_NE(json.output.find(field), std::string::npos) << field << "\n" << json.output;
    }
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        std::ofstream(server.root() + "/boxes.json") << json.output;
        EXPECT_EQ(std::system(("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                               "assert len(d[\"boxes\"]) == 2' '" +
                               server.root() + "/boxes.json'")
                                  .c_str()),
                  0)
            << json.output;
    }

    // Seconds of failed attempts later: still one report, and one connect record.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(CountLines(server.EventLog(), "Box001 at " + away + " cannot be reached"), 1);
    // Like every warning of the server, an information entry with id 100.
    EXPECT_EQ(CountLines(server.EventLog(), "| information | 100 | " + unreachable), 1);
    int attempts = 0;
    for (const LogRecord& record : server.Log()) {
        if (record.box == 1 && record.type == kDebug &&
            record.data.rfind("Attempting to connect", 0) == 0) {
            ++attempts;
        }
    }
    EXPECT_EQ(attempts, 1);

    // A control code for the box that is not connected is taken, and said to miss it.
    ToolResult control = server.Control(129, 1);
    EXPECT_EQ(control.status, 0) << control.output;
    EXPECT_NE(control.output.find("Box001 (" + away +
                                  ") is not connected (off line: "
                                  "connection refused); the request does not reach it"),
              std::string::npos)
        << control.output;
    // For the connected box it says nothing of the kind; the overview shows it held off line.
    control = server.Control(129, 0);
    EXPECT_EQ(control.status, 0) << control.output;
    EXPECT_EQ(control.output.find("is not connected"), std::string::npos) << control.output;
    ASSERT_TRUE(server.WaitForRecord(0, kOfflineRequest, {}, 5s));
    bool held = false;
    for (int i = 0; i < 50 && !held; ++i) {
        held = server.Tool("dornelsc", {"boxes", "dornelman"}).output.find("(held off line)") !=
               std::string::npos;
        if (!held) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(held);

    // The box comes up: one report that it is back.
    ScriptedBox back(away);
    EXPECT_TRUE(server.WaitForEvent(108, "Box001 at " + away + " can be reached again", 10s));
    EXPECT_TRUE(back.WaitForConnections(1, 10s));
}

// A "box" that answers every frame the server sends with a frame that is not an
// acknowledgement (a bad checksum): the key exchange is never acknowledged.
class GarblingBox {
  public:
    explicit GarblingBox(const std::string& address) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(3245);
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        ok_ = ::bind(listener_, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
              ::listen(listener_, 4) == 0;
        if (ok_) thread_ = std::thread([this] { Serve(); });
    }
    ~GarblingBox() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    GarblingBox(const GarblingBox&) = delete;
    GarblingBox& operator=(const GarblingBox&) = delete;
    bool ok() const { return ok_; }

  private:
    // Bounded: polls in short slices until the destructor asks it to end.
    void Serve() {
        int connection = -1;
        while (!stop_) {
            pollfd p{connection >= 0 ? connection : listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (connection < 0) {
                connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            char buffer[2048];
            if (::recv(connection, buffer, sizeof buffer, 0) <= 0) break;
            const char junk[12] = {0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
            ::send(connection, junk, sizeof junk, MSG_NOSIGNAL);
        }
        if (connection >= 0) ::close(connection);
    }

    int listener_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(BoxOverview, AKeyExchangeTheBoxNeverAcknowledgesIsNamed) {
    ServerHarness server;
    const std::string address = BoxAddress(5);
    ASSERT_TRUE(server.Configure({Box(address)}));
    GarblingBox box(address);
    ASSERT_TRUE(box.ok());
    ASSERT_TRUE(server.Start());
    bool named = false;
    std::string shown;
    for (int i = 0; i < 150 && !named; ++i) {
        shown = server.Tool("dornelsc", {"boxes", "dornelman"}).output;
        named = shown.find("last failure: key exchange failed") != std::string::npos;
        if (!named) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(named) << shown;
}

// --- The PAM file is the site's --------------------------------------------------------

TEST(PamFile, AnEditedFileSurvivesInstallAndRemove) {
    ServerHarness server;
    const std::string pam = server.root() + "/pam/dornelman";
    ToolResult installed = server.Tool("dornelman", {"-i"});
    ASSERT_EQ(installed.status, 0) << installed.output;
    const std::string written = ReadText(pam);
    ASSERT_FALSE(written.empty());

    // The site adds a rule of its own.
    const std::string edited = written + "auth required pam_nologin.so\n";
    std::ofstream(pam, std::ios::trunc) << edited;
    ToolResult removed = server.Tool("dornelman", {"-u"});
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_NE(removed.output.find("has been edited by the site; left in place"), std::string::npos)
        << removed.output;
    EXPECT_EQ(ReadText(pam), edited);

    installed = server.Tool("dornelman", {"-i"});
    EXPECT_EQ(installed.status, 0) << installed.output;
    EXPECT_NE(installed.output.find("Orvane Technology Dornel Manager installed"),
              std::string::npos)
        << installed.output;
    EXPECT_NE(installed.output.find("left as it is"), std::string::npos) << installed.output;
    EXPECT_EQ(ReadText(pam), edited);

    // As the install wrote it, the file goes with the service.
    std::ofstream(pam, std::ios::trunc) << written;
    removed = server.Tool("dornelman", {"-u"});
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_FALSE(std::filesystem::exists(pam));
}

// --- One convention for exit codes and switches ------------------------------------------

// Every tool: --help is 0 and documents the codes, a usage error is 2, a failure is 1.
// A new tool joins by its row here.
struct ToolCodes {
    const char* tool;
    std::vector<std::string> usageError;
    std::vector<std::string> failure;
};

TEST(ExitCodes, EveryToolFollowsOneConvention) {
    ServerHarness server;  // a root of its own; nothing is configured or running
    const std::vector<ToolCodes> tools = {
        {"dornelman", {"--install"}, {"--check"}},
        {"dornelreg", {"frobnicate"}, {"query", "HKLM\\SOFTWARE\\Dornel-No-Such-Key"}},
        {"dornelsc", {"frobnicate", "dornelman"}, {"query", "dornel-no-such-service"}},
        {"dornellog", {"frobnicate"}, {"--timeout", "2", "ping"}},
        {"boxsim", {"--no-such-switch"}, {"--address", BoxAddress(38), "--timeout", "1"}},
        {"dornelcpl", {"--no-such-switch"}, {"no-such-applet"}},
    };
    for (const ToolCodes& codes : tools) {
        SCOPED_TRACE(codes.tool);
        ToolResult help = server.Tool(codes.tool, {"--help"});
        EXPECT_EQ(help.status, 0) << help.output;
        EXPECT_NE(help.output.find("2 usage error"), std::string::npos) << help.output;
        ToolResult usage = server.Tool(codes.tool, codes.usageError);
        EXPECT_EQ(usage.status, 2) << usage.output;
        ToolResult failed = server.Tool(codes.tool, codes.failure);
        EXPECT_EQ(failed.status, 1) << failed.output;
    }
}

TEST(ExitCodes, DornelmanRefusesUnknownSwitchesAndFailedSwitchesAreNonZero) {
    ServerHarness server;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--install"}, {"-x"}, {"install"}, {"-i", "now"}}) {
        ToolResult result = server.Tool("dornelman", args);
        EXPECT_EQ(result.status, 2) << args[0] << ": " << result.output;
        EXPECT_NE(result.output.find("Usage: "), std::string::npos) << result.output;
    }
    // Nothing was installed by any of them.
    EXPECT_FALSE(std::filesystem::exists(server.root() + "/units/dornelman.service"));
    EXPECT_EQ(server.Tool("dornelman", {"-v"}).output.find("currently installed"),
              std::string::npos);

    // An install that cannot write its unit folder fails with its console text and 1.
    std::ofstream(server.root() + "/blocker") << "x";
    RunOptions options = HarnessEnvironment(server);
    options.set["DORNEL_UNIT_DIR"] = server.root() + "/blocker/units";
    ToolResult failed = RunProgram(BinDir() + "/dornelman", {"-i"}, options);
    EXPECT_EQ(failed.status, 1) << failed.output;
    EXPECT_NE(failed.output.find("Orvane Technology Dornel Manager failed to install. Error "),
              std::string::npos)
        << failed.output;
}

TEST(ExitCodes, AnUnreadableServiceRecordIsPermissionDeniedNotNotInstalled) {
    if (!HaveSetpriv()) GTEST_SKIP() << "needs root and setpriv";
    ServerHarness server;
    ASSERT_EQ(server.Tool("dornelman", {"-i"}).status, 0);
    RunOptions options = HarnessEnvironment(server);
    options.asNobody = true;
    for (const char* option : {"-v", "-u", "-i"}) {
        ToolResult result = RunProgram(BinDir() + "/dornelman", {option}, options);
        EXPECT_EQ(result.status, 1) << option << ": " << result.output;
        EXPECT_NE(result.output.find("permission denied"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("not installed"), std::string::npos) << result.output;
    }
    EXPECT_TRUE(std::filesystem::exists(server.root() + "/units/dornelman.service"));
}

// Without DORNEL_ROOT a tool uses the default root; a user who cannot write it is told to
// set the variable, and nothing is created there.
TEST(ExitCodes, AnUnusableDefaultRootNamesTheVariable) {
    if (IsRoot() && !HaveSetpriv()) GTEST_SKIP() << "needs setpriv to run as a plain user";
    const bool existed = std::filesystem::exists("/var/lib/dornel");
    RunOptions options;
    options.unset = {"DORNEL_ROOT"};
    options.asNobody = IsRoot();
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {"dornelreg", {"query", "HKLM\\SOFTWARE"}},
        {"dornelsc", {"query", "dornelman"}},
        {"dornelman", {"-v"}},
        {"dornelman", {"--check"}},
    };
    for (const auto& [tool, args] : runs) {
        ToolResult result = RunProgram(BinDir() + "/" + tool, args, options);
        EXPECT_EQ(result.status, 1) << tool << ": " << result.output;
        EXPECT_NE(result.output.find("DORNEL_ROOT is not set"), std::string::npos)
            << tool << ": " << result.output;
    }
    EXPECT_EQ(std::filesystem::exists("/var/lib/dornel"), existed);
}

}  // namespace
