#include "zo/zosemaphore.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSet = 1;
constexpr std::uint32_t kSleeper = 2;  // one waiter asleep on the condition variable

// Spinning at all keeps the budget able to grow back when the poster speeds up.
constexpr std::int32_t kMinSpinMicros = 1;

// A waiter that spins on the only CPU it may use keeps the poster off that CPU: on such a
// process every spin is wasted. Taken once; a process re-pinned later keeps the first answer.
bool SpinningCanHelp() {
    static const bool canHelp = [] {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        return sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) > 1;
    }();
    return canHelp;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

}  // namespace

void ZoEventSemiphore::Reset() {
    m_state.fetch_and(~kSet, std::memory_order_acq_rel);
}

void ZoEventSemiphore::Post() {
    // Setting the flag and reading the sleeper count in one step closes the window in which
    // a waiter could register after we looked and miss the flag.
    if (m_state.fetch_or(kSet, std::memory_order_acq_rel) >= kSleeper) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cond.notify_all();
    }
}

void ZoEventSemiphore::Wait() {
    if (!SpinUntilSet(m_spinMicros.load(std::memory_order_relaxed))) {
        SleepUntilSet(nullptr);
    }
}

bool ZoEventSemiphore::WaitFor(std::int32_t milliseconds) {
    const std::int64_t totalMicros = std::max<std::int64_t>(milliseconds, 0) * 1000;
    const auto deadline = Clock::now() + std::chrono::microseconds(totalMicros);
    const std::int64_t spinMicros =
        std::min<std::int64_t>(m_spinMicros.load(std::memory_order_relaxed), totalMicros);
    return SpinUntilSet(static_cast<std::int32_t>(spinMicros)) || SleepUntilSet(&deadline);
}

bool ZoEventSemiphore::SleepUntilSet(const std::chrono::steady_clock::time_point* deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint32_t state = m_state.fetch_add(kSleeper, std::memory_order_acq_rel);
    bool timedOut = false;
    while ((state & kSet) == 0 && !timedOut) {
        if (deadline == nullptr) {
            m_cond.wait(lock);
        } else {
            timedOut = m_cond.wait_until(lock, *deadline) == std::cv_status::timeout;
        }
        state = m_state.load(std::memory_order_acquire);
    }
    m_state.fetch_sub(kSleeper, std::memory_order_relaxed);
    return (state & kSet) != 0;
}

bool ZoEventSemiphore::SpinUntilSet(std::int32_t maxMicroseconds) {
    // Already set: the answer came first, which says nothing about whether spinning pays.
    if ((m_state.load(std::memory_order_acquire) & kSet) != 0) {
        return true;
    }
    if (!SpinningCanHelp()) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::microseconds(maxMicroseconds);
    for (unsigned int i = 1;; ++i) {
        if ((m_state.load(std::memory_order_acquire) & kSet) != 0) {
            m_spinMicros.store(kMaxSpinMicros, std::memory_order_relaxed);
            return true;
        }
        CpuRelax();
        // A clock read costs more than a pause, so look only every few rounds.
        if (i % 16 == 0 && Clock::now() >= deadline) {
            break;
        }
    }
    const std::int32_t halved = m_spinMicros.load(std::memory_order_relaxed) / 2;
    m_spinMicros.store(std::max(halved, kMinSpinMicros), std::memory_order_relaxed);
    return false;
}

std::uint32_t ZoMutexSemiphore::Acquire() {
    m_mutex.lock();
    return 1;
}

void ZoMutexSemiphore::Release() {
    m_mutex.unlock();
}
