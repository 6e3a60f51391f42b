// SPDX-License-Identifier: Apache-2.0
// minimal_server.cpp written with the zornet:: layer: serves "double" on the port given as its
// argument (default 5001). Integer calls come back doubled; user calls come back with every
// integer value doubled. Ctrl-C stops it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zornet/server.h"

namespace {

zornet::Server* g_server = nullptr;

extern "C" void Stop(int) {
    g_server->Stop();  // safe in a signal handler
}

}  // namespace

int main(int argc, char** argv) {
    auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : NET_DEFAULT_PORT);
    try {
        zornet::Server server(port);  // this thread runs its loop: every handler runs here
        server.Serve("double", [](int x) { return 2 * x; });
        server.Serve("double", [](std::vector<zornet::Value> values) {
            for (zornet::Value& value : values) {
                if (value.Is<std::int32_t>() && value.Depth() == 0)
                    value = 2 * value.As<std::int32_t>();
            }
            return values;  // a user call's values always travel back
        });
        g_server = &server;
        std::signal(SIGINT, Stop);
        std::signal(SIGTERM, Stop);
        std::printf("serving \"double\" on port %u\n", port);
        std::fflush(stdout);
        server.Run();
        std::signal(SIGINT, SIG_DFL);  // the server is about to go
        std::signal(SIGTERM, SIG_DFL);
    } catch (const zornet::Error& error) {  // e.g. the port cannot be opened
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
