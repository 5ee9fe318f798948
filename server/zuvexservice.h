// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CZuvexService: the server's service class. It holds the configuration read from the
// registry (general values and ten box records), runs the start-up and stop sequences and
// the user control codes, and gathers the static procedures of the box sessions and the
// account back-ends, which run on the box threads.
//
// Threads: Run on the service thread; OnStop and OnUserControl on the control thread; the
// box procedures on each box's own handler thread; the back-ends on the box thread that
// called them, several boxes at once.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "server/eventlog.h"
#include "server/ntservice.h"
#include "server/serverstartinfo.h"
#include "server/stringex.h"

// Display name and service name (the program's string table entries 1 and 2).
inline constexpr const char* kDisplayName = "Orvane Technology Dornel Manager";
inline constexpr const char* kServiceName = "dornelman";

// Topics the running service reports on over its control socket (QueryServiceReport):
// the box overview (one line per box, see BoxOverviewReport) and the note the last control
// code left (a box that is not connected), empty when there is none.
inline constexpr DWORD kReportBoxes = 1;
inline constexpr DWORD kReportControlNote = 2;

// Registry keys of the configuration, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kConfigKey = "SOFTWARE\\Orvane Technology\\ZuvexBox";
inline constexpr const char* kControlKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\Control";

// What the configuration takes for a missing value (the configuration check reports against
// the same): the general values' texts, a box's texts and numbers. Strings are queried
// through a buffer of kStringQuerySize bytes; a longer value fails.
inline constexpr DWORD kStringQuerySize = 1024;
inline constexpr const char* kDefaultTFTPDirectory = "C:\\dornel";
inline constexpr const char* kDefaultLogDirectory = "C:\\dornel\\log";
inline constexpr const char* kDefaultSpawnUser = "dladmin";
inline constexpr const char* kLocalMachineDomain = R"(\\.)";  // "\\." names this machine
inline constexpr const char* kDefaultPCounterLocation = "C:\\";
inline constexpr int kDefaultRotationDelay = 15;
inline constexpr int kDefaultUITimeout = 30;

// A balance or deposit result below this is the back-ends' failure value.
inline constexpr double kBalanceFailure = -1000000.0;
inline bool IsBalanceFailure(double value) { return value < -999999.0; }

// Outcome of the authentication selection by authType.
enum class AuthOutcome {
    Accepted,     // userName holds the name to use with the accounting back-end
    Declined,     // wrong credentials, or the plug-in failed
    InvalidType,  // authType is not 0, 1 or 2
};

// Global strings filled by ReadConfiguration. Writers hold ConfigLock(); a reader on
// another thread copies a value under the same lock (GetConfigString) so it never sees a
// half-written string.
extern char SpawnUser[1024];           // account that runs account.exe
extern char SpawnPasswd[1024];         // its password
extern char SpawnDomain[1024];         // its domain, "\\." for this machine
extern char LogDir[1024];              // folder of dornel.log
extern char LogPasswd[1024];           // kept, used by nothing
extern char GlobalTFTPDirectory[260];  // folder served by TFTP
std::mutex& ConfigLock();
// Copies a global string (or any record string) under ConfigLock() into out (size bytes).
void GetConfigString(const char* source, char* out, std::size_t size);
// A number below the ZuvexBox key, read as ReadConfiguration reads its numbers (whatever
// the stored type; a decimal text as its number, with an NT event that names it);
// defaultValue when the key or the value is missing.
int ReadConfigurationNumber(const char* name, int defaultValue);
// The number a text holds, as the configuration reads a number stored as text: optional
// blanks, an optional sign, decimal digits that fit a signed 32-bit value, optional blanks;
// nothing for any other text.
std::optional<int> DecimalNumber(const std::string& text);

class CZuvexService;
extern CZuvexService* TheGlobalService;  // set at the start of Run

class CZuvexService : public CNTService {
  public:
    CZuvexService(const char* displayName, const char* serviceName);
    ~CZuvexService() override;

