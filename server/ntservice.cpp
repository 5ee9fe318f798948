// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service framework. Sections: the object and its NT event log source; console switches
// and installation; running as a service (dispatcher, main procedure, status, control
// handler); base behaviour of the virtual operations.
#include "server/ntservice.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <strings.h>
#include <unistd.h>

#include "platform/registry/registry.h"
#include "platform/service/scm.h"

CNTService* CNTService::m_pThis = nullptr;

namespace {

// LogEvent is called from every thread of the server; the source is registered once.
std::mutex eventSourceLock;

void CopyName(char (&target)[64], const char* source) {
    std::memset(target, 0, sizeof target);
    if (source) std::strncpy(target, source, sizeof target - 1);
}

}  // namespace

CNTService::CNTService(const char* display, const char* service) {
    CopyName(displayName, display);
    CopyName(serviceName, service);
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_pThis = this;
}

CNTService::~CNTService() {
    if (eventSource) {
        DeregisterEventSource(eventSource);
        eventSource = nullptr;
    }
    if (m_pThis == this) m_pThis = nullptr;
}

void CNTService::LogEvent(WORD eventType, DWORD eventId, const char* string1,
                          const char* string2, const char* string3) {
    const char* strings[3];
    WORD count = 0;
    for (const char* s : {string1, string2, string3}) {
        if (s) strings[count++] = s;
    }
    HANDLE source;
    {
        std::lock_guard<std::mutex> guard(eventSourceLock);
        if (!eventSource) eventSource = RegisterEventSourceA(nullptr, displayName);
        source = eventSource;
    }
    if (source) ReportEventA(source, eventType, 0, eventId, nullptr, count, 0, strings, nullptr);
}

void LogServiceEvent(WORD eventType, DWORD eventId, const char* text) {
    if (CNTService::m_pThis) CNTService::m_pThis->LogEvent(eventType, eventId, text);
}

void CNTService::DebugMsg(const char* format, ...) {}

// ---- Console switches and installation ----------------------------------------------------

namespace {

// The running program's full path, from /proc/self/exe; false when it cannot be read.
bool ProgramPath(char* path, std::size_t size) {
    ssize_t length = ::readlink("/proc/self/exe", path, size - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= size - 1) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    path[length] = '\0';
    return true;
}

constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// status is written by the service thread (SetStatus) and reported by the control thread
// (Handler); the lock keeps every report a whole, consistent record.
std::mutex statusLock;

constexpr DWORD kUserControlFirst = 128;  // codes 128-255 are the service's own
constexpr DWORD kRunRoundMs = 5000;       // one round of the base Run loop
constexpr DWORD kRunSliceMs = 100;        // Run looks at isRunning this often within a round

// The control handler the service layer calls: the work of Handler, with its result (the
// client learns whether the code was accepted).
DWORD HandleControl(CNTService& service, DWORD control);

DWORD ControlHandlerEx(DWORD control, DWORD eventType, void* eventData, void* context) {
    return HandleControl(*static_cast<CNTService*>(context), control);
}

}  // namespace

int CNTService::ParseStandardArgs(int argc, char** argv) {
    if (argc < 2 || !argv[1]) return 0;
    const char* option = argv[1];
    // The console switches end the program with 0 when done, 1 when they failed or could not
    // tell; the exit code is status's, as for a service run.
    auto finish = [this](bool ok) {
        status.dwWin32ExitCode = ok ? 0 : 1;
        return 1;
    };
    if (::strcasecmp(option, "-v") == 0) {
        std::printf("%s Version %d.%d\n", displayName, majorVersion, minorVersion);
        const int installed = InstalledState();
        if (installed < 0) {
            std::printf("Cannot tell whether the service is installed: permission denied\n");
            return finish(false);
        }
        std::printf("The service is %s installed\n", installed ? "currently" : "not");
        return finish(true);
    }
    if (::strcasecmp(option, "-i") == 0) {
        const int installed = InstalledState();
        if (installed < 0) {
            std::printf("%s cannot be installed: permission denied\n", displayName);
            return finish(false);
        }
        if (installed) {
            std::printf("%s is already installed\n", displayName);
            return finish(true);
        }
        if (Install()) {
            std::printf("%s installed\n", displayName);
            return finish(true);
        }
        std::printf("%s failed to install. Error %d\n", displayName,
                    static_cast<int>(GetLastError()));
        return finish(false);
    }
    if (::strcasecmp(option, "-u") == 0) {
        const int installed = InstalledState();
        if (installed < 0) {
            std::printf("%s cannot be removed: permission denied\n", displayName);
            return finish(false);
        }
        if (!installed) {
            std::printf("%s is not installed\n", displayName);
            return finish(true);
        }
        char path[PATH_MAX];
        if (!ProgramPath(path, sizeof path)) path[0] = '\0';
        if (Uninstall()) {
            std::printf("%s removed. (You must delete the file (%s) yourself.)\n", displayName,
                        path);
            return finish(true);
        }
        std::printf("Could not remove %s. Error %d\n", displayName,
                    static_cast<int>(GetLastError()));
        return finish(false);
    }
    return 0;
}

