// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// A library for the loader tests: answers DYNTEST_ANSWER, so a test can tell which copy
// was loaded.

extern "C" __attribute__((visibility("default"))) int DyntestAnswer() { return DYNTEST_ANSWER; }
