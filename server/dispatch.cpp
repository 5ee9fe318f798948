// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Box request dispatch, on the box's handler thread: the four requests a box sends
// (authentication with a balance query, deposit, door state, keep-alive), the upload of the
// display message pages, and the liveness test of a connection.
//
// The record these procedures get is the box thread's working copy of its box record (see
// boxhandler.cpp): its socket is the connection the request came on, its user name is that
// of whoever logged in on this connection, and no other thread writes to it.

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "client/src/Protocol.h"
#include "platform/logon/logon.h"
#include "platform/net/net.h"
#include "platform/service/eventsource.h"
#include "server/boxsession.h"
#include "server/zuvexservice.h"

namespace {

// The size of the working copies of request payloads.
constexpr std::size_t kWorkBufferSize = 1024;

// What the password debug record shows in place of the password.
constexpr const char* kPasswordMask = "********";

// The page text of ten empty lines; such a page is not sent.
constexpr const char* kEmptyPage = " \n \n \n \n \n \n \n \n \n \n";

// Value in cents of a coin letter, 0 for every other byte.
int CoinCents(unsigned char letter) {
    switch (letter) {
        case 'a': return 5;
        case 'b': return 10;
        case 'c': return 20;
        case 'd': return 50;
        case 'e': return 100;
        case 'f': return 200;
        case 'g': return 500;
        case 'h': return 1000;
        case 'i': return 2000;
        default: return 0;
    }
}


// Sends PKT_AUTH_DECLINE and logs AuthDeclined with the reason.
void Decline(t_ServerStartInfo* info, const char* reason) {
    SendControlPacket(info->socket, PKT_AUTH_DECLINE, nullptr, 0);
    CZuvexService::EventLog.LogUserEvent(info, CEventLog::AuthDeclined, reason);
}

// Copies length payload bytes (at most the buffer) and terminates the copy.
void CopyPayload(char (&work)[kWorkBufferSize], const char* buffer, long length) {
    std::size_t count = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (count > kWorkBufferSize - 1) count = kWorkBufferSize - 1;
    std::memcpy(work, buffer, count);
    work[count] = '\0';
}

}  // namespace

void CZuvexService::ProcessReceivedPacket(t_ServerStartInfo* info, int type, char* buffer,
                                          long length) {
    switch (type) {
        case PKT_AUTH_REQUEST:
            info->userName[0] = '\0';
            ProcessAuthRequest(info, buffer, length);
            break;
        case PKT_KEEPALIVE:
            EventLog.LogDebugEvent(info, "Received a KEEPALIVE");
            break;
        case PKT_DEPOSIT:
            ProcessDeposit(info, buffer, length);
            break;
        case PKT_DOOR_STATE:
            EventLog.LogUserEvent(info, CEventLog::DoorStateChange,
                                  length > 0 && buffer[0] == 'O' ? "Open" : "Closed");
            break;
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "Unknown packet %d", type);
            LogServiceEvent(EVENTLOG_INFORMATION_TYPE, 108, text);
            break;
        }
    }
}

void CZuvexService::ProcessAuthRequest(t_ServerStartInfo* info, char* buffer, long length) {
    EventLog.LogDebugEvent(info, "Entering ProcessAuthRequest");
    char work[kWorkBufferSize];
    // The copy holds the password until the request is done.
    const platform::logon::SecretGuard clearWork(work, sizeof work);
    CopyPayload(work, buffer, length);

    // Fields are split at "|" with empty fields skipped; fields after the second are ignored.
    char* rest = nullptr;
    const char* user = strtok_r(work, "|", &rest);
    const char* password = user ? strtok_r(nullptr, "|", &rest) : nullptr;
    if (!user || !password) {
        Decline(info, "Invalid packet format");
        return;
    }
    EventLog.LogDebugEvent(info, "Username = %s", user);
    EventLog.LogDebugEvent(info, "Password = %s", kPasswordMask);

    switch (AuthenticateUser(info, user, password)) {
        case AuthOutcome::Accepted:
            break;
        case AuthOutcome::InvalidType:
            EventLog.LogDebugEvent(info, "Decline");
            Decline(info, "Invalid authentication type identifier");
            info->userName[0] = '\0';
            return;
        case AuthOutcome::Declined:
            info->userName[0] = '\0';
            Decline(info, "Invalid username/password");
            return;
    }

    char name[sizeof info->userName];
    std::memcpy(name, info->userName, sizeof name);
    name[sizeof name - 1] = '\0';
    double balance = GetBalance(name, info);
    if (IsBalanceFailure(balance)) {
        info->userName[0] = '\0';
        Decline(info, "Invalid response from balance enquiry");
        return;
    }

    EventLog.LogDebugEvent(info, "Sending response");
    char text[64];
    int textLength = std::snprintf(text, sizeof text, "%.2f", balance);
    if (textLength < 0 || textLength >= static_cast<int>(sizeof text)) {
        // Only an absurd balance does not fit; the box cannot show it either.
        info->userName[0] = '\0';
        Decline(info, "Invalid response from balance enquiry");
        return;
    }
    SendControlPacket(info->socket, PKT_AUTH_ACCEPT, text, textLength);
    EventLog.LogUserEvent(info, CEventLog::AuthOK, text);
}

