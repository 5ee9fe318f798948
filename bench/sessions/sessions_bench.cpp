// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Box sessions against a real dornelman (started through the service layer, the example
// plug-ins as back-ends), measured by boxes of this program's own: each box is one thread
// that accepts the server's connection, runs the box end of the key exchange and then
// sends requests and reads their answers with blocking calls, so nothing of the box's own
// adds to a figure.
//
//  1. A person's pace: one box waits 0.2 s before each request, so the socket wait
//     thread's 50 ms pause is never in play. Medians of login-to-balance-answer and
//     deposit-to-answer, beside the same plug-in calls made in this process the way the
//     server makes them (each library loaded and unloaded around its call): the anchor.
//  2. Ten boxes back to back: authentication (with its balance) and a one-coin deposit per
//     transaction. A request that arrives during the wait thread's 50 ms pause waits for
//     its end, so one box makes at most one request per 50 ms: the bound is ten
//     transactions a second per box. Beside it, the same plug-in calls on ten threads in
//     this process (libraries loaded once). Rounds alternate the two, so a change in the
//     machine's load meets both alike.
//  3. The server's resident memory with ten connected idle boxes.
//
//   sessions_bench [SECONDS per round (default 3)] [ROUNDS (default 3)] [PACE REQUESTS (default
//   20)] (needs DORNEL_BIN_DIR; run it in a network namespace of its own, see bench/README.md)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/src/Protocol.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

using namespace sessiontest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBoxes = 10;
// The socket wait thread's pause after every readiness pulse.
constexpr double kWaitPauseMs = 50.0;
// A transaction is two requests.
constexpr double kBoundPerBox = 1000.0 / (2 * kWaitPauseMs);

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double Median(std::vector<double> samples) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// A box of the benchmark: listens on address:3245 and serves one connection on its own
// thread, which runs the jobs handed to it (the cipher state belongs to that thread).
class BenchBox {
  public:
    explicit BenchBox(std::string address) : address_(std::move(address)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(3245);
        ::inet_pton(AF_INET, address_.c_str(), &where.sin_addr);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            ::listen(listener_, 4) != 0) {
            std::fprintf(stderr, "sessions_bench: cannot listen on %s:3245\n", address_.c_str());
            ::close(listener_);
            listener_ = -1;
        }
        thread_ = std::thread([this] { Loop(); });
    }
    ~BenchBox() {
        Run([this] {
            stop_ = true;
            return true;
        });
        thread_.join();
        if (fd_ >= 0) ::close(fd_);
        if (listener_ >= 0) ::close(listener_);
    }

    const std::string& address() const { return address_; }

    // Runs the job on the box's thread and returns its result.
    bool Run(std::function<bool()> job) {
        std::unique_lock<std::mutex> guard(lock_);
        job_ = std::move(job);
        done_ = false;
        changed_.notify_all();
        changed_.wait(guard, [this] { return done_; });
        return result_;
    }

    // Waits for the server's connection, the key and the start-up packets (up to 16).
    bool Connect() {
        return Run([this] {
            pollfd ready{listener_, POLLIN, 0};
            if (listener_ < 0 || ::poll(&ready, 1, 20000) != 1) return false;
            fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd_ < 0) return false;
            // A server that stops answering ends a wait after ten seconds, not never.
            timeval limit{10, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            if (Client_ExchangeKey(fd_) != 1) return false;
            for (;;) {
                const int type = GetControlPacket(fd_, buffer_, nullptr);
                if (type == -1) return false;
                if (type == PKT_SETTINGS) return true;
            }
        });
    }

    // One request and its answer, on the box's thread: the time from the start of the send
    // to the answer in *ms. False when the request was not acknowledged or not answered.
    bool Request(int type, const std::string& payload, int answer, double* ms) {
        // Packets the server sent meanwhile (a keep-alive) are read first, so the
        // acknowledgement wait of the request finds its own PKT_ACK.
        for (;;) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 0) != 1) break;
            if (GetControlPacket(fd_, buffer_, nullptr) == -1) return false;
        }
        const auto start = Clock::now();
        if (SendControlPacket(fd_, type, payload.data(), static_cast<int>(payload.size())) != 1) {
            return false;
        }
        for (;;) {
            const int got = GetControlPacket(fd_, buffer_, nullptr);
            if (got == -1) return false;
            if (got == answer || got == PKT_AUTH_DECLINE) {
                *ms = Ms(start);
                return got == answer;
            }
        }
    }

  private:
    void Loop() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return job_ != nullptr; });
            std::function<bool()> job = std::move(job_);
            job_ = nullptr;
            guard.unlock();
            const bool result = job();
            guard.lock();
            result_ = result;
            done_ = true;
            changed_.notify_all();
            if (stop_) return;
        }
    }

    std::string address_;
    int listener_ = -1;
    int fd_ = -1;
    char buffer_[kReceiveBufferSize];
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::function<bool()> job_;
    bool done_ = false;
    bool result_ = false;
    bool stop_ = false;
};

long ResidentKilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

