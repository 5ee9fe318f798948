// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The read-only TFTP server the boxes fetch their boot image "orvane.bin" from. It answers
// read requests from GlobalTFTPDirectory with 512-byte DATA blocks and ignores write
// requests and stray packets. All replies leave from the one socket on port 69
// (DORNEL_TFTP_PORT moves it, for tests) and go to the address and port the request came
// from.
//
// Lost packets. A block is held in its slot until the client acknowledges it. An ACK of the
// block last sent releases the next one; any other ACK (a duplicate of an earlier block, or
// a stray number) is ignored and never makes the server send anything, so one ACK never
// gets two blocks and duplicated packets cannot multiply. When no acknowledgement comes in
// time the block is sent again: after 250 ms, then 500 ms, 1 s and 2 s for every further
// try (TftpTimeoutMs); after kTftpMaxResends resends without an answer the transfer is
// given up and its slot freed. The last (short) block is held like any other, so a client
// whose last DATA was lost still gets it; its acknowledgement ends the transfer.
//
// Transfers are kept in a table of 20 slots keyed by the requesting host's IPv4 address;
// ACK and ERROR packets count only from the port the transfer was requested from. A slot is
// freed when its transfer ends: the last block acknowledged, the retries used up, a read
// error, or an ERROR packet from the client. A new host takes a free slot; when every slot
// is busy it gets the bare 2-byte ERROR packet 00 05 for every datagram it sends.
//
// What is served. Every read request is reported ("Opening TFTP file %s", NT event 108).
// A request is refused with an ERROR packet (code 1 "File not found" when nothing is there,
// code 2 "Access violation" otherwise, code 4 for a name without its terminating zero)
// unless all of these hold:
//   - the name stays inside the served folder (not rooted, no drive or ':', no ".." that
//     climbs above the folder, "/" and "\" both separating) and the path fits 260 bytes;
//   - with every symbolic link resolved (realpath), the file still lies inside the served
//     folder, so a link cannot lead out of it;
//   - it is a regular file that everyone may read (o+r), reached through folders that
//     everyone may search (o+x), from the served folder itself down to the file's own;
//   - it lies neither in the folder of the event log (the folder of LogDirectory's
//     "dornel.log") nor in the registry's folder, the run's root $DORNEL_ROOT that holds
//     registry.db and its -wal and -shm files, the NT event log file "eventlog" and the
//     service manager's "scm" folder. Inside the root only the drive folders (the one-letter
//     folders "c", "d", ... that drive paths map to) may be served from; so C:\dornel may be
//     the served folder, while a served folder set to the root itself serves nothing but
//     what lies inside its drive folders.
// The folders are walked again one by one without following links when the file is
// opened, so a folder swapped for a link after the checks is not followed either.
//
// Threads: TftpThread is the only thread that touches the socket and the table.
// TftpTerminate may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/base/wintypes.h"
#include "platform/net/net.h"
#include "server/bootwire.h"

// Slots of the transfer table.
inline constexpr int kTftpSlots = 20;
// File descriptor of a slot without an open file.
inline constexpr int kTftpNoFile = -1;

// Resends of one block before its transfer is given up.
inline constexpr int kTftpMaxResends = 5;

// TFTP error codes the server sends.
inline constexpr int kTftpErrorNotDefined = 0;
inline constexpr int kTftpErrorFileNotFound = 1;
inline constexpr int kTftpErrorAccessViolation = 2;
inline constexpr int kTftpErrorIllegalOperation = 4;

// One transfer slot. opcode, blockNumber and data lie back to back and are sent as they
// stand: they are the DATA packet (opcode, block number, up to 512 data bytes).
struct TFTP_CLIENT {
    std::uint32_t hostAddress;  // owner's IPv4 address as received (network order); 0 free
    int file;                   // descriptor of the file being sent, kTftpNoFile when none
    std::uint16_t opcode;       // TFTP_DATA in network order while a block is sent
    std::uint16_t blockNumber;  // last block sent, host order (network order while sent)
    char data[kTftpBlockSize];  // the block last sent, kept until it is acknowledged
    sockaddr_in peer;           // the requester's address and port: every DATA goes there
    int length;                 // data bytes of the block last sent
    bool lastBlock;             // that block was shorter than 512: the file's last
    int resends;                // times that block has been sent again
    std::int64_t deadline;      // TftpNow() milliseconds at which it is sent again
    char next[kTftpBlockSize];  // the following block, read ahead after a send
    int ahead;                  // data bytes in next; -1 when none is read
};
static_assert(offsetof(TFTP_CLIENT, blockNumber) == offsetof(TFTP_CLIENT, opcode) + 2);
static_assert(offsetof(TFTP_CLIENT, data) == offsetof(TFTP_CLIENT, opcode) + kTftpDataHeader);

// The transfer table, the number of slots taken so far, and the reply of a host that gets no
// slot. Owned by the TFTP thread.
extern TFTP_CLIENT ClientList[kTftpSlots];
extern int next_free_slot;
extern const char errorBuffer[2];

// Handle of the TFTP thread of the running service, null when it was not started.
extern HANDLE hTftpThread;

// Thread entry: opens the socket (0.0.0.0, port 69; DORNEL_TFTP_ADDRESS and DORNEL_TFTP_PORT
// move it, for tests) and answers every datagram until
// TftpTerminate. Returns 1 when the socket cannot be set up, else 0. An empty datagram, a
// datagram longer than 516 bytes or a failed receive is passed over.
DWORD TftpThread(void* unused);
// Makes a running (or the next) TftpThread return; safe from any thread.
void TftpTerminate();
// The port the running TftpThread listens on, 0 before it has bound its socket and after it
// ended. With DORNEL_TFTP_PORT=0 the system chooses the port and this tells which.
int TftpBoundPort();

// Handles one datagram of length bytes from peer. Returns 1 when something was sent, else 0.
int ReplyToClient(SOCKET s, const sockaddr* peer, socklen_t peerLength, const char* packet,
                  int length);
// Resends every block whose time-out has passed at now (TftpNow() milliseconds) and gives up
// the transfers whose resends are used up. Returns the milliseconds until the next time-out
// after now, or -1 when no transfer is waiting.
int TftpCheckTimeouts(SOCKET s, std::int64_t now);
// Milliseconds of a steady clock, the time base of the slots' deadlines.
std::int64_t TftpNow();
// How long a block that has been resent resends times waits for its acknowledgement.
int TftpTimeoutMs(int resends);
// Closes every slot's file and empties the table.
void TftpResetTable();
// The slot of the host: its own, else a finished or a new one. -1 when none is left.
int LocateHost(std::uint32_t hostAddress);
// Builds the path of the name in the read request (length bytes) and opens it when it may be
// served (rules above); reports "Opening TFTP file %s" (NT event 108). Returns the
// descriptor, or kTftpNoFile with the TFTP error code for the client in *errorCode.
int OpenFileForReading(const char* packet, int length, int* errorCode = nullptr);
// Opens relative (a checked name with "/" separators) below the native folder when the
// serving rules allow it. Returns the descriptor, or kTftpNoFile with the TFTP error code in
// *errorCode.
int OpenServedFile(const std::string& folder, const std::string& relative, int* errorCode);
// Reads the slot's next block and sends it to peer. A failed read closes the file and frees
// the slot without sending. Returns 1.
int SendNextBlock(int slot, const sockaddr* peer, socklen_t peerLength, SOCKET s);

// True when name (a requested file name) stays inside the served folder: not rooted, no
// drive or ':', and no ".." that climbs above the folder ("/" and "\" both separate).
bool IsNameInsideFolder(const char* name);
