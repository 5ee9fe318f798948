// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The real dornelreg executable (from DORNEL_BIN_DIR) against a fresh root per test: query
// output, add and delete rules, export then import into an empty root reproducing every key
// and value byte for byte (compared through the registry layer), and the error exits.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr const char* kBoxKey = "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox";
constexpr const char* kBoxPath = "SOFTWARE\\Orvane Technology\\ZuvexBox";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class DornelRegTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("DORNEL_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "DORNEL_BIN_DIR is not set";
        tool_ = std::string(bin) + "/dornelreg";
        char pattern[] = "/tmp/dornelreg-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        UseRoot("a");
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        ::unsetenv("DORNEL_ROOT");
    }

    // Points this process and the tools it runs at the root dir_/name.
    void UseRoot(const std::string& name) {
        root_ = dir_ + "/" + name;
        ::setenv("DORNEL_ROOT", root_.c_str(), 1);
    }

    // Runs dornelreg with args; gives up (and kills it) after 30 seconds.
    Result Run(const std::vector<std::string>& args) {
        const std::string outFile = dir_ + "/stdout", errFile = dir_ + "/stderr";
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(tool_.c_str())};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(tool_.c_str(), argv.data());
            ::_exit(127);
        }
        Result result;
        if (pid < 0) return result;
        int status = 0;
        for (int waited = 0; waited < 3000; ++waited) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                result.out = ReadAll(outFile);
                result.err = ReadAll(errFile);
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "dornelreg did not finish";
        return result;
    }

    // Runs dornelreg and expects success.
    Result Ok(const std::vector<std::string>& args) {
        Result result = Run(args);
        EXPECT_EQ(result.status, 0)
            << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << result.err;
        EXPECT_EQ(result.err, "");
        return result;
    }

    // Expects a failure whose message contains reason, and nothing on standard output.
    void Fails(const std::vector<std::string>& args, const std::string& reason) {
        const Result result = Run(args);
        std::string shown;
        for (const std::string& arg : args) shown += arg + " ";
        // A usage error exits 2, any other failure 1.
        const bool usage = result.err.find("Invalid syntax") != std::string::npos;
        EXPECT_EQ(result.status, usage ? 2 : 1) << shown;
        EXPECT_EQ(result.err.rfind("ERROR: ", 0), 0u) << shown << ": " << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << shown << ": " << result.err;
    }

    // Writes a value through the layer, creating its key.
    static void Put(const std::string& path, const char* name, DWORD type, const Bytes& data) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // Every key below path and every value, names exactly as stored, data as hex.
    static std::string Dump(const std::string& path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return "<missing " + path + ">";
        }
        std::string text;
        DumpKey(key, path, &text);
        RegCloseKey(key);
        return text;
    }

    static void DumpKey(HKEY key, const std::string& path, std::string* text) {
        *text += "[" + path + "]\n";
        for (DWORD i = 0;; ++i) {
            char name[512];
            DWORD nameLength = sizeof name;
            BYTE data[4096];
            DWORD size = sizeof data;
            DWORD type = 0;
            if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) !=
                ERROR_SUCCESS) {
                break;
            }
            char head[64];
            std::snprintf(head, sizeof head, "|%u|%u|", type, size);
            *text += std::string(name, nameLength) + head;
            for (DWORD b = 0; b < size; ++b) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x", data[b]);
                *text += hex;
            }
            *text += "\n";
        }
        std::vector<std::string> children;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            children.emplace_back(name, length);
        }
        for (const std::string& child : children) {
            HKEY sub = nullptr;
            ASSERT_EQ(RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS);
            DumpKey(sub, path + "\\" + child, text);
            RegCloseKey(sub);
        }
    }

    void WriteFile(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }

    std::string tool_;
    std::string dir_;
    std::string root_;
};

const std::string kSuccess = "The operation completed successfully.\n";

