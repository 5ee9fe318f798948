// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelreg: the registry command line (see regtool.h, or run "dornelreg --help").

#include <iostream>
#include <string>
#include <vector>

#include "tools/dornelreg/regtool.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return dornelreg::Run(args, std::cout, std::cerr);
}
