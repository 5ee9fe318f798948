// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The read-only TFTP server the boxes fetch their boot image "orvane.bin" from. It answers
// read requests from GlobalTFTPDirectory with 512-byte DATA blocks, one block for every
// acknowledgement whatever block number it carries, and ignores every other request. All
// replies leave from the one socket on port 69 (DORNEL_TFTP_PORT moves it, for tests) and
// go to the address and port the datagram came from. There is no time-out and no
// retransmission on this side: the client's retransmitted ACK releases the next block.
//
// Transfers are kept in a table of 20 slots keyed by the requesting host's IPv4 address.
// A finished slot (host address 0) is taken again by the next new host, so the table never
// fills with finished transfers. When every slot is busy, a new host gets the bare 2-byte
// ERROR packet 00 05 for every datagram it sends.
//
// Names are checked before a file is opened: a name without its terminating zero in the
// datagram, a path over 260 bytes, or a name that would leave the served folder (rooted,
// with a drive or any ':', or climbing above the folder with "..", through "/" or "\") is
// treated as a file that cannot be opened: the attempt is reported ("Opening TFTP file %s",
// NT event 108) and the host gets no reply. Only regular files are served.
//
// Threads: TftpThread is the only thread that touches the socket and the table.
// TftpTerminate may be called from any thread.

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/base/wintypes.h"
#include "platform/net/net.h"
#include "server/bootwire.h"

// Slots of the transfer table.
inline constexpr int kTftpSlots = 20;
// File descriptor of a slot without an open file.
inline constexpr int kTftpNoFile = -1;

// One transfer slot. The last three fields lie back to back and are sent as they stand: they
// are the DATA packet (opcode, block number, up to 512 data bytes).
struct TFTP_CLIENT {
    std::uint32_t hostAddress;  // owner's IPv4 address as received (network order); 0 free
    int file;                   // descriptor of the file being sent, kTftpNoFile when none
    std::uint16_t opcode;       // TFTP_DATA in network order while a block is sent
    std::uint16_t blockNumber;  // last block sent, host order (network order while sent)
    char data[kTftpBlockSize];  // the block being sent
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

// Thread entry: opens the socket (0.0.0.0, port 69) and answers every datagram until
// TftpTerminate. Returns 1 when the socket cannot be set up, else 0. An empty datagram, a
// datagram longer than 516 bytes or a failed receive is passed over.
DWORD TftpThread(void* unused);
// Makes a running (or the next) TftpThread return; safe from any thread.
void TftpTerminate();

// Handles one datagram of length bytes from peer. Returns 1 when something was sent, else 0.
int ReplyToClient(SOCKET s, const sockaddr* peer, socklen_t peerLength, const char* packet,
                  int length);
// The slot of the host: its own, else a finished or a new one. -1 when none is left.
int LocateHost(std::uint32_t hostAddress);
// Builds the path of the name in the read request (length bytes) and opens it; reports
// "Opening TFTP file %s" (NT event 108). Returns the descriptor, or kTftpNoFile.
int OpenFileForReading(const char* packet, int length);
// Reads the slot's next block and sends it to peer; a short block closes the file and frees
// the slot. Returns 1.
int SendNextBlock(int slot, const sockaddr* peer, socklen_t peerLength, SOCKET s);

// True when name (a requested file name) stays inside the served folder: not rooted, no
// drive or ':', and no ".." that climbs above the folder ("/" and "\" both separate).
bool IsNameInsideFolder(const char* name);