int CNTService::InstalledState() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED) ? -1 : 0;
    int state = 0;
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_CONFIG);
    if (service) {
        state = 1;
        CloseServiceHandle(service);
    } else if (GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED)) {
        state = -1;
    }
    CloseServiceHandle(manager);
    return state;
}

int CNTService::IsInstalled() {
    DebugMsg("Entering CNTService::IsInstalled()");
    int installed = 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
        SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_CONFIG);
        if (service) {
            installed = 1;
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    DebugMsg("Leaving CNTService::IsInstalled() (%d)", installed);
    return installed;
}

int CNTService::Install() {
    DebugMsg("Entering CNTService::Install()");
    char path[PATH_MAX];
    if (!ProgramPath(path, sizeof path)) return 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    SC_HANDLE service =
        CreateServiceA(manager, serviceName, displayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        SetLastError(error);
        return 0;
    }

    // The event source: the program is its own message file, with error, warning and
    // information entries.
    std::string keyPath = std::string(kEventSourceKey) + displayName;
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(path),
                            static_cast<DWORD>(std::strlen(path) + 1));
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
        }
        RegCloseKey(key);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (rc != ERROR_SUCCESS) {
        // The service stays installed; only its event source is missing.
        SetLastError(static_cast<DWORD>(rc));
        return 0;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, 100, displayName);
    DebugMsg("Leaving CNTService::Install()");
    return 1;
}

int CNTService::Uninstall() {
    DebugMsg("Entering CNTService::Uninstall()");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    int removed = 0;
    SC_HANDLE service = OpenServiceA(manager, serviceName, DELETE);
    if (service) {
        if (DeleteService(service)) {
            LogEvent(EVENTLOG_INFORMATION_TYPE, 101, displayName);
            removed = 1;
        } else {
            DWORD error = GetLastError();
            LogEvent(EVENTLOG_ERROR_TYPE, 102, displayName);
            SetLastError(error);
        }
        CloseServiceHandle(service);
    }
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    DebugMsg("Leaving CNTService::Uninstall() (%d)", removed);
    return removed;
}

// ---- Running as a service ------------------------------------------------------------------

BOOL CNTService::StartServiceA() {
    DebugMsg("Entering CNTService::StartService()");
    // For an own-process service the name in the table is not checked.
    SERVICE_TABLE_ENTRYA table[] = {{displayName, ServiceMain}, {nullptr, nullptr}};
    BOOL result = StartServiceCtrlDispatcherA(table);
    DebugMsg("Leaving CNTService::StartService() (%d)", result);
    return result;
}

