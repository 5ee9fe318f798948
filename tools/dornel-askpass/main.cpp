// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornel-askpass PROMPT: what ssh runs (as SSH_ASKPASS) when a connection of the applets
// needs a password, a passphrase or a decision on a host key. It shows the question and
// writes the answer and a newline to standard output for ssh. Exit status 0 with an answer
// (or Yes), 1 when the person cancelled (or said No), 2 on a usage error.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ui/askpass.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: dornel-askpass PROMPT\n"
                 "Shows ssh's question PROMPT in a dialog and prints the answer for ssh.\n"
                 "ssh runs it when SSH_ASKPASS names it; the Dornel applets set that up for\n"
                 "their connections to another machine. SSH_ASKPASS_PROMPT=confirm asks Yes or\n"
                 "No, SSH_ASKPASS_PROMPT=none only shows the text.\n"
                 "Exit status: 0 answered, 1 cancelled, 2 usage error.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc > 2) {
        PrintUsage(stderr);
        return 2;
    }
    // ssh may run it without a prompt; the question is then a plain password.
    const QString prompt = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString("Password:");
    QApplication app(argc, argv);
    const std::optional<QString> answer = dornelui::AskPass(
        prompt, dornelui::AskPassKindOf(prompt, std::getenv("SSH_ASKPASS_PROMPT")));
    if (!answer) return 1;
    std::string bytes = answer->toLocal8Bit().toStdString();
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fill(bytes.begin(), bytes.end(), '\0');
    return 0;
}
