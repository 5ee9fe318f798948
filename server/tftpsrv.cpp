// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "server/tftpsrv.h"

// Sections: the table and the stop signal; names and files; blocks; the datagram handler;
// the thread.

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "platform/service/eventsource.h"
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
}

void ResetTable() {
    for (TFTP_CLIENT& slot : ClientList) {
        std::memset(&slot, 0, sizeof slot);
        slot.file = kTftpNoFile;
    }
    next_free_slot = 0;
}

// Every slot starts without a file (descriptor 0 is a file like any other).
const bool tableReady = (ResetTable(), true);

void CloseTable() {
    for (int i = 0; i < next_free_slot; ++i) ClearSlot(ClientList[i]);
}

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
    if (*end != '\0' || port < 1 || port > 65535) return kTftpPort;
    return static_cast<WORD>(port);
}

}  // namespace

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

int OpenFileForReading(const char* packet, int length) {
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
    native += "/" + relative;

    // O_NONBLOCK keeps a FIFO from blocking the open; only a regular file is served.
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return kTftpNoFile;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return kTftpNoFile;
    }
    return fd;
}

// ---------------------------------------------------------------------------------------
// Slots and blocks
// ---------------------------------------------------------------------------------------

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
    return slot;
}

int SendNextBlock(int slot, const sockaddr* peer, socklen_t peerLength, SOCKET s) {
    TFTP_CLIENT& client = ClientList[slot];
    int count = 0;
    bool failed = client.file == kTftpNoFile;
    while (!failed && count < kTftpBlockSize) {
        const ssize_t n = ::read(client.file, client.data + count,
                                 static_cast<std::size_t>(kTftpBlockSize - count));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            failed = true;
            break;
        }
        count += static_cast<int>(n);
    }
    if (!failed) {
        client.opcode = htons(TFTP_DATA);
        client.blockNumber = static_cast<std::uint16_t>(client.blockNumber + 1);
        const std::uint16_t block = client.blockNumber;
        client.blockNumber = htons(block);
        ::sendto(s, &client.opcode, static_cast<std::size_t>(kTftpDataHeader + count), MSG_NOSIGNAL,
                 peer, peerLength);
        client.blockNumber = block;
    }
    if (failed || count < kTftpBlockSize) ClearSlot(client);
    return 1;
}

// ---------------------------------------------------------------------------------------
// Datagrams
// ---------------------------------------------------------------------------------------

int ReplyToClient(SOCKET s, const sockaddr* peer, socklen_t peerLength, const char* packet,
                  int length) {
    if (peer->sa_family != AF_INET || length < 1) return 0;
    const std::uint8_t opcode =
        (packet[0] == 0 && length >= 2) ? static_cast<std::uint8_t>(packet[1]) : 0;
    const std::uint32_t host = reinterpret_cast<const sockaddr_in*>(peer)->sin_addr.s_addr;

    const int slot = LocateHost(host);
    if (slot < 0) {
        ::sendto(s, errorBuffer, sizeof errorBuffer, MSG_NOSIGNAL, peer, peerLength);
        return 1;
    }
    TFTP_CLIENT& client = ClientList[slot];
    int sent = 0;
    switch (opcode) {
        case TFTP_RRQ:
            // A new request from the same host restarts its transfer.
            if (client.file != kTftpNoFile) ::close(client.file);
            client.file = OpenFileForReading(packet, length);
            client.blockNumber = 0;
            if (client.file != kTftpNoFile) sent = SendNextBlock(slot, peer, peerLength, s);
            break;
        case TFTP_ACK:
            sent = SendNextBlock(slot, peer, peerLength, s);
            break;
        default:
            break;
    }
    // A slot holding no open file has nothing left to send: it is free for the next host.
    if (client.file == kTftpNoFile) client.hostAddress = 0;
    return sent;
}

// ---------------------------------------------------------------------------------------
// The thread
// ---------------------------------------------------------------------------------------

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
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        CZuvexService::EventLog.LogDebugEvent(nullptr, "TFTP cannot bind port %d, error %d", port,
                                              platform::net::WinsockErrorFromErrno(errno));
        return 1;
    }

    ResetTable();
    pollfd waitSet[2] = {{s, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    const nfds_t waitCount = wakePipe[0] >= 0 ? 2 : 1;
    const int timeout = wakePipe[0] >= 0 ? -1 : 500;
    // One byte more than the longest packet tells an oversized datagram from a full one.
    char buffer[kTftpMaxDatagram + 1];
    while (!terminateRequested.load()) {
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
    CloseTable();
    DrainWakePipe();
    terminateRequested.store(false);
    return 0;
}
