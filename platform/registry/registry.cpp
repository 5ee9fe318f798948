// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The registry on SQLite. Sections of this file:
//   1. Schema and the process's connection (opened lazily, reopened when DORNEL_ROOT moves
//      or after a fork, shared by every thread under one mutex).
//   2. SQLite helpers: statements, transactions and the one mapping of SQLite results to
//      Win32 error codes.
//   3. Handles: the predefined root and the set of live handles.
//   4. Key lookup and creation.
//   5. The Reg* calls.
//   6. The change counter (a watching connection of its own).
//
// Keys form a tree in table reg_keys (id, parent, name); the root HKEY_LOCAL_MACHINE is row 1.
// Values live in reg_values (key_id, name, type, data). Names carry COLLATE NOCASE, so every
// comparison, uniqueness rule and ORDER BY folds ASCII case, while the stored text keeps the
// spelling a key or value was created with. Key ids come from AUTOINCREMENT and are never
// reused, so a handle on a deleted key can never silently name a newer key.

#include "platform/registry/registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/registry/remotekeys.h"
#include "platform/remote/connection.h"

struct RegistryKey {
    std::int64_t id;       // row of reg_keys this handle names
    std::string path;      // "HKEY_LOCAL_MACHINE\..." in stored spelling, for messages
    bool predefined;       // the static root: never freed, closing it is a no-op
    std::string database;  // file the id belongs to ("" for the predefined root)
};

namespace {

// ---------------------------------------------------------------------------------------
// 1. Schema and connection
// ---------------------------------------------------------------------------------------

constexpr std::int64_t kRootId = 1;
constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr mode_t kDatabaseMode = 0600;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  key_id INTEGER NOT NULL REFERENCES reg_keys(id),"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key_id, name));"
    "INSERT OR IGNORE INTO reg_keys(id, parent, name) VALUES(1, 0, 'HKEY_LOCAL_MACHINE');";

// Writes a diagnostic line to standard error, which a service's journal keeps. Only
// failures of the database itself come here; "no such key" is a result, not a fault.
void Report(const std::string& what, sqlite3* db, int rc) {
    std::fprintf(stderr, "dornel registry: %s: %s (%s)\n", what.c_str(),
                 db ? sqlite3_errmsg(db) : "no connection", sqlite3_errstr(rc));
}

// The one mapping of SQLite result codes to the Win32 codes callers test.
LONG MapSqliteError(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        default:  // BUSY after the time-out, IOERR, FULL, CANTOPEN, ...
            return ERROR_REGISTRY_IO_FAILED;
    }
}

// The process's connection. Every use holds mutex; Open() makes db ready for the current
// root. A connection must not cross a fork, so a child drops its parent's (kept reachable in
// abandoned, never closed: closing would touch file locks the parent still relies on).
// The object itself is never destroyed, because threads that end with the process may still
// be inside a call while exit() runs the destructors.
struct Connection {
    std::mutex mutex;
    sqlite3* db = nullptr;
    std::string path;
    pid_t pid = 0;
    std::vector<sqlite3*> abandoned;

