// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The event-log benchmarks' run folder: a fresh $DORNEL_ROOT under /tmp with the default
// log folder (C:\dornel\log) made in it.

#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/paths/paths.h"

// Makes the root (named after the benchmark) and its log folder, and points DORNEL_ROOT at
// it; nothing, with the reason on stderr, when either cannot be made.
inline std::optional<std::string> MakeBenchRoot(const std::string& name) {
    std::string pattern = "/tmp/dornel-" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return std::nullopt;
    }
    setenv("DORNEL_ROOT", pattern.c_str(), 1);
    const std::string directory = platform::paths::NativePath("C:\\dornel\\log");
    if (!platform::paths::MakeDirectories(directory)) {
        std::fprintf(stderr, "cannot create %s\n", directory.c_str());
        return std::nullopt;
    }
    return pattern;
}
