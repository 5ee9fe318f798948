// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Keys of another machine's registry: the client calls, and the serving side that
// "dornelreg --serve" runs. A remote handle is a RemoteKey of this file; the handle the
// caller gets is its address (handles are opaque, and every Reg* call asks IsRemote before
// it treats a handle as a local one).

#include "platform/registry/remotekeys.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "platform/remote/connection.h"
#include "platform/remote/frame.h"
#include "platform/remote/serve.h"

namespace platform::registry::detail {

namespace {

using platform::remote::Connection;
using platform::remote::Reader;
using platform::remote::Writer;

// A connected machine's root: closing it ends the connection.
struct RemoteHandle : RemoteKey {
    bool root = false;
};

std::mutex& HandlesMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
// How many remote handles are open: while none is, a local key needs no lookup.
std::atomic<int> openHandles{0};

std::unordered_set<const RemoteHandle*>& Handles() {
    static auto* handles = new std::unordered_set<const RemoteHandle*>;
    return *handles;
}

// A copy of the open handle's connection and number, taken under the lock: another thread
// may close (and free) the handle while this call runs, and the copy stays good.
std::optional<RemoteKey> Find(HKEY key) {
    auto* handle = reinterpret_cast<RemoteHandle*>(key);
    std::lock_guard<std::mutex> lock(HandlesMutex());
    if (!Handles().count(handle)) return std::nullopt;
    return static_cast<const RemoteKey&>(*handle);
}

HKEY NewHandle(std::shared_ptr<Connection> connection, std::uint32_t id, bool root) {
    auto* handle = new RemoteHandle;
    handle->connection = std::move(connection);
    handle->id = id;
    handle->root = root;
    std::lock_guard<std::mutex> lock(HandlesMutex());
    Handles().insert(handle);
    ++openHandles;
    return reinterpret_cast<HKEY>(handle);
}

// Sends a request on key's connection; the reply's reader, or the failure.
LONG Call(const RemoteKey& key, const Writer& request, std::string* reply) {
    LONG error = ERROR_SUCCESS;
    if (!key.connection->Call(request.Payload(), reply, &error)) return error;
    return ERROR_SUCCESS;
}

// A reply that does not parse means the far side is not what it claims: the connection is
// treated as lost.
LONG Malformed(const RemoteKey& key) {
    key.connection->CloseMalformed();
    return ERROR_NETNAME_DELETED;
}

// A request of operation on key, with the rest added by the caller.
Writer Request(RegOp operation, const RemoteKey& key) {
    Writer request;
    request.U32(static_cast<std::uint32_t>(operation)).U32(key.id);
    return request;
}

// Runs a request whose reply is the result code alone.
LONG SimpleCall(const RemoteKey& key, const Writer& request) {
    std::string reply;
    const LONG rc = Call(key, request, &reply);
    if (rc != ERROR_SUCCESS) return rc;
    Reader reader(reply);
    std::uint32_t result = 0;
    if (!reader.U32(&result) || !reader.AtEnd()) return Malformed(key);
    return static_cast<LONG>(result);
}

// Open and Create: a new handle on the same connection.
LONG OpenOrCreate(RegOp operation, HKEY key, const char* subKey, HKEY* result, DWORD* disposition) {
    const std::optional<RemoteKey> parent = Find(key);
    if (!parent) return ERROR_INVALID_HANDLE;
    Writer request = Request(operation, *parent);
    request.Text(subKey ? subKey : "");
    std::string reply;
    const LONG rc = Call(*parent, request, &reply);
    if (rc != ERROR_SUCCESS) return rc;
    Reader reader(reply);
    std::uint32_t answer = 0, id = 0, how = 0;
    if (!reader.U32(&answer) || !reader.U32(&id) ||
        (operation == RegOp::Create && !reader.U32(&how)) || !reader.AtEnd()) {
        return Malformed(*parent);
    }
    if (answer != ERROR_SUCCESS) return static_cast<LONG>(answer);
    if (disposition) *disposition = how;
    *result = NewHandle(parent->connection, id, false);
    return ERROR_SUCCESS;
}

}  // namespace

bool IsRemote(HKEY key) {
    if (openHandles.load() == 0) return false;
    std::lock_guard<std::mutex> lock(HandlesMutex());
    return Handles().count(reinterpret_cast<const RemoteHandle*>(key)) != 0;
}

LONG RemoteConnect(const char* machineName, HKEY* result) {
    LONG error = ERROR_SUCCESS;
    auto connection = Connection::Open(machineName, "dornelreg", "registry", &error);
    if (!connection) return error;
    *result = NewHandle(std::move(connection), 0, true);
    return ERROR_SUCCESS;
}

LONG RemoteOpen(HKEY key, const char* subKey, HKEY* result) {
    return OpenOrCreate(RegOp::Open, key, subKey, result, nullptr);
}

LONG RemoteCreate(HKEY key, const char* subKey, HKEY* result, DWORD* disposition) {
    return OpenOrCreate(RegOp::Create, key, subKey, result, disposition);
}

LONG RemoteClose(HKEY key) {
    auto* handle = reinterpret_cast<RemoteHandle*>(key);
    {
        std::lock_guard<std::mutex> lock(HandlesMutex());
        if (Handles().erase(handle) == 0) return ERROR_INVALID_HANDLE;
        --openHandles;
    }
    if (handle->root) {
        // The root's end is the connection's end; keys still open on it fail from now on.
        handle->connection->Close();
    } else {
        // The serving side forgets the key; a connection already gone has nothing to forget.
        std::string reply;
        LONG error = ERROR_SUCCESS;
        handle->connection->Call(Request(RegOp::Close, *handle).Payload(), &reply, &error);
    }
    delete handle;
    return ERROR_SUCCESS;
}

LONG RemoteGet(HKEY key, const char* name, DWORD* type, std::vector<BYTE>* data) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::Get, *handle);
    request.Text(name ? name : "");
    std::string reply;
    const LONG rc = Call(*handle, request, &reply);
    if (rc != ERROR_SUCCESS) return rc;
    Reader reader(reply);
    std::uint32_t result = 0, storedType = 0;
    if (!reader.U32(&result) || !reader.U32(&storedType) || !reader.Bytes(data) ||
        !reader.AtEnd()) {
        return Malformed(*handle);
    }
    *type = storedType;
    return static_cast<LONG>(result);
}

LONG RemoteSet(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::Set, *handle);
    request.Text(name ? name : "").U32(type).Bytes(data, size);
    return SimpleCall(*handle, request);
}

LONG RemoteDeleteValue(HKEY key, const char* name) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::DeleteValue, *handle);
    request.Text(name ? name : "");
    return SimpleCall(*handle, request);
}

LONG RemoteDeleteKey(HKEY key, const char* subKey) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::DeleteKey, *handle);
    request.Text(subKey ? subKey : "");
    return SimpleCall(*handle, request);
}

LONG RemoteEnumKey(HKEY key, DWORD index, std::string* name) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::EnumKey, *handle);
    request.U32(index);
    std::string reply;
    const LONG rc = Call(*handle, request, &reply);
    if (rc != ERROR_SUCCESS) return rc;
    Reader reader(reply);
    std::uint32_t result = 0;
    if (!reader.U32(&result) || !reader.Text(name) || !reader.AtEnd()) return Malformed(*handle);
    return static_cast<LONG>(result);
}

LONG RemoteEnumValue(HKEY key, DWORD index, std::string* name, DWORD* type,
                     std::vector<BYTE>* data) {
    const std::optional<RemoteKey> handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    Writer request = Request(RegOp::EnumValue, *handle);
    request.U32(index);
    std::string reply;
    const LONG rc = Call(*handle, request, &reply);
    if (rc != ERROR_SUCCESS) return rc;
    Reader reader(reply);
    std::uint32_t result = 0, storedType = 0;
    if (!reader.U32(&result) || !reader.Text(name) || !reader.U32(&storedType) ||
        !reader.Bytes(data) || !reader.AtEnd()) {
        return Malformed(*handle);
    }
    *type = storedType;
    return static_cast<LONG>(result);
}

}  // namespace platform::registry::detail

// ---------------------------------------------------------------------------------------
// The serving side
// ---------------------------------------------------------------------------------------

namespace platform::registry {

namespace {

using detail::RegOp;
using platform::remote::Reader;
using platform::remote::Writer;

// The most keys one client may hold open at once.
constexpr std::size_t kMaxOpenKeys = 65536;

// Reads a value whole through the two-call pattern; a value that grows in between is read
// again.
LONG ReadWhole(const std::function<LONG(BYTE*, DWORD*)>& read, std::vector<BYTE>* data) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD size = 0;
        LONG rc = read(nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        data->assign(size, 0);
        rc = read(data->data(), &size);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc == ERROR_SUCCESS) data->resize(size);
        return rc;
    }
    return ERROR_MORE_DATA;
}

class Server {
  public:
    ~Server() {
        for (auto& [id, key] : keys_) RegCloseKey(key);
    }

    std::optional<std::string> Handle(std::uint32_t operation, Reader& request) {
        std::uint32_t id = 0;
        if (!request.U32(&id)) return std::nullopt;
        Writer reply;
        HKEY key = Key(id);
        switch (static_cast<RegOp>(operation)) {
            case RegOp::Open:
            case RegOp::Create: {
                std::string subKey;
                if (!request.Text(&subKey) || !request.AtEnd()) return std::nullopt;
                HKEY opened = nullptr;
                DWORD disposition = 0;
                LONG rc = ERROR_INVALID_HANDLE;
                if (keys_.size() >= kMaxOpenKeys) {
                    rc = ERROR_NOT_ENOUGH_MEMORY;
                } else if (key && operation == static_cast<std::uint32_t>(RegOp::Open)) {
                    rc = RegOpenKeyExA(key, subKey.c_str(), 0, KEY_ALL_ACCESS, &opened);
                } else if (key) {
                    rc = RegCreateKeyExA(key, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &opened, &disposition);
                }
                std::uint32_t newId = 0;
                if (rc == ERROR_SUCCESS) {
                    newId = ++lastId_;
                    keys_[newId] = opened;
                }
                reply.U32(static_cast<std::uint32_t>(rc)).U32(newId);
                if (operation == static_cast<std::uint32_t>(RegOp::Create)) reply.U32(disposition);
                break;
            }
            case RegOp::Close: {
                if (!request.AtEnd()) return std::nullopt;
                auto found = keys_.find(id);
                LONG rc = ERROR_INVALID_HANDLE;
                if (found != keys_.end()) {
                    rc = RegCloseKey(found->second);
                    keys_.erase(found);
                }
                reply.U32(static_cast<std::uint32_t>(rc));
                break;
            }
            case RegOp::Get: {
                std::string name;
                if (!request.Text(&name) || !request.AtEnd()) return std::nullopt;
                DWORD type = REG_NONE;
                std::vector<BYTE> data;
                LONG rc = ERROR_INVALID_HANDLE;
                if (key) {
                    rc = ReadWhole(
                        [&](BYTE* buffer, DWORD* size) {
                            return RegQueryValueExA(key, name.c_str(), nullptr, &type, buffer,
                                                    size);
                        },
                        &data);
                }
                if (rc != ERROR_SUCCESS) data.clear();
                reply.U32(static_cast<std::uint32_t>(rc)).U32(type).Bytes(data);
                break;
            }
            case RegOp::Set: {
                std::string name;
                std::uint32_t type = 0;
                std::vector<BYTE> data;
                if (!request.Text(&name) || !request.U32(&type) || !request.Bytes(&data) ||
                    !request.AtEnd()) {
                    return std::nullopt;
                }
                const LONG rc = key ? RegSetValueExA(key, name.c_str(), 0, type, data.data(),
                                                     static_cast<DWORD>(data.size()))
                                    : ERROR_INVALID_HANDLE;
                reply.U32(static_cast<std::uint32_t>(rc));
                break;
            }
            case RegOp::DeleteValue:
            case RegOp::DeleteKey: {
                std::string name;
                if (!request.Text(&name) || !request.AtEnd()) return std::nullopt;
                LONG rc = ERROR_INVALID_HANDLE;
                if (key && operation == static_cast<std::uint32_t>(RegOp::DeleteValue)) {
                    rc = RegDeleteValueA(key, name.c_str());
                } else if (key) {
                    rc = RegDeleteKeyA(key, name.c_str());
                }
                reply.U32(static_cast<std::uint32_t>(rc));
                break;
            }
            case RegOp::EnumKey: {
                std::uint32_t index = 0;
                if (!request.U32(&index) || !request.AtEnd()) return std::nullopt;
                char name[256];
                DWORD length = sizeof name;
                const LONG rc = key ? RegEnumKeyExA(key, index, name, &length, nullptr, nullptr,
                                                    nullptr, nullptr)
                                    : ERROR_INVALID_HANDLE;
                reply.U32(static_cast<std::uint32_t>(rc))
                    .Text(rc == ERROR_SUCCESS ? std::string_view(name, length) : "");
                break;
            }
            case RegOp::EnumValue: {
                std::uint32_t index = 0;
                if (!request.U32(&index) || !request.AtEnd()) return std::nullopt;
                std::vector<char> name(16384);
                DWORD length = 0;
                DWORD type = REG_NONE;
                std::vector<BYTE> data;
                LONG rc = ERROR_INVALID_HANDLE;
                if (key) {
                    rc = ReadWhole(
                        [&](BYTE* buffer, DWORD* size) {
                            length = static_cast<DWORD>(name.size());
                            return RegEnumValueA(key, index, name.data(), &length, nullptr, &type,
                                                 buffer, size);
                        },
                        &data);
                }
                if (rc != ERROR_SUCCESS) {
                    length = 0;
                    data.clear();
                }
                reply.U32(static_cast<std::uint32_t>(rc))
                    .Text(std::string_view(name.data(), length))
                    .U32(type)
                    .Bytes(data);
                break;
            }
            default:
                return std::nullopt;
        }
        return reply.Payload();
    }

  private:
    // The key a number names: 0 is the root; null for a number not handed out.
    HKEY Key(std::uint32_t id) const {
        if (id == 0) return HKEY_LOCAL_MACHINE;
        auto found = keys_.find(id);
        return found == keys_.end() ? nullptr : found->second;
    }

    std::map<std::uint32_t, HKEY> keys_;
    std::uint32_t lastId_ = 0;
};

}  // namespace

int ServeRemote(int in, int out) {
    Server server;
    return platform::remote::Serve(in, out, "registry",
                                   [&server](std::uint32_t operation, Reader& request) {
                                       return server.Handle(operation, request);
                                   });
}

}  // namespace platform::registry