using AuthUserFn = int (*)(const char*, const char*, const char*, const char*, char*, int);
using BalanceFn = double (*)(const char*, int, const char*, const char*, const char*);
using DepositFn = double (*)(const char*, double, int, const char*, const char*, const char*);

// The example plug-ins' calls made in this process.
struct PlugIns {
    std::string authPath;
    std::string linkPath;

    // Authentication and balance as the server makes them: each library loaded for its
    // call and unloaded after it.
    bool AuthAndBalanceLoadedPerCall(const std::string& user, int box) const {
        char output[1024];
        void* auth = dlopen(authPath.c_str(), RTLD_NOW);
        if (!auth) return false;
        auto authUser = reinterpret_cast<AuthUserFn>(dlsym(auth, "AuthUser"));
        const bool ok =
            authUser && authUser(user.c_str(), "pw", "\\\\.", "", output, sizeof output);
        dlclose(auth);
        void* link = dlopen(linkPath.c_str(), RTLD_NOW);
        if (!link) return false;
        auto getBalance = reinterpret_cast<BalanceFn>(dlsym(link, "DLPL_GetBalance"));
        const bool balance = getBalance && getBalance(output, box, "", "", "") > -999999.0;
        dlclose(link);
        return ok && balance;
    }

    bool DepositLoadedPerCall(const std::string& user, int box) const {
        void* link = dlopen(linkPath.c_str(), RTLD_NOW);
        if (!link) return false;
        auto deposit = reinterpret_cast<DepositFn>(dlsym(link, "DLPL_Deposit"));
        const bool ok = deposit && deposit(user.c_str(), 1.0, box, "", "", "") > -999999.0;
        dlclose(link);
        return ok;
    }
};