void CZuvexService::ProcessDeposit(t_ServerStartInfo* info, char* buffer, long length) {
    EventLog.LogDebugEvent(info, "Got a deposit request");
    // The payload buffer holds kWorkBufferSize bytes; the count includes the payload's NUL.
    long count = length > 0 ? length : 0;
    if (count > static_cast<long>(kWorkBufferSize) - 1) count = kWorkBufferSize - 1;

    // Whole cents, so that no sum of coins drifts away from its decimal value.
    long cents = 0;
    for (long i = 0; i < count; ++i) cents += CoinCents(static_cast<unsigned char>(buffer[i]));
    double amount = static_cast<double>(cents) / 100.0;

    buffer[count] = '\0';
    EventLog.LogUserEvent(info, CEventLog::DepositUnits, buffer);

    switch (info->printLinkType) {
        case 0:
            ProcessPCounterDeposit(info, amount);
            break;
        case 1:
            ProcessCustomDeposit(info, amount);
            break;
        default:
            LogServiceEvent(EVENTLOG_INFORMATION_TYPE, 100, "Invalid printlink type");
            break;
    }
}

void CZuvexService::SendMessagesToBox(t_ServerStartInfo* info) {
    // A reconfigure rewrites the pages in place from the control thread; take a copy.
    static_assert(sizeof info->messages == kMessagePages * kMessageLines * kMessageLineSize);
    auto pages = std::make_unique<char[]>(sizeof info->messages);
    {
        std::lock_guard<std::mutex> guard(ConfigLock());
        std::memcpy(pages.get(), info->messages, sizeof info->messages);
    }

    SendControlPacket(info->socket, PKT_MSG_BEGIN, nullptr, 0);
    SendControlPacket(info->socket, PKT_MSG_CLEAR, nullptr, 0);
    for (int page = 0; page < kMessagePages; ++page) {
        // Ten lines of at most 39 characters and a line feed: at most 400 bytes.
        char text[kMessageLines * kMessageLineSize + 1];
        std::size_t used = 0;
        for (int line = 0; line < kMessageLines; ++line) {
            const char* slot = pages.get() + (page * kMessageLines + line) * kMessageLineSize;
            std::size_t slotLength = strnlen(slot, kMessageLineSize - 1);
            if (slotLength == 0) {
                text[used++] = ' ';
            } else {
                std::memcpy(text + used, slot, slotLength);
                used += slotLength;
            }
            text[used++] = '\n';
        }
        text[used] = '\0';
        if (std::strcmp(text, kEmptyPage) == 0) continue;
        SendControlPacket(info->socket, PKT_MSG_TEXT, text, static_cast<int>(used));
    }
    SendControlPacket(info->socket, PKT_MSG_END, nullptr, 0);
}

int CheckConnectionFailed(unsigned int sock) {
    const SOCKET s = static_cast<SOCKET>(sock);
    int result;
    fd_set readSet;
    FD_ZERO(&readSet);
    if (s <= 0 || s >= FD_SETSIZE) {
        WSASetLastError(WSAENOTSOCK);
        result = SOCKET_ERROR;
    } else {
        FD_SET(s, &readSet);
        timeval poll{0, 0};
        result = select(s + 1, &readSet, nullptr, nullptr, &poll);
        if (result == SOCKET_ERROR) NoteSocketCallError();
    }
    if (result == SOCKET_ERROR) {
        CZuvexService::EventLog.LogDebugEvent(nullptr,
                                              "ConnectionFailed from SOCKET_ERROR on select");
        return 1;
    }
    if (result == 0 || !FD_ISSET(s, &readSet)) return 0;

    char probe;
    long got = SocketRecv(s, &probe, 1, MSG_PEEK);
    if (got > 0) return 0;
    if (got == 0) return 1;
    switch (WSAGetLastError()) {
        case WSAENETRESET:
        case WSAECONNABORTED:
        case WSAECONNRESET:
        case WSAEINVAL:
            return 1;
        default:
            return 0;
    }
}
