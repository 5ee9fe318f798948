// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// DornelLog manager routines for the RPC fuzz targets: they only answer, so what a target
// checks is the runtime and the stubs around them, never the log service.

#include <cstddef>
#include <cstdlib>

#include "interface/dornellog.h"

void* MIDL_user_allocate(std::size_t size) { return std::calloc(1, size ? size : 1); }
void MIDL_user_free(void* block) { std::free(block); }
error_status_t Ping(handle_t) { return 0; }
error_status_t UnPing(handle_t) { return 0; }
error_status_t DoLogSearch(handle_t, LogSearchRequest*, LONG* count) { return *count = 1, 0; }
error_status_t GetFirstEventEntry(handle_t, DWORD* position) { return *position = 1, 0; }
error_status_t GetNextEventEntry(handle_t, DWORD*, LogBuffer*) { return 5; }
error_status_t CashUp(handle_t, LONG, LogBuffer*) { return 5; }
error_status_t ClearLog(handle_t) { return 0; }
void DornelLog_ConnectionRundown(handle_t) {}
