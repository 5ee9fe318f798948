// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The client side of the service manager. Sections:
//   1. Handles and the registry entry of a service.
//   2. Installing and removing: registry entry, unit file, PAM file, systemd reload.
//   3. Starting the installed program detached.
//   4. Control and query over the control socket.

#include "platform/service/scm.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/service/scminternal.h"
#include "platform/service/scmremote.h"

extern char** environ;

namespace {

using namespace platform::service::detail;

// ---------------------------------------------------------------------------------------
// 1. Handles and the registry entry
// ---------------------------------------------------------------------------------------

std::string ServiceKeyPath(const std::string& name) {
    return std::string(kServicesKey) + "\\" + name;
}

bool IsManager(SC_HANDLE handle) { return handle && handle->manager; }
bool IsService(SC_HANDLE handle) { return handle && !handle->manager; }

// The stored spelling of a key below Services, if there is one by that name (without case).
// *failure (when given) gets the registry's error when the Services key could not be read.
std::optional<std::string> ServiceKeyName(const std::string& name, LONG* failure = nullptr) {
    HKEY services = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &services);
    if (opened != ERROR_SUCCESS) {
        if (failure) *failure = opened;
        return std::nullopt;
    }
    std::optional<std::string> found;
    char entry[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof entry;
        LONG rc =
            RegEnumKeyExA(services, index, entry, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        if (::strcasecmp(entry, name.c_str()) == 0) {
            found = std::string(entry, length);
            break;
        }
    }
    RegCloseKey(services);
    return found;
}

// The stored spelling of an installed service's name. A key without ImagePath (such as
// EventLog, which holds the event sources) is not a service.
std::optional<std::string> InstalledName(const std::string& name, LONG* failure = nullptr) {
    auto found = ServiceKeyName(name, failure);
    if (!found) return std::nullopt;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(*found).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, "ImagePath", nullptr, &type, nullptr, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return found;
}

std::optional<std::string> QueryString(HKEY key, const char* value) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::string text(size, '\0');
    if (size && RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]),
                                 &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(size);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

LONG SetString(HKEY key, const char* name, DWORD type, const std::string& text) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

// Deletes a key with everything below it.
LONG DeleteTree(HKEY parent, const std::string& subKey) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(parent, subKey.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) return rc;
    for (;;) {
        char child[256];
        DWORD length = sizeof child;
        rc = RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) break;
        rc = DeleteTree(key, child);
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            return rc;
        }
    }
    RegCloseKey(key);
    if (rc != ERROR_NO_MORE_ITEMS) return rc;
    return RegDeleteKeyA(parent, subKey.c_str());
}

// ---------------------------------------------------------------------------------------
// 2. Installing and removing
// ---------------------------------------------------------------------------------------

std::string UnitPath(const std::string& name) { return UnitDirectory() + "/" + name + ".service"; }

// Writes a whole file through a temporary beside it. NO_ERROR or the Win32 reason.
DWORD WriteWholeFile(const std::string& path, const std::string& text, mode_t mode) {
    const std::string temporary = path + ".tmp";
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) return LastSystemError();
    if (::fchmod(fd.get(), mode) != 0 ||
        ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd.get()) != 0) {
        DWORD error = LastSystemError();
        ::unlink(temporary.c_str());
        return error;
    }
    fd.Reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        DWORD error = LastSystemError();
        ::unlink(temporary.c_str());
        return error;
    }
    return NO_ERROR;
}

// Starts or stops a service that systemd knows through systemctl, so systemd supervises the
// process (and brings it back after a crash). Every caller goes this way: dornelsc, the
// applets, and the serving side of another machine's tools. A refusal is said on stderr
// with where to look, and fails with ERROR_SERVICE_REQUEST_TIMEOUT.
BOOL SystemctlRequest(const char* verb, const std::string& name) {
    const int status = platform::service::RunSystemctl({verb, name + ".service"});
    if (status == 0) return 1;
    if (status < 0) {
        std::fprintf(stderr, "dornel service: %s: systemctl could not be run\n", name.c_str());
    } else {
        std::fprintf(stderr,
                     "dornel service: %s: systemctl %s %s.service failed (exit status %d; see "
                     "systemctl status %s and the NT event log)\n",
                     name.c_str(), verb, name.c_str(), status, name.c_str());
    }
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return 0;
}

