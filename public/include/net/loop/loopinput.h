// SPDX-License-Identifier: Apache-2.0
// What the event-loop adapters (net/loop/asio.h, libevent.h, libuv.h, glib.h) share: the
// registrations by id, and the checks and rules every adapter keeps. Header-only, and free of any
// loop library: each adapter brings its own.
#pragma once

#include <limits>
#include <unordered_map>
#include <utility>

#include "zo/zoinput.h"

// A ZoInputRegistration on somebody else's event loop. Watch is what the adapter keeps for one
// registration (a pointer type; empty means none). An adapter supplies Start and Stop and calls
// WithdrawAll from its own destructor, while its loop is still alive.
//
// The rules all adapters share:
// - Loop thread only: AddInput and RemoveInput are called on the thread that runs the loop
//   (inside its callbacks, or while no thread runs it), as the server calls them from StartServer
//   and from its destructor. None of the loops takes registrations from other threads safely.
// - Watches are level-triggered: the callback runs on the loop's thread again and again while the
//   descriptor stays readable (a hang-up or an error counts as readable, since a read would not
//   block), and may find nothing left to read.
// - RemoveInput may be called from inside the callback it withdraws; no call starts after it.
// - The caller keeps owning the descriptor and the client data; it closes the descriptor only
//   after RemoveInput. The adapter outlives every registration made through it (declare it
//   before the server), and the loop outlives the adapter.
template <typename Watch>
class NetLoopInput : public ZoInputRegistration {
public:
    NetLoopInput() = default;
    NetLoopInput(const NetLoopInput&) = delete;  // the loop's callbacks point at the watches
    NetLoopInput& operator=(const NetLoopInput&) = delete;

    ZoInputId AddInput(int fd, ZoInputProc proc, void* clientData) final {
        if (fd < 0 || proc == nullptr) {
            return 0;
        }
        Watch watch = Start(fd, proc, clientData);
        return watch ? Keep(std::move(watch)) : 0;  // 0: the loop refused the descriptor
    }

    void RemoveInput(ZoInputId id) final {
        auto it = m_watches.find(id);
        if (it == m_watches.end()) {
            return;  // unknown ids are ignored
        }
        Watch watch = std::move(it->second);
        m_watches.erase(it);
        Stop(std::move(watch));
    }

protected:
    virtual Watch Start(int fd, ZoInputProc proc, void* clientData) = 0;
    // Starts watching fd for readability; an empty Watch when the loop refuses it.
    virtual void Stop(Watch watch) = 0;
    // Stops watching, possibly from inside the watch's own callback: nothing of the watch may be
    // used once that callback returns.

    void WithdrawAll() {
        while (!m_watches.empty()) {
            RemoveInput(m_watches.begin()->first);
        }
    }

private:
    // Ids count up from 1 and, after a wrap, skip those still held, as ZoInputLoop's do.
    ZoInputId Keep(Watch watch) {
        ZoInputId id;
        do {
            id = m_nextId;
            m_nextId = m_nextId == std::numeric_limits<ZoInputId>::max() ? 1 : m_nextId + 1;
        } while (m_watches.count(id) != 0);
        m_watches.emplace(id, std::move(watch));
        return id;
    }

    std::unordered_map<ZoInputId, Watch> m_watches;  // loop thread
    ZoInputId m_nextId = 1;
};
