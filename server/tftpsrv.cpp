// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/tftpsrv.h"

// Sections: the table and the stop signal; names and files; blocks; the datagram handler;
// the thread.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
#include "server/eventlog.h"
#include "server/zuvexservice.h"

TFTP_CLIENT ClientList[kTftpSlots];
int next_free_slot = 0;
const char errorBuffer[2] = {0, 5};
HANDLE hTftpThread = nullptr;

namespace {

// NT event identifier of progress notices.
constexpr DWORD kProgressEvent = 108;

// TftpTerminate sets the flag and writes the pipe, which the thread polls with its socket.
std::atomic<bool> terminateRequested{false};
int wakePipe[2] = {-1, -1};
std::once_flag wakePipeOnce;

void MakeWakePipe() {
    std::call_once(wakePipeOnce, [] {
        if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
    });
}

void DrainWakePipe() {
    char bytes[64];
    if (wakePipe[0] < 0) return;
    while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

void ClearSlot(TFTP_CLIENT& slot) {
    if (slot.file != kTftpNoFile) ::close(slot.file);
    slot.file = kTftpNoFile;
    slot.hostAddress = 0;
    slot.length = 0;
    slot.lastBlock = false;
    slot.resends = 0;
    slot.deadline = 0;
    slot.ahead = -1;
}

// Every slot starts without a file (descriptor 0 is a file like any other).
const bool tableReady = (TftpResetTable(), true);

// NT event 108 through the service's reporter (TheGlobalService is the same object once
// the service runs).
void ReportProgress(const char* text) {
    LogServiceEvent(EVENTLOG_INFORMATION_TYPE, kProgressEvent, text);
}

// The thread's UDP socket, closed on every way out of the thread.
struct OwnedSocket {
    OwnedSocket() : socket(CreateSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
    ~OwnedSocket() {
        if (socket != INVALID_SOCKET) closesocket(socket);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    const SOCKET socket;
};

WORD ConfiguredPort() {
    const char* text = std::getenv("DORNEL_TFTP_PORT");
    if (!text || !*text) return kTftpPort;
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    // 0 asks the system for a free port (tests read it back with TftpBoundPort).
    if (*end != '\0' || port < 0 || port > 65535) return kTftpPort;
    return static_cast<WORD>(port);
}

// The address the socket binds: every interface, or the IPv4 address in
// DORNEL_TFTP_ADDRESS (tests keep the server on loopback with it).
std::uint32_t ConfiguredAddress() {
    const char* text = std::getenv("DORNEL_TFTP_ADDRESS");
    in_addr parsed{};
    if (text && *text && ::inet_pton(AF_INET, text, &parsed) == 1) return parsed.s_addr;
    return htonl(INADDR_ANY);
}

// The port the running thread's socket is bound to; 0 while none is.
std::atomic<int> boundPort{0};

const char* ErrorText(int code) {
    switch (code) {
        case kTftpErrorFileNotFound:
            return "File not found";
        case kTftpErrorAccessViolation:
            return "Access violation";
        case kTftpErrorIllegalOperation:
            return "Illegal TFTP operation";
        default:
            return "Not defined";
    }
}

// An ERROR packet: opcode 5, the code, its text and a zero.
void SendError(SOCKET s, const sockaddr* peer, socklen_t peerLength, int code) {
    char packet[64];
    packet[0] = 0;
    packet[1] = static_cast<char>(TFTP_ERROR);
    packet[2] = 0;
    packet[3] = static_cast<char>(code);
    const char* text = ErrorText(code);
    const std::size_t textLength = std::strlen(text);
    std::memcpy(packet + 4, text, textLength + 1);
    ::sendto(s, packet, 4 + textLength + 1, MSG_NOSIGNAL, peer, peerLength);
}

// Sends the block held in the slot (again) to the slot's peer.
void SendHeldBlock(TFTP_CLIENT& client, SOCKET s) {
    const std::uint16_t block = client.blockNumber;
    client.opcode = htons(TFTP_DATA);
    client.blockNumber = htons(block);
    ::sendto(s, &client.opcode, static_cast<std::size_t>(kTftpDataHeader + client.length),
             MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&client.peer), sizeof client.peer);
    client.blockNumber = block;
}

// Reads the slot's next block into next (up to 512 bytes, fewer only at the end of the
// file); ahead is its length, or -1 when the read failed.
void ReadAhead(TFTP_CLIENT& client) {
    int count = 0;
    while (count < kTftpBlockSize) {
        const ssize_t n = ::read(client.file, client.next + count,
                                 static_cast<std::size_t>(kTftpBlockSize - count));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            client.ahead = -1;
            return;
        }
        count += static_cast<int>(n);
    }
    client.ahead = count;
}

std::string HostText(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// ---------------------------------------------------------------------------------------
// Serving rules
// ---------------------------------------------------------------------------------------

// The real path of path (links and ".." resolved); when it does not exist, the real path of
// its nearest existing parent with the rest appended. "" for an empty path.
std::string RealOrNearest(const std::string& path) {
    if (path.empty()) return {};
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return RealOrNearest(".") + "/" + path;
    if (slash == 0) return path;
    const std::string parent = RealOrNearest(path.substr(0, slash));
    return parent + path.substr(slash);
}

// True when path is folder itself or lies below it (both real paths).
bool WithinOrSame(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    if (folder == "/") return true;
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// True when path (real, below root) lies inside one of root's drive folders: the one-letter
// folders that drive paths ("C:\...") map to.
bool InsideDriveFolder(const std::string& path, const std::string& root) {
    const std::size_t start = root == "/" ? 1 : root.size() + 1;
    if (path.size() < start + 3) return false;
    const char drive = path[start];
    return drive >= 'a' && drive <= 'z' && path[start + 1] == '/';
}

void Refused(const char* why, const std::string& path) {
    CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP refused %s: %s", why, path.c_str());
}

int OpenErrorCode(int error) {
    return (error == ENOENT || error == ENOTDIR) ? kTftpErrorFileNotFound
                                                 : kTftpErrorAccessViolation;
}

}  // namespace

int OpenServedFile(const std::string& folder, const std::string& relative, int* errorCode) {
    int ignored = 0;
    int& code = errorCode ? *errorCode : ignored;
    code = kTftpErrorFileNotFound;
    char resolved[PATH_MAX];
    if (!::realpath(folder.c_str(), resolved)) {
        code = OpenErrorCode(errno);
        return kTftpNoFile;
    }
    const std::string folderReal = resolved;
    const std::string asked = folder + "/" + relative;
    if (!::realpath(asked.c_str(), resolved)) {
        code = OpenErrorCode(errno);
        return kTftpNoFile;
    }
    const std::string real = resolved;
    code = kTftpErrorAccessViolation;
    if (real == folderReal || !WithinOrSame(real, folderReal)) {
        Refused("a file outside the TFTP folder", real);
        return kTftpNoFile;
    }
    const std::string logFile = CEventLog::LogFilePath();
    const std::size_t logSlash = logFile.find_last_of('/');
    const std::string logFolder = RealOrNearest(
        logSlash == std::string::npos ? "." : (logSlash == 0 ? "/" : logFile.substr(0, logSlash)));
    if (WithinOrSame(real, logFolder)) {
        Refused("a file in the log folder", real);
        return kTftpNoFile;
    }
    const std::string root = RealOrNearest(platform::paths::Root());
    if (WithinOrSame(real, root) && !InsideDriveFolder(real, root)) {
        Refused("a file in the registry's folder", real);
        return kTftpNoFile;
    }

    // Walk down from the served folder without following links: every folder must be
    // searchable by everyone, the file a regular file readable by everyone.
    int folderFd = ::open(folderReal.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        code = OpenErrorCode(errno);
        return kTftpNoFile;
    }
    std::size_t at = folderReal == "/" ? 1 : folderReal.size() + 1;
    for (;;) {
        struct stat info {};
        if (::fstat(folderFd, &info) != 0 || !S_ISDIR(info.st_mode) || !(info.st_mode & S_IXOTH)) {
            ::close(folderFd);
            Refused("a file in a folder not searchable by everyone", real);
            return kTftpNoFile;
        }
        const std::size_t slash = real.find('/', at);
        const std::string part =
            real.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (slash == std::string::npos) {
            const int fd = ::openat(folderFd, part.c_str(),
                                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
            const int openError = errno;
            ::close(folderFd);
            if (fd < 0) {
                code = OpenErrorCode(openError);
                return kTftpNoFile;
            }
            if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
                ::close(fd);
                Refused("what is not a regular file", real);
                return kTftpNoFile;
            }
            if (!(info.st_mode & S_IROTH)) {
                ::close(fd);
                Refused("a file not readable by everyone", real);
                return kTftpNoFile;
            }
            code = 0;
            return fd;
        }
        const int next =
            ::openat(folderFd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openError = errno;
        ::close(folderFd);
        if (next < 0) {
            code = OpenErrorCode(openError);
            return kTftpNoFile;
        }
        folderFd = next;
        at = slash + 1;
    }
}

// ---------------------------------------------------------------------------------------
// Names and files
// ---------------------------------------------------------------------------------------

bool IsNameInsideFolder(const char* name) {
    if (name[0] == '/' || name[0] == '\\') return false;
    if (std::strchr(name, ':')) return false;
    int depth = 0;
    const char* part = name;
    while (*part) {
        const std::size_t length = std::strcspn(part, "/\\");
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            if (--depth < 0) return false;
        } else if (length > 0 && !(length == 1 && part[0] == '.')) {
            ++depth;
        }
        part += length;
        if (*part) ++part;
    }
    return true;
}

int OpenFileForReading(const char* packet, int length, int* errorCode) {
    int ignored = 0;
    int& code = errorCode ? *errorCode : ignored;
    code = kTftpErrorAccessViolation;
    char folder[sizeof GlobalTFTPDirectory];
    GetConfigString(GlobalTFTPDirectory, folder, sizeof folder);
    const std::size_t folderLength = std::strlen(folder);
    // A native folder ("/srv/boot") is joined with "/", a system one ("C:\dornel") with a
    // backslash.
    const bool joined =
        folderLength > 0 && (folder[folderLength - 1] == '\\' || folder[folderLength - 1] == '/');
    const char* separator = joined ? "" : (folder[0] == '/' ? "/" : "\\");

    const char* name = packet + 2;
    const int nameRoom = length > 2 ? length - 2 : 0;
    const void* zero = std::memchr(name, '\0', static_cast<std::size_t>(nameRoom));
    const int nameLength =
        zero ? static_cast<int>(static_cast<const char*>(zero) - name) : nameRoom;

    // The report shows the path as it was asked for, even when it is refused.
    char path[2 * kTftpMaxPath];
    std::snprintf(path, sizeof path, "%s%s%.*s", folder, separator,
                  nameLength > kTftpMaxPath ? kTftpMaxPath : nameLength, name);
    char text[sizeof path + 32];
    std::snprintf(text, sizeof text, "Opening TFTP file %s", path);
    ReportProgress(text);

    if (!zero) {
        CZuvexService::EventLog.LogDebugEvent(nullptr,
                                              "TFTP refused a name without its terminating zero");
        code = kTftpErrorIllegalOperation;
        return kTftpNoFile;
    }
    if (folderLength + std::strlen(separator) + static_cast<std::size_t>(nameLength) + 1 >
        static_cast<std::size_t>(kTftpMaxPath)) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP refused a path over %d bytes: %s",
                                              kTftpMaxPath, path);
        return kTftpNoFile;
    }
    if (!IsNameInsideFolder(name)) {
        CZuvexService::EventLog.LogDebugEvent(
            nullptr, "TFTP refused a name that leaves the TFTP folder: %s", path);
        return kTftpNoFile;
    }

    // An empty folder names the top of drive C:, as "\name" would; never the native root.
    std::string native = platform::paths::NativePath(folderLength > 0 ? folder : "\\");
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    std::string relative(name, static_cast<std::size_t>(nameLength));
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    return OpenServedFile(native, relative, &code);
}

// ---------------------------------------------------------------------------------------
// Slots and blocks
// ---------------------------------------------------------------------------------------

void TftpResetTable() {
    for (TFTP_CLIENT& slot : ClientList) {
        if (tableReady && slot.file != kTftpNoFile) ::close(slot.file);
        std::memset(&slot, 0, sizeof slot);
        slot.file = kTftpNoFile;
        slot.ahead = -1;
    }
    next_free_slot = 0;
}

std::int64_t TftpNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int TftpTimeoutMs(int resends) {
    // 250 ms, 500 ms, 1 s, then 2 s for every further try.
    if (resends < 0) resends = 0;
    return resends >= 3 ? 2000 : 250 << resends;
}

int LocateHost(std::uint32_t hostAddress) {
    int finished = -1;
    for (int i = 0; i < next_free_slot; ++i) {
        if (ClientList[i].hostAddress == hostAddress) return i;
        if (finished < 0 && ClientList[i].hostAddress == 0) finished = i;
    }
    int slot = finished;
    if (slot < 0) {
        if (next_free_slot >= kTftpSlots) return -1;
        slot = next_free_slot++;
    }
    TFTP_CLIENT& client = ClientList[slot];
    if (client.file != kTftpNoFile) ::close(client.file);
    client.hostAddress = hostAddress;
    client.file = kTftpNoFile;
    client.blockNumber = 1;
    client.length = 0;
    client.lastBlock = false;
    client.resends = 0;
    client.deadline = 0;
    client.ahead = -1;
    return slot;
}

int SendNextBlock(int slot, const sockaddr* peer, socklen_t peerLength, SOCKET s) {
    TFTP_CLIENT& client = ClientList[slot];
    if (peer->sa_family == AF_INET && peerLength >= static_cast<socklen_t>(sizeof client.peer)) {
        std::memcpy(&client.peer, peer, sizeof client.peer);
    }
    // The block was read ahead while the client was busy with the one before; a slot that
    // has none ready (the first block) reads it now.
    if (client.ahead < 0 && client.file != kTftpNoFile) ReadAhead(client);
    if (client.ahead < 0) {
        ClearSlot(client);
        return 1;
    }
    const int count = client.ahead;
    std::memcpy(client.data, client.next, static_cast<std::size_t>(count));
    client.ahead = -1;
    client.blockNumber = static_cast<std::uint16_t>(client.blockNumber + 1);
    client.length = count;
    client.lastBlock = count < kTftpBlockSize;
    client.resends = 0;
    client.deadline = TftpNow() + TftpTimeoutMs(0);
    SendHeldBlock(client, s);
    if (client.lastBlock) {
        // The last block needs nothing more from the file; the slot waits for its ACK.
        if (client.file != kTftpNoFile) ::close(client.file);
        client.file = kTftpNoFile;
    } else {
        ReadAhead(client);
    }
    return 1;
}

int TftpCheckTimeouts(SOCKET s, std::int64_t now) {
    std::int64_t next = -1;
    for (int i = 0; i < next_free_slot; ++i) {
        TFTP_CLIENT& client = ClientList[i];
        if (client.hostAddress == 0 || client.deadline == 0) continue;
        if (client.deadline <= now) {
            if (client.resends >= kTftpMaxResends) {
                CZuvexService::EventLog.LogDebugEvent(
                    nullptr, "TFTP gave up on %s after %d resends of block %u",
                    HostText(client.hostAddress).c_str(), client.resends,
                    static_cast<unsigned>(client.blockNumber));
                ClearSlot(client);
                continue;
            }
            ++client.resends;
            client.deadline = now + TftpTimeoutMs(client.resends);
            SendHeldBlock(client, s);
        }
        const std::int64_t wait = client.deadline - now;
        if (next < 0 || wait < next) next = wait;
    }
    return static_cast<int>(next);
}

// ---------------------------------------------------------------------------------------
// Datagrams
// ---------------------------------------------------------------------------------------

int ReplyToClient(SOCKET s, const sockaddr* peer, socklen_t peerLength, const char* packet,
                  int length) {
    if (peer->sa_family != AF_INET || length < 1) return 0;
    const std::uint8_t opcode =
        (packet[0] == 0 && length >= 2) ? static_cast<std::uint8_t>(packet[1]) : 0;
    const auto* from = reinterpret_cast<const sockaddr_in*>(peer);
    const std::uint32_t host = from->sin_addr.s_addr;

    const int slot = LocateHost(host);
    if (slot < 0) {
        ::sendto(s, errorBuffer, sizeof errorBuffer, MSG_NOSIGNAL, peer, peerLength);
        return 1;
    }
    TFTP_CLIENT& client = ClientList[slot];
    // A slot in transfer holds a block (deadline set); ACK and ERROR count only from the
    // port its request came from.
    const bool inTransfer = client.deadline != 0;
    const bool samePort = inTransfer && client.peer.sin_port == from->sin_port;
    int sent = 0;
    switch (opcode) {
        case TFTP_RRQ: {
            // A new request from the same host restarts its transfer.
            if (client.file != kTftpNoFile) ::close(client.file);
            client.deadline = 0;
            client.ahead = -1;
            int code = kTftpErrorFileNotFound;
            client.file = OpenFileForReading(packet, length, &code);
            client.blockNumber = 0;
            if (client.file != kTftpNoFile) {
                sent = SendNextBlock(slot, peer, peerLength, s);
            } else {
                SendError(s, peer, peerLength, code);
                sent = 1;
            }
            break;
        }
        case TFTP_ACK: {
            if (!samePort || length < 4) break;
            const auto block = static_cast<std::uint16_t>(
                (static_cast<std::uint8_t>(packet[2]) << 8) | static_cast<std::uint8_t>(packet[3]));
            // Only the ACK of the block last sent moves the transfer on; a duplicate of an
            // earlier one is ignored (the time-out resends a block that went missing).
            if (block != client.blockNumber) break;
            if (client.lastBlock) {
                ClearSlot(client);
                break;
            }
            sent = SendNextBlock(slot, peer, peerLength, s);
            break;
        }
        case TFTP_ERROR:
            if (samePort) {
                CZuvexService::EventLog.LogDebugEvent(
                    nullptr, "TFTP transfer to %s ended by the client's error packet",
                    HostText(host).c_str());
                ClearSlot(client);
            }
            break;
        default:
            break;
    }
    // A slot holding no block has nothing left to send: it is free for the next host.
    if (client.deadline == 0 || (client.file == kTftpNoFile && !client.lastBlock)) {
        ClearSlot(client);
    }
    return sent;
}

// ---------------------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------------------

int TftpBoundPort() { return boundPort.load(); }

void TftpTerminate() {
    MakeWakePipe();
    terminateRequested.store(true);
    if (wakePipe[1] >= 0) {
        const char wake = 1;
        while (::write(wakePipe[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
}

DWORD TftpThread(void* unused) {
    MakeWakePipe();
    const WORD port = ConfiguredPort();
    const OwnedSocket owned;
    const SOCKET s = owned.socket;
    if (s == INVALID_SOCKET) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP cannot create its socket, error %d",
                                              WSAGetLastError());
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ConfiguredAddress();
    local.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP cannot bind port %d, error %d", port,
                                              platform::net::WinsockErrorFromErrno(errno));
        return 1;
    }
    socklen_t localLength = sizeof local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == 0) {
        boundPort.store(ntohs(local.sin_port));
    }
    struct BoundPortReset {
        ~BoundPortReset() { boundPort.store(0); }
    } boundPortReset;

    TftpResetTable();
    pollfd waitSet[2] = {{s, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    const nfds_t waitCount = wakePipe[0] >= 0 ? 2 : 1;
    // One byte more than the longest packet tells an oversized datagram from a full one.
    char buffer[kTftpMaxDatagram + 1];
    while (!terminateRequested.load()) {
        // Wait for a datagram or the next block's time-out, whichever comes first.
        int timeout = TftpCheckTimeouts(s, TftpNow());
        if (wakePipe[0] < 0 && (timeout < 0 || timeout > 500)) timeout = 500;
        const int ready = ::poll(waitSet, waitCount, timeout);
        if (terminateRequested.load()) break;
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) ::usleep(100 * 1000);
            continue;
        }
        if (!(waitSet[0].revents & (POLLIN | POLLERR))) continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const ssize_t n = ::recvfrom(s, buffer, sizeof buffer, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (n < 0) {
            if (errno != EINTR) {
                CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP receive failed, error %d",
                                                      platform::net::WinsockErrorFromErrno(errno));
                // A socket that keeps failing must not turn this loop into a spin.
                ::usleep(10 * 1000);
            }
            continue;
        }
        if (n == 0) continue;
        if (n > kTftpMaxDatagram) {
            CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP dropped a datagram of %d bytes",
                                                  static_cast<int>(n));
            continue;
        }
        ReplyToClient(s, reinterpret_cast<const sockaddr*>(&peer), peerLength, buffer,
                      static_cast<int>(n));
    }
    TftpResetTable();
    DrainWakePipe();
    terminateRequested.store(false);
    return 0;
}
