// SPDX-License-Identifier: Apache-2.0
// The smallest server on a libuv loop: serves "double" (see doubler.h) on the port given as its
// argument (default 5001) until SIGINT or SIGTERM.
#include <uv.h>

#include <csignal>

#include "doubler.h"
#include "net/loop/libuv.h"

namespace {

uv_signal_t g_signals[2];  // SIGINT, SIGTERM; their data is the server

void Stop(uv_signal_t* signal, int) {
    delete static_cast<NetServer*>(signal->data);  // on the loop's thread
    for (uv_signal_t& s : g_signals)
        uv_close(reinterpret_cast<uv_handle_t*>(&s), nullptr);  // then uv_run() runs out of work
}

}  // namespace

int main(int argc, char** argv) {
    uv_loop_t loop;
    uv_loop_init(&loop);
    int status = 1;
    {
        NetLibuvInput input(&loop);  // outlives the server, which withdraws its pipe from it
        NetServer* server =
            StartDoubler(argc, argv, input);  // the loop's thread is the main thread
        if (server != nullptr) {
            const int numbers[2] = {SIGINT, SIGTERM};
            for (int i = 0; i < 2; ++i) {
                uv_signal_init(&loop, &g_signals[i]);
                g_signals[i].data = server;
                uv_signal_start(&g_signals[i], Stop, numbers[i]);
            }
            uv_run(&loop, UV_RUN_DEFAULT);  // every call reaches Doubler from here
            status = 0;
        }
    }
    uv_run(&loop, UV_RUN_NOWAIT);  // frees what was closed last
    uv_loop_close(&loop);
    return status;
}
