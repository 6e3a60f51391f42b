// SPDX-License-Identifier: Apache-2.0
// The application's input loop, as the library sees it, and a small default loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <vector>

#include "zo/zoexport.h"

using ZoInputId = std::int32_t;  // 0 is never a valid id
using ZoInputProc = void (*)(void* clientData, int fd);

class ZO_API ZoInputRegistration {
public:
    virtual ~ZoInputRegistration() = default;
    virtual ZoInputId AddInput(int fd, ZoInputProc proc, void* clientData) = 0;
    // Asks the loop to call proc(clientData, fd) on its thread while fd is readable; the
    // caller keeps owning fd and clientData. 0 when the registration was refused.
    virtual void RemoveInput(ZoInputId id) = 0;
    // Withdraws the registration; unknown ids are ignored.
};

// A poll() loop that runs on the thread that calls Run(): that thread is the main thread.
class ZO_API ZoInputLoop : public ZoInputRegistration {
public:
    ZoInputLoop();
    ~ZoInputLoop() override;
    // Owner thread, once Run() has returned. Closes only the loop's own wake pipe.

    ZoInputId AddInput(int fd, ZoInputProc proc, void* clientData) override;
    // Any thread, callbacks included. Ids count up from 1; a negative fd or null proc gives 0.

    void RemoveInput(ZoInputId id) override;
    // Any thread, callbacks included. No call starts after it returns on the loop's thread;
    // from another thread, a callback already under way may still be finishing.

    void Run();
    // Main thread. Calls callbacks until Stop(); each readable descriptor's callback is called
    // once per pass, so a descriptor that stays readable is served again on the next pass.
    // A Stop() that came before Run() makes it return at once; the next Run() starts afresh.

    bool RunOnce(int timeoutMs);
    // Main thread. One poll pass (timeoutMs as for poll()); true when a callback ran.
    // A registered descriptor found closed is withdrawn rather than polled again and again.

    void Stop();
    // Any thread, and async-signal-safe: makes Run() return after the current pass.

    ZoInputLoop(const ZoInputLoop&) = delete;
    ZoInputLoop& operator=(const ZoInputLoop&) = delete;

private:
    struct Entry {
        ZoInputId id;
        int fd;
        ZoInputProc proc;
        void* clientData;
    };
    void Wake();
    void DrainWake();
    bool StillRegistered(ZoInputId id, std::uint32_t withdrawalsSeen);
    void Withdraw(const std::vector<ZoInputId>& ids);

    std::mutex m_mutex;  // guards m_entries and m_nextId
    std::vector<Entry> m_entries;
    ZoInputId m_nextId = 1;
    int m_wakeRead = -1;  // self-pipe: Stop() and registry changes wake poll()
    int m_wakeWrite = -1;
    std::atomic<bool> m_stop{false};              // set by Stop(), possibly from a signal handler
    std::atomic<std::uint32_t> m_withdrawals{0};  // bumped by Withdraw, so a pass can tell
                                                  // whether its copy may hold a removed entry
    // RunOnce's scratch, reused so a pass allocates nothing. Main thread only.
    std::vector<Entry> m_pass;
    std::vector<pollfd> m_pollFds;
    std::vector<ZoInputId> m_closed;
};
