// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The service control manager: installing a service, running one, and the calls a client
// (dornelsc, the configuration applet) makes to start, stop, control and query it.
//
// Installing (CreateServiceA) records the service under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name> (ImagePath, DisplayName, Type,
// Start, ErrorControl, ObjectName), writes the systemd unit <name>.service into the unit
// directory ($DORNEL_UNIT_DIR, else /etc/systemd/system) and the PAM file <name> into the
// PAM directory ($DORNEL_PAM_DIR, else /etc/pam.d). DeleteService removes all three.
// systemd is asked to reload only when the unit went to /etc/systemd/system.
//
// Running: a program started by the service layer carries DORNEL_SERVICE=<name> in its
// environment (the unit sets it, and so does StartServiceA). Without it the dispatcher
// fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT. With it, the dispatcher
// listens on the control socket <root>/scm/<name>.sock (folder 0700, socket 0600), runs
// the service's main procedure on a new service thread and the control handler on the
// calling thread. SIGTERM and SIGINT are a stop request. Every status the service reports
// is kept for clients and written to <root>/scm/<name>.status, so a query still answers
// (stopped) when the process is gone.
//
// Control codes that reach the handler: stop (1) while running and accepted, interrogate
// (4), and 6 to 255 (user codes are 128 to 255). Pause, continue and shutdown reach it only
// when the service accepts them. The handler's result (NO_ERROR, or the reason it refused)
// is the client's result.
//
// Handles are used by one thread at a time; different handles from different threads.

#include <string>
#include <vector>

#include "platform/base/wintypes.h"
#include "platform/remote/remote.h"
#include "platform/service/svcstatus.h"

struct ServiceManagerHandle;
using SC_HANDLE = ServiceManagerHandle*;

// Service-manager results beyond the common codes of wintypes.h.
inline constexpr LONG NO_ERROR = 0;
inline constexpr LONG ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr LONG ERROR_INVALID_NAME = 123;
inline constexpr LONG ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr LONG ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr LONG ERROR_INVALID_SERVICE_ACCOUNT = 1057;
inline constexpr LONG ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr LONG ERROR_PROCESS_ABORTED = 1067;
inline constexpr LONG ERROR_SERVICE_NEVER_STARTED = 1077;
inline constexpr LONG ERROR_SERVICE_NOT_IN_EXE = 1083;

// Access rights (accepted; the files' modes are the access check).
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD DELETE = 0x10000;

// Start types and error control.
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// ---- Client side -----------------------------------------------------------------------

// Opens the service manager of a machine: null, "" or this host's name (with or without
// "\\") is the local one. Any other name ([\\][USER@]HOST[:PORT]) connects to that machine
// over ssh running "dornelsc --serve" there (platform/remote/remote.h): OpenServiceA,
// QueryServiceStatus(Ex), ControlService, StartServiceA and CloseServiceHandle on its handles
// are carried out there with that machine's results; CreateServiceA and DeleteService fail
// with ERROR_CALL_NOT_IMPLEMENTED. A connection that cannot be made fails with
// ERROR_BAD_NETPATH, a call on a connection that broke with ERROR_NETNAME_DELETED
// (platform::remote::LastConnectionError() tells why); the connection ends when its last
// handle is closed. databaseName must be null. Null on failure (GetLastError).
SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD access);

// Installs a service (see the header comment). Only the own-process type and the local
// system account (null or "LocalSystem") exist here; the binary path is the program's
// absolute path. Null on failure: ERROR_SERVICE_EXISTS, ERROR_INVALID_NAME,
// ERROR_INVALID_SERVICE_ACCOUNT, ERROR_ACCESS_DENIED (the unit or PAM folder is not
// writable), or a registry error. A failure leaves nothing behind.
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* serviceName, const char* displayName,
                         DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* serviceStartName,
                         const char* password);

// Opens an installed service by name; null with ERROR_SERVICE_DOES_NOT_EXIST otherwise.
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD access);

// Removes the service's registry entry, its unit file and its PAM file at once (a running
// instance goes on until it stops). Non-zero on success. The PAM file is the site's
// configuration: CreateServiceA leaves an existing one that differs from what it would
// write, and DeleteService removes it only when it is as the install wrote it; either says
// so on standard error when it keeps the file.
BOOL DeleteService(SC_HANDLE service);

// Closes a manager or service handle. Non-zero on success.
BOOL CloseServiceHandle(SC_HANDLE handle);

// Starts the installed program (ImagePath) detached, in its own session, with
// DORNEL_SERVICE=<name> and DORNEL_ROOT set, standard input from /dev/null and standard
// output and error appended to <root>/scm/<name>.out. Returns once its dispatcher answers on
// the control socket (the service may still be start pending). Fails with
// ERROR_SERVICE_ALREADY_RUNNING, ERROR_FILE_NOT_FOUND / ERROR_ACCESS_DENIED (the program
// cannot be run), ERROR_PROCESS_ABORTED (it exited before its dispatcher answered) or
// ERROR_SERVICE_REQUEST_TIMEOUT (no answer within 30 s). argc/argv are passed to the
// service's main procedure after its name.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv);

