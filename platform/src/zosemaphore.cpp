// SPDX-License-Identifier: Apache-2.0
#include "zo/zosemaphore.h"

#include <algorithm>
#include <climits>
#include <ctime>

#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kClear = 0;
constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kSleeper = 2;

#ifdef __linux__
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the state word is the futex word");

std::uint32_t* FutexWord(std::atomic<std::uint32_t>& state) {
    return reinterpret_cast<std::uint32_t*>(&state);
}

// Sleeps while the word holds expected, until woken or the deadline (steady clock, which is
// CLOCK_MONOTONIC here, as FUTEX_WAIT_BITSET's absolute time-outs are). Returns early now and
// then; callers look at the word again.
void FutexWait(std::atomic<std::uint32_t>& state, std::uint32_t expected,
               const Clock::time_point* deadline) {
    timespec at{};
    if (deadline != nullptr) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch())
                .count();
        at.tv_sec = static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    syscall(SYS_futex, FutexWord(state), FUTEX_WAIT_BITSET_PRIVATE, expected,
            deadline != nullptr ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}
#endif

}  // namespace

void ZoEventSemiphore::Reset() {
    // A sleeper mark left by a waiter that timed out stays: it only costs a Post() a wake-up.
    m_state.fetch_and(~kSet, std::memory_order_acq_rel);
}

void ZoEventSemiphore::Post() {
    if (m_state.exchange(kSet, std::memory_order_acq_rel) == kSleeper) {
        WakeSleepers();
    }
}

void ZoEventSemiphore::Wait() {
    SleepUntilSet(nullptr);
}

bool ZoEventSemiphore::WaitFor(std::int32_t milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    return SleepUntilSet(&deadline);
}

bool ZoEventSemiphore::SleepUntilSet(const Clock::time_point* deadline) {
    std::uint32_t state = m_state.load(std::memory_order_acquire);
    while (state != kSet) {
        // Marked before sleeping, so the Post() that sets the flag knows to wake us.
        if (state == kClear &&
            !m_state.compare_exchange_weak(state, kSleeper, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            continue;
        }
        if (deadline != nullptr && Clock::now() >= *deadline) {
            return false;
        }
        SleepWhileMarked(deadline);
        state = m_state.load(std::memory_order_acquire);
    }
    return true;
}

#ifdef __linux__

void ZoEventSemiphore::SleepWhileMarked(const Clock::time_point* deadline) {
    FutexWait(m_state, kSleeper, deadline);
}

void ZoEventSemiphore::WakeSleepers() {
    syscall(SYS_futex, FutexWord(m_state), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#else

// The mark is looked at under the mutex that Post() takes before it notifies: a Post() that
// comes after the look finds the waiter waiting.
void ZoEventSemiphore::SleepWhileMarked(const Clock::time_point* deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state.load(std::memory_order_acquire) != kSleeper) {
        return;
    }
    if (deadline == nullptr) {
        m_cond.wait(lock);
    } else {
        m_cond.wait_until(lock, *deadline);
    }
}

void ZoEventSemiphore::WakeSleepers() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cond.notify_all();
}

#endif

std::uint32_t ZoMutexSemiphore::Acquire() {
    m_mutex.lock();
    return 1;
}

void ZoMutexSemiphore::Release() {
    m_mutex.unlock();
}
