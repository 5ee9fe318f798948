// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Shared pieces of the service manager: errno mapping, the files under <root>/scm, the
// control-socket exchange, and rendering the unit and PAM files.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/service/scm.h"
#include "platform/service/scminternal.h"

namespace platform::service {

namespace {

// The unit template and the PAM file of the tree, embedded at build time.
constexpr const char* kUnitTemplate =
#include "dornel_unit_template.inc"
    ;
constexpr const char* kPamText =
#include "dornel_pam_text.inc"
    ;

// Replaces what systemd would expand or split in a unit value, and quotes it.
std::string Quoted(const std::string& text, bool execLine) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%%";
                break;
            case '$':
                out += execLine ? "$$" : "$";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
            case '\r':
                out += ' ';
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// A free text (description, comment): one line, specifiers escaped.
std::string PlainText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%') {
            out += "%%";
        } else if (c == '\n' || c == '\r') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

std::string ControlFolder() { return paths::UnderRoot("scm"); }

std::string ServiceOutputPath(const std::string& serviceName) {
    return detail::OutputPath(serviceName);
}

std::string PamFilePath(const std::string& serviceName) {
    return detail::PamDirectory() + "/" + serviceName;
}

bool ProcessGone(DWORD processId) {
    const auto pid = static_cast<pid_t>(processId);
    if (pid <= 0) return true;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    // A zombie whose parent has not reaped it yet no longer runs.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return ::kill(pid, 0) != 0 && errno == ESRCH;
    std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return false;
    char state = line[close + 2];
    return state == 'Z' || state == 'X';
}

namespace detail {

DWORD Win32FromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
        case ENOSPC:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case ECONNREFUSED:
            return ERROR_SERVICE_NOT_ACTIVE;
        case ENOEXEC:
            return ERROR_INVALID_FUNCTION;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

DWORD LastSystemError() { return Win32FromErrno(errno); }

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool Transfer(int fd, void* buffer, std::size_t size, bool writing,
              std::chrono::steady_clock::time_point deadline) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = writing ? ::send(fd, bytes + done, size - done, MSG_NOSIGNAL)
                            : ::recv(fd, bytes + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ValidServiceName(const char* name) {
    if (!name || !*name || name[0] == '.' || name[0] == '-') return false;
    std::size_t length = std::strlen(name);
    if (length > 63) return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string SocketPath(const std::string& name) { return ControlFolder() + "/" + name + ".sock"; }
std::string StatusPath(const std::string& name) { return ControlFolder() + "/" + name + ".status"; }
std::string OutputPath(const std::string& name) { return ControlFolder() + "/" + name + ".out"; }
std::string LockPath(const std::string& name) { return ControlFolder() + "/" + name + ".lock"; }

DWORD PrepareControlFolder() {
    if (!paths::MakeRootFolder()) return LastSystemError();
    const std::string folder = ControlFolder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return LastSystemError();
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) return LastSystemError();
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return ERROR_ACCESS_DENIED;
    if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        return LastSystemError();
    }
    return NO_ERROR;
}

bool WriteStatusFile(const std::string& name, const SERVICE_STATUS& status, int pid) {
    char text[256];
    int length =
        std::snprintf(text, sizeof text,
                      "state %u\ncontrols %u\ntype %u\nwin32exit %u\nspecificexit %u\n"
                      "checkpoint %u\nwaithint %u\npid %d\n",
                      status.dwCurrentState, status.dwControlsAccepted, status.dwServiceType,
                      status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
                      status.dwWaitHint, pid);
    if (length <= 0 || length >= static_cast<int>(sizeof text)) return false;
    const std::string path = StatusPath(name);
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<StoredStatus> ReadStatusFile(const std::string& name) {
    std::ifstream in(StatusPath(name));
    if (!in) return std::nullopt;
    StoredStatus stored{};
    stored.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    bool haveState = false;
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        auto field = static_cast<DWORD>(value);
        if (key == "state") {
            stored.status.dwCurrentState = field;
            haveState = true;
        } else if (key == "controls") {
            stored.status.dwControlsAccepted = field;
        } else if (key == "type") {
            stored.status.dwServiceType = field;
        } else if (key == "win32exit") {
            stored.status.dwWin32ExitCode = field;
        } else if (key == "specificexit") {
            stored.status.dwServiceSpecificExitCode = field;
        } else if (key == "checkpoint") {
            stored.status.dwCheckPoint = field;
        } else if (key == "waithint") {
            stored.status.dwWaitHint = field;
        } else if (key == "pid") {
            stored.pid = static_cast<int>(value);
        }
    }
    if (!haveState) return std::nullopt;
    return stored;
}

namespace {

// Connects to the service's control socket, sends one request and reads its reply before
// the deadline. The connection stays open in connection for what follows a reply.
std::optional<ControlReply> SendRequest(const std::string& name, Operation operation,
                                        DWORD argument,
                                        std::chrono::steady_clock::time_point deadline,
                                        Fd& connection, DWORD* error) {
    const std::string path = SocketPath(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = ERROR_INVALID_NAME;
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    connection.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connection.get() < 0) {
        *error = LastSystemError();
        return std::nullopt;
    }
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
        // No socket, or nobody listening on a stale one: the service does not run.
        *error =
            (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_SERVICE_NOT_ACTIVE;
        return std::nullopt;
    }
    ControlRequest request{kRequestMagic, static_cast<std::uint32_t>(operation), argument};
    ControlReply reply{};
    if (!Transfer(connection.get(), &request, sizeof request, true, deadline)) {
        *error = ERROR_SERVICE_NOT_ACTIVE;
        return std::nullopt;
    }
    if (!Transfer(connection.get(), &reply, sizeof reply, false, deadline)) {
        // A process that closes without answering is stopping (or refused the peer).
        *error = std::chrono::steady_clock::now() >= deadline ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                              : ERROR_SERVICE_NOT_ACTIVE;
        return std::nullopt;
    }
    if (reply.magic != kReplyMagic) {
        *error = ERROR_INVALID_FUNCTION;
        return std::nullopt;
    }
    *error = NO_ERROR;
    return reply;
}

std::chrono::steady_clock::time_point ReplyDeadline() {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
}

}  // namespace

std::optional<ControlReply> Exchange(const std::string& name, Operation operation, DWORD control,
                                     DWORD* error) {
    Fd connection;
    return SendRequest(name, operation, control, ReplyDeadline(), connection, error);
}

std::optional<ControlReply> ExchangeReport(const std::string& name, DWORD topic, std::string* text,
                                           DWORD* error) {
    text->clear();
    const auto deadline = ReplyDeadline();
    Fd connection;
    auto reply = SendRequest(name, Operation::Report, topic, deadline, connection, error);
    // A service that does not know the request refuses it without a text.
    if (!reply || reply->result != NO_ERROR) return reply;
    std::uint32_t length = 0;
    if (!Transfer(connection.get(), &length, sizeof length, false, deadline)) {
        *error = std::chrono::steady_clock::now() >= deadline ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                              : ERROR_SERVICE_NOT_ACTIVE;
        return std::nullopt;
    }
    if (length > kMaxReportBytes) {
        *error = ERROR_INVALID_FUNCTION;  // not an answer this side reads
        return std::nullopt;
    }
    text->resize(length);
    if (length > 0 && !Transfer(connection.get(), text->data(), length, false, deadline)) {
        *error = ERROR_SERVICE_REQUEST_TIMEOUT;
        return std::nullopt;
    }
    return reply;
}

std::string AbsoluteRoot() {
    std::string root = paths::Root();
    if (!root.empty() && root[0] == '/') return root;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return root;
    return std::string(cwd) + "/" + root;
}

std::string UnitDirectory() {
    const char* dir = std::getenv("DORNEL_UNIT_DIR");
    return dir && *dir ? dir : "/etc/systemd/system";
}

std::string PamDirectory() {
    const char* dir = std::getenv("DORNEL_PAM_DIR");
    return dir && *dir ? dir : "/etc/pam.d";
}

bool SystemUnitDirectory() {
    const char* dir = std::getenv("DORNEL_UNIT_DIR");
    return !(dir && *dir);
}

const std::vector<const char*>& ServiceVariables() {
    static const std::vector<const char*> names = {
        "DORNEL_RPC_ADDRESS",      "DORNEL_EPM_PORT",        "DORNEL_TFTP_ADDRESS",
        "DORNEL_TFTP_PORT",        "DORNEL_DHCP_INTERFACES", "DORNEL_PLUGIN_DIR",
        "DORNEL_SPAWN_TIMEOUT_MS",
    };
    return names;
}

std::string RenderUnit(const std::string& serviceName, const std::string& displayName,
                       const std::string& imagePath, const std::string& root) {
    std::string unit = kUnitTemplate;
    ReplaceAll(unit, "@DISPLAY_NAME@", PlainText(displayName));
    ReplaceAll(unit, "@IMAGE_PATH@", Quoted(imagePath, true));
    ReplaceAll(unit, "@SERVICE_ENV@",
               Quoted(std::string(kServiceMarker) + "=" + serviceName, false));
    // The variables the service reads are part of the installation: a service installed
    // with them set (a site's mapper port, a test's loopback address) is started by systemd
    // with the same values, as dornelsc start hands them on from its own environment.
    std::string rootEnvironment = Quoted("DORNEL_ROOT=" + root, false);
    for (const char* name : ServiceVariables()) {
        const char* value = std::getenv(name);
        if (value && *value) {
            rootEnvironment += "\nEnvironment=" + Quoted(std::string(name) + "=" + value, false);
        }
    }
    ReplaceAll(unit, "@ROOT_ENV@", rootEnvironment);
    ReplaceAll(unit, "@ROOT_RW@", Quoted("-" + root, false));
    return unit;
}

std::string PamText(const std::string& pamDirectory) {
    struct stat info {};
    const bool commonStack = ::stat((pamDirectory + "/common-auth").c_str(), &info) == 0;
    const char* stack = commonStack ? "@include common-auth\n@include common-account"
                                    : "auth     include system-auth\n"
                                      "account  include system-auth";
    std::string text = kPamText;
    ReplaceAll(text, "@PAM_STACK@", stack);
    return text;
}

}  // namespace detail
}  // namespace platform::service
