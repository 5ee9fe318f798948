// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// The log service: the bodies of the DornelLog operations (declared with the interface in
// interface/dornellog.h) on the event log reached through ThisEventLog, and the per-client
// result sets they keep in CEventLog::searchResults.
//
// A client is its connection (the binding handle the runtime passes in). Its result set
// holds copies of the matching lines, so appends and clears do not change it; it is freed
// when the client reads past its end, searches again, or its connection closes.
//
// Positions handed to clients are opaque: the set's generation in the top 8 bits and the
// index of the next line plus one in the low 24. A position coming back is checked against
// the caller's own set (generation and range) before it is used; anything else is status 5.
// Every operation is safe from any RPC worker thread.

#include <cstdint>

#include "platform/base/wintypes.h"

class CEventLog;

// Creates the log's result-set table if it has none. Called before the interface is
// offered; the operations also create it on first use.
void PrepareSearchResults(CEventLog& log);

// The largest result set a search keeps; a search with more matches returns status 5.
inline constexpr std::uint32_t kMaxResultLines = 0x00FFFFFF;
// How long search, cash-up and clear wait for the log lock.
inline constexpr DWORD kLogLockTimeoutMs = 10000;
