// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include <cstdio>
#include <string>

#include "tools/boxsim/boxsim.h"

int main(int argc, char** argv) {
    boxsim::Options options;
    std::string error;
    switch (boxsim::ParseOptions(argc, argv, &options, &error)) {
        case boxsim::ParseOutcome::Help:
            std::fputs(boxsim::UsageText().c_str(), stdout);
            return boxsim::kExitOk;
        case boxsim::ParseOutcome::Error:
            std::fprintf(stderr, "boxsim: %s\nTry 'boxsim --help'.\n", error.c_str());
            return boxsim::kExitUsage;
        case boxsim::ParseOutcome::Run:
            break;
    }
    return boxsim::Run(options);
}
