// SPDX-License-Identifier: Apache-2.0
// Serves a server from a libevent event_base: the thread that runs event_base_dispatch() (or
// event_base_loop()) becomes the server's main thread. Header-only; link zornet::libevent.
//
//     event_base* base = event_base_new();
//     NetLibeventInput input(base);  // before the server; event_base_free(base) after it
//     server->StartServer(&input);
//     event_base_dispatch(base);
#pragma once

#include <event2/event.h>

#include <memory>

#include "net/loop/loopinput.h"

// One registration: a persistent read event whose argument is this record.
struct NetLibeventWatch {
    ~NetLibeventWatch() {
        if (readEvent != nullptr) {
            event_free(readEvent);  // also inside its own callback: libevent keeps nothing of it
        }
    }
    event* readEvent;
    ZoInputProc proc;
    void* clientData;
};

// The rules of NetLoopInput apply (loop thread only, level-triggered, removal from inside the
// callback). The watches are plain EV_READ | EV_PERSIST events, so a base without other events
// keeps running while a registration is held.
class NetLibeventInput : public NetLoopInput<std::unique_ptr<NetLibeventWatch>> {
public:
    explicit NetLibeventInput(event_base* base) : m_base(base) {}
    ~NetLibeventInput() override { WithdrawAll(); }
    // Loop thread. base must still exist.

private:
    std::unique_ptr<NetLibeventWatch> Start(int fd, ZoInputProc proc, void* clientData) override {
        auto watch =
            std::unique_ptr<NetLibeventWatch>(new NetLibeventWatch{nullptr, proc, clientData});
        watch->readEvent = event_new(m_base, fd, EV_READ | EV_PERSIST, &Readable, watch.get());
        if (watch->readEvent == nullptr || event_add(watch->readEvent, nullptr) != 0) {
            return nullptr;
        }
        return watch;
    }
    void Stop(std::unique_ptr<NetLibeventWatch>) override {}  // the watch frees its event

    static void Readable(evutil_socket_t fd, short /*what*/, void* arg) {
        auto* watch = static_cast<NetLibeventWatch*>(arg);
        watch->proc(watch->clientData, fd);  // may withdraw and free watch
    }

    event_base* m_base;
};