// Tells a running systemd (nothing when there is none); a refusal is said on stderr.
void TellSystemd(const std::vector<std::string>& arguments) {
    if (!platform::service::SystemdRunning()) return;
    const int status = platform::service::RunSystemctl(arguments);
    if (status > 0) {
        std::fprintf(stderr, "dornel service: systemctl %s failed\n",
                     arguments.empty() ? "" : arguments[0].c_str());
    }
}

// The unit a package installed for the service, when units would otherwise go to systemd's
// own folder; "" when installing writes its own.
std::string PackagedUnitInUse(const std::string& name) {
    if (!SystemUnitDirectory()) return {};
    return platform::service::PackagedUnitPath(name);
}

// The whole text of a file; nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Writes the service's PAM file unless one the site has changed is already there, which is
// left as it is (and said so). *written tells whether this call wrote the file.
DWORD InstallPamFile(const std::string& path, bool* written) {
    *written = false;
    const std::string text = PamText(PamDirectory());
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        auto existing = ReadWholeFile(path);
        if (existing && *existing == text) return NO_ERROR;
        std::fprintf(stderr,
                     "dornel service: %s differs from the file the install writes (edited by "
                     "the site); left as it is\n",
                     path.c_str());
        return NO_ERROR;
    }
    DWORD error = WriteWholeFile(path, text, 0644);
    *written = error == NO_ERROR;
    return error;
}

// Whether removing the service may delete its PAM file: only as the install wrote it. A file
// the site has edited stays (and the removal says so).
bool RemovablePamFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return true;  // nothing there to keep
    auto existing = ReadWholeFile(path);
    if (existing && *existing == PamText(PamDirectory())) return true;
    std::fprintf(stderr, "dornel service: %s has been edited by the site; left in place\n",
                 path.c_str());
    return false;
}

bool LocalSystemAccount(const char* account) {
    return !account || !*account || ::strcasecmp(account, "LocalSystem") == 0 ||
           ::strcasecmp(account, ".\\LocalSystem") == 0;
}

SC_HANDLE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// 3. Starting
// ---------------------------------------------------------------------------------------

// What the started process reports through the start pipe before its exec.
struct StartMessage {
    std::int32_t kind;   // kStartPid or kStartError
    std::int32_t value;  // process id, or errno of the failed call
};
constexpr std::int32_t kStartPid = 1;
constexpr std::int32_t kStartError = 2;

constexpr int kStartTimeoutMs = 30000;
constexpr int kPollMs = 20;

// The program path of an ImagePath value: the whole value (no arguments), without quotes.
std::string ProgramOf(std::string image) {
    if (image.size() >= 2 && image.front() == '"' && image.back() == '"') {
        image = image.substr(1, image.size() - 2);
    }
    return image;
}

std::vector<std::string> ServiceEnvironment(const std::string& name) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text = *entry;
        auto is = [&text](const char* key) {
            std::size_t length = std::strlen(key);
            return text.compare(0, length, key) == 0 && text.size() > length && text[length] == '=';
        };
        if (is(kServiceMarker) || is("DORNEL_ROOT") || is("NOTIFY_SOCKET")) continue;
        environment.push_back(text);
    }
    environment.push_back(std::string(kServiceMarker) + "=" + name);
    environment.push_back("DORNEL_ROOT=" + AbsoluteRoot());
    return environment;
}

void WriteMessage(int fd, std::int32_t kind, std::int32_t value) {
    StartMessage message{kind, value};
    ssize_t ignored = ::write(fd, &message, sizeof message);
    (void)ignored;
}

