// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The service side of the service manager: the control dispatcher, the handler
// registration and the status a service reports.
//
// The dispatcher thread (the caller of StartServiceCtrlDispatcherA) owns the listening
// control socket, a signalfd for SIGTERM and SIGINT (stop) and SIGHUP (reopen the NT event
// log), and an eventfd that SetServiceStatus and the end of the service thread use to wake
// it. It answers one request per connection and
// calls the service's handler itself, so the handler always runs on that thread. The status
// is guarded by one mutex; the handler is never called with it held, since the handler
// reports its status.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/service/eventsource.h"
#include "platform/service/scm.h"
#include "platform/service/scminternal.h"

namespace {

using namespace platform::service::detail;

// How long a connected client may take to send its request.
constexpr int kRequestTimeoutMs = 2000;
// How long the dispatcher waits for the service thread to end once it reported stopped.
constexpr int kThreadEndTimeoutMs = 30000;

// The running service. One per process; never destroyed, because a service thread that
// outlives the dispatcher may still report its status.
struct Dispatcher {
    std::mutex lock;
    bool active = false;      // a dispatcher runs
    std::string name;         // the service's name (the environment marker)
    SERVICE_STATUS status{};  // as last reported
    bool registered = false;  // a handler is registered
    LPHANDLER_FUNCTION plainHandler = nullptr;
    LPHANDLER_FUNCTION_EX extendedHandler = nullptr;
    void* context = nullptr;
    LPSERVICE_REPORT_FUNCTION report = nullptr;  // answers Report requests
    int wakeFd = -1;          // eventfd; written on every status change
    bool threadDone = false;  // the service thread has returned
    bool readySent = false;   // systemd was told READY=1
};

Dispatcher& State() {
    static Dispatcher* dispatcher = new Dispatcher;
    return *dispatcher;
}

void Wake(int fd) {
    if (fd < 0) return;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(fd, &one, sizeof one);
    (void)ignored;
}

// Tells systemd (Type=notify) about the state, when it started us.
void NotifySystemd(const char* message) {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (!socketName || (socketName[0] != '/' && socketName[0] != '@')) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(socketName);
    if (length >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, socketName, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
    Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return;
    ::sendto(fd.get(), message, std::strlen(message), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
}

// The answer to a request, and whether (and how) the handler is to be called.
struct Decision {
    DWORD result;  // NO_ERROR: call the handler
    bool callHandler;
};

// Which requests reach the handler, by the state the service is in.
Decision Decide(const Dispatcher& d, Operation operation, DWORD control) {
    if (operation == Operation::Query) return {NO_ERROR, false};
    if (operation != Operation::Control || control == 0 || control > 255) {
        return {static_cast<DWORD>(ERROR_INVALID_PARAMETER), false};
    }
    const DWORD state = d.status.dwCurrentState;
    const DWORD accepted = d.status.dwControlsAccepted;
    if (control == SERVICE_CONTROL_INTERROGATE) {
        if (!d.registered) return {static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), false};
        return {NO_ERROR, true};
    }
    if (state == SERVICE_STOPPED) return {static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), false};
    if (!d.registered || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
        return {static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), false};
    }
    DWORD needed = 0;
    if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) {
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
    }
    if (control == SERVICE_CONTROL_SHUTDOWN) needed = SERVICE_ACCEPT_SHUTDOWN;
    if (needed && !(accepted & needed)) {
        return {static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), false};
    }
    return {NO_ERROR, true};
}

// Calls the registered handler on this (the dispatcher's) thread; its result for the client.
DWORD CallHandler(Dispatcher& d, DWORD control) {
    LPHANDLER_FUNCTION plain;
    LPHANDLER_FUNCTION_EX extended;
    void* context;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        plain = d.plainHandler;
        extended = d.extendedHandler;
        context = d.context;
    }
    if (extended) return extended(control, 0, nullptr, context);
    if (plain) plain(control);
    return NO_ERROR;
}

// Answers a Report request: the reply, then the text's length and the text.
void ServeReport(Dispatcher& d, int connection, DWORD topic, ControlReply& reply) {
    LPSERVICE_REPORT_FUNCTION report;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        report = d.report;
        reply.status = d.status;
    }
    std::string text;
    if (report) {
        text = report(topic);
        if (text.size() > kMaxReportBytes) text.resize(kMaxReportBytes);
        reply.result = NO_ERROR;
    } else {
        reply.result = ERROR_CALL_NOT_IMPLEMENTED;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    if (!Transfer(connection, &reply, sizeof reply, true, deadline) || !report) return;
    std::uint32_t length = static_cast<std::uint32_t>(text.size());
    if (Transfer(connection, &length, sizeof length, true, deadline) && length > 0) {
        Transfer(connection, text.data(), text.size(), true, deadline);
    }
}

