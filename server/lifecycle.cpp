// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service's life: the start-up sequence (Run), the stop sequence (OnStop) and the user
// control codes 128 to 131 (OnUserControl) by which the configuration applet resets a box,
// takes it off or on line, or makes it re-read its configuration.
//
// Run runs on the service thread; OnStop and OnUserControl on the control thread. The
// control thread reaches a box thread only by setting that box's events; the stop sequence
// also raises the process-wide stop request of the box sessions and waits, a bounded time,
// for every box thread to take its box off line and end.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "platform/registry/filemodes.h"
#include "platform/registry/registry.h"
#include "platform/service/eventsource.h"
#include "platform/sync/sync.h"
#include "server/boxsession.h"
#include "server/zuvexservice.h"

// The boot services (DHCP and TFTP) are part of the server whenever their sources are in
// the tree; a tree without them builds a server that says so when they are switched on.
#if __has_include("server/dhcpsrv.h") && __has_include("server/tftpsrv.h")
#define DORNEL_WITH_BOOT_SERVICES 1
#include "server/dhcpsrv.h"
#include "server/tftpsrv.h"
#endif

namespace {

// How long the stop sequence waits in all for the box threads to take their boxes off line
// and end, and how much longer for a thread whose connection it then had to shut down.
constexpr auto kBoxStopWait = std::chrono::milliseconds(5000);
constexpr DWORD kBoxStopGraceMs = 1000;

// How long the stop waits for the TFTP thread, which answers one datagram at a time.
constexpr DWORD kTftpStopWaitMs = 2000;

// Handles of the box threads started by StartBoxHandlingThreads, by box index; null for a
// box without a thread. Only the service and control threads touch them.
HANDLE boxThreads[kMaxBoxes];

// Set by OnStop when it is done, so that Run returns at once instead of at its next round.
HANDLE RunStopEvent() {
    static HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    return event;
}

DWORD RunBoxHandler(void* info) { return CZuvexService::BoxHandlerThread(info); }

// Milliseconds left until the deadline, 0 once it has passed.
DWORD MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

BOOL CZuvexService::OnInit() { return 1; }

void CZuvexService::Run() {
    TheGlobalService = this;
    ResetBoxSessionsStop();
    ResetEvent(RunStopEvent());

    // A control request left over from an earlier run is discarded.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kControlKey);

    static_assert(std::is_trivially_copyable_v<t_ServerStartInfo>);
    std::memset(boxes, 0, sizeof boxes);
    for (HANDLE& thread : boxThreads) thread = nullptr;

    // The registry holds the spawn account's password: a database others can read is closed.
    const std::string opened = platform::registry::MakeRegistryFilesPrivate();
    if (!opened.empty()) LogEvent(EVENTLOG_INFORMATION_TYPE, 100, opened.c_str());
    ReadConfiguration();
    EventLog.Init();
    LogEvent(EVENTLOG_INFORMATION_TYPE, 108, "Started server");

#if defined(DORNEL_WITH_BOOT_SERVICES)
    if (dhcpActive) {
        LogEvent(EVENTLOG_INFORMATION_TYPE, 108, "Initialising DHCP thread");
        pDhcpServer = new CDhcpServer();
        hDhcpThread = BeginThread(DhcpThread, pDhcpServer);
    }
    if (tftpActive) {
        LogEvent(EVENTLOG_INFORMATION_TYPE, 108, "Initialising TFTP thread");
        hTftpThread = BeginThread(TftpThread, nullptr);
    }
#else
    if (dhcpActive || tftpActive) {
        LogEvent(EVENTLOG_INFORMATION_TYPE, 100,
                 "WARNING: DHCP and TFTP are not part of this build; boot services not started");
    }
#endif

    StartBoxHandlingThreads();

    while (isRunning.load()) {
        if (WaitForSingleObject(RunStopEvent(), 1000) == WAIT_OBJECT_0) break;
    }
}

void CZuvexService::StartBoxHandlingThreads() {
    if (numServers <= 0) LogEvent(EVENTLOG_INFORMATION_TYPE, 100, "WARNING: No servers configured");
    const int count = numServers < kMaxBoxes ? numServers : kMaxBoxes;
    for (int i = 0; i < count; ++i) {
        t_ServerStartInfo& box = boxes[i];
        // The records are cleared before the configuration is read, so a box whose key is
        // missing still has box number 0 (not its index, except for box 0) and no address.
        // Such a box gets no events and no thread: its events would carry another box's
        // names, and there is nothing to connect to.
        if (box.boxNumber != i || box.ipAddress[0] == '\0') {
            char text[96];
            std::snprintf(text, sizeof text,
                          "WARNING: Box%03d has no configuration or no IPAddress; not started", i);
            LogEvent(EVENTLOG_INFORMATION_TYPE, 100, text);
            continue;
        }
        MakeEvents(box.boxNumber, box.boxEvents, &box.threadTermEvent);
        boxThreads[i] = BeginThread(RunBoxHandler, &box);
    }
}

void CZuvexService::OnStop() {
#if defined(DORNEL_WITH_BOOT_SERVICES)
    if (pDhcpServer) {
        pDhcpServer->Terminate();
        if (hDhcpThread) {
            WaitForSingleObject(hDhcpThread, INFINITE);
            CloseHandle(hDhcpThread);
            hDhcpThread = nullptr;
        }
        delete pDhcpServer;
        pDhcpServer = nullptr;
    }
    // The TFTP thread is ended too, so that it never runs while the process goes down.
    if (hTftpThread) {
        TftpTerminate();
        if (WaitForSingleObject(hTftpThread, kTftpStopWaitMs) == WAIT_OBJECT_0) {
            CloseHandle(hTftpThread);
            hTftpThread = nullptr;
        }
    }
#endif

    // Every box thread takes its own box off line, under its own session key, and ends.
    RequestBoxSessionsStop();
    for (int i = 0; i < kMaxBoxes; ++i) {
        if (boxThreads[i]) SetEvent(boxes[i].boxEvents[kEventEndThread]);
    }
    const auto deadline = std::chrono::steady_clock::now() + kBoxStopWait;
    for (HANDLE thread : boxThreads) {
        if (thread) WaitForSingleObject(thread, MillisecondsUntil(deadline));
    }

    for (int i = 0; i < kMaxBoxes; ++i) {
        if (!boxThreads[i]) continue;
        if (WaitForSingleObject(boxThreads[i], 0) != WAIT_OBJECT_0) {
            // Stuck in a read or a back-end call: cut its connection so the read returns.
            SOCKET sock = RecordSocket(&boxes[i]).load();
            if (sock > 0) shutdown(sock, SD_BOTH);
            if (WaitForSingleObject(boxThreads[i], kBoxStopGraceMs) != WAIT_OBJECT_0) {
                char text[64];
                std::snprintf(text, sizeof text, "WARNING: Box%03d did not stop in time", i);
                LogEvent(EVENTLOG_INFORMATION_TYPE, 100, text);
                continue;
            }
        }
        CloseHandle(boxThreads[i]);
        boxThreads[i] = nullptr;
        CloseEventHandles(boxes[i].boxEvents, &boxes[i].threadTermEvent);
    }

    SetEvent(RunStopEvent());
}

BOOL CZuvexService::OnUserControl(DWORD code) {
    EventLog.LogDebugEvent(nullptr, "Entering OnUserControl");

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kControlKey, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        EventLog.LogDebugEvent(nullptr, "Cannot find control key");
        return 0;
    }
    BYTE value[4] = {};
    DWORD size = sizeof value;
    DWORD type = REG_NONE;
    LONG result = RegQueryValueExA(key, "Control", nullptr, &type, value, &size);
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kControlKey);
    if (result != ERROR_SUCCESS || size != sizeof value) {
        EventLog.LogDebugEvent(nullptr, "Cannot find control value");
        return 0;
    }
    // A 4-byte little-endian number, whatever type it was stored with.
    const int boxNumber = static_cast<int>(static_cast<DWORD>(value[0]) |
                                           static_cast<DWORD>(value[1]) << 8 |
                                           static_cast<DWORD>(value[2]) << 16 |
                                           static_cast<DWORD>(value[3]) << 24);
    EventLog.LogDebugEvent(nullptr, "Control box number is %d", boxNumber);

    if (boxNumber < 0 || boxNumber >= numServers || boxNumber >= kMaxBoxes) return 0;
    t_ServerStartInfo* box = &boxes[boxNumber];
    if (!box->boxEvents[kEventResetBox] || !box->boxEvents[kEventBoxOffline] ||
        !box->boxEvents[kEventBoxOnline] || !box->boxEvents[kEventBoxReconf]) {
        return 0;
    }

    switch (code) {
        case 128:
            SetEvent(box->boxEvents[kEventResetBox]);
            EventLog.LogUserEvent(box, CEventLog::ServerRebootRequest, nullptr);
            return 1;
        case 129:
            SetEvent(box->boxEvents[kEventBoxOffline]);
            EventLog.LogUserEvent(box, CEventLog::ServerOfflineRequest, nullptr);
            return 1;
        case 130:
            SetEvent(box->boxEvents[kEventBoxOnline]);
            EventLog.LogUserEvent(box, CEventLog::ServerOnlineRequest, nullptr);
            return 1;
        case 131:
            EventLog.LogDebugEvent(nullptr, "Re-reading configuration");
            ReadConfiguration();
            EventLog.LogDebugEvent(nullptr, "Reconfigure event being set");
            SetEvent(box->boxEvents[kEventBoxReconf]);
            EventLog.LogUserEvent(box, CEventLog::ServerReconfigureRequest, nullptr);
            return 1;
        default:
            return 0;
    }
}