    // Service lifecycle.
    void Run() override;
    BOOL OnInit() override;
    void OnStop() override;
    BOOL OnUserControl(DWORD code) override;
    // The start-up sequence of Run: the stale Control key, the records, the configuration,
    // the event log, the boot threads and the box threads (StartBoxHandlingThreads).
    void StartUp();
    void StartBoxHandlingThreads();
    // True when a thread the service started may still run after the stop: a box or TFTP
    // thread the stop could not end in time, or Run itself. The program must then end
    // without freeing the service object or the event log (see main).
    bool ThreadsStillRunning() const;

    // Reads the general values of kConfigKey into this object and the global strings
    // (defaults for what is missing; the spawn account kept when the key is missing),
    // clamps NumServers to 0..10 (above 10 with an NT event 100 warning), copies
    // tftpDirectory into GlobalTFTPDirectory, then calls ReadBoxConfiguration. Runs on the
    // service thread at start and on the control thread on a reconfigure.
    void ReadConfiguration();
    // Reads Box000 .. for boxes 0 to numServers - 1. A box whose key is missing keeps its
    // record; a missing IPAddress keeps the old address. Each box's values are gathered
    // first and copied into its record under ConfigLock(), so a box thread that copies its
    // settings under the same lock never sees a half-written string.
    void ReadBoxConfiguration();

    // Box events and threads.
    static void MakeEvents(int boxNumber, HANDLE* events, HANDLE* threadTermEvent);
    static void CloseEventHandles(HANDLE* events, HANDLE* threadTermEvent);
    static DWORD SocketWaitThread(void* info);
    static DWORD BoxHandlerThread(void* info);

    // Box requests, on the box's handler thread.
    static void ProcessReceivedPacket(t_ServerStartInfo* info, int type, char* buffer, long length);
    static void ProcessAuthRequest(t_ServerStartInfo* info, char* buffer, long length);
    static void ProcessDeposit(t_ServerStartInfo* info, char* buffer, long length);
    static void SendMessagesToBox(t_ServerStartInfo* info);

    // Authentication by authType (NT logon, dornnw.dll, custauth.dll), with its user events
    // and debug records; sets info->userName on acceptance.
    static AuthOutcome AuthenticateUser(t_ServerStartInfo* info, const char* user,
                                        const char* password);

    // Balances and deposits. Balances return kBalanceFailure on failure; the deposits
    // answer the box with PKT_DEPOSIT_RESULT and clear userName once the back-end answered.
    static double GetBalance(char* user, t_ServerStartInfo* info);
    static double GetPCounterBalance(char* user, t_ServerStartInfo* info);
    static double GetNTPCounterBalance(char* user, t_ServerStartInfo* info);
    static double GetNetwarePCounterBalance(char* user, t_ServerStartInfo* info);
    static double GetCustomBalance(char* user, t_ServerStartInfo* info);
    static void ProcessPCounterDeposit(t_ServerStartInfo* info, double amount);
    static void ProcessNTPCounterDeposit(t_ServerStartInfo* info, double amount);
    static void ProcessNetwarePCounterDeposit(t_ServerStartInfo* info, double amount);
    static void ProcessCustomDeposit(t_ServerStartInfo* info, double amount);

    static CEventLog EventLog;

    int numServers = 0;                  // NumServers, clamped to 0..10
    int dhcpActive = 0;                  // DHCPActive
    int tftpActive = 0;                  // TFTPActive
    CStringEx tftpDirectory;             // TFTPDirectory
    std::atomic<int> enableDebugLog{0};  // EnableDebugLog; read by every debug record
    t_ServerStartInfo boxes[kMaxBoxes];  // indexed by box number; never move
};

// 1 when the connection on the socket is dead (closed, reset, aborted), 0 otherwise.
int CheckConnectionFailed(unsigned int sock);

// Runs one authentication through a plug-in library ("dornnw.dll", "custauth.dll"); 0 on
// failure. On success copies the plug-in's returned name into info->userName.
int DoDLLAuth(const char* library, const char* user, const char* password, const char* master,
              const char* data, t_ServerStartInfo* info);