// Sends a control code and stores the status after it in *status. Zero on failure with
// GetLastError: ERROR_SERVICE_NOT_ACTIVE (not running), ERROR_INVALID_SERVICE_CONTROL (not
// accepted), ERROR_SERVICE_CANNOT_ACCEPT_CTRL (pending), ERROR_CALL_NOT_IMPLEMENTED (the
// service's handler refused the code), ERROR_INVALID_PARAMETER (code 0 or above 255),
// ERROR_ACCESS_DENIED.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);

// The service's current status: from the running process, else the last status it wrote
// (a process that ended without reporting stopped shows stopped, exit ERROR_PROCESS_ABORTED;
// one that never ran, exit ERROR_SERVICE_NEVER_STARTED).
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);

// The status with the service's process id (0 when no process runs it).
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;  // 0
};
enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };
// Fills a SERVICE_STATUS_PROCESS in buffer (bufferSize bytes; *bytesNeeded gets its size;
// ERROR_INSUFFICIENT_BUFFER when it does not fit). Otherwise as QueryServiceStatus.
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, BYTE* buffer,
                          DWORD bufferSize, DWORD* bytesNeeded);

// ---- Service side ----------------------------------------------------------------------

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
// Returns NO_ERROR when the control was handled, or the reason it was not.
using LPHANDLER_FUNCTION_EX = DWORD (*)(DWORD control, DWORD eventType, void* eventData,
                                        void* context);

struct SERVICE_TABLE_ENTRYA {
    const char* lpServiceName;  // not checked: one service per process
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Runs the control dispatcher on the calling thread (see the header comment) and returns
// non-zero once the service thread has ended (after reporting SERVICE_STOPPED). Zero at once
// with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not started by the
// service layer, ERROR_SERVICE_ALREADY_RUNNING when another instance holds the socket, or
// the error of setting up the socket. Call it before starting other threads: it blocks
// SIGTERM and SIGINT for itself and the threads it starts.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);

// Registers the control handler of the running service; null with ERROR_SERVICE_NOT_IN_EXE
// when no dispatcher runs. A plain handler counts as having handled every code it gets.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* serviceName,
                                                  LPHANDLER_FUNCTION handler);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(const char* serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, void* context);

// Reports: a service may answer clients' questions on topics of its own (numbers it
// defines) with a text, produced by a function called on the dispatcher's thread, so it must
// be quick and must not report its status. QueryServiceReport asks the running service;
// zero with ERROR_SERVICE_NOT_ACTIVE, ERROR_ACCESS_DENIED, or ERROR_CALL_NOT_IMPLEMENTED
// when the service registered no report function.
using LPSERVICE_REPORT_FUNCTION = std::string (*)(DWORD topic);
BOOL RegisterServiceReportFunction(SERVICE_STATUS_HANDLE handle, LPSERVICE_REPORT_FUNCTION report);
BOOL QueryServiceReport(SC_HANDLE service, DWORD topic, std::string* text);

// Stores the status for clients and in the status file; tells systemd (Type=notify) when the
// service is running and when it stops. Zero with ERROR_INVALID_HANDLE for a bad handle.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

namespace platform::service {

// The name of a state as clients print it: "STOPPED", "START_PENDING", ... "PAUSED".
const char* StateName(DWORD state);

// Folder of the control sockets and status files: <root>/scm.
std::string ControlFolder();

// Where a service started by StartServiceA writes its output: <root>/scm/<name>.out.
std::string ServiceOutputPath(const std::string& serviceName);

// Where installing writes the service's PAM file: $DORNEL_PAM_DIR/<name>, else
// /etc/pam.d/<name>.
std::string PamFilePath(const std::string& serviceName);

// True when the process is gone (a zombie not yet reaped counts as gone).
bool ProcessGone(DWORD processId);

// The serving side of remote service-manager connections ("dornelsc --serve"): answers
// requests read from in on out with this machine's service manager, as the account that
// runs it, until in ends. Returns the exit status: 0 when the client closed the connection.
int ServeRemote(int in, int out);

// ---- Beside systemd (systemd.cpp) ----

// The unit of the service that a package installed (/lib/systemd/system/<name>.service or
// /usr/lib/systemd/system/<name>.service), or "" when there is none. Installing the service
// while units go to /etc/systemd/system uses that unit instead of writing a second one.
std::string PackagedUnitPath(const std::string& serviceName);

// True when systemd runs (/run/systemd/system exists).
bool SystemdRunning();

// True when systemd runs and knows the service's unit (the package's, or the one installing
// wrote to /etc/systemd/system): then starting and stopping go through systemctl. A service
// installed into a unit folder of its own ($DORNEL_UNIT_DIR) never is.
bool ManagedBySystemd(const std::string& serviceName);

// Runs systemctl with the arguments and waits for it: its exit status, or -1 when it could
// not run.
int RunSystemctl(const std::vector<std::string>& arguments);

}  // namespace platform::service
