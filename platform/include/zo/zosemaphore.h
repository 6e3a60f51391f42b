// Event and mutual-exclusion semaphores.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "zo/zoexport.h"

// An event flag. A Post() that comes before Wait() is remembered: the hand-over to the main
// thread resets, posts its work, then waits, and the main thread may answer first.
// The owner destroys it only once no thread is inside Post(), Wait() or WaitFor().
class ZO_API ZoEventSemiphore {
public:
    void Reset();  // Any thread. Clears the flag.
    void Post();   // Any thread. Sets the flag and wakes a waiter.
    void Wait();   // One waiter at a time. Returns once the flag is set, and leaves it set.

    bool WaitFor(std::int32_t milliseconds);
    // As Wait(), but gives up after the time-out; true when the flag was set.

private:
    bool SpinUntilSet(std::int32_t maxMicroseconds);
    bool SleepUntilSet(const std::chrono::steady_clock::time_point* deadline);  // null: no limit

    // About one short main-thread answer: most hand-overs complete within it.
    static constexpr std::int32_t kMaxSpinMicros = 8;

    // Bit 0 is the flag; the bits above count waiters asleep on m_cond. One word, so Post()
    // learns in the same step that sets the flag whether anyone needs a notify.
    std::atomic<std::uint32_t> m_state{0};
    // How long Wait() spins before it sleeps, in microseconds: halved after each spin that
    // found nothing and restored by one that succeeded, so that a slow poster, or one that
    // shares a core with the waiter, is not kept waiting by spinning.
    std::atomic<std::int32_t> m_spinMicros{kMaxSpinMicros};
    std::mutex m_mutex;  // pairs with m_cond; held while a waiter registers itself
    std::condition_variable m_cond;
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
