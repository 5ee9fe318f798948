// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/base/wintypes.h"

namespace {
thread_local DWORD lastError = 0;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }
