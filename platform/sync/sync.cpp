// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/sync/sync.h"

// One process-wide lock guards every event, every thread object, the handle table and the
// name table. A waiting thread puts one Waiter on the list of each object it waits for and
// sleeps on the Waiter's own condition variable. Whoever signals an object hands it to
// waiters directly, under the lock: SetEvent on an auto-reset event satisfies the oldest
// unsatisfied waiter instead of becoming signalled, so exactly one thread goes and no wake-up
// is lost between a waiter's check and its sleep. A pulse hands the event only to waiters on
// the list at that moment, so with nobody waiting it is lost.
//
// Handles are numbers from a counter that is never reused, so a closed handle is simply
// absent from the table (WAIT_FAILED, ERROR_INVALID_HANDLE) and never names freed memory.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

enum class ObjectKind { Event, Thread };

// One thread blocked in a wait. satisfiedIndex is set, under the lock, by the thread that
// hands it an object; the waiter then wakes and takes itself off every list.
struct Waiter {
    std::condition_variable wake;
    long satisfiedIndex = -1;  // index into the waiter's handle array, or -1
};

struct WaitEntry {
    Waiter* waiter;
    DWORD index;  // where this object stands in the waiter's handle array
};

struct SyncObject {
    ObjectKind kind = ObjectKind::Event;
    bool manualReset = false;  // thread objects behave as manual-reset events
    bool signalled = false;
    std::string name;                // empty for an unnamed event and for threads
    int handleCount = 0;             // open handles; the name goes with the last one
    std::vector<WaitEntry> waiters;  // oldest first
};

struct SyncState {
    std::mutex lock;
    std::uintptr_t nextHandle = 0x1000;
    std::unordered_map<std::uintptr_t, std::shared_ptr<SyncObject>> handles;
    std::unordered_map<std::string, std::weak_ptr<SyncObject>> names;
};

// Never destroyed: detached threads may still signal their objects while the process exits.
SyncState& State() {
    static SyncState* state = new SyncState;
    return *state;
}

HANDLE AddHandle(SyncState& state, const std::shared_ptr<SyncObject>& object) {
    state.nextHandle += 4;
    state.handles.emplace(state.nextHandle, object);
    ++object->handleCount;
    return reinterpret_cast<HANDLE>(state.nextHandle);
}

std::shared_ptr<SyncObject> Lookup(SyncState& state, HANDLE handle) {
    auto found = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state.handles.end()) return nullptr;
    return found->second;
}

// Hands the object to its oldest unsatisfied waiter. Returns false when nobody waits.
bool SatisfyOne(SyncObject& object) {
    for (WaitEntry& entry : object.waiters) {
        if (entry.waiter->satisfiedIndex < 0) {
            entry.waiter->satisfiedIndex = entry.index;
            entry.waiter->wake.notify_one();
            return true;
        }
    }
    return false;
}

void SatisfyAll(SyncObject& object) {
    for (WaitEntry& entry : object.waiters) {
        if (entry.waiter->satisfiedIndex < 0) {
            entry.waiter->satisfiedIndex = entry.index;
            entry.waiter->wake.notify_one();
        }
    }
}

// Signals under the lock: a manual-reset object releases every waiter and stays signalled;
// an auto-reset one releases one waiter, or stays signalled when there is none.
void Signal(SyncObject& object) {
    if (object.manualReset) {
        object.signalled = true;
        SatisfyAll(object);
    } else if (!SatisfyOne(object)) {
        object.signalled = true;
    }
}

std::shared_ptr<SyncObject> LookupEvent(SyncState& state, HANDLE event) {
    auto object = Lookup(state, event);
    if (!object || object->kind != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

struct ThreadStart {
    ThreadProc proc;
    void* arg;
    std::shared_ptr<SyncObject> object;
};

void RunThread(std::unique_ptr<ThreadStart> start) {
    start->proc(start->arg);
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    Signal(*start->object);
}

}  // namespace

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name) {
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (name && *name) {
        auto found = state.names.find(name);
        if (found != state.names.end()) {
            if (auto existing = found->second.lock()) {
                HANDLE handle = AddHandle(state, existing);
                SetLastError(ERROR_ALREADY_EXISTS);
                return handle;
            }
        }
    }
    auto object = std::make_shared<SyncObject>();
    object->manualReset = manualReset != 0;
    object->signalled = initialState != 0;
    if (name && *name) {
        object->name = name;
        state.names[object->name] = object;
    }
    HANDLE handle = AddHandle(state, object);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE OpenEventA(DWORD access, BOOL inherit, const char* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.names.find(name);
    std::shared_ptr<SyncObject> existing;
    if (found != state.names.end()) existing = found->second.lock();
    if (!existing) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return AddHandle(state, existing);
}

BOOL SetEvent(HANDLE event) {
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto object = LookupEvent(state, event);
    if (!object) return 0;
    Signal(*object);
    return 1;
}

BOOL ResetEvent(HANDLE event) {
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto object = LookupEvent(state, event);
    if (!object) return 0;
    object->signalled = false;
    return 1;
}

BOOL PulseEvent(HANDLE event) {
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto object = LookupEvent(state, event);
    if (!object) return 0;
    if (object->manualReset) {
        SatisfyAll(*object);
    } else {
        SatisfyOne(*object);
    }
    object->signalled = false;
    return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, 0, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles || waitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    SyncState& state = State();
    std::unique_lock<std::mutex> guard(state.lock);

    // The shared pointers keep every object alive for the wait, even if another thread
    // closes a handle meanwhile.
    std::vector<std::shared_ptr<SyncObject>> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto object = Lookup(state, handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }

    for (DWORD i = 0; i < count; ++i) {
        SyncObject& object = *objects[i];
        if (object.signalled) {
            if (!object.manualReset) object.signalled = false;
            return WAIT_OBJECT_0 + i;
        }
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;

    Waiter waiter;
    for (DWORD i = 0; i < count; ++i) objects[i]->waiters.push_back(WaitEntry{&waiter, i});

    auto satisfied = [&waiter] { return waiter.satisfiedIndex >= 0; };
    if (milliseconds == INFINITE) {
        waiter.wake.wait(guard, satisfied);
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        waiter.wake.wait_until(guard, deadline, satisfied);
    }

    for (auto& object : objects) {
        auto& list = object->waiters;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&waiter](const WaitEntry& e) { return e.waiter == &waiter; }),
                   list.end());
    }
    if (waiter.satisfiedIndex >= 0)
        return WAIT_OBJECT_0 + static_cast<DWORD>(waiter.satisfiedIndex);
    return WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    SyncState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::shared_ptr<SyncObject> object = std::move(found->second);
    state.handles.erase(found);
    if (--object->handleCount == 0 && !object->name.empty()) {
        auto named = state.names.find(object->name);
        if (named != state.names.end() && named->second.lock() == object) state.names.erase(named);
    }
    return 1;
}

HANDLE BeginThread(ThreadProc proc, void* arg) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SyncState& state = State();
    auto object = std::make_shared<SyncObject>();
    object->kind = ObjectKind::Thread;
    object->manualReset = true;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        handle = AddHandle(state, object);
    }
    try {
        std::thread(RunThread, std::make_unique<ThreadStart>(ThreadStart{proc, arg, object}))
            .detach();
    } catch (const std::system_error&) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return handle;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
