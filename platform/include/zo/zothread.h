// SPDX-License-Identifier: Apache-2.0
// Threads for the library: a joinable POSIX thread that runs a virtual Run().
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "zo/zoexport.h"

enum ZoThreadPrioity { ZoPriorityLow = 0, ZoPriorityNormal = 1, ZoPriorityHigh = 2 };

// Create() returns non-zero on success and 0 on failure; nothing here throws.
class ZO_API ZoThread {
public:
    ZoThread();
    virtual ~ZoThread();
    // Owner thread. Joins the thread if it was started and not yet joined; a thread object
    // destroyed from its own thread detaches instead. A derived object is already gone when
    // this runs, so an owner joins before deleting a thread whose Run() may still be running.

    virtual void Run() = 0;
    // The new thread only. May delete its own object as its last act.

    std::uint32_t Create(std::uint32_t stackBytes, std::uint32_t kind);
    // Owner thread. Starts a thread running Run(); non-zero on success. stackBytes is raised to
    // a floor that glibc threads need (see kMinStack); kind is a label only (0 accept, 1 input).
    // Refused while an earlier thread of this object has not been joined.

    void SetPriority(ZoThreadPrioity priority);
    // The thread itself. A hint only: ordinary threads keep the default scheduling.

    static bool SetBatchScheduling(bool batch);
    // The calling thread. true: once woken, the thread waits for the running thread's time slice
    // instead of preempting it (SCHED_BATCH); false: the default class again. Needs no
    // privileges; false where the system has no such class or refused.

    void Join();
    // Owner thread, never the thread itself. Waits for Run() to return; idempotent.

    bool Finished() const { return m_finished.load(std::memory_order_acquire); }
    // Any thread. True once Run() has returned, so an owner can reap without blocking.

    bool Started() const { return m_started; }
    // Owner thread. True from a successful Create() on, also after Join().

    // glibc carves static TLS and the guard page out of the requested stack, so 16 KiB is
    // not enough for a thread that calls into the C library.
    static constexpr std::uint32_t kMinStack = 64 * 1024;

    ZoThread(const ZoThread&) = delete;
    ZoThread& operator=(const ZoThread&) = delete;

private:
    static void* Trampoline(void* self);

    pthread_t m_thread{};
    bool m_started = false;  // owner thread only
    bool m_joined = false;   // owner thread only
    std::atomic<bool> m_finished{false};
};