TEST_F(DornelRegTest, QueryPrintsValuesThenSubkeysAndRecursesWithS) {
    const std::string box000 = std::string(kBoxKey) + "\\Box000";
    Ok({"add", kBoxKey, "/v", "NumServers", "/t", "REG_BINARY", "/d", "01000000"});
    Ok({"add", kBoxKey, "/v", "TFTPDirectory", "/d", "C:\\dornel\\boot"});
    Ok({"add", kBoxKey, "/ve", "/d", "zuvex"});
    Ok({"add", box000, "/v", "IPAddress", "/d", "192.168.1.20", "/nonul"});
    Ok({"add", box000, "/v", "AuthType", "/t", "REG_DWORD", "/d", "2"});
    Ok({"add", std::string(kBoxKey) + "\\Control"});

    EXPECT_EQ(Ok({"query", "hklm\\software\\orvane technology\\zuvexbox"}).out,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\n"
              "    (Default)    REG_SZ    zuvex\n"
              "    NumServers    REG_BINARY    01000000\n"
              "    TFTPDirectory    REG_SZ    C:\\dornel\\boot\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control\n");
    EXPECT_EQ(Ok({"query", kBoxKey, "/s"}).out,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\n"
              "    (Default)    REG_SZ    zuvex\n"
              "    NumServers    REG_BINARY    01000000\n"
              "    TFTPDirectory    REG_SZ    C:\\dornel\\boot\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000\n"
              "    AuthType    REG_DWORD    0x2\n"
              "    IPAddress    REG_SZ    192.168.1.20\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control\n");
    EXPECT_EQ(Ok({"query", kBoxKey, "/v", "numservers"}).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\n"
              "    NumServers    REG_BINARY    01000000\n");
    EXPECT_EQ(Ok({"query", kBoxKey, "-VE"}).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\n"
              "    (Default)    REG_SZ    zuvex\n");
    EXPECT_EQ(Ok({"query", kBoxKey, "/v", "IPAddress", "/s"}).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000\n"
              "    IPAddress    REG_SZ    192.168.1.20\n");
}

TEST_F(DornelRegTest, AddStoresTheExactBytesOfEachType) {
    Ok({"add", kBoxKey, "/v", "S", "/d", "abc"});
    Ok({"add", kBoxKey, "/v", "N", "/d", "abc", "/nonul"});
    Ok({"add", kBoxKey, "/v", "E", "/t", "reg_expand_sz", "/d", "%ROOT%\\x"});
    Ok({"add", kBoxKey, "/v", "D", "/t", "REG_DWORD", "/d", "0x0000000f"});
    Ok({"add", kBoxKey, "/v", "Z", "/t", "REG_DWORD"});
    Ok({"add", kBoxKey, "/v", "B", "/t", "REG_BINARY", "/d", "01,00,00,00"});
    Ok({"add", kBoxKey, "/v", "Empty"});
    EXPECT_EQ(Dump(kBoxPath),
              "[SOFTWARE\\Orvane Technology\\ZuvexBox]\n"
              "B|3|4|01000000\n"
              "D|4|4|0f000000\n"
              "E|2|9|25524f4f54255c7800\n"
              "Empty|1|1|00\n"
              "N|1|3|616263\n"
              "S|1|4|61626300\n"
              "Z|4|4|00000000\n");
}

TEST_F(DornelRegTest, AddRefusesToOverwriteWithoutF) {
    Ok({"add", kBoxKey, "/v", "NumServers", "/t", "REG_BINARY", "/d", "01000000"});
    Fails({"add", kBoxKey, "/v", "numservers", "/t", "REG_BINARY", "/d", "02000000"},
          "already exists");
    EXPECT_EQ(Dump(kBoxPath), "[SOFTWARE\\Orvane Technology\\ZuvexBox]\nNumServers|3|4|01000000\n");
    EXPECT_EQ(
        Ok({"add", kBoxKey, "/v", "NumServers", "/t", "REG_BINARY", "/d", "02000000", "-F"}).out,
        kSuccess);
    EXPECT_EQ(Dump(kBoxPath), "[SOFTWARE\\Orvane Technology\\ZuvexBox]\nNumServers|3|4|02000000\n");
    // Creating a key that exists changes nothing and succeeds.
    Ok({"add", kBoxKey});
}

