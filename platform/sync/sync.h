// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// Named auto-reset (and manual-reset) events, waits, threads and Sleep, as the system uses
// them, on mutexes and condition variables.
//
// - An event created with a name that already exists in the process is the same event: the
//   new handle refers to it and GetLastError() is ERROR_ALREADY_EXISTS. Names live only
//   within the process. An event goes away with its last handle.
// - SetEvent signals: an auto-reset event then releases exactly one waiter (or stays
//   signalled until one comes); ResetEvent clears; PulseEvent releases only a thread that
//   is waiting at that moment (all of them for a manual-reset event) and leaves the event
//   non-signalled, so a pulse with nobody waiting is lost.
// - WaitForMultipleObjects (waitAll FALSE) returns WAIT_OBJECT_0 + the lowest index of a
//   signalled handle, consuming that auto-reset event only.
// - A thread handle from BeginThread is signalled once the thread has returned.
//
// Every call is safe from any thread. Handles are not shared across processes.

#include "platform/base/wintypes.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Creates (or opens, by name) an event; name may be null for an unnamed one. Returns null on
// failure. security is accepted and ignored.
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
// Opens an existing named event; null (ERROR_FILE_NOT_FOUND) when there is none.
HANDLE OpenEventA(DWORD access, BOOL inherit, const char* name);

BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);

// Waits up to milliseconds (INFINITE for no limit) for an event or a thread handle.
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for a null or closed handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits for any of count handles (waitAll must be 0). WAIT_OBJECT_0 + index of the lowest
// signalled handle, WAIT_TIMEOUT, or WAIT_FAILED (a null handle, count 0 or above 64).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// Closes an event or thread handle (a running thread goes on, detached). Non-zero on success.
BOOL CloseHandle(HANDLE handle);

// Starts a thread running proc(arg); returns its waitable handle, or null on failure.
using ThreadProc = DWORD (*)(void* arg);
HANDLE BeginThread(ThreadProc proc, void* arg);

// Sleeps for the given milliseconds.
void Sleep(DWORD milliseconds);