// Starts program in its own session, detached from the caller (double fork, so no caller
// ever has to reap it). Returns its process id, or 0 with *error set.
pid_t SpawnDetached(const std::string& program, const std::string& name, DWORD* error) {
    std::vector<std::string> environment = ServiceEnvironment(name);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string programCopy = program;
    char* argv[] = {programCopy.data(), nullptr};

    Fd output(::open(OutputPath(name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    Fd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (output.get() < 0 || input.get() < 0) {
        *error = LastSystemError();
        return 0;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = LastSystemError();
        return 0;
    }
    Fd reader(pipeFds[0]);
    Fd writer(pipeFds[1]);

    pid_t child = ::fork();
    if (child < 0) {
        *error = LastSystemError();
        return 0;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on: the caller may have other threads.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild < 0) {
            WriteMessage(writer.get(), kStartError, errno);
            ::_exit(1);
        }
        if (grandchild > 0) ::_exit(0);
        WriteMessage(writer.get(), kStartPid, ::getpid());
        if (::dup2(input.get(), 0) < 0 || ::dup2(output.get(), 1) < 0 ||
            ::dup2(output.get(), 2) < 0 || ::chdir("/") != 0) {
            WriteMessage(writer.get(), kStartError, errno);
            ::_exit(127);
        }
        // Nothing of the caller's but the standard streams reaches the service.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(argv[0], argv, envp.data());
        WriteMessage(writer.get(), kStartError, errno);
        ::_exit(127);
    }
    writer.Reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    pid_t started = 0;
    int failure = 0;
    StartMessage message{};
    for (;;) {
        ssize_t n = ::read(reader.get(), &message, sizeof message);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof message)) break;
        if (message.kind == kStartPid) started = message.value;
        if (message.kind == kStartError) failure = message.value;
    }
    if (failure != 0 || started <= 0) {
        *error = failure ? Win32FromErrno(failure) : ERROR_PROCESS_ABORTED;
        return 0;
    }
    return started;
}

SERVICE_STATUS StoppedStatus(DWORD exitCode) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = exitCode;
    return status;
}

// ---------------------------------------------------------------------------------------
// 4. Control and query
// ---------------------------------------------------------------------------------------

// The status and process of a service: live from its process, else from its status file.
bool CurrentStatus(SC_HANDLE service, SERVICE_STATUS* status, DWORD* pid) {
    if (service->remote) return RemoteQuery(service, status, pid);
    const std::string& name = service->name;
    DWORD error = NO_ERROR;
    auto reply = Exchange(name, Operation::Query, 0, &error);
    if (reply) {
        *status = reply->status;
        *pid = static_cast<DWORD>(reply->pid);
        return true;
    }
    if (error != ERROR_SERVICE_NOT_ACTIVE) {
        SetLastError(error);
        return false;
    }
    *pid = 0;
    auto stored = ReadStatusFile(name);
    if (!stored) {
        *status = StoppedStatus(ERROR_SERVICE_NEVER_STARTED);
    } else if (stored->status.dwCurrentState != SERVICE_STOPPED &&
               platform::service::ProcessGone(static_cast<DWORD>(stored->pid))) {
        // The process ended without reporting that it stopped.
        *status = StoppedStatus(ERROR_PROCESS_ABORTED);
    } else if (stored->status.dwCurrentState != SERVICE_STOPPED) {
        // Still alive but no longer listening: it is on its way out.
        *status = stored->status;
        *pid = static_cast<DWORD>(stored->pid);
    } else {
        *status = stored->status;
        status->dwControlsAccepted = 0;
    }
    return true;
}

}  // namespace

SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD access) {
    if (databaseName && *databaseName && ::strcasecmp(databaseName, "ServicesActive") != 0) {
        return Fail(ERROR_INVALID_NAME);
    }
    if (!platform::remote::IsLocalMachine(machineName)) return RemoteOpenManager(machineName);
    HKEY root = nullptr;
    LONG rc = RegConnectRegistryA(machineName, HKEY_LOCAL_MACHINE, &root);
    if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    RegCloseKey(root);
    return new ServiceManagerHandle{true, {}, nullptr, 0};
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* serviceName, const char* displayName,
                         DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* serviceStartName,
                         const char* password) {
    if (!IsManager(manager)) return Fail(ERROR_INVALID_HANDLE);
    // Services are installed on their own machine.
    if (manager->remote) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (!ValidServiceName(serviceName)) return Fail(ERROR_INVALID_NAME);
    if (serviceType != SERVICE_WIN32_OWN_PROCESS ||
        (startType != SERVICE_AUTO_START && startType != SERVICE_DEMAND_START &&
         startType != SERVICE_DISABLED) ||
        !binaryPathName || binaryPathName[0] != '/' || std::strchr(binaryPathName, '\n')) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!LocalSystemAccount(serviceStartName)) return Fail(ERROR_INVALID_SERVICE_ACCOUNT);
    const std::string name = serviceName;
    const std::string display = displayName && *displayName ? displayName : name;
    // Any key by that name counts: installing over EventLog would make removal take the
    // event sources with it.
    if (ServiceKeyName(name)) return Fail(ERROR_SERVICE_EXISTS);

    // The files first: they are what needs privileges, and the registry entry is what marks
    // the service as installed, so a failure leaves no half-installed service behind.
    if (!platform::paths::MakeDirectories(UnitDirectory()) ||
        !platform::paths::MakeDirectories(PamDirectory())) {
        return Fail(LastSystemError());
    }
    const std::string packagedUnit = PackagedUnitInUse(name);
    // No unit of ours is written where a package's serves: nothing to undo on a failure.
    const std::string unitPath = packagedUnit.empty() ? UnitPath(name) : std::string();
    const std::string pamPath = platform::service::PamFilePath(name);
    DWORD error = NO_ERROR;
    if (!unitPath.empty()) {
        error = WriteWholeFile(unitPath, RenderUnit(name, display, binaryPathName, AbsoluteRoot()),
                               0644);
        if (error != NO_ERROR) return Fail(error);
    }
    // The PAM file is the site's once it is there: one the site has edited stays as it is.
    bool pamWritten = false;
    error = InstallPamFile(pamPath, &pamWritten);
    if (error != NO_ERROR) {
        if (!unitPath.empty()) ::unlink(unitPath.c_str());
        return Fail(error);
    }

    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        for (LONG step :
             {SetString(key, "ImagePath", REG_EXPAND_SZ, binaryPathName),
              SetString(key, "DisplayName", REG_SZ, display), SetDword(key, "Type", serviceType),
              SetDword(key, "Start", startType), SetDword(key, "ErrorControl", errorControl),
              SetString(key, "ObjectName", REG_SZ, "LocalSystem")}) {
            if (step != ERROR_SUCCESS && rc == ERROR_SUCCESS) rc = step;
        }
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) DeleteTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(name));
    }
    if (rc != ERROR_SUCCESS) {
        if (!unitPath.empty()) ::unlink(unitPath.c_str());
        if (pamWritten) ::unlink(pamPath.c_str());
        return Fail(static_cast<DWORD>(rc));
    }
    if (!packagedUnit.empty()) {
        std::printf("The systemd unit %s of the installed package is used; none is written to %s\n",
                    packagedUnit.c_str(), UnitDirectory().c_str());
    }

    if (SystemUnitDirectory()) {
        TellSystemd({"daemon-reload"});
        if (startType == SERVICE_AUTO_START) TellSystemd({"enable", name + ".service"});
    }
    return new ServiceManagerHandle{false, name, nullptr, 0};
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD access) {
    if (!IsManager(manager)) return Fail(ERROR_INVALID_HANDLE);
    if (!serviceName || !*serviceName) return Fail(ERROR_INVALID_NAME);
    if (manager->remote) return RemoteOpenService(manager, serviceName, access);
    LONG failure = ERROR_SUCCESS;
    auto installed = InstalledName(serviceName, &failure);
    // A registry this user may not read is not a service that is missing.
    if (!installed && failure == ERROR_ACCESS_DENIED) return Fail(ERROR_ACCESS_DENIED);
    if (!installed) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    return new ServiceManagerHandle{false, *installed, nullptr, 0};
}

