// SPDX-License-Identifier: Apache-2.0
// Event and mutual-exclusion semaphores.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#ifndef __linux__
#include <condition_variable>
#endif

#include "zo/zoexport.h"

// An event flag. A Post() that comes before Wait() is remembered: the hand-over to the main
// thread resets, posts its work, then waits, and the main thread may answer first.
// A waiter sleeps at once instead of spinning: on a machine with few CPUs the spin takes the
// CPU the poster needs. Post() makes a system call only when a waiter sleeps.
// The owner destroys it only once no thread is inside Post(), Wait() or WaitFor().
class ZO_API ZoEventSemiphore {
public:
    void Reset();  // Any thread. Clears the flag.
    void Post();   // Any thread. Sets the flag and wakes a waiter.
    void Wait();   // One waiter at a time. Returns once the flag is set, and leaves it set.

    bool WaitFor(std::int32_t milliseconds);
    // As Wait(), but gives up after the time-out; true when the flag was set.

private:
    bool SleepUntilSet(const std::chrono::steady_clock::time_point* deadline);  // null: no limit
    void SleepWhileMarked(const std::chrono::steady_clock::time_point* deadline);
    // Returns when woken, at the deadline, or now and then early; callers look again.
    void WakeSleepers();

    // kClear, kSet, or kSleeper: clear, with a waiter asleep (or about to be) on this word.
    std::atomic<std::uint32_t> m_state{0};
#ifndef __linux__
    std::mutex m_mutex;  // where the system has no futex: pairs with m_cond
    std::condition_variable m_cond;
#endif
};

// A re-entrant lock: the same thread may Acquire() again; free once every Acquire() is matched.
class ZO_API ZoMutexSemiphore {
public:
    std::uint32_t Acquire();  // Any thread. Result is always 1.
    void Release();           // The owning thread.

private:
    std::recursive_mutex m_mutex;
};

// RAII holder for ZoMutexSemiphore.
class ZoLock {
public:
    explicit ZoLock(ZoMutexSemiphore& lock) : m_lock(lock) { m_lock.Acquire(); }
    ~ZoLock() { m_lock.Release(); }
    ZoLock(const ZoLock&) = delete;
    ZoLock& operator=(const ZoLock&) = delete;

private:
    ZoMutexSemiphore& m_lock;
};