// Answers one client. Only the service's own user (or root) may talk to it.
void ServeConnection(Dispatcher& d, int connection) {
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    bool trusted = ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0 &&
                   (peer.uid == 0 || peer.uid == ::geteuid());

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    ControlRequest request{};
    if (!Transfer(connection, &request, sizeof request, false, deadline)) return;

    ControlReply reply{};
    reply.magic = kReplyMagic;
    reply.pid = static_cast<std::int32_t>(::getpid());
    if (trusted && request.magic == kRequestMagic &&
        request.operation == static_cast<std::uint32_t>(Operation::Report)) {
        ServeReport(d, connection, request.control, reply);
        return;
    }
    if (!trusted) {
        reply.result = ERROR_ACCESS_DENIED;
    } else if (request.magic != kRequestMagic) {
        reply.result = ERROR_INVALID_PARAMETER;
    } else {
        Decision decision;
        {
            std::lock_guard<std::mutex> guard(d.lock);
            decision = Decide(d, static_cast<Operation>(request.operation), request.control);
        }
        reply.result = decision.result;
        if (decision.callHandler) reply.result = CallHandler(d, request.control);
    }
    {
        std::lock_guard<std::mutex> guard(d.lock);
        reply.status = d.status;
    }
    // The client may have given up meanwhile; a late answer is simply dropped.
    auto replyDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    Transfer(connection, &reply, sizeof reply, true, replyDeadline);
}

// A stop asked for by a signal: handed to the handler once the service can take it.
void DeliverStopIfDue(Dispatcher& d, bool& stopWanted) {
    if (!stopWanted) return;
    Decision decision;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (d.status.dwCurrentState == SERVICE_STOPPED ||
            d.status.dwCurrentState == SERVICE_STOP_PENDING) {
            stopWanted = false;
            return;
        }
        // Still starting, or not accepting stop yet: the request waits for the next status.
        decision = Decide(d, Operation::Control, SERVICE_CONTROL_STOP);
    }
    if (!decision.callHandler) return;
    stopWanted = false;
    CallHandler(d, SERVICE_CONTROL_STOP);
}

// The listening control socket at path, mode 0600. NO_ERROR or the reason.
DWORD Listen(const std::string& path, Fd& listener) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return ERROR_INVALID_NAME;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0) return LastSystemError();
    ::unlink(path.c_str());  // a stale socket of an instance that is gone
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return LastSystemError();
    // The folder is 0700 already, so the moment before this chmod exposes nothing.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), 16) != 0) {
        DWORD error = LastSystemError();
        ::unlink(path.c_str());
        return error;
    }
    return NO_ERROR;
}