TEST_F(DornelRegTest, DeleteNeedsFAndTakesTheWholeSubtree) {
    Put(std::string(kBoxPath) + "\\DHCP\\General", "Active", REG_BINARY, {1, 0, 0, 0});
    Put(std::string(kBoxPath) + "\\DHCP\\00-11-22-33-44-55", "IPADDR", REG_SZ, {'1', 0});
    Put(kBoxPath, "NumServers", REG_BINARY, {1, 0, 0, 0});
    Put(kBoxPath, "DHCPActive", REG_BINARY, {1, 0, 0, 0});
    const std::string dhcp = std::string(kBoxKey) + "\\DHCP";

    Fails({"delete", dhcp}, "needs /f");
    Fails({"delete", kBoxKey, "/v", "NumServers"}, "needs /f");
    Fails({"delete", kBoxKey, "/va"}, "needs /f");
    const std::string before = Dump(kBoxPath);
    EXPECT_NE(before.find("IPADDR"), std::string::npos);

    EXPECT_EQ(Ok({"delete", dhcp, "/f"}).out, kSuccess);
    EXPECT_EQ(Dump(kBoxPath),
              "[SOFTWARE\\Orvane Technology\\ZuvexBox]\n"
              "DHCPActive|3|4|01000000\n"
              "NumServers|3|4|01000000\n");
    Ok({"delete", kBoxKey, "/v", "numservers", "/f"});
    EXPECT_EQ(Dump(kBoxPath), "[SOFTWARE\\Orvane Technology\\ZuvexBox]\nDHCPActive|3|4|01000000\n");
    Put(std::string(kBoxPath) + "\\Box000", "IPAddress", REG_SZ, {'1'});
    Ok({"delete", kBoxKey, "/va", "/f"});
    EXPECT_EQ(Dump(kBoxPath),
              "[SOFTWARE\\Orvane Technology\\ZuvexBox]\n"
              "[SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000]\n"
              "IPAddress|1|1|31\n");
}