void CNTService::ServiceMain(DWORD argc, char** argv) {
    CNTService* service = m_pThis;
    if (!service) return;
    service->DebugMsg("Entering CNTService::ServiceMain()");
    {
        std::lock_guard<std::mutex> guard(statusLock);
        service->status.dwCurrentState = SERVICE_START_PENDING;
    }
    service->statusHandle =
        RegisterServiceCtrlHandlerExA(service->displayName, ControlHandlerEx, service);
    if (!service->statusHandle) {
        service->LogEvent(EVENTLOG_ERROR_TYPE, 103);
        return;
    }
    // Set before the service can report RUNNING: from that report on the service manager may
    // deliver a stop at once, even before this thread has come back from Initialize, and
    // the stop's clearing of the flag must not be undone here afterwards.
    service->isRunning = 1;
    if (!service->Initialize()) {
        service->isRunning = 0;
    } else {
        {
            std::lock_guard<std::mutex> guard(statusLock);
            service->status.dwWin32ExitCode = 0;
            service->status.dwCheckPoint = 0;
            service->status.dwWaitHint = 0;
        }
        service->Run();
    }
    service->SetStatus(SERVICE_STOPPED);
    service->DebugMsg("Leaving CNTService::ServiceMain()");
}

void CNTService::SetStatus(DWORD state) {
    DebugMsg("CNTService::SetStatus(%lu)", static_cast<unsigned long>(state));
    SERVICE_STATUS report;
    {
        std::lock_guard<std::mutex> guard(statusLock);
        status.dwCurrentState = state;
        report = status;
    }
    if (statusHandle) SetServiceStatus(statusHandle, &report);
}

BOOL CNTService::Initialize() {
    DebugMsg("Entering CNTService::Initialize()");
    SetStatus(SERVICE_START_PENDING);
    BOOL ok = OnInit();
    {
        std::lock_guard<std::mutex> guard(statusLock);
        status.dwWin32ExitCode = GetLastError();
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
    }
    if (!ok) {
        LogEvent(EVENTLOG_ERROR_TYPE, 104);
        SetStatus(SERVICE_STOPPED);
        return 0;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, 105);
    // A service that reports running itself stays start pending until Run has started its
    // work; until then the service manager holds a stop back.
    SetStatus(runReportsRunning ? SERVICE_START_PENDING : SERVICE_RUNNING);
    DebugMsg("Leaving CNTService::Initialize()");
    return 1;
}

void CNTService::Handler(DWORD control) {
    if (m_pThis) HandleControl(*m_pThis, control);
}

namespace {

DWORD HandleControl(CNTService& service, DWORD control) {
    service.DebugMsg("CNTService::Handler(%lu)", static_cast<unsigned long>(control));
    DWORD result = NO_ERROR;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            service.SetStatus(SERVICE_STOP_PENDING);
            service.OnStop();
            service.isRunning = 0;
            service.LogEvent(EVENTLOG_INFORMATION_TYPE, 109);
            break;
        case SERVICE_CONTROL_PAUSE:
            service.OnPause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            service.OnContinue();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            service.OnInterrogate();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            service.OnShutdown();
            break;
        default:
            if (control >= kUserControlFirst) {
                if (!service.OnUserControl(control)) {
                    service.LogEvent(EVENTLOG_ERROR_TYPE, 106);
                    result = ERROR_CALL_NOT_IMPLEMENTED;
                }
            } else {
                service.LogEvent(EVENTLOG_ERROR_TYPE, 106);
                result = ERROR_INVALID_SERVICE_CONTROL;
            }
            break;
    }
    // The status as it now stands goes back to the service manager after every code.
    SERVICE_STATUS report;
    {
        std::lock_guard<std::mutex> guard(statusLock);
        report = service.status;
    }
    if (service.statusHandle) SetServiceStatus(service.statusHandle, &report);
    return result;
}

}  // namespace

// ---- Base behaviour of the virtual operations ----------------------------------------------

// Loops while isRunning is set, a round of 5000 ms at a time; within a round it looks at the
// flag every 100 ms, so a stop ends the loop promptly instead of up to five seconds later.
void CNTService::Run() {
    DebugMsg("Entering CNTService::Run()");
    while (isRunning) {
        for (DWORD slept = 0; slept < kRunRoundMs && isRunning; slept += kRunSliceMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRunSliceMs));
        }
    }
    DebugMsg("Leaving CNTService::Run()");
}

BOOL CNTService::OnInit() { return 1; }
void CNTService::OnStop() {}
void CNTService::OnInterrogate() {}
void CNTService::OnPause() {}
void CNTService::OnContinue() {}
void CNTService::OnShutdown() {}
BOOL CNTService::OnUserControl(DWORD code) { return 0; }
