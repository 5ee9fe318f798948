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

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/registry/filemodes.h"
#include "platform/registry/registry.h"
#include "platform/service/eventsource.h"
#include "platform/service/scm.h"
#include "platform/sync/sync.h"
#include "server/boxsession.h"
#include "server/boxstatus.h"
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

// The start-up (in Run), the stop (OnStop) and the control codes (OnUserControl) take this
// lock, so none of them ever runs into another half-way: a stop that comes while Run is
// starting things waits for it, and finds every thread Run started.
std::mutex lifecycleLock;
bool stopRequested = false;  // OnStop has run (or begun); nothing more is started
bool started = false;        // Run has started the threads

// Handles of the box threads, by box index; null for a box without a thread. Written under
// lifecycleLock only.
HANDLE boxThreads[kMaxBoxes];

// A thread the stop could not end in time (a box thread stuck in a back-end, the TFTP
// thread), or Run itself still running: the process must then not free what they use.
std::atomic<bool> threadsLeftRunning{false};
std::atomic<bool> runActive{false};

// Set by OnStop when it is done, so that Run returns at once instead of at its next round.
HANDLE RunStopEvent() {
    static HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    return event;
}

DWORD RunBoxHandler(void* info) { return CZuvexService::BoxHandlerThread(info); }

// ---- Reports for the service's clients (dornelsc boxes, dornelsc control) ----------------

// What the last control code left to say: a box it was meant for that is not connected.
std::mutex controlNoteLock;
std::string controlNote;

void SetControlNote(const std::string& note) {
    std::lock_guard<std::mutex> guard(controlNoteLock);
    controlNote = note;
}

std::string UserOfBox(int box) {
    CZuvexService* service = TheGlobalService;
    if (!service || box < 0 || box >= kMaxBoxes) return {};
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    const char* name = service->boxes[box].userName;
    return std::string(name, strnlen(name, sizeof service->boxes[box].userName));
}

// Runs on the service layer's dispatcher thread, the thread a reconfigure rewrites
// numServers on (it is registered after the first read): quick, and takes no lifecycle lock.
std::string ServiceReport(DWORD topic) {
    CZuvexService* service = TheGlobalService;
    if (topic == kReportBoxes) {
        const int count = service ? service->numServers : 0;
        return BoxOverviewReport(count, UserOfBox);
    }
    if (topic == kReportControlNote) {
        std::lock_guard<std::mutex> guard(controlNoteLock);
        return controlNote;
    }
    return {};
}

// The note of a control code sent to a box that is not connected: the code was taken, but
// what reaches the box depends on the code.
std::string NotConnectedNote(int box, DWORD code) {
    for (const BoxLinkStatus& entry : BoxLinks(box + 1)) {
        if (entry.box != box || entry.state == LinkState::Connected) continue;
        char text[512];
        const char* outcome = code == 131   ? "it gets the new configuration when it connects"
                              : code == 128 ? "there is nothing to reset"
                                            : "the request does not reach it";
        const char* state = entry.state == LinkState::Unreachable  ? "off line"
                            : entry.state == LinkState::Connecting ? "connecting"
                                                                   : "not started";
        std::snprintf(text, sizeof text, "Box%03d (%s) is not connected (%s%s%s); %s", box,
                      entry.address.c_str(), state, entry.lastFailure.empty() ? "" : ": ",
                      entry.lastFailure.c_str(), outcome);
        return text;
    }
    return {};
}

// Milliseconds left until the deadline, 0 once it has passed.
DWORD MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// Sets one of the box's events; its handles are read under the record lock, because a box
// thread whose wait failed closes them.
bool SetBoxEvent(t_ServerStartInfo* box, int index) {
    std::lock_guard<std::mutex> guard(BoxRecordLock());
    if (!box->boxEvents[index]) return false;
    SetEvent(box->boxEvents[index]);
    return true;
}

