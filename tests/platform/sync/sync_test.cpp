// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/sync/sync.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// A thread that waits once on one handle and records the result.
struct OneWait {
    HANDLE handle;
    DWORD timeout;
    std::atomic<DWORD> result{0xDEAD};
};

DWORD WaitOnce(void* arg) {
    auto* wait = static_cast<OneWait*>(arg);
    wait->result = WaitForSingleObject(wait->handle, wait->timeout);
    return 0;
}

// Polls (bounded, 5 s) until pred holds.
template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 500; ++i) {
        if (pred()) return true;
        Sleep(10);
    }
    return pred();
}

// A unique event name per test, so tests in one process never share events by accident.
std::string Name(const char* base) {
    static std::atomic<int> counter{0};
    return std::string(base) + "_" + std::to_string(counter++);
}

TEST(SyncEvents, AutoResetReleasesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventA(nullptr, 0, 0, nullptr);
    ASSERT_NE(event, nullptr);
    OneWait first{event, 3000}, second{event, 3000};
    HANDLE t1 = BeginThread(WaitOnce, &first);
    HANDLE t2 = BeginThread(WaitOnce, &second);
    Sleep(100);  // both are waiting now
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(Eventually([&] { return first.result == 0 || second.result == 0; }));
    Sleep(100);
    EXPECT_EQ((first.result == WAIT_OBJECT_0) + (second.result == WAIT_OBJECT_0), 1);
    // The second set releases the other one; the event was consumed, not left signalled.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(t1, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t2, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(first.result, WAIT_OBJECT_0);
    EXPECT_EQ(second.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(t1);
    CloseHandle(t2);
    CloseHandle(event);
}

TEST(SyncEvents, SetBeforeWaitStaysSignalledUntilConsumed) {
    HANDLE event = CreateEventA(nullptr, 0, 0, nullptr);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    HANDLE initial = CreateEventA(nullptr, 0, 1, nullptr);
    EXPECT_EQ(WaitForSingleObject(initial, 0), WAIT_OBJECT_0);
    CloseHandle(initial);
    CloseHandle(event);
}

TEST(SyncEvents, ManualResetReleasesEveryWaiterAndStaysSet) {
    HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    OneWait a{event, 3000}, b{event, 3000};
    HANDLE t1 = BeginThread(WaitOnce, &a);
    HANDLE t2 = BeginThread(WaitOnce, &b);
    Sleep(100);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(t1, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t2, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(a.result, WAIT_OBJECT_0);
    EXPECT_EQ(b.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(t1);
    CloseHandle(t2);
    CloseHandle(event);
}

TEST(SyncEvents, PulseWithNobodyWaitingIsLost) {
    for (BOOL manual : {0, 1}) {
        HANDLE event = CreateEventA(nullptr, manual, 0, nullptr);
        EXPECT_TRUE(PulseEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT) << "manual " << manual;
        // A pulse also clears an event that was set.
        SetEvent(event);
        PulseEvent(event);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "manual " << manual;
        CloseHandle(event);
    }
}

TEST(SyncEvents, PulseReleasesAWaitingThread) {
    HANDLE event = CreateEventA(nullptr, 0, 0, nullptr);
    OneWait wait{event, 5000};
    HANDLE thread = BeginThread(WaitOnce, &wait);
    Sleep(100);
    PulseEvent(event);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(wait.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(SyncEvents, ManualPulseReleasesAllWaitersAndLeavesTheEventClear) {
    HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    OneWait a{event, 5000}, b{event, 5000};
    HANDLE t1 = BeginThread(WaitOnce, &a);
    HANDLE t2 = BeginThread(WaitOnce, &b);
    Sleep(100);
    PulseEvent(event);
    EXPECT_EQ(WaitForSingleObject(t1, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t2, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(a.result, WAIT_OBJECT_0);
    EXPECT_EQ(b.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(t1);
    CloseHandle(t2);
    CloseHandle(event);
}

TEST(SyncWaits, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    HANDLE events[3];
    for (HANDLE& e : events) e = CreateEventA(nullptr, 0, 0, nullptr);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, 0, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, 0, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, 0, 0), WAIT_TIMEOUT);
    for (HANDLE e : events) CloseHandle(e);
}

struct MultiWait {
    HANDLE* handles;
    DWORD count;
    std::atomic<DWORD> result{0xDEAD};
};

DWORD WaitMany(void* arg) {
    auto* wait = static_cast<MultiWait*>(arg);
    wait->result = WaitForMultipleObjects(wait->count, wait->handles, 0, 5000);
    return 0;
}

TEST(SyncWaits, AWaitOnSeveralIsWokenByAnyOfThem) {
    HANDLE events[4];
    for (HANDLE& e : events) e = CreateEventA(nullptr, 0, 0, nullptr);
    MultiWait wait{events, 4};
    HANDLE thread = BeginThread(WaitMany, &wait);
    Sleep(100);
    SetEvent(events[3]);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(wait.result, WAIT_OBJECT_0 + 3);
    // The waiter consumed the event it was handed and left the others alone.
    EXPECT_EQ(WaitForMultipleObjects(4, events, 0, 0), WAIT_TIMEOUT);
    CloseHandle(thread);
    for (HANDLE e : events) CloseHandle(e);
}

TEST(SyncWaits, TimeOutsAreKeptAndReported) {
    HANDLE event = CreateEventA(nullptr, 0, 0, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 120), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
    HANDLE two[2] = {event, CreateEventA(nullptr, 1, 0, nullptr)};
    start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, two, 0, 80), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(two[1]);
    CloseHandle(event);
}

TEST(SyncNames, TheSameNameIsTheSameEventAndOtherNamesAreSeparate) {
    std::string name = Name("EVENT_SOCKET_READY_000");
    std::string other = Name("EVENT_SOCKET_READY_001");
    HANDLE first = CreateEventA(nullptr, 0, 0, name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateEventA(nullptr, 0, 0, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first, second);
    HANDLE separate = CreateEventA(nullptr, 0, 0, other.c_str());
    HANDLE opened = OpenEventA(0, 0, name.c_str());
    ASSERT_NE(opened, nullptr);

    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(separate, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    SetEvent(opened);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);

    // The event lives while any handle does, and its name goes with the last one.
    CloseHandle(first);
    CloseHandle(second);
    HANDLE reopened = OpenEventA(0, 0, name.c_str());
    EXPECT_NE(reopened, nullptr);
    CloseHandle(reopened);
    CloseHandle(opened);
    EXPECT_EQ(OpenEventA(0, 0, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(separate);
}

DWORD SleepThenReturn(void* arg) {
    Sleep(150);
    static_cast<std::atomic<int>*>(arg)->store(1);
    return 7;
}

TEST(SyncThreads, AThreadHandleIsSignalledWhenTheThreadReturns) {
    std::atomic<int> done{0};
    HANDLE thread = BeginThread(SleepThenReturn, &done);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(done, 1);
    // It stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(SyncThreads, ClosingAThreadHandleDetachesTheThread) {
    std::atomic<int> done{0};
    HANDLE thread = BeginThread(SleepThenReturn, &done);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(Eventually([&] { return done == 1; }));
}

// ---- Failures -------------------------------------------------------------------------

TEST(SyncFailures, NullClosedAndInvalidHandlesFail) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventA(nullptr, 0, 1, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(ResetEvent(event));
    EXPECT_FALSE(PulseEvent(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(nullptr));

    HANDLE good = CreateEventA(nullptr, 0, 1, nullptr);
    HANDLE mixed[2] = {good, nullptr};
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, 0, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, mixed, 0, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(65, mixed, 0, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, mixed, 1, 0), WAIT_FAILED);
    // A failed wait consumed nothing.
    EXPECT_EQ(WaitForSingleObject(good, 0), WAIT_OBJECT_0);
    CloseHandle(good);
    EXPECT_EQ(OpenEventA(0, 0, nullptr), nullptr);
    EXPECT_EQ(BeginThread(nullptr, nullptr), nullptr);
}

// ---- Stress ---------------------------------------------------------------------------

constexpr int kProducers = 3;

// Consumers wait on every producer's auto-reset event plus a manual-reset end event.
struct Consumer {
    HANDLE* events;              // kProducers work events, then the end event
    std::atomic<int>* consumed;  // per producer
};

DWORD Consume(void* arg) {
    auto* consumer = static_cast<Consumer*>(arg);
    for (;;) {
        DWORD result = WaitForMultipleObjects(kProducers + 1, consumer->events, 0, 10000);
        if (result == WAIT_OBJECT_0 + kProducers) return 0;
        if (result >= WAIT_OBJECT_0 + kProducers) return 1;
        consumer->consumed[result - WAIT_OBJECT_0].fetch_add(1);
    }
}

struct Producer {
    HANDLE work;
    int items;
    std::atomic<int>* consumed;  // this producer's counter
    std::atomic<int> failures{0};
};

// Sets its event once per item and waits until a consumer took it, so every set meets
// either a waiter or an unsignalled event and no two sets merge.
DWORD Produce(void* arg) {
    auto* producer = static_cast<Producer*>(arg);
    for (int i = 1; i <= producer->items; ++i) {
        SetEvent(producer->work);
        if (!Eventually([&] { return producer->consumed->load() >= i; })) {
            producer->failures.fetch_add(1);
            return 1;
        }
    }
    return 0;
}

TEST(SyncStress, EverySetIsConsumedByExactlyOneOfSeveralMultiWaiters) {
    constexpr int kConsumers = 4;
    constexpr int kItems = 300;
    std::atomic<int> consumed[kProducers] = {};
    HANDLE events[kProducers + 1];
    for (int i = 0; i < kProducers; ++i) events[i] = CreateEventA(nullptr, 0, 0, nullptr);
    events[kProducers] = CreateEventA(nullptr, 1, 0, nullptr);

    std::vector<Consumer> consumers(kConsumers, Consumer{events, consumed});
    std::vector<HANDLE> threads;
    for (auto& c : consumers) threads.push_back(BeginThread(Consume, &c));
    std::vector<std::unique_ptr<Producer>> producers;
    std::vector<HANDLE> producerThreads;
    for (int i = 0; i < kProducers; ++i) {
        producers.push_back(std::make_unique<Producer>());
        producers.back()->work = events[i];
        producers.back()->items = kItems;
        producers.back()->consumed = &consumed[i];
        producerThreads.push_back(BeginThread(Produce, producers.back().get()));
    }
    for (HANDLE t : producerThreads) {
        EXPECT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
        CloseHandle(t);
    }
    SetEvent(events[kProducers]);
    for (HANDLE t : threads) {
        EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
        CloseHandle(t);
    }
    for (int i = 0; i < kProducers; ++i) {
        EXPECT_EQ(producers[i]->failures.load(), 0);
        EXPECT_EQ(consumed[i].load(), kItems) << "producer " << i;
    }
    for (HANDLE e : events) CloseHandle(e);
}

}  // namespace