    // Ready for a statement on <root>/registry.db; ERROR_SUCCESS or the failure.
    LONG Open() {
        const std::string root = platform::paths::Root();
        const std::string wanted = root + "/registry.db";
        if (db && pid != ::getpid()) {
            abandoned.push_back(db);
            db = nullptr;
        }
        if (db && path == wanted) return ERROR_SUCCESS;
        if (db) {
            sqlite3_close_v2(db);
            db = nullptr;
        }
        if (!platform::paths::MakeRootFolder()) {
            std::fprintf(stderr, "dornel registry: cannot create the folder %s\n", root.c_str());
            return ERROR_PATH_NOT_FOUND;
        }
        if (!CreatePrivately(wanted)) {
            const int error = errno;
            std::fprintf(stderr, "dornel registry: cannot create %s: %s\n", wanted.c_str(),
                         std::strerror(error));
            // A root this account may not write is a missing right, not a broken disk.
            return error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED
                                                     : ERROR_REGISTRY_IO_FAILED;
        }
        // An account that may read the database but not write it (file permissions: root,
        // or the group the site gives write access) reads it as it is; every write then fails
        // with ERROR_ACCESS_DENIED, and nothing is created or converted on its behalf.
        const bool readOnly = ::faccessat(AT_FDCWD, wanted.c_str(), W_OK, AT_EACCESS) != 0 &&
                              (errno == EACCES || errno == EROFS || errno == EPERM);
        sqlite3* handle = nullptr;
        int rc = sqlite3_open_v2(
            wanted.c_str(), &handle,
            (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                SQLITE_OPEN_NOMUTEX,
            nullptr);
        if (rc != SQLITE_OK) {
            Report("cannot open " + wanted, handle, rc);
            // The database is its owner's alone (it holds passwords): another account
            // is told it lacks the right, not that the file is broken.
            const bool denied = handle && sqlite3_system_errno(handle) == EACCES;
            sqlite3_close_v2(handle);
            return denied ? ERROR_ACCESS_DENIED : MapSqliteError(rc);
        }
        sqlite3_busy_timeout(handle, kBusyTimeoutMs);
        sqlite3_extended_result_codes(handle, 1);
        rc = readOnly ? SQLITE_OK : Prepare(handle);
        if (rc == SQLITE_OK && !readOnly) {
            // The -wal and -shm files stay when the last writer closes (the WAL emptied), so
            // an account that may only read the database can still read it: it cannot create
            // them in the folder itself.
            int persist = 1;
            sqlite3_file_control(handle, nullptr, SQLITE_FCNTL_PERSIST_WAL, &persist);
            sqlite3_exec(handle, "PRAGMA journal_size_limit=0", nullptr, nullptr, nullptr);
        }
        if (rc != SQLITE_OK) {
            Report("cannot prepare " + wanted, handle, rc);
            sqlite3_close_v2(handle);
            return MapSqliteError(rc);
        }
        db = handle;
        path = wanted;
        pid = ::getpid();
        return ERROR_SUCCESS;
    }

  private:
    // The database holds passwords, so it comes into being readable by its owner only,
    // whatever the umask: an empty file, which SQLite takes as an empty database. SQLite
    // gives the -wal and -shm files it creates beside it the database's mode. An existing
    // file is left as it is (MakeRegistryFilesPrivate tightens one at service start).
    static bool CreatePrivately(const std::string& file) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kDatabaseMode);
        if (fd < 0) return errno == EEXIST;
        const bool ok = ::fchmod(fd, kDatabaseMode) == 0;
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return ok;
    }

    // Switches to WAL and creates the schema. Switching the journal mode can report BUSY
    // without going through the busy handler while another process creates the same file,
    // so it is retried for as long as the busy time-out.
    static int Prepare(sqlite3* handle) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        int rc = SQLITE_OK;
        for (;;) {
            rc = sqlite3_exec(handle,
                              "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                              " PRAGMA foreign_keys=ON;",
                              nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) {
                rc = sqlite3_exec(handle, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
                if (rc == SQLITE_OK) {
                    rc = sqlite3_exec(handle, kSchema, nullptr, nullptr, nullptr);
                    if (rc == SQLITE_OK) {
                        rc = sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
                    }
                    if (rc != SQLITE_OK)
                        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
                }
            }
            if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) return rc;
            if (std::chrono::steady_clock::now() >= deadline) return rc;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

Connection& TheConnection() {
    static Connection* connection = new Connection;
    return *connection;
}

// Closes the connection when the process exits normally. The last connection to close folds
// the WAL back into registry.db and removes it, so a copy of registry.db taken after a tool
// ran holds everything. A thread still calling in after this simply opens a new connection.
struct CloseAtExit {
    ~CloseAtExit() {
        Connection& connection = TheConnection();
        std::lock_guard<std::mutex> lock(connection.mutex);
        if (connection.db && connection.pid == ::getpid()) sqlite3_close_v2(connection.db);
        connection.db = nullptr;
        connection.path.clear();
    }
};
CloseAtExit closeAtExit;

// ---------------------------------------------------------------------------------------
// 2. SQLite helpers
// ---------------------------------------------------------------------------------------

// A prepared statement, finalised on destruction.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
        if (rc_ != SQLITE_OK) Report("cannot prepare statement", db, rc_);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return rc_ == SQLITE_OK || rc_ == SQLITE_ROW || rc_ == SQLITE_DONE; }
    int Result() const { return rc_; }

    void Bind(int index, std::int64_t value) {
        if (Ok()) Keep(sqlite3_bind_int64(stmt_, index, value));
    }
    void Bind(int index, std::string_view text) {
        if (Ok())
            Keep(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT));
    }
    // Binds exactly size bytes; an empty value is a zero-length blob, never NULL.
    void BindBlob(int index, const BYTE* data, std::size_t size) {
        static const BYTE kEmpty = 0;
        if (Ok())
            Keep(sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT));
    }

    // Steps once: true on a row; false at the end or on failure (see Ok()).
    bool Step() {
        if (!Ok()) return false;
        rc_ = sqlite3_step(stmt_);
        if (rc_ == SQLITE_ROW) return true;
        if (rc_ != SQLITE_DONE) Report("statement failed", db_, rc_);
        return false;
    }

    std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    std::vector<BYTE> Blob(int column) const {
        const auto* data = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
    }

    // ERROR_SUCCESS, or the mapped failure of the last prepare, bind or step.
    LONG Error() const { return Ok() ? ERROR_SUCCESS : MapSqliteError(rc_); }

  private:
    void Keep(int rc) {
        rc_ = rc;
        if (rc != SQLITE_OK) Report("cannot bind", db_, rc);
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// A write transaction (BEGIN IMMEDIATE, so the write lock is taken up front and a busy
// database is waited for instead of failing half-way). Rolled back unless committed.
class WriteTransaction {
  public:
    explicit WriteTransaction(sqlite3* db) : db_(db) {
        rc_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc_ != SQLITE_OK) Report("cannot begin a write", db, rc_);
    }
    ~WriteTransaction() {
        if (rc_ == SQLITE_OK && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // ERROR_SUCCESS when the transaction began.
    LONG Began() const { return MapSqliteError(rc_); }

    // Commits; ERROR_SUCCESS or the failure (the transaction is then rolled back).
    LONG Commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            Report("cannot commit", db_, rc);
            return MapSqliteError(rc);
        }
        done_ = true;
        return ERROR_SUCCESS;
    }

  private:
    sqlite3* db_;
    int rc_;
    bool done_ = false;
};

