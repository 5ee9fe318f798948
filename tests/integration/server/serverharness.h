// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// ServerHarness: one dornelman under test in a root of its own. It writes the registry with
// dornelreg (a .reg import), installs the service with "dornelman -i" and drives it with
// dornelsc (start, stop, control), and reads what the server wrote: the event log
// "dornel.log" and the NT event log file of the root.
//
// The example plug-ins serve as back-ends: custauth.so with a user file, printlink.so with
// an SQLite ledger, both under the root.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sessiontest {

using namespace std::chrono_literals;

// One record of dornel.log.
struct LogRecord {
    std::string time;
    int box = 0;
    int type = 0;
    std::string user;
    std::string data;
};

// One box of the configuration.
struct BoxSetup {
    std::string address;           // IPAddress
    int authType = 2;              // custauth.so
    int printLinkType = 1;         // printlink.so
    std::optional<int> rotationDelay;
    std::optional<int> uiTimeout;
    std::map<std::pair<int, int>, std::string> messages;  // (page, line) -> text
};

// Result of running a tool.
struct ToolResult {
    int status = -1;     // exit status, or -1 when it did not end in time
    std::string output;  // standard output and error together
};

// A tool of the build running in the background, its output going to a file.
class BackgroundTool {
public:
    BackgroundTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& outputPath);
    ~BackgroundTool();  // kills it if it still runs
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;

    // Waits for it to end; its exit status, or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds timeout);
    std::string Output() const;

private:
    int pid_ = -1;
    std::string outputPath_;
};

class ServerHarness {
public:
    ServerHarness();
    ~ServerHarness();  // stops the service if it runs and removes the root
    ServerHarness(const ServerHarness&) = delete;
    ServerHarness& operator=(const ServerHarness&) = delete;

    const std::string& root() const { return root_; }

    // The registry: general values, the boxes and the plug-in settings, in one import.
    // numServers defaults to the number of boxes.
    bool Configure(const std::vector<BoxSetup>& boxes, std::optional<int> numServers = {});
    // Any further .reg lines (after the header), imported as they are.
    bool Import(const std::string& regLines);

    // A user of the example plug-ins with a password and a balance in the ledger.
    bool AddUser(const std::string& name, const std::string& password, double balance);
    // The user's balance in the ledger, or nothing when the user has no account.
    std::optional<double> LedgerBalance(const std::string& name) const;

    // The folder of the build's programs.
    const std::string& binDir() const { return binDir_; }

    // Lets "dornelman -i" (and "-u") write the PAM file into the system's own folder
    // (/etc/pam.d), where PAM reads it, instead of the root. The caller guards that file.
    void UseSystemPamFolder() { systemPam_ = true; }

    // Runs a tool of the build (dornelreg, dornelsc, dornelman) with this root.
    ToolResult Tool(const std::string& name, const std::vector<std::string>& args,
                    std::chrono::milliseconds timeout = 30s) const;
    // The same with DORNEL_ROOT set to otherRoot: a tool run on another machine, whose own
    // registry and service manager are not the server's.
    ToolResult ToolElsewhere(const std::string& otherRoot, const std::string& name,
                             const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout = 30s) const;

    // The endpoint mapper's port that every tool and the server get as DORNEL_EPM_PORT
    // (a loopback port the system handed out), and the address every listener of the
    // server binds (DORNEL_RPC_ADDRESS): the server never listens on 135 or 0.0.0.0.
    int epmPort() const { return epmPort_; }
    static constexpr const char* kRpcAddress = "127.0.0.1";

    // The server's TCP listeners that a test must never open: on a wildcard address or on
    // port 135. Each as "address:port"; empty when there is none (or no server runs).
    std::vector<std::string> ForbiddenListeners() const;

    // Installs (once) and starts the service; true when dornelsc reports it running.
    // A server started here is stopped when the harness goes, and killed by its process id
    // when it does not stop; a guard process kills it too when the test process dies.
    bool Start();
    // Stops it; true when dornelsc reports it stopped.
    bool Stop();
    // For a test that stopped the server another way (from another machine): the harness
    // then has nothing left to stop.
    void StoppedElsewhere() { running_ = false; }
    bool Running() const { return running_; }
    // The server's process id as dornelsc reports it, or -1.
    int ServerPid() const;
    // Writes the Control key with the box number (unless nothing is given), then sends the
    // code through dornelsc. Returns dornelsc's result.
    ToolResult Control(int code, std::optional<int> box);
    // True while the Control key exists.
    bool ControlKeyExists() const;

    // dornel.log as records, and the NT event log file as lines.
    std::vector<LogRecord> Log() const;
    std::vector<std::string> EventLog() const;
    // Waits until the predicate over the records holds; false on time-out.
    bool WaitForLog(const std::function<bool(const std::vector<LogRecord>&)>& predicate,
                    std::chrono::milliseconds timeout) const;
    // Waits for a record of the box with the type (and the data, when given).
    bool WaitForRecord(int box, int type, std::optional<std::string> data,
                       std::chrono::milliseconds timeout, int count = 1) const;
    // Waits for an NT event log line with the id and text.
    bool WaitForEvent(int id, const std::string& text, std::chrono::milliseconds timeout) const;
    // Number of records of the box with the type (and data).
    int CountRecords(int box, int type, std::optional<std::string> data = {}) const;

private:
    void StartGuard(int serverPid);
    void EndGuard();

    std::string root_;
    std::string binDir_;
    bool installed_ = false;
    bool running_ = false;
    int epmPort_ = 0;
    int serverPid_ = -1;  // the last server Start saw running
    int guardPid_ = -1;   // kills serverPid_ when the test process dies
    int guardFd_ = -1;    // its pipe: closing it ends the guard
    bool systemPam_ = false;
};

// Record types of dornel.log used by the tests.
enum RecordType {
    kServerStart = 0,
    kServerConnect = 2,
    kServerDisconnect = 3,
    kReconfigureRequest = 4,
    kOnlineRequest = 5,
    kOfflineRequest = 6,
    kRebootRequest = 7,
    kAuthOK = 11,
    kAuthDeclined = 12,
    kDepositOK = 14,
    kDepositError = 15,
    kDoorState = 16,
    kDepositUnits = 17,
    kDebug = 500,
};

}  // namespace sessiontest