BOOL DeleteService(SC_HANDLE service) {
    if (!IsService(service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (service->remote) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    const std::string& name = service->name;
    if (!InstalledName(name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return 0;
    }
    const bool system = SystemUnitDirectory();
    if (system) TellSystemd({"disable", name + ".service"});
    LONG rc = DeleteTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(name));
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return 0;
    }
    const std::string pamPath = platform::service::PamFilePath(name);
    for (const std::string& path : {UnitPath(name), pamPath}) {
        if (path == pamPath && !RemovablePamFile(path)) continue;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "dornel service: cannot remove %s: %s\n", path.c_str(),
                         std::strerror(errno));
        }
    }
    if (system) TellSystemd({"daemon-reload"});
    return 1;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (handle->remote) return RemoteClose(handle);
    delete handle;
    return 1;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
    if (!IsService(service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // The service's main procedure gets only its name: start arguments have no way in.
    if (argc != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (service->remote) return RemoteStart(service);
    const std::string& name = service->name;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return 0;
    }
    auto image = QueryString(key, "ImagePath");
    RegCloseKey(key);
    if (!image || image->empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }

    DWORD error = NO_ERROR;
    if (Exchange(name, Operation::Query, 0, &error)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return 0;
    }
    if (error == ERROR_ACCESS_DENIED) {
        SetLastError(error);
        return 0;
    }
    if (platform::service::ManagedBySystemd(name)) return SystemctlRequest("start", name);
    error = PrepareControlFolder();
    if (error != NO_ERROR) {
        SetLastError(error);
        return 0;
    }
    pid_t pid = SpawnDetached(ProgramOf(*image), name, &error);
    if (pid <= 0) {
        SetLastError(error);
        return 0;
    }

    // Wait for the dispatcher to answer, or for the process to end.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exchange(name, Operation::Query, 0, &error)) return 1;
        if (platform::service::ProcessGone(static_cast<DWORD>(pid))) {
            // A service that ran and stopped at once has left its status behind.
            auto stored = ReadStatusFile(name);
            if (stored && stored->pid == pid) return 1;
            SetLastError(ERROR_PROCESS_ABORTED);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return 0;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    if (!IsService(service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (control == 0 || control > 255 || !status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (service->remote) return RemoteControl(service, control, status);
    DWORD error = NO_ERROR;
    if (control == SERVICE_CONTROL_STOP && platform::service::ManagedBySystemd(service->name)) {
        // Only a running service is stopped, as through the control socket; systemctl
        // returns once it has stopped.
        if (!Exchange(service->name, Operation::Query, 0, &error)) {
            SetLastError(error);
            return 0;
        }
        if (!SystemctlRequest("stop", service->name)) return 0;
        DWORD pid = 0;
        return CurrentStatus(service, status, &pid) ? 1 : 0;
    }
    auto reply = Exchange(service->name, Operation::Control, control, &error);
    if (!reply) {
        SetLastError(error);
        return 0;
    }
    *status = reply->status;
    if (reply->result != NO_ERROR) {
        SetLastError(reply->result);
        return 0;
    }
    return 1;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    if (!IsService(service) || !status) {
        SetLastError(!status ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD pid = 0;
    return CurrentStatus(service, status, &pid) ? 1 : 0;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, BYTE* buffer,
                          DWORD bufferSize, DWORD* bytesNeeded) {
    if (!IsService(service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (infoLevel != SC_STATUS_PROCESS_INFO || !bytesNeeded) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    SERVICE_STATUS status{};
    DWORD pid = 0;
    if (!CurrentStatus(service, &status, &pid)) return 0;
    SERVICE_STATUS_PROCESS result{status.dwServiceType,
                                  status.dwCurrentState,
                                  status.dwControlsAccepted,
                                  status.dwWin32ExitCode,
                                  status.dwServiceSpecificExitCode,
                                  status.dwCheckPoint,
                                  status.dwWaitHint,
                                  pid,
                                  0};
    std::memcpy(buffer, &result, sizeof result);
    return 1;
}

BOOL QueryServiceReport(SC_HANDLE service, DWORD topic, std::string* text) {
    if (!IsService(service) || !text) {
        SetLastError(!text ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    if (service->remote) return RemoteReport(service, topic, text);
    DWORD error = NO_ERROR;
    auto reply = ExchangeReport(service->name, topic, text, &error);
    if (!reply) {
        SetLastError(error);
        return 0;
    }
    if (reply->result != NO_ERROR) {
        SetLastError(reply->result);
        return 0;
    }
    return 1;
}
