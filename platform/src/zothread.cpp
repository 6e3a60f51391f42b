// SPDX-License-Identifier: Apache-2.0
#include "zo/zothread.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

// Sanitizer instrumentation enlarges every stack frame; the floor grows to match.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZO_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZO_SANITIZED_BUILD 1
#endif
#endif

namespace {

#ifdef ZO_SANITIZED_BUILD
constexpr std::size_t kStackFactor = 4;
#else
constexpr std::size_t kStackFactor = 1;
#endif

// The object whose Run() this thread executes. A Run() that deletes its own object clears it,
// so the trampoline never touches the freed object afterwards.
thread_local ZoThread* t_running = nullptr;

std::size_t StackSize(std::uint32_t requested) {
    std::size_t size = std::max<std::size_t>(requested, ZoThread::kMinStack * kStackFactor);
    const long systemMin = sysconf(_SC_THREAD_STACK_MIN);
    if (systemMin > 0) {
        size = std::max(size, static_cast<std::size_t>(systemMin));
    }
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) {
        const auto pageSize = static_cast<std::size_t>(page);
        size = (size + pageSize - 1) / pageSize * pageSize;
    }
    return size;
}

}  // namespace

ZoThread::ZoThread() = default;

ZoThread::~ZoThread() {
    if (t_running == this) {
        // Run() is deleting its own object: nobody is left to join the thread.
        t_running = nullptr;
        pthread_detach(pthread_self());
        return;
    }
    Join();
}

std::uint32_t ZoThread::Create(std::uint32_t stackBytes, std::uint32_t /*kind*/) {
    if (m_started && !m_joined) {
        return 0;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return 0;
    }
    // Set before the thread exists: once it runs, Run() may delete this object.
    m_started = true;
    m_joined = false;
    m_finished.store(false, std::memory_order_relaxed);
    int rc = pthread_attr_setstacksize(&attr, StackSize(stackBytes));
    if (rc == 0) {
        rc = pthread_create(&m_thread, &attr, &ZoThread::Trampoline, this);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        m_started = false;
        return 0;
    }
    return 1;
}

void ZoThread::SetPriority(ZoThreadPrioity /*priority*/) {
    // Real-time classes need privileges and could starve the main thread; default it stays.
}

bool ZoThread::SetBatchScheduling(bool batch) {
#ifdef SCHED_BATCH
    const sched_param none{};
    return pthread_setschedparam(pthread_self(), batch ? SCHED_BATCH : SCHED_OTHER, &none) == 0;
#else
    (void)batch;
    return false;
#endif
}

void ZoThread::Join() {
    if (!m_started || m_joined || t_running == this) {
        return;
    }
    pthread_join(m_thread, nullptr);
    m_joined = true;
}

void* ZoThread::Trampoline(void* self) {
    t_running = static_cast<ZoThread*>(self);
    t_running->Run();
    if (t_running != nullptr) {
        t_running->m_finished.store(true, std::memory_order_release);
    }
    return nullptr;
}
