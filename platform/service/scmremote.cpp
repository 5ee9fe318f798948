// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Another machine's service manager: the client calls, and the serving side that
// "dornelsc --serve" runs.

#include "platform/service/scmremote.h"

#include <map>
#include <optional>
#include <string>

#include "platform/remote/frame.h"
#include "platform/remote/serve.h"

namespace platform::service::detail {

namespace {

using platform::remote::Connection;
using platform::remote::Reader;
using platform::remote::Writer;

SC_HANDLE FailWith(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// Sends request on handle's connection; the reply after its ok and error numbers, or false
// with GetLastError set (to the serving side's error, or ERROR_NETNAME_DELETED).
bool Call(SC_HANDLE handle, const Writer& request, std::string* reply, Reader* rest = nullptr) {
    LONG error = ERROR_SUCCESS;
    if (!handle->remote->Call(request.Payload(), reply, &error)) {
        SetLastError(static_cast<DWORD>(error));
        return false;
    }
    Reader reader(*reply);
    std::uint32_t ok = 0, code = 0;
    if (!reader.U32(&ok) || !reader.U32(&code)) {
        handle->remote->CloseMalformed();
        SetLastError(ERROR_NETNAME_DELETED);
        return false;
    }
    if (rest) *rest = reader;
    if (!ok) {
        SetLastError(code);
        return false;
    }
    return true;
}

Writer Request(ScOp operation, SC_HANDLE handle) {
    Writer request;
    request.U32(static_cast<std::uint32_t>(operation)).U32(handle->remoteId);
    return request;
}

bool ReadStatus(Reader& reader, SERVICE_STATUS* status) {
    DWORD* fields[] = {&status->dwServiceType,
                       &status->dwCurrentState,
                       &status->dwControlsAccepted,
                       &status->dwWin32ExitCode,
                       &status->dwServiceSpecificExitCode,
                       &status->dwCheckPoint,
                       &status->dwWaitHint};
    for (DWORD* field : fields) {
        std::uint32_t value = 0;
        if (!reader.U32(&value)) return false;
        *field = value;
    }
    return true;
}

// A reply whose status fields do not parse: the connection is not trusted any more.
bool Malformed(SC_HANDLE handle) {
    handle->remote->CloseMalformed();
    SetLastError(ERROR_NETNAME_DELETED);
    return false;
}

}  // namespace

// The status fields of a reply (both sides).
void WriteStatus(Writer& writer, const SERVICE_STATUS& status) {
    writer.U32(status.dwServiceType)
        .U32(status.dwCurrentState)
        .U32(status.dwControlsAccepted)
        .U32(status.dwWin32ExitCode)
        .U32(status.dwServiceSpecificExitCode)
        .U32(status.dwCheckPoint)
        .U32(status.dwWaitHint);
}

SC_HANDLE RemoteOpenManager(const char* machineName) {
    LONG error = ERROR_SUCCESS;
    auto connection = Connection::Open(machineName, "dornelsc", "service", &error);
    if (!connection) return FailWith(static_cast<DWORD>(error));
    auto* handle = new ServiceManagerHandle;
    handle->manager = true;
    handle->remote = std::move(connection);
    return handle;
}

SC_HANDLE RemoteOpenService(SC_HANDLE manager, const char* serviceName, DWORD access) {
    Writer request = Request(ScOp::OpenService, manager);
    request.Text(serviceName).U32(access);
    std::string reply;
    Reader rest("");
    if (!Call(manager, request, &reply, &rest)) return nullptr;
    std::uint32_t id = 0;
    if (!rest.U32(&id) || !rest.AtEnd()) {
        Malformed(manager);
        return nullptr;
    }
    auto* handle = new ServiceManagerHandle;
    handle->name = serviceName;
    handle->remote = manager->remote;
    handle->remoteId = id;
    return handle;
}

BOOL RemoteClose(SC_HANDLE handle) {
    if (!handle->manager) {
        // The serving side forgets the service handle; a lost connection has nothing to forget.
        std::string reply;
        const DWORD saved = GetLastError();
        Call(handle, Request(ScOp::Close, handle), &reply);
        SetLastError(saved);
    }
    // The connection ends with its last handle.
    delete handle;
    return 1;
}

BOOL RemoteStart(SC_HANDLE service) {
    std::string reply;
    return Call(service, Request(ScOp::Start, service), &reply) ? 1 : 0;
}

BOOL RemoteControl(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    Writer request = Request(ScOp::Control, service);
    request.U32(control);
    std::string reply;
    Reader rest("");
    const bool ok = Call(service, request, &reply, &rest);
    if (!ok && GetLastError() == ERROR_NETNAME_DELETED) return 0;
    // The status after the request comes with refusals too, as it does locally.
    const DWORD error = GetLastError();
    SERVICE_STATUS after{};
    if (!ReadStatus(rest, &after) || !rest.AtEnd()) return Malformed(service) ? 1 : 0;
    *status = after;
    if (!ok) SetLastError(error);
    return ok ? 1 : 0;
}

bool RemoteQuery(SC_HANDLE service, SERVICE_STATUS* status, DWORD* pid) {
    std::string reply;
    Reader rest("");
    if (!Call(service, Request(ScOp::Query, service), &reply, &rest)) return false;
    std::uint32_t processId = 0;
    if (!ReadStatus(rest, status) || !rest.U32(&processId) || !rest.AtEnd()) {
        return Malformed(service);
    }
    *pid = processId;
    return true;
}

BOOL RemoteReport(SC_HANDLE service, DWORD topic, std::string* text) {
    Writer request = Request(ScOp::Report, service);
    request.U32(topic);
    std::string reply;
    Reader rest("");
    if (!Call(service, request, &reply, &rest)) return 0;
    std::string report;
    if (!rest.Text(&report) || !rest.AtEnd()) {
        Malformed(service);
        return 0;
    }
    *text = std::move(report);
    return 1;
}

}  // namespace platform::service::detail

namespace platform::service {

namespace {

using detail::ScOp;
using detail::WriteStatus;
using platform::remote::Reader;
using platform::remote::Writer;

// The most service handles one client may hold open at once.
constexpr std::size_t kMaxOpenServices = 4096;

class Server {
  public:
    Server() : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
    ~Server() {
        for (auto& [id, service] : services_) CloseServiceHandle(service);
        if (manager_) CloseServiceHandle(manager_);
    }

