// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Fuzzes the TFTP datagram handler and its time-outs with a run of datagrams from four
// hosts. Each record of the input is:
//   byte 0     host (bits 0-1: 127.0.0.1 to .4) and port (bit 2: 1069 or 2069)
//   byte 1     milliseconds to let pass before the datagram, times 16
//   bytes 2-3  datagram length, big-endian (cut to what is left, and to 520)
//   then the datagram.
// Replies go nowhere (the socket is a Unix datagram pair, which refuses IPv4 addresses).
// The served folder holds one file that may be served and, beside it, files that must never
// be: one readable by its owner alone, the log folder, and a link that leads out. Checked
// after every step: the table stays within its 20 slots, a free slot holds no file, no
// slot ever holds a file other than the one that may be served, and no descriptor leaks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths/paths.h"
#include "server/tftpsrv.h"
#include "server/zuvexservice.h"

namespace {

struct Setup {
    SOCKET socket = -1;
    ino_t served = 0;
    int firstFreeDescriptor = -1;
};

void WriteFile(const std::string& path, std::size_t size, mode_t mode) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
    out.close();
    ::chmod(path.c_str(), mode);
}

const Setup& TheSetup() {
    static const Setup setup = [] {
        Setup made;
        char pattern[] = "/tmp/dornel-tftpfuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        ::setenv("DORNEL_ROOT", pattern, 1);
        // The private root goes when the fuzzer exits.
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(platform::paths::Root(), ignored);
        });
        {
            std::lock_guard<std::mutex> guard(ConfigLock());
            std::snprintf(GlobalTFTPDirectory, sizeof GlobalTFTPDirectory, "C:\\dornel");
            std::snprintf(LogDir, sizeof LogDir, "C:\\dornel\\log");
        }
        const std::string folder = platform::paths::NativePath("C:\\dornel");
        platform::paths::MakeDirectories(folder + "/log");
        WriteFile(folder + "/orvane.bin", 1500, 0644);
        WriteFile(folder + "/boxusers", 100, 0600);
        WriteFile(folder + "/log/dornel.log", 100, 0644);
        WriteFile(std::string(pattern) + "/registry.db", 100, 0644);
        ::symlink((std::string(pattern) + "/registry.db").c_str(), (folder + "/r").c_str());
        struct stat info {};
        ::stat((folder + "/orvane.bin").c_str(), &info);
        made.served = info.st_ino;
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
        made.socket = pair[0];
        TftpResetTable();
        made.firstFreeDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(made.firstFreeDescriptor);
        return made;
    }();
    return setup;
}

void Check(const Setup& setup) {
    if (next_free_slot < 0 || next_free_slot > kTftpSlots) __builtin_trap();
    for (const TFTP_CLIENT& slot : ClientList) {
        if (slot.hostAddress == 0 && slot.file != kTftpNoFile) __builtin_trap();
        if (slot.length < 0 || slot.length > kTftpBlockSize) __builtin_trap();
        if (slot.file != kTftpNoFile) {
            struct stat info {};
            if (::fstat(slot.file, &info) != 0 || info.st_ino != setup.served) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Setup& setup = TheSetup();
    std::int64_t now = TftpNow();
    std::size_t at = 0;
    while (at + 4 <= size) {
        const std::uint8_t who = data[at];
        now += static_cast<std::int64_t>(data[at + 1]) * 16;
        std::size_t length = (static_cast<std::size_t>(data[at + 2]) << 8) | data[at + 3];
        at += 4;
        if (length > size - at) length = size - at;
        if (length > 520) length = 520;
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(0x7F000001u + (who & 3u));
        peer.sin_port = htons((who & 4u) ? 2069 : 1069);
        ReplyToClient(setup.socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                      reinterpret_cast<const char*>(data + at), static_cast<int>(length));
        Check(setup);
        TftpCheckTimeouts(setup.socket, now);
        Check(setup);
        at += length;
    }
    TftpResetTable();
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(probe);
    if (probe != setup.firstFreeDescriptor) __builtin_trap();
    return 0;
}
