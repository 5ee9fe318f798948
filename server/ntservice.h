// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// CNTService: a small, general service framework. It owns the service's names, its status
// towards the service manager, the NT event log source and the two callbacks the service
// manager calls (the main procedure on the service thread, the control handler on the
// thread that called StartServiceA). A concrete service derives from it and supplies the
// work through the virtual operations.
//
// One service object exists per process; m_pThis points at it, and the static callbacks
// and other modules (LogEvent) reach it through that pointer.

#include <atomic>

#include "platform/base/wintypes.h"
#include "platform/service/eventsource.h"
#include "platform/service/svcstatus.h"

// Writes an NT event log entry through the one service object, when one exists (a tool or
// test without a service writes nothing). Safe from any thread.
void LogServiceEvent(WORD eventType, DWORD eventId, const char* text);

class CNTService {
public:
    // Keeps at most 63 characters of each name and sets m_pThis.
    CNTService(const char* displayName, const char* serviceName);
    // Deregisters the event source if one was registered.
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // Handles -v, -i and -u (without case) and returns 1, with status.dwWin32ExitCode 0 when
    // the switch did its work (or found it done) and 1 when it failed or could not read the
    // service's records ("permission denied"); returns 0 when the program is to run as a
    // service (fewer than two arguments, or any other first argument).
    int ParseStandardArgs(int argc, char** argv);
    int IsInstalled();  // 1 when the service is installed
    // 1 installed, 0 not installed, -1 cannot tell (the service records could not be read).
    int InstalledState();
    int Install();      // 1 on success
    int Uninstall();    // 1 on success

    // Writes an NT event log entry with up to three inserted strings (each may be null),
    // registering the event source under the display name on first use. Silent on failure.
    void LogEvent(WORD eventType, DWORD eventId, const char* string1 = nullptr,
                  const char* string2 = nullptr, const char* string3 = nullptr);

    // Runs the control dispatcher on the calling thread; returns when the service stopped.
    // Fails at once (returns 0) when the program was not started by the service layer.
    BOOL StartServiceA();

    // Stores the state in status and reports status to the service manager.
    void SetStatus(DWORD state);
    // SetStatus(START_PENDING), OnInit, then RUNNING (event 105) or STOPPED (event 104);
    // with runReportsRunning it stays START_PENDING after event 105.
    BOOL Initialize();

    virtual void Run();  // loops while isRunning is set, 5000 ms per round
    virtual BOOL OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual BOOL OnUserControl(DWORD code);  // 0: not handled (event 106)

    // Trace hook at the entry and exit of framework operations; produces no output.
    void DebugMsg(const char* format, ...);

    static void ServiceMain(DWORD argc, char** argv);
    static void Handler(DWORD control);

    static CNTService* m_pThis;

    char displayName[64];                          // display name, event source, console messages
    char serviceName[64];                          // the name the service is installed under
    int majorVersion = 1;                          // printed by -v
    int minorVersion = 0;                          // printed by -v
    SERVICE_STATUS_HANDLE statusHandle = nullptr;  // from the control handler registration
    SERVICE_STATUS status;                         // reported to the service manager
    std::atomic<int> isRunning{0};                 // set when started; cleared by the stop request
    // Set (in its constructor) by a service whose Run reports SERVICE_RUNNING itself once it
    // has started its work: Initialize then leaves the service start pending, so no stop is
    // delivered before Run can take it.
    bool runReportsRunning = false;
    HANDLE eventSource = nullptr;  // registered on first use by LogEvent
};