// Creates the events of box i and starts its thread, when the box has a key of its own and
// an address. Called with lifecycleLock held.
//
// The records are cleared before the configuration is read, so a box whose key is missing
// still has box number 0 (not its index, except for box 0) and no address. Such a box gets
// no events and no thread: its events would carry another box's names, and there is nothing
// to connect to. A reconfigure (code 131) that finds it configured starts it then.
bool StartBoxThread(CZuvexService& service, int i, bool warn) {
    t_ServerStartInfo& box = service.boxes[i];
    bool configured;
    int boxNumber;
    {
        std::lock_guard<std::mutex> guard(BoxRecordLock());
        boxNumber = box.boxNumber;
        configured = boxNumber == i && box.ipAddress[0] != '\0';
    }
    if (!configured) {
        if (warn) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "WARNING: Box%03d has no configuration or no IPAddress; not started", i);
            service.LogEvent(EVENTLOG_INFORMATION_TYPE, 100, text);
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(BoxRecordLock());
        CZuvexService::MakeEvents(boxNumber, box.boxEvents, &box.threadTermEvent);
    }
    boxThreads[i] = BeginThread(RunBoxHandler, &box);
    return boxThreads[i] != nullptr;
}

}  // namespace

BOOL CZuvexService::OnInit() {
    // Run reports the service running once it has started everything (see Run).
    runReportsRunning = true;
    std::lock_guard<std::mutex> guard(lifecycleLock);
    stopRequested = false;
    started = false;
    threadsLeftRunning = false;
    ResetBoxSessionsStop();
    ResetEvent(RunStopEvent());
    return 1;
}

bool CZuvexService::ThreadsStillRunning() const {
    return threadsLeftRunning.load() || runActive.load();
}

void CZuvexService::Run() {
    runActive = true;
    TheGlobalService = this;
    bool startedHere = false;
    {
        std::lock_guard<std::mutex> guard(lifecycleLock);
        if (!stopRequested) {
            StartUp();
            started = true;
            startedHere = true;
        }
    }
    // Only now may a stop come: everything it has to end has been started.
    if (startedHere) SetStatus(SERVICE_RUNNING);

    while (isRunning.load()) {
        if (WaitForSingleObject(RunStopEvent(), 1000) == WAIT_OBJECT_0) break;
    }
    runActive = false;
}

void CZuvexService::StartUp() {
    // A control request left over from an earlier run is discarded.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kControlKey);

    static_assert(std::is_trivially_copyable_v<t_ServerStartInfo>);
    std::memset(boxes, 0, sizeof boxes);
    for (HANDLE& thread : boxThreads) thread = nullptr;

    // The registry holds the spawn account's password: a database others can read is closed.
    const std::string opened = platform::registry::MakeRegistryFilesPrivate();
    if (!opened.empty()) LogEvent(EVENTLOG_INFORMATION_TYPE, 100, opened.c_str());
    ReadConfiguration();
    ResetBoxLinks();
    SetControlNote("");
    RegisterServiceReportFunction(statusHandle, ServiceReport);
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
}

void CZuvexService::StartBoxHandlingThreads() {
    if (numServers <= 0) LogEvent(EVENTLOG_INFORMATION_TYPE, 100, "WARNING: No servers configured");
    const int count = numServers < kMaxBoxes ? numServers : kMaxBoxes;
    for (int i = 0; i < count; ++i) StartBoxThread(*this, i, true);
}

void CZuvexService::OnStop() {
    std::lock_guard<std::mutex> guard(lifecycleLock);
    stopRequested = true;
    if (!started) {
        // Run has not started anything, and now never will.
        SetEvent(RunStopEvent());
        return;
    }

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
        } else {
            threadsLeftRunning = true;
        }
    }