struct ServiceThreadStart {
    LPSERVICE_MAIN_FUNCTIONA proc;
    std::string name;
};

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    const char* marker = std::getenv(kServiceMarker);
    if (!marker || !*marker) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return 0;
    }
    if (!serviceTable || !serviceTable[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!ValidServiceName(marker)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    const std::string name = marker;
    Dispatcher& d = State();
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (d.active) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return 0;
        }
    }

    DWORD error = PrepareControlFolder();
    if (error != NO_ERROR) {
        SetLastError(error);
        return 0;
    }
    // The instance lock is held for as long as the dispatcher runs: with it, a socket left
    // behind is known to be stale and may be replaced, even when two starts race.
    Fd instanceLock(::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (instanceLock.get() < 0) {
        SetLastError(LastSystemError());
        return 0;
    }
    if (::flock(instanceLock.get(), LOCK_EX | LOCK_NB) != 0) {
        SetLastError(errno == EWOULDBLOCK ? static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING)
                                          : LastSystemError());
        return 0;
    }
    const std::string socketPath = SocketPath(name);
    Fd listener;
    error = Listen(socketPath, listener);
    if (error != NO_ERROR) {
        SetLastError(error);
        return 0;
    }

    // SIGTERM and SIGINT become stop requests read here; the service thread and the threads
    // it starts inherit the blocked mask, so the signals reach only the signalfd. SIGHUP,
    // which logrotate sends after moving the NT event log aside, reopens that file.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    Fd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (signals.get() < 0 || wake.get() < 0) {
        error = LastSystemError();
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        ::unlink(socketPath.c_str());
        SetLastError(error);
        return 0;
    }

    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.active = true;
        d.name = name;
        d.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
        d.registered = false;
        d.plainHandler = nullptr;
        d.extendedHandler = nullptr;
        d.context = nullptr;
        d.report = nullptr;
        d.wakeFd = wake.get();
        d.threadDone = false;
        d.readySent = false;
        WriteStatusFile(name, d.status, ::getpid());
    }

    auto start = std::make_unique<ServiceThreadStart>(
        ServiceThreadStart{serviceTable[0].lpServiceProc, name});
    std::thread serviceThread;
    try {
        serviceThread = std::thread([start = std::move(start), &d] {
            char* argv[] = {start->name.data(), nullptr};
            start->proc(1, argv);
            std::lock_guard<std::mutex> guard(d.lock);
            d.threadDone = true;
            Wake(d.wakeFd);
        });
    } catch (const std::system_error&) {
        {
            std::lock_guard<std::mutex> guard(d.lock);
            d.active = false;
            d.wakeFd = -1;
            d.status.dwCurrentState = SERVICE_STOPPED;
            WriteStatusFile(name, d.status, ::getpid());
        }
        listener.Reset();
        ::unlink(socketPath.c_str());
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    bool stopWanted = false;
    std::chrono::steady_clock::time_point stoppedAt{};
    bool sawStopped = false;
    for (;;) {
        bool done;
        {
            std::lock_guard<std::mutex> guard(d.lock);
            done = d.threadDone;
            if (d.status.dwCurrentState == SERVICE_STOPPED && !sawStopped) {
                sawStopped = true;
                stoppedAt = std::chrono::steady_clock::now();
            }
        }
        if (done) break;
        if (sawStopped && std::chrono::steady_clock::now() - stoppedAt >
                              std::chrono::milliseconds(kThreadEndTimeoutMs)) {
            std::fprintf(stderr, "%s: the service thread did not end after it stopped\n",
                         name.c_str());
            break;
        }
        DeliverStopIfDue(d, stopWanted);

        pollfd fds[3] = {
            {listener.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
        int ready = ::poll(fds, 3, sawStopped ? 200 : -1);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: control socket wait failed: %s\n", name.c_str(),
                         std::strerror(errno));
            ::usleep(100000);
            continue;
        }
        if (fds[2].revents & POLLIN) {
            std::uint64_t count = 0;
            ssize_t ignored = ::read(wake.get(), &count, sizeof count);
            (void)ignored;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            while (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) {
                    platform::service::ReopenEventLog();
                } else {
                    stopWanted = true;
                }
            }
            DeliverStopIfDue(d, stopWanted);
        }
        if (fds[0].revents & POLLIN) {
            int connection = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                Fd owned(connection);
                ServeConnection(d, connection);
            }
        }
    }

    // Clients now find no socket: the service is not running.
    listener.Reset();
    ::unlink(socketPath.c_str());
    bool joined;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        joined = d.threadDone;
        if (d.status.dwCurrentState != SERVICE_STOPPED) {
            // The main procedure returned without reporting it stopped.
            d.status.dwCurrentState = SERVICE_STOPPED;
            d.status.dwControlsAccepted = 0;
            WriteStatusFile(name, d.status, ::getpid());
        }
        d.active = false;
        d.registered = false;
        d.wakeFd = -1;
    }
    if (joined) {
        serviceThread.join();
    } else {
        serviceThread.detach();
    }
    // A stop signal that came after the stop was handled has done its job; taken here, it
    // cannot kill the program on its way out once the mask is restored.
    signalfd_siginfo late{};
    while (::read(signals.get(), &late, sizeof late) == static_cast<ssize_t>(sizeof late)) {
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return 1;
}

namespace {

// Registers one of the two handler kinds (the other is cleared) for the running service.
SERVICE_STATUS_HANDLE RegisterHandler(LPHANDLER_FUNCTION plain, LPHANDLER_FUNCTION_EX extended,
                                      void* context) {
    Dispatcher& d = State();
    std::lock_guard<std::mutex> guard(d.lock);
    if (!d.active) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    if (!plain && !extended) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d.plainHandler = plain;
    d.extendedHandler = extended;
    d.context = context;
    d.registered = true;
    return &d;
}

}  // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(const char* serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, void* context) {
    return RegisterHandler(nullptr, handler, context);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* serviceName,
                                                  LPHANDLER_FUNCTION handler) {
    return RegisterHandler(handler, nullptr, nullptr);
}

BOOL RegisterServiceReportFunction(SERVICE_STATUS_HANDLE handle, LPSERVICE_REPORT_FUNCTION report) {
    Dispatcher& d = State();
    if (handle != &d) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> guard(d.lock);
    d.report = report;
    return 1;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    Dispatcher& d = State();
    if (handle != &d || !status) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> guard(d.lock);
    if (!d.registered) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    d.status = *status;
    WriteStatusFile(d.name, d.status, ::getpid());
    switch (status->dwCurrentState) {
        case SERVICE_RUNNING:
            if (!d.readySent) NotifySystemd("READY=1\nSTATUS=Running");
            d.readySent = true;
            break;
        case SERVICE_STOP_PENDING:
            NotifySystemd("STOPPING=1\nSTATUS=Stopping");
            break;
        case SERVICE_STOPPED:
            NotifySystemd("STATUS=Stopped");
            break;
        default:
            break;
    }
    Wake(d.wakeFd);
    return 1;
}