// ---------------------------------------------------------------------------------------
// 3. Handles
// ---------------------------------------------------------------------------------------

RegistryKey hklmKey{kRootId, kRootName, true, ""};

// Handles handed out and not yet closed, so a closed or forged handle is refused instead
// of being followed. Guarded by the connection's mutex.
std::unordered_set<const RegistryKey*>& LiveHandles() {
    static auto* handles = new std::unordered_set<const RegistryKey*>;
    return *handles;
}

// A handle is valid while it is open and the root it was opened under is still the current
// one: after DORNEL_ROOT moves, its id would name an unrelated key of the other database.
bool IsValidHandle(HKEY key) {
    if (key == &hklmKey) return true;
    return key && LiveHandles().count(key) != 0 && key->database == TheConnection().path;
}

HKEY NewHandle(std::int64_t id, std::string path) {
    auto* key = new RegistryKey{id, std::move(path), false, TheConnection().path};
    LiveHandles().insert(key);
    return key;
}

// Holds the mutex and an open database for one call.
class Session {
  public:
    Session() : lock_(TheConnection().mutex), error_(TheConnection().Open()) {}

    LONG Error() const { return error_; }
    sqlite3* Db() const { return TheConnection().db; }

  private:
    std::lock_guard<std::mutex> lock_;
    LONG error_;
};

// ---------------------------------------------------------------------------------------
// 4. Key lookup and creation
// ---------------------------------------------------------------------------------------

// Splits "A\B\C" into its names. A trailing backslash is allowed; a leading one, an empty
// name in the middle or a name longer than 255 characters is refused.
std::optional<std::vector<std::string>> SplitKeyPath(const char* subKey) {
    std::vector<std::string> names;
    if (!subKey || !*subKey) return names;
    std::string_view rest(subKey);
    if (rest.front() == '\\') return std::nullopt;
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\\');
        const std::string_view name = rest.substr(0, cut);
        if (name.empty() || name.size() > kMaxKeyNameLength) return std::nullopt;
        names.emplace_back(name);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return names;
}

// Whether key id exists; ERROR_SUCCESS, ERROR_KEY_DELETED or a database failure.
LONG CheckKeyExists(sqlite3* db, std::int64_t id) {
    Statement st(db, "SELECT 1 FROM reg_keys WHERE id = ?");
    st.Bind(1, id);
    if (st.Step()) return ERROR_SUCCESS;
    return st.Ok() ? ERROR_KEY_DELETED : st.Error();
}

