// SPDX-License-Identifier: Apache-2.0
// Serves a server from a libuv loop: the thread that runs uv_run() becomes the server's main
// thread. Header-only; link zornet::libuv.
//
//     uv_loop_t loop;
//     uv_loop_init(&loop);
//     NetLibuvInput input(&loop);  // before the server
//     server->StartServer(&input);
//     uv_run(&loop, UV_RUN_DEFAULT);
#pragma once

#include <uv.h>

#include "net/loop/loopinput.h"

// One registration: a poll handle, freed by the loop once it has closed it.
struct NetLibuvWatch {
    uv_poll_t poll;
    ZoInputProc proc;
    void* clientData;
    int fd;
};

// The rules of NetLoopInput apply (loop thread only, level-triggered, removal from inside the
// callback). libuv switches a watched descriptor to non-blocking mode and leaves it so: its owner's
// reads must take EAGAIN as "nothing to read" (the server's do), and it takes one watch per
// descriptor (a second AddInput of the same descriptor gives 0). A withdrawn watch is closed like
// any libuv handle: the loop frees it on its next iteration, so run the loop once more before
// uv_loop_close().
class NetLibuvInput : public NetLoopInput<NetLibuvWatch*> {
public:
    explicit NetLibuvInput(uv_loop_t* loop) : m_loop(loop) {}
    ~NetLibuvInput() override { WithdrawAll(); }
    // Loop thread. loop must still exist.

private:
    NetLibuvWatch* Start(int fd, ZoInputProc proc, void* clientData) override {
        auto* watch = new NetLibuvWatch{{}, proc, clientData, fd};
        if (uv_poll_init(m_loop, &watch->poll, fd) != 0) {
            delete watch;  // not known to the loop yet
            return nullptr;
        }
        watch->poll.data = watch;
        if (uv_poll_start(&watch->poll, UV_READABLE, &Readable) != 0) {
            Stop(watch);
            return nullptr;
        }
        return watch;
    }

    void Stop(NetLibuvWatch* watch) override {
        uv_poll_stop(
            &watch->poll);  // also stops the loop's own poll of fd before its owner closes it
        uv_close(reinterpret_cast<uv_handle_t*>(&watch->poll),
                 [](uv_handle_t* handle) { delete static_cast<NetLibuvWatch*>(handle->data); });
    }

    // status < 0 reports a descriptor in error; the callback's read then finds out what it is.
    static void Readable(uv_poll_t* poll, int /*status*/, int /*events*/) {
        auto* watch = static_cast<NetLibuvWatch*>(poll->data);
        watch->proc(watch->clientData, watch->fd);
    }

    uv_loop_t* m_loop;
};
