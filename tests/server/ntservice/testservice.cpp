// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// A small service on the service framework, for the framework's and dornelsc's tests. It
// accepts user control 128 and refuses every other user code; with TESTSVC_FAIL_INIT set
// in its environment its initialisation fails; TESTSVC_SLOW_INIT=<ms> makes it take that long.

#include <chrono>
#include <cstdlib>
#include <thread>

#include "server/ntservice.h"

namespace {

class CTestService : public CNTService {
  public:
    CTestService() : CNTService("Dornel Test Service", "dorneltestsvc") {
        majorVersion = 2;
        minorVersion = 7;
    }

    BOOL OnInit() override {
        if (const char* slow = std::getenv("TESTSVC_SLOW_INIT")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(slow)));
        }
        return std::getenv("TESTSVC_FAIL_INIT") ? 0 : 1;
    }
    BOOL OnUserControl(DWORD code) override { return code == 128 ? 1 : 0; }
};

}  // namespace

int main(int argc, char** argv) {
    CTestService service;
    if (!service.ParseStandardArgs(argc, argv)) service.StartServiceA();
    return 0;
}