// The child of parent named name (without case): its id and stored spelling.
struct Child {
    std::int64_t id;
    std::string name;
};
LONG FindChild(sqlite3* db, std::int64_t parent, const std::string& name,
               std::optional<Child>* child) {
    Statement st(db, "SELECT id, name FROM reg_keys WHERE parent = ? AND name = ?");
    st.Bind(1, parent);
    st.Bind(2, name);
    if (st.Step()) {
        *child = Child{st.Int(0), st.Text(1)};
        return ERROR_SUCCESS;
    }
    child->reset();
    return st.Error();
}

// Walks names below start. On ERROR_SUCCESS, *found is the last key reached (all of them
// when *reached == names.size()) and *path is its path in stored spelling.
LONG Walk(sqlite3* db, const RegistryKey& start, const std::vector<std::string>& names,
          std::int64_t* found, std::string* path, std::size_t* reached) {
    LONG rc = CheckKeyExists(db, start.id);
    if (rc != ERROR_SUCCESS) return rc;
    *found = start.id;
    *path = start.path;
    *reached = 0;
    for (const std::string& name : names) {
        std::optional<Child> child;
        rc = FindChild(db, *found, name, &child);
        if (rc != ERROR_SUCCESS) return rc;
        if (!child) return ERROR_SUCCESS;
        *found = child->id;
        *path += "\\" + child->name;
        ++*reached;
    }
    return ERROR_SUCCESS;
}

// The value of key id named name: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or a failure.
LONG ReadValue(sqlite3* db, std::int64_t id, const char* name, DWORD* type,
               std::vector<BYTE>* data) {
    Statement st(db, "SELECT type, data FROM reg_values WHERE key_id = ? AND name = ?");
    st.Bind(1, id);
    st.Bind(2, std::string_view(name ? name : ""));
    if (st.Step()) {
        *type = static_cast<DWORD>(st.Int(0));
        *data = st.Blob(1);
        return ERROR_SUCCESS;
    }
    if (!st.Ok()) return st.Error();
    const LONG exists = CheckKeyExists(db, id);
    return exists == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : exists;
}

}  // namespace

namespace platform::registry::detail {

// Hands a value to a caller's buffers with the size rules of RegQueryValueExA. A string
// stored without its NUL gets one after its bytes when the buffer has room; the NUL is not
// counted in *cbData, so the caller still sees exactly the stored characters.
LONG CopyOut(DWORD storedType, const std::vector<BYTE>& stored, DWORD* type, BYTE* data,
             DWORD* cbData) {
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    if (type) *type = storedType;
    const auto size = static_cast<DWORD>(stored.size());
    if (!data) {
        if (cbData) *cbData = size;
        return ERROR_SUCCESS;
    }
    if (*cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, stored.data(), size);
    const bool isString = storedType == REG_SZ || storedType == REG_EXPAND_SZ;
    if (isString && *cbData > size && (size == 0 || stored.back() != 0)) data[size] = 0;
    *cbData = size;
    return ERROR_SUCCESS;
}

}  // namespace platform::registry::detail

using platform::registry::detail::CopyOut;

namespace {

// Hands a subkey name to a caller's buffer with the size rules of RegEnumKeyExA.
LONG CopyName(const std::string& found, char* name, DWORD* cchName, char* className,
              DWORD* cchClassName) {
    if (found.size() + 1 > *cchName) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *cchName = static_cast<DWORD>(found.size());
    if (className && cchClassName && *cchClassName) *className = 0;
    if (cchClassName) *cchClassName = 0;
    return ERROR_SUCCESS;
}

}  // namespace
namespace detail = platform::registry::detail;

// ---------------------------------------------------------------------------------------
// 5. The Reg* calls
// ---------------------------------------------------------------------------------------

const HKEY HKEY_LOCAL_MACHINE = &hklmKey;