// Ten threads making whole transactions with the libraries loaded once, for the time.
long InProcessTransactions(const PlugIns& plugIns, double seconds) {
    void* auth = dlopen(plugIns.authPath.c_str(), RTLD_NOW);
    void* link = dlopen(plugIns.linkPath.c_str(), RTLD_NOW);
    if (!auth || !link) return -1;
    auto authUser = reinterpret_cast<AuthUserFn>(dlsym(auth, "AuthUser"));
    auto getBalance = reinterpret_cast<BalanceFn>(dlsym(link, "DLPL_GetBalance"));
    auto deposit = reinterpret_cast<DepositFn>(dlsym(link, "DLPL_Deposit"));
    std::atomic<long> done{0};
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < kBoxes; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "user" + std::to_string(i);
            while (Clock::now() < end) {
                char output[1024];
                if (authUser(name.c_str(), "pw", "\\\\.", "", output, sizeof output) &&
                    getBalance(output, i, "", "", "") > -999999.0 &&
                    deposit(output, 1.0, i, "", "", "") > -999999.0) {
                    ++done;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    dlclose(auth);
    dlclose(link);
    return done.load();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: %s [seconds per round (3)] [rounds (3)] [person's-pace requests (20)]\n"
            "needs DORNEL_BIN_DIR (the build's bin folder) and the box addresses\n"
            "127.0.5.201 to .210 on loopback (run it inside unshare -n)\n",
            argv[0]);
        return 0;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int paceRequests = argc > 3 ? std::atoi(argv[3]) : 20;
    if (seconds <= 0 || rounds <= 0 || paceRequests <= 0) {
        std::fprintf(stderr, "sessions_bench: seconds, rounds and requests must be positive\n");
        return 2;
    }
    if (!std::getenv("DORNEL_BIN_DIR")) {
        std::fprintf(stderr, "sessions_bench: set DORNEL_BIN_DIR to the build's bin folder\n");
        return 2;
    }
    setenv("SESSIONS_ADDRESS_BASE", "201", 0);

    ServerHarness server;
    std::vector<std::unique_ptr<BenchBox>> boxes;
    std::vector<BoxSetup> setups;
    for (int i = 0; i < kBoxes; ++i) {
        boxes.push_back(std::make_unique<BenchBox>(BoxAddress(i)));
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
        if (!box->Connect()) {
            std::fprintf(stderr, "sessions_bench: box %s never came on line\n",
                         box->address().c_str());
            return 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int pid = server.ServerPid();
    const long residentKb = ResidentKilobytes(pid);

    setenv("DORNEL_ROOT", server.root().c_str(), 1);
    const std::string bin = std::getenv("DORNEL_BIN_DIR");
    const PlugIns plugIns{bin + "/custauth.so", bin + "/printlink.so"};

    // 1. A person's pace, one box, interleaved with the in-process calls.
    std::vector<double> loginMs;
    std::vector<double> depositMs;
    std::vector<double> directLoginMs;
    std::vector<double> directDepositMs;
    long paceFailures = 0;
    BenchBox& pacer = *boxes[0];
    for (int i = 0; i < paceRequests; ++i) {
        const bool login = i % 2 == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        double ms = 0;
        const bool ok = pacer.Run([&] {
            return login ? pacer.Request(PKT_AUTH_REQUEST, "user0|pw", PKT_AUTH_ACCEPT, &ms)
                         : pacer.Request(PKT_DEPOSIT, "e", PKT_DEPOSIT_RESULT, &ms);
        });
        if (ok)
            (login ? loginMs : depositMs).push_back(ms);
        else
            ++paceFailures;
        const auto start = Clock::now();
        const bool direct = login ? plugIns.AuthAndBalanceLoadedPerCall("user0", 0)
                                  : plugIns.DepositLoadedPerCall("user0", 0);
        if (direct) (login ? directLoginMs : directDepositMs).push_back(Ms(start));
    }

    // 2. Ten boxes back to back, rounds alternating with the in-process calls.
    std::vector<double> transactionMs;
    long viaServer = 0;
    long serverFailures = 0;
    long direct = 0;
    double serverSeconds = 0;
    double directSeconds = 0;
    std::mutex resultsLock;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        for (int i = 0; i < kBoxes; ++i) {
            threads.emplace_back([&, i] {
                BenchBox& box = *boxes[i];
                const std::string request = "user" + std::to_string(i) + "|pw";
                std::vector<double> mine;
                long failures = 0;
                box.Run([&] {
                    while (Clock::now() < end) {
                        const auto begin = Clock::now();
                        double ms = 0;
                        if (box.Request(PKT_AUTH_REQUEST, request, PKT_AUTH_ACCEPT, &ms) &&
                            box.Request(PKT_DEPOSIT, "e", PKT_DEPOSIT_RESULT, &ms)) {
                            mine.push_back(Ms(begin));
                        } else {
                            ++failures;
                        }
                    }
                    return true;
                });
                std::lock_guard<std::mutex> guard(resultsLock);
                transactionMs.insert(transactionMs.end(), mine.begin(), mine.end());
                viaServer += static_cast<long>(mine.size());
                serverFailures += failures;
            });
        }
        for (auto& t : threads) t.join();
        serverSeconds += Ms(start) / 1000.0;

        const auto directStart = Clock::now();
        const long made = InProcessTransactions(plugIns, seconds);
        if (made < 0) {
            std::fprintf(stderr, "sessions_bench: %s\n", dlerror());
            return 1;
        }
        direct += made;
        directSeconds += Ms(directStart) / 1000.0;
    }
    server.Stop();

    const double paceMedian = Median(loginMs);
    const double paceDeposit = Median(depositMs);
    const double directLogin = Median(directLoginMs);
    const double directDeposit = Median(directDepositMs);
    const double bound = kBoundPerBox * kBoxes;
    const double serverRate = viaServer / serverSeconds;
    const double directRate = direct / directSeconds;
    std::printf("server resident memory, %d idle boxes: %ld kB\n", kBoxes, residentKb);
    std::printf("person's pace, one box, %d requests, 0.2 s apart (failures %ld):\n", paceRequests,
                paceFailures);
    std::printf("  login to balance answer, median      %8.2f ms   (aim: under 5 ms)\n",
                paceMedian);
    std::printf("  deposit to its answer, median        %8.2f ms   (aim: under 5 ms)\n",
                paceDeposit);
    std::printf("  anchor: the same plug-in calls in-process, loaded per call:\n");
    std::printf("    authentication and balance         %8.2f ms   ratio %.2f\n", directLogin,
                directLogin > 0 ? paceMedian / directLogin : 0.0);
    std::printf("    deposit                            %8.2f ms   ratio %.2f\n", directDeposit,
                directDeposit > 0 ? paceDeposit / directDeposit : 0.0);
    std::printf("ten boxes back to back, %d rounds of %.1f s (failures %ld):\n", rounds, seconds,
                serverFailures);
    std::printf("  through dornelman                    %8.1f tx/s  median transaction %.1f ms\n",
                serverRate, Median(transactionMs));
    std::printf(
        "  bound: one request per %.0f ms pause  %8.1f tx/s  ratio %.2f   (aim: at least 0.80)\n",
        kWaitPauseMs, bound, serverRate / bound);
    std::printf("  anchor: in-process, loaded once      %8.1f tx/s  ratio %.3f\n", directRate,
                directRate > 0 ? serverRate / directRate : 0.0);
    // One line for scripts/bench.sh's table.
    std::printf(
        "TABLE|sessions|person's-pace login median|%.2f ms|in-process, loaded per call|%.2f "
        "ms|%.2f|under 5 ms\n",
        paceMedian, directLogin, directLogin > 0 ? paceMedian / directLogin : 0.0);
    std::printf(
        "TABLE|sessions|person's-pace deposit median|%.2f ms|in-process, loaded per call|%.2f "
        "ms|%.2f|under 5 ms\n",
        paceDeposit, directDeposit, directDeposit > 0 ? paceDeposit / directDeposit : 0.0);
    std::printf(
        "TABLE|sessions|ten boxes back to back|%.1f tx/s|bound of the 50 ms pause|%.1f "
        "tx/s|%.2f|ratio >= 0.80\n",
        serverRate, bound, serverRate / bound);
    std::printf(
        "TABLE|sessions|ten boxes back to back|%.1f tx/s|in-process, loaded once|%.1f "
        "tx/s|%.3f|(shown)\n",
        serverRate, directRate, directRate > 0 ? serverRate / directRate : 0.0);
    return 0;
}
