// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The NetWare plug-in: users of a directory tree log in at a box (the authentication
// interface) and their balances are read and credited through the accounting tool
// account.exe, run after a directory login of the spawn account (the PrintLink interface).
// dornnw.so exports these seven functions under the same names with C linkage; the server
// loads it as "dornnw.dll" around every single request.
//
// Directory access goes through platform/netware (the NetWare client calls on LDAP), the
// tool run through platform/process, the box's settings through platform/registry. The
// plug-in's own log is "c:\dornnw.log" (dornnw/nwlog.h).
//
// Every call keeps its state to itself: each request's log lines form one block of the
// thread that serves it, each directory login has its own context handle, freed on every
// path, each registry key is closed, and each tool run has its own pipes and child, which is
// always reaped. So several boxes may be served at once.

namespace dornnw {

// The failure value of a balance or a deposit.
inline constexpr double kFailure = -1000000.0;

// Opens this request's log and readies the NetWare client library: 1, or 0 (logged).
int InitAuth();

// Logs user in with password: a name holding a "." is a full name, tried once with no
// context; any other is tried in each "tree|context" entry of data (separated by ",") in
// turn. On success writes the qualified name into output (size bytes, zero-filled first; at
// most size - 1 characters, white space removed) and returns 1; else 0. master is not used.
int AuthUser(const char* user, const char* password, const char* master, const char* data,
             char* output, int size);

// Ends the request: writes its log block and frees the name tables.
void EndAuth();

// The same steps as InitAuth and EndAuth.
int DLPL_InitPrintLink();
void DLPL_EndPrintLink();

// The user's balance from "account.exe viewbal USER" in the box's PCounterLocation, after a
// directory login of the spawn account (spawnDomain "tree|context"); kFailure on failure.
double DLPL_GetBalance(const char* user, int box, const char* spawnUser, const char* spawnPassword,
                       const char* spawnDomain);

// Credits amount with "account.exe deposit USER AMOUNT" (the amount with six decimals);
// the new balance, or kFailure.
double DLPL_Deposit(const char* user, double amount, int box, const char* spawnUser,
                    const char* spawnPassword, const char* spawnDomain);

}  // namespace dornnw
