// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// What the client calls and the dispatcher of the service manager share: the control-socket
// messages, the files under <root>/scm, the install locations and the one mapping of errno to
// Win32 codes. Internal to platform/service.
//
// Control socket: a Unix stream socket; the client sends one ControlRequest, the dispatcher
// answers with one ControlReply and closes. Both are fixed-size records in host byte order
// (the peers are on one machine).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/wintypes.h"
#include "platform/service/svcstatus.h"

namespace platform::remote {
class Connection;
}

// A manager or service handle. A handle of another machine's manager carries the connection
// and its number on the serving side (0 is the manager itself).
struct ServiceManagerHandle {
    bool manager = false;  // a manager handle, else a service handle
    std::string name;      // the service's name as installed (service handles)
    std::shared_ptr<platform::remote::Connection> remote;
    std::uint32_t remoteId = 0;
};

namespace platform::service::detail {

inline constexpr std::uint32_t kRequestMagic = 0x44534331;  // "DSC1"
inline constexpr std::uint32_t kReplyMagic = 0x44535231;    // "DSR1"

enum class Operation : std::uint32_t {
    Query = 1,    // the stored status; the handler is not called
    Control = 2,  // a control code for the handler
    Report = 3,   // a text the service reports on a topic (the control field); the reply is
                  // followed by a 32-bit length and that many bytes of text
};

// The longest report text sent or accepted.
inline constexpr std::uint32_t kMaxReportBytes = 256 * 1024;

struct ControlRequest {
    std::uint32_t magic;      // kRequestMagic
    std::uint32_t operation;  // Operation
    std::uint32_t control;    // control code (Control only)
};
static_assert(sizeof(ControlRequest) == 12);

struct ControlReply {
    std::uint32_t magic;    // kReplyMagic
    std::uint32_t result;   // NO_ERROR, or the Win32 reason the request was refused
    SERVICE_STATUS status;  // the status after the request
    std::int32_t pid;       // the service's process
};
static_assert(sizeof(ControlReply) == 12 + sizeof(SERVICE_STATUS));

// The environment marker of a program started by the service layer.
inline constexpr const char* kServiceMarker = "DORNEL_SERVICE";

// Registry key of the installed services, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// Bounds of a client's waits.
inline constexpr int kReplyTimeoutMs = 30000;  // the handler may take a while to answer

// An owned descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes the descriptor held and takes fd.
    void Reset(int fd = -1);

  private:
    int fd_;
};

// Reads or writes exactly size bytes before the deadline; false on failure, end of stream
// or time-out.
bool Transfer(int fd, void* buffer, std::size_t size, bool writing,
              std::chrono::steady_clock::time_point deadline);

// Win32 code for an errno value; the only place the service layer interprets errno.
DWORD Win32FromErrno(int error);
// Win32FromErrno(errno) of the call that just failed.
DWORD LastSystemError();

// True for a usable service name: 1 to 63 of [A-Za-z0-9_.-], not starting with '.' or '-'.
bool ValidServiceName(const char* name);

std::string SocketPath(const std::string& serviceName);  // <root>/scm/<name>.sock
std::string StatusPath(const std::string& serviceName);  // <root>/scm/<name>.status
std::string OutputPath(const std::string& serviceName);  // <root>/scm/<name>.out
std::string LockPath(const std::string& serviceName);    // <root>/scm/<name>.lock

// Creates <root>/scm with mode 0700 (and tightens an existing one of ours to 0700).
// NO_ERROR, or the Win32 reason.
DWORD PrepareControlFolder();

// The status file: one "name value" line per field, written whole (temp file + rename).
bool WriteStatusFile(const std::string& serviceName, const SERVICE_STATUS& status, int pid);
struct StoredStatus {
    SERVICE_STATUS status;
    int pid;
};
std::optional<StoredStatus> ReadStatusFile(const std::string& serviceName);

// Sends one request over the service's control socket. nullopt with *error set to
// ERROR_SERVICE_NOT_ACTIVE (no process listens), ERROR_ACCESS_DENIED, or
// ERROR_SERVICE_REQUEST_TIMEOUT (no answer in time).
std::optional<ControlReply> Exchange(const std::string& serviceName, Operation operation,
                                     DWORD control, DWORD* error);

// Sends a Report request; the reply and the text. nullopt as for Exchange.
std::optional<ControlReply> ExchangeReport(const std::string& serviceName, DWORD topic,
                                           std::string* text, DWORD* error);

// The absolute run root (DORNEL_ROOT made absolute), as the unit and started programs get it.
std::string AbsoluteRoot();

// Install locations: $DORNEL_UNIT_DIR or /etc/systemd/system; $DORNEL_PAM_DIR or /etc/pam.d.
std::string UnitDirectory();
std::string PamDirectory();
// True when units go to the system's own folder (so systemd must reload).
bool SystemUnitDirectory();

// The environment variables the service reads besides DORNEL_ROOT; those set when the
// service is installed are written into its unit.
const std::vector<const char*>& ServiceVariables();

// The unit file text for a service, from the template in the tree. Quotes and escapes the
// path and root so that spaces, '%', '$', '"' and '\' survive systemd's parsing.
std::string RenderUnit(const std::string& serviceName, const std::string& displayName,
                       const std::string& imagePath, const std::string& root);
// The PAM configuration installed for the service into pamDirectory, on the host's own
// stack: "@include common-auth" and "@include common-account" when pamDirectory holds
// common-auth, else "include system-auth" for auth and account.
std::string PamText(const std::string& pamDirectory);

}  // namespace platform::service::detail