LONG RegOpenKeyExA(HKEY hKey, const char* subKey, DWORD options, REGSAM samDesired, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (detail::IsRemote(hKey)) return detail::RemoteOpen(hKey, subKey, result);
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    const auto names = SplitKeyPath(subKey);
    if (!names) return ERROR_INVALID_PARAMETER;
    std::int64_t id = 0;
    std::string path;
    std::size_t reached = 0;
    const LONG rc = Walk(session.Db(), *hKey, *names, &id, &path, &reached);
    if (rc != ERROR_SUCCESS) return rc;
    if (reached != names->size()) return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(id, std::move(path));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, const char* subKey, DWORD reserved, char* className, DWORD options,
                     REGSAM samDesired, void* securityAttributes, HKEY* result,
                     DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (detail::IsRemote(hKey)) return detail::RemoteCreate(hKey, subKey, result, disposition);
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    const auto names = SplitKeyPath(subKey);
    if (!names) return ERROR_INVALID_PARAMETER;
    sqlite3* db = session.Db();
    std::int64_t id = 0;
    std::string path;
    std::size_t reached = 0;

    // Most calls open a key that is already there; only a missing one takes the write lock.
    LONG rc = Walk(db, *hKey, *names, &id, &path, &reached);
    if (rc != ERROR_SUCCESS) return rc;
    if (reached == names->size()) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        *result = NewHandle(id, std::move(path));
        return ERROR_SUCCESS;
    }

    WriteTransaction transaction(db);
    if ((rc = transaction.Began()) != ERROR_SUCCESS) return rc;
    // Another process may have created part of the path since the walk above.
    rc = Walk(db, *hKey, *names, &id, &path, &reached);
    if (rc != ERROR_SUCCESS) return rc;
    const bool created = reached != names->size();
    for (std::size_t i = reached; i < names->size(); ++i) {
        Statement st(db, "INSERT INTO reg_keys(parent, name) VALUES(?, ?)");
        st.Bind(1, id);
        st.Bind(2, (*names)[i]);
        st.Step();
        if (!st.Ok()) return st.Error();
        id = sqlite3_last_insert_rowid(db);
        path += "\\" + (*names)[i];
    }
    if ((rc = transaction.Commit()) != ERROR_SUCCESS) return rc;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(id, std::move(path));
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (detail::IsRemote(hKey)) return detail::RemoteClose(hKey);
    std::lock_guard<std::mutex> lock(TheConnection().mutex);
    if (hKey == &hklmKey) return ERROR_SUCCESS;
    if (!hKey || LiveHandles().erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    delete hKey;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (detail::IsRemote(hKey)) {
        if (data && !cbData) return ERROR_INVALID_PARAMETER;
        DWORD storedType = REG_NONE;
        std::vector<BYTE> stored;
        const LONG rc = detail::RemoteGet(hKey, valueName, &storedType, &stored);
        if (rc != ERROR_SUCCESS) return rc;
        return CopyOut(storedType, stored, type, data, cbData);
    }
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    DWORD storedType = REG_NONE;
    std::vector<BYTE> stored;
    const LONG rc = ReadValue(session.Db(), hKey->id, valueName, &storedType, &stored);
    if (rc != ERROR_SUCCESS) return rc;
    return CopyOut(storedType, stored, type, data, cbData);
}

LONG RegSetValueExA(HKEY hKey, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cbData) {
    if (!data && cbData) return ERROR_INVALID_PARAMETER;
    const std::string_view name(valueName ? valueName : "");
    if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    if (detail::IsRemote(hKey)) return detail::RemoteSet(hKey, valueName, type, data, cbData);
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    sqlite3* db = session.Db();
    WriteTransaction transaction(db);
    LONG rc = transaction.Began();
    if (rc != ERROR_SUCCESS) return rc;
    if ((rc = CheckKeyExists(db, hKey->id)) != ERROR_SUCCESS) return rc;
    // The upsert keeps the stored spelling of a value that already exists.
    Statement st(db,
                 "INSERT INTO reg_values(key_id, name, type, data) VALUES(?, ?, ?, ?)"
                 " ON CONFLICT(key_id, name) DO UPDATE SET type = excluded.type,"
                 " data = excluded.data");
    st.Bind(1, hKey->id);
    st.Bind(2, name);
    st.Bind(3, static_cast<std::int64_t>(type));
    st.BindBlob(4, data, cbData);
    st.Step();
    if (!st.Ok()) return st.Error();
    return transaction.Commit();
}

