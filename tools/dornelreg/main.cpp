// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelreg: the registry command line (see regtool.h, or run "dornelreg --help"), and with
// "--serve" the serving side of another machine's remote registry connection.

#include <iostream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tools/dornelreg/regtool.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--serve") return platform::registry::ServeRemote(0, 1);
    return dornelreg::Run(args, std::cout, std::cerr);
}
