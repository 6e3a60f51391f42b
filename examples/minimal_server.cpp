// SPDX-License-Identifier: Apache-2.0
// The smallest server: serves "double" (see doubler.h) on the port given as its argument
// (default 5001) from the library's own input loop. Ctrl-C stops it. The loop_*.cpp examples
// serve it from asio, libevent, libuv and GLib instead.
#include <csignal>

#include "doubler.h"
#include "net/net.h"

namespace {

ZoInputLoop* g_loop = nullptr;

extern "C" void Stop(int) {
    g_loop->Stop();
}

}  // namespace

int main(int argc, char** argv) {
    ZoInputLoop loop;  // outlives the server, which withdraws its pipe from it
    g_loop = &loop;
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);

    NetServer* server = StartDoubler(argc, argv, loop);  // this thread becomes the main thread
    if (server == nullptr)
        return 1;
    loop.Run();     // every call reaches Doubler from here
    delete server;  // ends the connections and joins their threads
    return 0;
}