TEST_F(DornelRegTest, ExportThenImportIntoAnEmptyRootReproducesEveryByte) {
    const std::string base = "SOFTWARE\\Orvane Technology";
    Put(base + "\\ZuvexBox", "NumServers", REG_BINARY, {1, 0, 0, 0});
    Put(base + "\\ZuvexBox", "", REG_SZ, {'d', 0});
    Put(base + "\\ZuvexBox", "TFTPDirectory", REG_SZ, {'C', ':', '\\', 'b', 0});
    Put(base + "\\ZuvexBox", "SpawnUser", REG_SZ, {0});
    Put(base + "\\ZuvexBox", "Quote\"And\\Slash", REG_SZ, {'"', '\\', 0});
    Put(base + "\\ZuvexBox", "Name=With@Signs", REG_SZ, {'x', 0});
    Put(base + "\\ZuvexBox", "Utf8", REG_SZ, {0xc3, 0xa9, 0});
    Put(base + "\\ZuvexBox", "Latin1", REG_SZ, {0xe9, 0});
    Put(base + "\\ZuvexBox", "Tab", REG_SZ, {'a', '\t', 'b', 0});
    Put(base + "\\ZuvexBox", "LineBreak", REG_SZ, {'a', '\r', '\n', 0});
    Put(base + "\\ZuvexBox", "Embedded", REG_SZ, {'a', 0, 'b', 0});
    Put(base + "\\ZuvexBox", "NoNul", REG_SZ, {'a', 'b'});
    Put(base + "\\ZuvexBox", "ZeroLength", REG_SZ, {});
    Put(base + "\\ZuvexBox", "LogDirectory", REG_EXPAND_SZ, {'%', 'L', '%', 0});
    Put(base + "\\ZuvexBox", "Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
    Put(base + "\\ZuvexBox", "ShortDword", REG_DWORD, {1});
    Put(base + "\\ZuvexBox", "Long", REG_BINARY, Bytes(700, 0x5a));
    Put(base + "\\ZuvexBox", "EmptyBinary", REG_BINARY, {});
    Put(base + "\\ZuvexBox", "Multi", 7, {'a', 0, 'b', 0, 0});
    Put(base + "\\ZuvexBox", "TypeZero", 0, {9});
    Put(base + "\\ZuvexBox", "HugeType", 0xffffffff, {1, 2, 3});
    Put(base + "\\ZuvexBox\\Box000", "IPAddress", REG_SZ, {'1', '0', '.', '0', '.', '0', '.', '2'});
    Put(base + "\\ZuvexBox\\Box000", "Message00-00", REG_DWORD, {3, 0, 0, 0});
    Put(base + "\\ZuvexBox\\box001", "PrintLinkType", REG_BINARY, {0, 0, 0, 0});
    Put(base + "\\ZuvexBox\\Odd]Name", "X", REG_SZ, {'y', 0});
    Put(base + "\\ZuvexBox\\DHCP\\00-11-22-33-44-55", "ROUTER_1", REG_SZ,
        {'1', '9', '2', '.', '1', 0});
    HKEY empty = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (base + "\\ZuvexBox\\DHCP\\General").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &empty, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(empty);
    const std::string original = Dump(base);

    const std::string file = dir_ + "/box.reg";
    EXPECT_EQ(Ok({"export", "HKEY_LOCAL_MACHINE\\software\\orvane technology", file}).out,
              kSuccess);
    const std::string text = ReadAll(file);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version "
                         "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology]\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\"NoNul\"=hex(1):61,62\n"), std::string::npos);
    EXPECT_NE(text.find("\"Dword\"=dword:12345678\n"), std::string::npos);
    EXPECT_NE(text.find("\"TFTPDirectory\"=\"C:\\\\b\"\n"), std::string::npos);

    UseRoot("b");
    EXPECT_EQ(Ok({"import", file}).out, kSuccess);
    EXPECT_EQ(Dump(base), original);

    // Importing over an existing tree replaces values and keeps what the file does not name.
    Put(base + "\\ZuvexBox", "NumServers", REG_BINARY, {9, 0, 0, 0});
    Put(base + "\\ZuvexBox", "Extra", REG_BINARY, {1});
    Ok({"import", file});
    HKEY box = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (base + "\\ZuvexBox").c_str(), 0, KEY_READ, &box),
              ERROR_SUCCESS);
    BYTE data[4];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(box, "NumServers", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(RegQueryValueExA(box, "Extra", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(box);
}

TEST_F(DornelRegTest, ImportDeletesKeysAndValuesAndAcceptsCrlf) {
    Put(std::string(kBoxPath) + "\\Control", "Control", REG_BINARY, {2, 0, 0, 0});
    Put(kBoxPath, "EnableDebugLog", REG_BINARY, {1, 0, 0, 0});
    Put(kBoxPath, "TFTPActive", REG_BINARY, {1, 0, 0, 0});
    WriteFile("change.reg",
              "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n\r\n"
              "; switch the debug log off and drop the control request\r\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control]\r\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing\\There]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\r\n"
              "\"EnableDebugLog\"=hex:00,00,00,00\r\n"
              "\"TFTPActive\"=-\r\n"
              "\"NotThere\"=-\r\n");
    EXPECT_EQ(Ok({"import", dir_ + "/change.reg"}).out, kSuccess);
    EXPECT_EQ(Dump(kBoxPath),
              "[SOFTWARE\\Orvane Technology\\ZuvexBox]\nEnableDebugLog|3|4|00000000\n");
}

// ------------------------------------------------------------------------ error paths

TEST_F(DornelRegTest, BadInputFailsWithAReasonAndChangesNothing) {
    Put(kBoxPath, "NumServers", REG_BINARY, {1, 0, 0, 0});
    const std::string before = Dump(kBoxPath);
    const std::string box = kBoxKey;
    Fails({}, "no command");
    Fails({"frobnicate", box}, "unknown command");
    Fails({"query"}, "query needs a KEY");
    Fails({"query", box, "extra"}, "unexpected argument \"extra\"");
    Fails({"query", "SOFTWARE\\Orvane Technology"}, "Invalid key name");
    Fails({"query", "HKCU\\Software"}, "Only HKEY_LOCAL_MACHINE");
    Fails({"query", "HKLM\\SOFTWARE\\\\X"}, "empty name");
    Fails({"query", box + "\\Box009"}, "unable to find");
    Fails({"query", box, "/v", "Missing"}, "unable to find");
    Fails({"query", box, "/ve"}, "the default value");
    Fails({"query", box, "/v"}, "/v needs an argument");
    Fails({"query", box, "/v", "A", "/ve"}, "only one of");
    Fails({"query", box, "/t", "REG_SZ"}, "/t is not valid for query");
    Fails({"query", box, "/s", "/s"}, "given twice");
    Fails({"add", box, "/v", "X", "/t", "REG_QWORD", "/d", "1"}, "Invalid type \"REG_QWORD\"");
    Fails({"add", box, "/v", "X", "/t", "REG_DWORD", "/d", "twelve"}, "Invalid REG_DWORD data");
    Fails({"add", box, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid REG_DWORD");
    Fails({"add", box, "/v", "X", "/t", "REG_BINARY", "/d", "123"}, "Invalid REG_BINARY data");
    Fails({"add", box, "/v", "X", "/t", "REG_BINARY", "/d", "0g"}, "Invalid REG_BINARY data");
    Fails({"add", box, "/v", "X", "/t", "REG_DWORD", "/nonul"}, "/nonul applies only");
    Fails({"add", box, "/s"}, "/s is not valid for add");
    Fails({"delete", box + "\\Missing", "/f"}, "unable to find");
    Fails({"delete", box, "/v", "Missing", "/f"}, "unable to find");
    Fails({"delete", "HKLM", "/f"}, "cannot be deleted");
    Fails({"export", box}, "export needs a KEY and a FILE");
    Fails({"export", box + "\\Missing", dir_ + "/x.reg"}, "unable to find");
    Fails({"export", box, dir_ + "/no/such/folder/x.reg"}, "Cannot write");
    Fails({"import", dir_ + "/missing.reg"}, "Cannot read");
    Fails({"import", dir_}, "it is a folder");
    Fails({"add", "\\\\some-other-machine\\HKLM\\SOFTWARE\\X"}, "network path was not found");
    EXPECT_EQ(Dump(kBoxPath), before);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.reg"));
}

// A name with a line break cannot be written on one line of an export or a query, so one
// such value would make the whole tree impossible to export: add refuses it up front.
TEST_F(DornelRegTest, AddRefusesNamesWithControlCharacters) {
    Put(kBoxPath, "NumServers", REG_BINARY, {1, 0, 0, 0});
    const std::string before = Dump(kBoxPath);
    const std::string box = kBoxKey;
    Fails({"add", box, "/v", "Rotation\nDelay", "/d", "15", "/f"},
          "Invalid value name \"Rotation\\nDelay\": names may not hold control characters");
    Fails({"add", box, "/v", "Tab\tName", "/d", "1"}, "Invalid value name \"Tab\\tName\"");
    Fails({"add", box, "/v", std::string("Bell\x07") + "\x7f", "/d", "1"}, "\"Bell\\x07\\x7F\"");
    Fails({"add", box + "\\Box\r001", "/v", "IPAddress", "/d", "10.0.0.7"},
          "Invalid key name \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane "
          "Technology\\ZuvexBox\\Box\\r001\"");
    Fails({"add", box + "\\New\nKey"}, "Invalid key name");
    EXPECT_EQ(Dump(kBoxPath), before) << "nothing was created or written";

    // The tree stays exportable; ordinary names with spaces and punctuation are fine.
    Ok({"add", box, "/v", "Odd name (x|y) \"z\"", "/d", "ok"});
    Ok({"export", box, dir_ + "/tree.reg"});
}

TEST_F(DornelRegTest, MalformedImportNamesTheLineAndImportsNothing) {
    WriteFile("bad.reg",
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\n"
              "\"NumServers\"=hex:02,00,00,00\n"
              "\"TFTPActive\"=hex:01,0\n"
              "\"DHCPActive\"=dword:zz\n");
    Put(kBoxPath, "NumServers", REG_BINARY, {1, 0, 0, 0});
    const std::string before = Dump(kBoxPath);
    Fails({"import", dir_ + "/bad.reg"}, "bad.reg: line 6: dword: needs");
    EXPECT_EQ(Dump(kBoxPath), before);
    WriteFile("notreg.txt", "NumServers=2\n");
    Fails({"import", dir_ + "/notreg.txt"}, "line 1: the file does not start with");
}

TEST_F(DornelRegTest, HelpDescribesEveryCommandAndTheNoPromptRule) {
    for (const char* help : {"--help", "/?", "-?"}) {
        const Result result = Ok({help});
        for (const char* word : {"query", "add", "delete", "export", "import", "/nonul", "/f",
                                 "REG_BINARY", "never", "prompts"}) {
            EXPECT_NE(result.out.find(word), std::string::npos) << help << " lacks " << word;
        }
    }
    EXPECT_EQ(Ok({"add", "/?"}).out, Ok({"--help"}).out);
}

}  // namespace