LONG RegDeleteValueA(HKEY hKey, const char* valueName) {
    if (detail::IsRemote(hKey)) return detail::RemoteDeleteValue(hKey, valueName);
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    sqlite3* db = session.Db();
    WriteTransaction transaction(db);
    LONG rc = transaction.Began();
    if (rc != ERROR_SUCCESS) return rc;
    if ((rc = CheckKeyExists(db, hKey->id)) != ERROR_SUCCESS) return rc;
    Statement st(db, "DELETE FROM reg_values WHERE key_id = ? AND name = ?");
    st.Bind(1, hKey->id);
    st.Bind(2, std::string_view(valueName ? valueName : ""));
    st.Step();
    if (!st.Ok()) return st.Error();
    if (sqlite3_changes(db) == 0) return ERROR_FILE_NOT_FOUND;
    return transaction.Commit();
}

LONG RegDeleteKeyA(HKEY hKey, const char* subKey) {
    if (detail::IsRemote(hKey)) return detail::RemoteDeleteKey(hKey, subKey);
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    const auto names = SplitKeyPath(subKey);
    if (!names) return ERROR_INVALID_PARAMETER;
    sqlite3* db = session.Db();
    WriteTransaction transaction(db);
    LONG rc = transaction.Began();
    if (rc != ERROR_SUCCESS) return rc;
    std::int64_t id = 0;
    std::string path;
    std::size_t reached = 0;
    if ((rc = Walk(db, *hKey, *names, &id, &path, &reached)) != ERROR_SUCCESS) return rc;
    if (reached != names->size()) return ERROR_FILE_NOT_FOUND;
    // An empty subKey names hKey itself; the root is never deleted.
    if (id == kRootId) return ERROR_ACCESS_DENIED;
    {
        Statement st(db, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
        st.Bind(1, id);
        if (st.Step()) return ERROR_KEY_HAS_CHILDREN;
        if (!st.Ok()) return st.Error();
    }
    for (const char* sql :
         {"DELETE FROM reg_values WHERE key_id = ?", "DELETE FROM reg_keys WHERE id = ?"}) {
        Statement st(db, sql);
        st.Bind(1, id);
        st.Step();
        if (!st.Ok()) return st.Error();
    }
    return transaction.Commit();
}

LONG RegEnumKeyExA(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* reserved,
                   char* className, DWORD* cchClassName, void* lastWriteTime) {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    if (detail::IsRemote(hKey)) {
        std::string found;
        const LONG rc = detail::RemoteEnumKey(hKey, index, &found);
        if (rc != ERROR_SUCCESS) return rc;
        return CopyName(found, name, cchName, className, cchClassName);
    }
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    sqlite3* db = session.Db();
    const LONG rc = CheckKeyExists(db, hKey->id);
    if (rc != ERROR_SUCCESS) return rc;
    Statement st(db, "SELECT name FROM reg_keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
    st.Bind(1, hKey->id);
    st.Bind(2, static_cast<std::int64_t>(index));
    if (!st.Step()) return st.Ok() ? ERROR_NO_MORE_ITEMS : st.Error();
    return CopyName(st.Text(0), name, cchName, className, cchClassName);
}

LONG RegEnumValueA(HKEY hKey, DWORD index, char* valueName, DWORD* cchValueName, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cbData) {
    if (!valueName || !cchValueName) return ERROR_INVALID_PARAMETER;
    if (detail::IsRemote(hKey)) {
        std::string found;
        DWORD storedType = REG_NONE;
        std::vector<BYTE> stored;
        const LONG rc = detail::RemoteEnumValue(hKey, index, &found, &storedType, &stored);
        if (rc != ERROR_SUCCESS) return rc;
        if (found.size() + 1 > *cchValueName) return ERROR_MORE_DATA;
        const LONG copied = CopyOut(storedType, stored, type, data, cbData);
        if (copied != ERROR_SUCCESS) return copied;
        std::memcpy(valueName, found.c_str(), found.size() + 1);
        *cchValueName = static_cast<DWORD>(found.size());
        return ERROR_SUCCESS;
    }
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    if (!IsValidHandle(hKey)) return ERROR_INVALID_HANDLE;
    sqlite3* db = session.Db();
    const LONG rc = CheckKeyExists(db, hKey->id);
    if (rc != ERROR_SUCCESS) return rc;
    Statement st(db,
                 "SELECT name, type, data FROM reg_values WHERE key_id = ?"
                 " ORDER BY name LIMIT 1 OFFSET ?");
    st.Bind(1, hKey->id);
    st.Bind(2, static_cast<std::int64_t>(index));
    if (!st.Step()) return st.Ok() ? ERROR_NO_MORE_ITEMS : st.Error();
    const std::string found = st.Text(0);
    if (found.size() + 1 > *cchValueName) return ERROR_MORE_DATA;
    const LONG copied = CopyOut(static_cast<DWORD>(st.Int(1)), st.Blob(2), type, data, cbData);
    if (copied != ERROR_SUCCESS) return copied;
    std::memcpy(valueName, found.c_str(), found.size() + 1);
    *cchValueName = static_cast<DWORD>(found.size());
    return ERROR_SUCCESS;
}

LONG RegConnectRegistryA(const char* machineName, HKEY hKey, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (hKey != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (!platform::remote::IsLocalMachine(machineName)) {
        return detail::RemoteConnect(machineName, result);
    }
    Session session;
    if (session.Error() != ERROR_SUCCESS) return session.Error();
    *result = NewHandle(kRootId, kRootName);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// 6. The change counter
// ---------------------------------------------------------------------------------------

namespace {

// A second connection on the current database, kept open only to read SQLite's data version.
// That number moves whenever ANY other connection commits a write: the process's own
// connection above as much as dornelreg or the applet in another process. Reading it starts
// and ends one read transaction, which in WAL mode only looks at the shared-memory index.
// Guarded by the connection's mutex; like the connection, never destroyed.
struct ChangeWatcher {
    sqlite3* db = nullptr;
    sqlite3_stmt* version = nullptr;  // "PRAGMA data_version", kept prepared
    std::string path;                 // database the watcher is open on
    pid_t pid = 0;                    // process that opened it
    std::int64_t lastVersion = -1;    // data version at the last reading, -1 for none yet
    std::uint64_t counter = 0;        // what RegChangeCounter hands out

    void Close() {
        sqlite3_finalize(version);
        sqlite3_close_v2(db);
        version = nullptr;
        db = nullptr;
        path.clear();
    }

    // Ready to read the data version of database; false (and reported) when it cannot open.
    bool Open(const std::string& database) {
        // As with the connection, a handle must not cross a fork: the child leaves it be.
        if (db && pid != ::getpid()) {
            db = nullptr;
            version = nullptr;
        }
        if (db && path == database) return true;
        if (db) Close();
        int rc = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(db, kBusyTimeoutMs);
            rc = sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &version, nullptr);
        }
        if (rc != SQLITE_OK) {
            Report("cannot watch " + database, db, rc);
            Close();
            return false;
        }
        path = database;
        pid = ::getpid();
        lastVersion = -1;
        // Whatever was read from another database (or before a fork) is stale now.
        ++counter;
        return true;
    }
};

ChangeWatcher& TheWatcher() {
    static ChangeWatcher* watcher = new ChangeWatcher;
    return *watcher;
}

// Closes the watcher at a normal exit, before the connection closes (objects of this file
// go in reverse order), so the connection is still the last to close and folds the WAL in.
struct CloseWatcherAtExit {
    ~CloseWatcherAtExit() {
        std::lock_guard<std::mutex> lock(TheConnection().mutex);
        ChangeWatcher& watcher = TheWatcher();
        if (watcher.db && watcher.pid == ::getpid()) watcher.Close();
        watcher.db = nullptr;
        watcher.version = nullptr;
    }
};
CloseWatcherAtExit closeWatcherAtExit;

}  // namespace

std::uint64_t RegChangeCounter() {
    // The session makes sure the database exists (created with its schema) before the
    // watcher opens it, and names the database of the current root.
    Session session;
    if (session.Error() != ERROR_SUCCESS) return 0;
    ChangeWatcher& watcher = TheWatcher();
    if (!watcher.Open(TheConnection().path)) return 0;
    const int rc = sqlite3_step(watcher.version);
    const std::int64_t version =
        rc == SQLITE_ROW ? sqlite3_column_int64(watcher.version, 0) : std::int64_t{-1};
    sqlite3_reset(watcher.version);
    if (rc != SQLITE_ROW) {
        Report("cannot read the data version", watcher.db, rc);
        watcher.Close();
        return 0;
    }
    if (version != watcher.lastVersion) {
        if (watcher.lastVersion != -1) ++watcher.counter;
        watcher.lastVersion = version;
    }
    // Skips 0, which means failure, should the count ever wrap.
    if (watcher.counter == 0) watcher.counter = 1;
    return watcher.counter;
}
