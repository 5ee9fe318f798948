// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Machine names, the local machine, the ssh command line and the prompting mode.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>

#include <unistd.h>

#include "platform/remote/connection.h"

namespace platform::remote {

namespace {

std::atomic<Prompting> prompting{Prompting::Batch};
thread_local std::string lastError;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A word that may stand in an ssh command line as a host or user: not empty, not taken for
// an option, no blanks or control bytes.
bool SafeWord(std::string_view word) {
    if (word.empty() || word.front() == '-') return false;
    return std::none_of(word.begin(), word.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || c == '\'' || c == '"' || c == '\\' || c == '/';
    });
}

std::string_view WithoutPrefix(std::string_view text) {
    if (text.substr(0, 2) == "\\\\") text.remove_prefix(2);
    return text;
}

}  // namespace

void SetPrompting(Prompting mode) { prompting = mode; }
Prompting CurrentPrompting() { return prompting; }
std::string LastConnectionError() { return lastError; }
void SetLastConnectionError(std::string text) { lastError = std::move(text); }

std::optional<Machine> ParseMachine(std::string_view text, std::string* error) {
    const std::string shown(text);
    text = WithoutPrefix(text);
    Machine machine;
    const std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        machine.user = std::string(text.substr(0, at));
        text.remove_prefix(at + 1);
        if (!SafeWord(machine.user)) {
            *error = "invalid user name in machine name \"" + shown + "\"";
            return std::nullopt;
        }
    }
    const std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) {
        const std::string_view digits = text.substr(colon + 1);
        int port = 0;
        const bool numeric =
            !digits.empty() && digits.size() <= 5 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (numeric) port = std::atoi(std::string(digits).c_str());
        if (!numeric || port < 1 || port > 65535) {
            *error = "invalid port in machine name \"" + shown + "\" (1-65535)";
            return std::nullopt;
        }
        machine.port = port;
        text = text.substr(0, colon);
    }
    machine.host = std::string(text);
    if (!SafeWord(machine.host)) {
        *error = "invalid machine name \"" + shown + "\"";
        return std::nullopt;
    }
    return machine;
}

bool IsLocalMachine(const char* machineName) {
    const std::string_view name = WithoutPrefix(machineName ? machineName : "");
    if (name.empty()) return true;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return false;
    const std::string_view full(host);
    // The machine name of a host is its first label; the full name is accepted as well.
    const std::string_view shortName = full.substr(0, full.find('.'));
    return EqualsNoCase(name, full) || EqualsNoCase(name, shortName);
}

std::optional<std::vector<std::string>> SplitWords(std::string_view text, std::string* error) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (i + 1 < text.size()) {
                if (text[i + 1] != '\n') word.push_back(text[i + 1]);
                ++i;
            }
            continue;
        }
        if (c == '\'') {
            const std::size_t end = text.find('\'', i + 1);
            if (end == std::string_view::npos) {
                *error = "unterminated ' quote";
                return std::nullopt;
            }
            word.append(text.substr(i + 1, end - i - 1));
            i = end;
            continue;
        }
        if (c == '"') {
            std::size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                if (text[j] == '\\' && j + 1 < text.size() &&
                    std::string_view("\"\\$`\n").find(text[j + 1]) != std::string_view::npos) {
                    if (text[j + 1] != '\n') word.push_back(text[j + 1]);
                    ++j;
                    continue;
                }
                word.push_back(text[j]);
            }
            if (j >= text.size()) {
                *error = "unterminated \" quote";
                return std::nullopt;
            }
            i = j;
            continue;
        }
        word.push_back(c);
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::optional<std::vector<std::string>> SshCommand(const Machine& machine,
                                                   const std::string& remoteCommand, Prompting mode,
                                                   const char* sshWords, std::string* error) {
    std::vector<std::string> command;
    if (sshWords && *sshWords) {
        std::string reason;
        auto words = SplitWords(sshWords, &reason);
        if (!words || words->empty()) {
            *error = "DORNEL_SSH cannot be used: " + (words ? std::string("it is empty") : reason);
            return std::nullopt;
        }
        command = std::move(*words);
    } else {
        command.push_back("ssh");
    }
    if (mode == Prompting::Batch) {
        command.push_back("-o");
        command.push_back("BatchMode=yes");
    }
    if (machine.port) {
        command.push_back("-p");
        command.push_back(std::to_string(machine.port));
    }
    if (!machine.user.empty()) {
        command.push_back("-l");
        command.push_back(machine.user);
    }
    command.push_back("-T");
    command.push_back("--");
    command.push_back(machine.host);
    command.push_back(remoteCommand);
    return command;
}

std::chrono::milliseconds CallTimeout() {
    const char* text = std::getenv("DORNEL_REMOTE_TIMEOUT");
    if (text && *text) {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (end && !*end && seconds > 0 && seconds <= 86400) {
            return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        }
    }
    return std::chrono::seconds(30);
}

}  // namespace platform::remote
