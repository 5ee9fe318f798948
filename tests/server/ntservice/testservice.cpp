// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// A small service on the service framework, for the framework's and dornelsc's tests. It
// accepts user control 128 and refuses every other user code; with TESTSVC_FAIL_INIT set
// in its environment its initialisation fails.

#include <cstdlib>

#include "server/ntservice.h"

namespace {

class CTestService : public CNTService {
  public:
    CTestService() : CNTService("Dornel Test Service", "dorneltestsvc") {
        majorVersion = 2;
        minorVersion = 7;
    }

    BOOL OnInit() override { return std::getenv("TESTSVC_FAIL_INIT") ? 0 : 1; }
    BOOL OnUserControl(DWORD code) override { return code == 128 ? 1 : 0; }
};

}  // namespace

int main(int argc, char** argv) {
    CTestService service;
    if (!service.ParseStandardArgs(argc, argv)) service.StartServiceA();
    return 0;
}