    std::optional<std::string> Handle(std::uint32_t operation, Reader& request) {
        std::uint32_t id = 0;
        if (!request.U32(&id)) return std::nullopt;
        Writer reply;
        SC_HANDLE service = Service(id);
        // Every reply starts with ok and the error; the error of a handle that names nothing.
        const auto result = [&reply](bool ok) {
            reply.U32(ok ? 1 : 0).U32(ok ? 0 : GetLastError());
        };
        // A call on the service the request names; a number that names none fails here.
        const auto onService = [service](auto call) {
            if (!service) {
                SetLastError(ERROR_INVALID_HANDLE);
                return false;
            }
            return call() != 0;
        };
        switch (static_cast<ScOp>(operation)) {
            case ScOp::OpenService: {
                std::string name;
                std::uint32_t access = 0;
                if (!request.Text(&name) || !request.U32(&access) || !request.AtEnd()) {
                    return std::nullopt;
                }
                SC_HANDLE opened = nullptr;
                if (id != 0 || !manager_) {
                    SetLastError(ERROR_INVALID_HANDLE);
                } else if (services_.size() >= kMaxOpenServices) {
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                } else {
                    opened = OpenServiceA(manager_, name.c_str(), access);
                }
                std::uint32_t newId = 0;
                if (opened) {
                    newId = ++lastId_;
                    services_[newId] = opened;
                }
                result(opened != nullptr);
                reply.U32(newId);
                break;
            }
            case ScOp::Close: {
                if (!request.AtEnd()) return std::nullopt;
                auto found = services_.find(id);
                bool ok = found != services_.end();
                if (ok) {
                    ok = CloseServiceHandle(found->second) != 0;
                    services_.erase(found);
                } else {
                    SetLastError(ERROR_INVALID_HANDLE);
                }
                result(ok);
                break;
            }
            case ScOp::Query: {
                if (!request.AtEnd()) return std::nullopt;
                SERVICE_STATUS_PROCESS status{};
                DWORD needed = 0;
                const bool ok = onService([&] {
                    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                reinterpret_cast<BYTE*>(&status), sizeof status,
                                                &needed);
                });
                result(ok);
                WriteStatus(reply, SERVICE_STATUS{status.dwServiceType, status.dwCurrentState,
                                                  status.dwControlsAccepted, status.dwWin32ExitCode,
                                                  status.dwServiceSpecificExitCode,
                                                  status.dwCheckPoint, status.dwWaitHint});
                reply.U32(status.dwProcessId);
                break;
            }
            case ScOp::Control: {
                std::uint32_t code = 0;
                if (!request.U32(&code) || !request.AtEnd()) return std::nullopt;
                SERVICE_STATUS status{};
                const bool ok = onService([&] { return ControlService(service, code, &status); });
                result(ok);
                WriteStatus(reply, status);
                break;
            }
            case ScOp::Start: {
                if (!request.AtEnd()) return std::nullopt;
                const bool ok = onService([&] { return StartServiceA(service, 0, nullptr); });
                result(ok);
                break;
            }
            case ScOp::Report: {
                std::uint32_t topic = 0;
                if (!request.U32(&topic) || !request.AtEnd()) return std::nullopt;
                std::string text;
                const bool ok =
                    onService([&] { return QueryServiceReport(service, topic, &text); });
                result(ok);
                reply.Text(ok ? text : std::string());
                break;
            }
            default:
                return std::nullopt;
        }
        return reply.Payload();
    }

  private:
    SC_HANDLE Service(std::uint32_t id) const {
        auto found = services_.find(id);
        return found == services_.end() ? nullptr : found->second;
    }

    SC_HANDLE manager_;
    std::map<std::uint32_t, SC_HANDLE> services_;
    std::uint32_t lastId_ = 0;
};

}  // namespace

int ServeRemote(int in, int out) {
    Server server;
    return platform::remote::Serve(in, out, "service",
                                   [&server](std::uint32_t operation, Reader& request) {
                                       return server.Handle(operation, request);
                                   });
}

}  // namespace platform::service