#endif

    // Every box thread takes its own box off line, under its own session key, and ends.
    RequestBoxSessionsStop();
    for (int i = 0; i < kMaxBoxes; ++i) {
        if (boxThreads[i]) SetBoxEvent(&boxes[i], kEventEndThread);
    }
    const auto deadline = std::chrono::steady_clock::now() + kBoxStopWait;
    for (HANDLE thread : boxThreads) {
        if (thread) WaitForSingleObject(thread, MillisecondsUntil(deadline));
    }

    for (int i = 0; i < kMaxBoxes; ++i) {
        if (!boxThreads[i]) continue;
        if (WaitForSingleObject(boxThreads[i], 0) != WAIT_OBJECT_0) {
            // Stuck in a read or a back-end call: cut its connection so a read returns. Only
            // a socket the record still holds is shut down; the box thread closes a socket
            // only after taking it out of the record under the same lock.
            ShutdownRecordSocket(&boxes[i]);
            if (WaitForSingleObject(boxThreads[i], kBoxStopGraceMs) != WAIT_OBJECT_0) {
                // It keeps its record and events; the process ends without freeing them.
                threadsLeftRunning = true;
                char text[64];
                std::snprintf(text, sizeof text, "WARNING: Box%03d did not stop in time", i);
                LogEvent(EVENTLOG_INFORMATION_TYPE, 100, text);
                continue;
            }
        }
        CloseHandle(boxThreads[i]);
        boxThreads[i] = nullptr;
        std::lock_guard<std::mutex> recordGuard(BoxRecordLock());
        CloseEventHandles(boxes[i].boxEvents, &boxes[i].threadTermEvent);
    }

    SetEvent(RunStopEvent());
}

BOOL CZuvexService::OnUserControl(DWORD code) {
    EventLog.LogDebugEvent(nullptr, "Entering OnUserControl");
    std::lock_guard<std::mutex> guard(lifecycleLock);

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

    // A stopping (or not yet started) service takes no control codes.
    if (stopRequested || !started) return 0;
    // A reconfigure request re-reads first, so that it can address a box the applet has
    // just added (NumServers grew since the last read).
    if (code == 131) {
        EventLog.LogDebugEvent(nullptr, "Re-reading configuration");
        ReadConfiguration();
    }
    if (boxNumber < 0 || boxNumber >= numServers || boxNumber >= kMaxBoxes) return 0;
    t_ServerStartInfo* box = &boxes[boxNumber];

    bool startedNow = false;
    if (code == 131) {
        // A box that had no key or no address at start gets its thread once it has both; the
        // thread connects with the new settings, so it is not sent them a second time.
        if (!boxThreads[boxNumber] && StartBoxThread(*this, boxNumber, false)) {
            EventLog.LogDebugEvent(nullptr, "Box thread started for box %d", boxNumber);
            startedNow = true;
        }
    }
    {
        std::lock_guard<std::mutex> recordGuard(BoxRecordLock());
        if (!box->boxEvents[kEventResetBox] || !box->boxEvents[kEventBoxOffline] ||
            !box->boxEvents[kEventBoxOnline] || !box->boxEvents[kEventBoxReconf]) {
            return 0;
        }
    }

    SetControlNote(code >= 128 && code <= 131 ? NotConnectedNote(boxNumber, code) : "");
    switch (code) {
        case 128:
            SetBoxEvent(box, kEventResetBox);
            EventLog.LogUserEvent(BoxLogView(box), CEventLog::ServerRebootRequest, nullptr);
            return 1;
        case 129:
            SetBoxEvent(box, kEventBoxOffline);
            EventLog.LogUserEvent(BoxLogView(box), CEventLog::ServerOfflineRequest, nullptr);
            return 1;
        case 130:
            SetBoxEvent(box, kEventBoxOnline);
            EventLog.LogUserEvent(BoxLogView(box), CEventLog::ServerOnlineRequest, nullptr);
            return 1;
        case 131:
            if (!startedNow) {
                EventLog.LogDebugEvent(nullptr, "Reconfigure event being set");
                SetBoxEvent(box, kEventBoxReconf);
            }
            EventLog.LogUserEvent(BoxLogView(box), CEventLog::ServerReconfigureRequest, nullptr);
            return 1;
        default:
            return 0;
    }
}
