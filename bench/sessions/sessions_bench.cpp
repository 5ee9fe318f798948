// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Box sessions under load: ten scripted boxes against a real dornelman (started through the
// service layer, the example plug-ins as back-ends), each running authenticate + balance +
// deposit transactions back to back for a fixed time; then the same plug-in calls made
// directly in this process, to show what the link and the server add. Also the server's
// resident memory with ten connected idle boxes.
//
//   sessions_bench [SECONDS]      (default 10 per run; needs DORNEL_BIN_DIR)

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/src/Protocol.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

using namespace sessiontest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBoxes = 10;

struct Results {
    std::mutex lock;
    std::vector<double> latenciesMs;
    long failures = 0;
};

void Report(const char* what, Results& results, double seconds) {
    std::vector<double>& l = results.latenciesMs;
    std::sort(l.begin(), l.end());
    auto at = [&](double q) { return l.empty() ? 0.0 : l[static_cast<std::size_t>(q * (l.size() - 1))]; };
    std::printf("%-34s %8zu tx  %9.1f tx/s  p50 %8.3f ms  p99 %8.3f ms  failures %ld\n", what,
                l.size(), l.size() / seconds, at(0.50), at(0.99), results.failures);
}

// Waits for the first packet of one of the types after index before; its payload or "".
std::string AnswerAfter(ScriptedBox& box, std::size_t before, int type) {
    std::string payload;
    bool got = box.WaitFor(
        [&](const std::vector<BoxPacket>& packets) {
            for (std::size_t k = before; k < packets.size(); ++k) {
                if (packets[k].type == type || packets[k].type == PKT_AUTH_DECLINE) {
                    payload = packets[k].type == type ? packets[k].payload : "";
                    return true;
                }
            }
            return false;
        },
        10s);
    return got ? payload : "";
}

long ResidentKilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!std::getenv("DORNEL_BIN_DIR")) {
        std::fprintf(stderr, "sessions_bench: set DORNEL_BIN_DIR to the build's bin folder\n");
        return 2;
    }
    setenv("SESSIONS_ADDRESS_BASE", "201", 0);

    ServerHarness server;
    std::vector<std::unique_ptr<ScriptedBox>> boxes;
    std::vector<BoxSetup> setups;
    for (int i = 0; i < kBoxes; ++i) {
        boxes.push_back(std::make_unique<ScriptedBox>(BoxAddress(i)));
        BoxSetup setup;
        setup.address = boxes.back()->address();
        setups.push_back(setup);
        server.AddUser("user" + std::to_string(i), "pw", 0);
    }
    if (!server.Configure(setups) ||
        !server.Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\n"
                       "\"EnableDebugLog\"=dword:00000000\n") ||
        !server.Start()) {
        std::fprintf(stderr, "sessions_bench: the server did not start\n");
        return 1;
    }
    for (auto& box : boxes) {
        if (!box->WaitForType(PKT_SETTINGS, 15s)) {
            std::fprintf(stderr, "sessions_bench: box %s never came on line\n", box->address().c_str());
            return 1;
        }
    }
    std::this_thread::sleep_for(1s);
    const int pid = server.ServerPid();
    std::printf("server resident memory with %d idle connected boxes: %ld kB (pid %d)\n", kBoxes,
                ResidentKilobytes(pid), pid);

    // Through the server: a transaction is the authentication (with its balance) and a
    // one-coin deposit, each waited for.
    Results viaServer;
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < kBoxes; ++i) {
        threads.emplace_back([&, i] {
            ScriptedBox& box = *boxes[i];
            const std::string request = "user" + std::to_string(i) + "|pw";
            while (Clock::now() < end) {
                auto start = Clock::now();
                std::size_t before = box.Packets().size();
                bool ok = box.Send(PKT_AUTH_REQUEST, request) == 1 &&
                          !AnswerAfter(box, before, PKT_AUTH_ACCEPT).empty();
                before = box.Packets().size();
                ok = ok && box.Send(PKT_DEPOSIT, "e") == 1 &&
                     !AnswerAfter(box, before, PKT_DEPOSIT_RESULT).empty();
                double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                std::lock_guard<std::mutex> guard(viaServer.lock);
                if (ok) viaServer.latenciesMs.push_back(ms);
                else ++viaServer.failures;
                if (box.Packets().size() > 100000) box.ClearPackets();
            }
        });
    }
    for (auto& t : threads) t.join();
    threads.clear();
    server.Stop();
    Report("ten boxes through dornelman", viaServer, seconds);

    // The same plug-in calls in this process, the libraries loaded once.
    setenv("DORNEL_ROOT", server.root().c_str(), 1);
    const std::string bin = std::getenv("DORNEL_BIN_DIR");
    void* auth = dlopen((bin + "/custauth.so").c_str(), RTLD_NOW);
    void* link = dlopen((bin + "/printlink.so").c_str(), RTLD_NOW);
    if (!auth || !link) {
        std::fprintf(stderr, "sessions_bench: %s\n", dlerror());
        return 1;
    }
    using AuthUserFn = int (*)(const char*, const char*, const char*, const char*, char*, int);
    using BalanceFn = double (*)(const char*, int, const char*, const char*, const char*);
    using DepositFn = double (*)(const char*, double, int, const char*, const char*, const char*);
    auto authUser = reinterpret_cast<AuthUserFn>(dlsym(auth, "AuthUser"));
    auto getBalance = reinterpret_cast<BalanceFn>(dlsym(link, "DLPL_GetBalance"));
    auto deposit = reinterpret_cast<DepositFn>(dlsym(link, "DLPL_Deposit"));
    Results direct;
    const auto directEnd = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < kBoxes; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "user" + std::to_string(i);
            while (Clock::now() < directEnd) {
                auto start = Clock::now();
                char output[1024];
                bool ok = authUser(name.c_str(), "pw", "\\\\.", "", output, sizeof output) &&
                          getBalance(output, i, "", "", "") > -999999.0 &&
                          deposit(output, 1.0, i, "", "", "") > -999999.0;
                double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                std::lock_guard<std::mutex> guard(direct.lock);
                if (ok) direct.latenciesMs.push_back(ms);
                else ++direct.failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    Report("the same plug-in calls in-process", direct, seconds);
    dlclose(auth);
    dlclose(link);
    return 0;
}
