// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "dornnw/nwlog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "platform/paths/paths.h"

namespace dornnw {
namespace {

constexpr const char* kLogFile = "c:\\dornnw.log";

// This thread's request: whether one is open, and its lines so far.
struct Block {
    bool open = false;
    std::string text;
};

thread_local Block block;

// Appends text to the log file in one write; the file and its folder are made when missing.
void Append(const std::string& text) {
    if (text.empty()) return;
    const std::string path = LogPath();
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        platform::paths::MakeRootFolder();
        platform::paths::MakeDirectories(path.substr(0, slash));
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return;
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

}  // namespace

std::string LogPath() { return platform::paths::NativePath(kLogFile); }

void OpenLog() {
    CloseLog();
    block.open = true;
}

void Log(const std::string& message) {
    if (block.open) {
        block.text += message;
        block.text += '\n';
    } else {
        Append(message + "\n");
    }
}

void LogF(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    if (length >= 0) {
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
        Log(text);
    }
    va_end(again);
}

void CloseLog() {
    if (!block.open) return;
    std::string text;
    text.swap(block.text);
    block.open = false;
    Append(text);
}

}  // namespace dornnw
