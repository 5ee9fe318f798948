// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

#include "tests/integration/server/serverharness.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace sessiontest {

namespace {

constexpr const char* kConfigSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox";

std::string Dword(int value) {
    char text[32];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    return text;
}

// A .reg string: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// "time|box|type|user|data|": the time holds no "|"; the data may.
std::optional<LogRecord> ParseRecord(const std::string& line) {
    LogRecord record;
    std::size_t at = 0;
    std::string fields[4];
    for (std::string& field : fields) {
        std::size_t bar = line.find('|', at);
        if (bar == std::string::npos) return std::nullopt;
        field = line.substr(at, bar - at);
        at = bar + 1;
    }
    if (line.size() < at + 1 || line.back() != '|') return std::nullopt;
    record.time = fields[0];
    record.box = std::atoi(fields[1].c_str());
    record.type = std::atoi(fields[2].c_str());
    record.user = fields[3];
    record.data = line.substr(at, line.size() - at - 1);
    return record;
}

bool Sql(sqlite3* db, const std::string& statement) {
    char* error = nullptr;
    int rc = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) ADD_FAILURE() << "sqlite: " << (error ? error : "?");
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

// True when the process is gone (or only a zombie waiting for its parent) within the time.
bool ProcessEnds(int pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        std::size_t close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && close + 2 < stat.size() &&
                             stat[close + 2] == 'Z')) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// A loopback port the system hands out (bound to port 0, then released), or 0.
int SystemChosenPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        port = ntohs(where.sin_port);
    }
    ::close(fd);
    return port;
}

// The socket inodes a process holds open.
std::set<std::string> SocketInodes(int pid) {
    std::set<std::string> inodes;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return inodes;
    while (dirent* entry = ::readdir(dir)) {
        char target[128];
        const std::string link = folder + "/" + entry->d_name;
        ssize_t got = ::readlink(link.c_str(), target, sizeof target - 1);
        if (got <= 0) continue;
        std::string text(target, static_cast<std::size_t>(got));
        if (text.rfind("socket:[", 0) == 0 && text.back() == ']') {
            inodes.insert(text.substr(8, text.size() - 9));
        }
    }
    ::closedir(dir);
    return inodes;
}

// "0100007F:0087" of /proc/net/tcp (or its 32-digit tcp6 form) as "127.0.0.1:135"; sets
// *wildcard when the address is all zeros.
std::string ListenerText(const std::string& field, bool* wildcard, int* port) {
    std::size_t colon = field.find(':');
    if (colon == std::string::npos) return field;
    const std::string address = field.substr(0, colon);
    *port = static_cast<int>(std::strtol(field.c_str() + colon + 1, nullptr, 16));
    *wildcard = address.find_first_not_of('0') == std::string::npos;
    if (address.size() == 8) {
        in_addr raw{};
        raw.s_addr = static_cast<in_addr_t>(std::strtoul(address.c_str(), nullptr, 16));
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &raw, text, sizeof text);
        return std::string(text) + ":" + std::to_string(*port);
    }
    return "[" + (*wildcard ? std::string("::") : address) + "]:" + std::to_string(*port);
}

}  // namespace

BackgroundTool::BackgroundTool(const std::string& program, const std::vector<std::string>& args,
                               const std::string& outputPath)
    : outputPath_(outputPath) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (devNull >= 0) ::dup2(devNull, 0);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    EXPECT_GT(pid_, 0);
}

BackgroundTool::~BackgroundTool() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int BackgroundTool::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(20ms);
    }
}

std::string BackgroundTool::Output() const { return ReadFile(outputPath_); }

ServerHarness::ServerHarness() {
    char pattern[] = "/tmp/dornel-sessions-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    root_ = made ? made : "/tmp";
    std::filesystem::create_directories(root_ + "/c/dornel/log");
    std::filesystem::create_directories(root_ + "/units");
    std::filesystem::create_directories(root_ + "/pam");
    const char* bin = std::getenv("DORNEL_BIN_DIR");
    binDir_ = bin ? bin : "build/bin";
    std::ofstream(root_ + "/users").close();
    // A mapper port the test gave already is kept; 0 or none gets one of the system's.
    const char* epm = std::getenv("DORNEL_EPM_PORT");
    epmPort_ = epm ? std::atoi(epm) : 0;
    if (epmPort_ <= 0 || epmPort_ > 65535) epmPort_ = SystemChosenPort();
    EXPECT_GT(epmPort_, 0) << "no loopback port for the endpoint mapper";
}

ServerHarness::~ServerHarness() {
    if (running_ || serverPid_ > 0) {
        int pid = running_ ? ServerPid() : -1;
        if (pid <= 0) pid = serverPid_;
    if (running_) {
            for (const std::string& listener : ForbiddenListeners()) {
                ADD_FAILURE() << "dornelman listens on " << listener;
            }
        Stop();
        }
        // A server that did not stop is not left behind.
        if (pid > 0 && !ProcessEnds(pid, 10s)) {
            ADD_FAILURE() << "dornelman (pid " << pid << ") did not stop; killed";
            ::kill(pid, SIGKILL);
            ProcessEnds(pid, 5s);
        }
    }
    EndGuard();
    // What the server wrote to its standard streams: a sanitizer report there is a failure.
    const std::string serverOutput = ReadFile(root_ + "/scm/dornelman.out");
    EXPECT_EQ(serverOutput.find("Sanitizer"), std::string::npos) << serverOutput;
    EXPECT_EQ(serverOutput.find("runtime error"), std::string::npos) << serverOutput;
    if (installed_) Tool("dornelman", {"-u"});
    if (std::getenv("SESSIONS_KEEP_ROOT") == nullptr && root_.rfind("/tmp/dornel-sessions-", 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

bool ServerHarness::Configure(const std::vector<BoxSetup>& boxes, std::optional<int> numServers) {
    std::string reg;
    reg += std::string(kConfigSection) + "]\n";
    reg += "\"NumServers\"=" + Dword(numServers.value_or(static_cast<int>(boxes.size()))) + "\n";
    reg += "\"EnableDebugLog\"=" + Dword(1) + "\n";
    reg += "\"LogDirectory\"=" + Quoted("C:\\dornel\\log") + "\n";
    reg += "\"TFTPDirectory\"=" + Quoted(root_ + "/tftp") + "\n";
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const BoxSetup& box = boxes[i];
        char section[32];
        std::snprintf(section, sizeof section, "\\Box%03zu]\n", i);
        reg += "\n" + std::string(kConfigSection) + section;
        reg += "\"IPAddress\"=" + Quoted(box.address) + "\n";
        reg += "\"AuthType\"=" + Dword(box.authType) + "\n";
        reg += "\"PrintLinkType\"=" + Dword(box.printLinkType) + "\n";
        if (box.rotationDelay) reg += "\"RotationDelay\"=" + Dword(*box.rotationDelay) + "\n";
        if (box.uiTimeout) reg += "\"UITimeout\"=" + Dword(*box.uiTimeout) + "\n";
        for (const auto& [slot, text] : box.messages) {
            char name[32];
            std::snprintf(name, sizeof name, "\"Message%02d-%02d\"=", slot.first, slot.second);
            reg += name + Quoted(text) + "\n";
        }
    }
    reg += "\n" + std::string(kConfigSection) + "\\CustAuth]\n";
    reg += "\"UserFile\"=" + Quoted(root_ + "/users") + "\n";
    reg += "\n" + std::string(kConfigSection) + "\\PrintLink]\n";
    reg += "\"Ledger\"=" + Quoted(root_ + "/ledger.db") + "\n";
    return Import(reg);
}

bool ServerHarness::Import(const std::string& regLines) {
    const std::string path = root_ + "/import.reg";
    std::ofstream(path) << "Windows Registry Editor Version 5.00\n\n" << regLines << "\n";
    ToolResult result = Tool("dornelreg", {"import", path});
    EXPECT_EQ(result.status, 0) << result.output;
    return result.status == 0;
}

bool ServerHarness::AddUser(const std::string& name, const std::string& password,
                            double balance) {
    crypt_data data{};
    const char* hash = crypt_r(password.c_str(), "$6$sessionstest$", &data);
    if (!hash || hash[0] == '*') return false;
    std::ofstream(root_ + "/users", std::ios::app) << name << ":" << hash << "\n";

    sqlite3* db = nullptr;
    if (sqlite3_open((root_ + "/ledger.db").c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 10000);
    long long cents = std::llround(balance * 100.0);
    bool ok = Sql(db,
                  "CREATE TABLE IF NOT EXISTS accounts(user TEXT PRIMARY KEY NOT NULL,"
                  " balance_cents INTEGER NOT NULL DEFAULT 0);") &&
              Sql(db, "INSERT OR REPLACE INTO accounts(user, balance_cents) VALUES('" + name +
                          "', " + std::to_string(cents) + ");");
    sqlite3_close(db);
    return ok;
}

std::optional<double> ServerHarness::LedgerBalance(const std::string& name) const {
    sqlite3* db = nullptr;
    std::optional<double> balance;
    if (sqlite3_open_v2((root_ + "/ledger.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT balance_cents FROM accounts WHERE user = ?", -1,
                               &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW) {
                balance = static_cast<double>(sqlite3_column_int64(statement, 0)) / 100.0;
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return balance;
}

ToolResult ServerHarness::Tool(const std::string& name, const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout) const {
    return ToolElsewhere(root_, name, args, timeout);
}

ToolResult ServerHarness::ToolElsewhere(const std::string& otherRoot, const std::string& name,
                                        const std::vector<std::string>& args,
                                        std::chrono::milliseconds timeout) const {
    ToolResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    const std::string program = binDir_ + "/" + name;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string unitDir = root_ + "/units";
    const std::string pamDir = root_ + "/pam";
    const std::string epmPortValue = std::to_string(epmPort_);
    const char* epmPortText = epmPortValue.c_str();

    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, 0);
        ::setenv("DORNEL_ROOT", otherRoot.c_str(), 1);
        // The service's unit and PAM files go into the root too (the PAM file into the
        // system's folder only for a test that asked for it and guards it).
        ::setenv("DORNEL_UNIT_DIR", unitDir.c_str(), 1);
        if (systemPam_) {
            ::unsetenv("DORNEL_PAM_DIR");
        } else {
            ::setenv("DORNEL_PAM_DIR", pamDir.c_str(), 1);
        }
        // The log RPC interface and its endpoint mapper on loopback and a port of the
        // system's; dornelsc hands its environment on to the server it starts.
        ::setenv("DORNEL_EPM_PORT", epmPortText, 1);
        ::setenv("DORNEL_RPC_ADDRESS", kRpcAddress, 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        return result;
    }
    // A service the tool starts may keep the pipe open: read until the tool itself ended.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool ended = false;
    for (;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char chunk[4096];
            ssize_t got = ::read(pipeFds[0], chunk, sizeof chunk);
            if (got > 0) {
                result.output.append(chunk, static_cast<std::size_t>(got));
                continue;
            }
        }
        if (ended) break;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            continue;  // one more pass for what is still in the pipe
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::close(pipeFds[0]);
            result.output += "\n[timed out]";
            return result;
        }
    }
    ::close(pipeFds[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

int ServerHarness::ServerPid() const {
    ToolResult query = Tool("dornelsc", {"query", "dornelman"});
    std::size_t at = query.output.find("PID");
    if (at == std::string::npos) return -1;
    at = query.output.find(':', at);
    return at == std::string::npos ? -1 : std::atoi(query.output.c_str() + at + 1);
}

bool ServerHarness::Start() {
    if (!installed_) {
        ToolResult install = Tool("dornelman", {"-i"});
        EXPECT_EQ(install.status, 0) << install.output;
        installed_ = install.status == 0;
        if (!installed_) return false;
    }
    ToolResult start = Tool("dornelsc", {"start", "dornelman"});
    EXPECT_EQ(start.status, 0) << start.output;
    // Even a failed start may have left a process: the destructor looks for it.
    const int pid = ServerPid();
    if (pid > 0 && pid != serverPid_) {
        EndGuard();
        serverPid_ = pid;
        StartGuard(pid);
    }
    if (start.status != 0) return false;
    running_ = true;
    // Running means Run has read the configuration, opened the log and set up its
    // listeners.
    if (!WaitForEvent(108, "Started server", 10s)) return false;
    const std::vector<std::string> forbidden = ForbiddenListeners();
    for (const std::string& listener : forbidden) {
        ADD_FAILURE() << "dornelman listens on " << listener;
    }
    return forbidden.empty();
}

std::vector<std::string> ServerHarness::ForbiddenListeners() const {
    std::vector<std::string> found;
    if (serverPid_ <= 0) return found;
    const std::set<std::string> inodes = SocketInodes(serverPid_);
    for (const char* table : {"tcp", "tcp6"}) {
        const std::string path = "/proc/" + std::to_string(serverPid_) + "/net/" + table;
        std::vector<std::string> lines = Lines(ReadFile(path));
        for (std::size_t i = 1; i < lines.size(); ++i) {  // line 0 names the columns
            std::istringstream in(lines[i]);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            in >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            if (state != "0A" || inodes.count(inode) == 0) continue;  // 0A: listening
            bool wildcard = false;
            int port = 0;
            std::string text = ListenerText(local, &wildcard, &port);
            if (wildcard || port == 135) found.push_back(text);
        }
    }
    return found;
}

void ServerHarness::StartGuard(int serverPid) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    // Everything the guard needs is made before the fork: the test process has threads.
    char cmdline[64];
    std::snprintf(cmdline, sizeof cmdline, "/proc/%d/cmdline", serverPid);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t guard = ::fork();
    if (guard == 0) {
        // Holds nothing but the pipe's reading end, so it sees the end of the test process
        // (and of this harness) and keeps no output pipe of the test runner open.
        ::dup2(fds[0], 0);
        if (devNull >= 0) {
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
        }
        ::close_range(3, ~0U, 0);
        char byte;
        while (::read(0, &byte, 1) != 0) {
            if (errno != EINTR) break;
        }
        // Still that server (its program name ends in dornelman)? Ask it to stop, then kill.
        for (int round = 0; round < 120; ++round) {
            int fd = ::open(cmdline, O_RDONLY);
            if (fd < 0) ::_exit(0);
            char name[512];
            ssize_t got = ::read(fd, name, sizeof name - 1);
            ::close(fd);
            if (got <= 0) ::_exit(0);
            name[got] = '\0';
            std::size_t length = std::strlen(name);
            if (length < 9 || std::strcmp(name + length - 9, "dornelman") != 0) ::_exit(0);
            ::kill(serverPid, round < 100 ? (round == 0 ? SIGTERM : 0) : SIGKILL);
            timespec pause{0, 50 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    if (devNull >= 0) ::close(devNull);
    if (guard < 0) {
        ::close(fds[1]);
        return;
    }
    guardPid_ = guard;
    guardFd_ = fds[1];
}

void ServerHarness::EndGuard() {
    if (guardFd_ >= 0) ::close(guardFd_);
    guardFd_ = -1;
    if (guardPid_ > 0) ::waitpid(guardPid_, nullptr, 0);
    guardPid_ = -1;
}

bool ServerHarness::Stop() {
    ToolResult stop = Tool("dornelsc", {"stop", "dornelman"});
    EXPECT_EQ(stop.status, 0) << stop.output;
    running_ = false;
    return stop.status == 0;
}

ToolResult ServerHarness::Control(int code, std::optional<int> box) {
    if (box) {
        ToolResult add = Tool("dornelreg", {"add", "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control",
                                            "/v", "Control", "/t", "REG_DWORD", "/d",
                                            std::to_string(*box), "/f"});
        EXPECT_EQ(add.status, 0) << add.output;
    }
    return Tool("dornelsc", {"control", "dornelman", std::to_string(code)});
}

bool ServerHarness::ControlKeyExists() const {
    ToolResult query = Tool("dornelreg", {"query", "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control"});
    return query.status == 0;
}

std::vector<LogRecord> ServerHarness::Log() const {
    std::vector<LogRecord> records;
    for (const std::string& line : Lines(ReadFile(root_ + "/c/dornel/log/dornel.log"))) {
        if (auto record = ParseRecord(line)) records.push_back(*record);
    }
    return records;
}

std::vector<std::string> ServerHarness::EventLog() const {
    return Lines(ReadFile(root_ + "/eventlog"));
}

bool ServerHarness::WaitForLog(const std::function<bool(const std::vector<LogRecord>&)>& predicate,
                               std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate(Log())) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(25ms);
    }
}

bool ServerHarness::WaitForRecord(int box, int type, std::optional<std::string> data,
                                  std::chrono::milliseconds timeout, int count) const {
    return WaitForLog(
        [&](const std::vector<LogRecord>& records) {
            int seen = 0;
            for (const LogRecord& r : records) {
                if (r.box == box && r.type == type && (!data || r.data == *data)) ++seen;
            }
            return seen >= count;
        },
        timeout);
}

bool ServerHarness::WaitForEvent(int id, const std::string& text,
                                 std::chrono::milliseconds timeout) const {
    const std::string wanted = " | " + std::to_string(id) + " | " + text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const std::string& line : EventLog()) {
            if (line.size() >= wanted.size() &&
                line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(25ms);
    }
}

int ServerHarness::CountRecords(int box, int type, std::optional<std::string> data) const {
    int seen = 0;
    for (const LogRecord& r : Log()) {
        if (r.box == box && r.type == type && (!data || r.data == *data)) ++seen;
    }
    return seen;
}

}  // namespace sessiontest
