// SPDX-License-Identifier: Apache-2.0
// The smallest server on an asio io_context: serves "double" (see doubler.h) on the port given as
// its argument (default 5001) until SIGINT or SIGTERM.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>

#include "doubler.h"
#include "net/loop/asio.h"

int main(int argc, char** argv) {
    asio::io_context io;
    NetAsioInput input(io);  // outlives the server, which withdraws its pipe from it
    NetServer* server = StartDoubler(argc, argv, input);  // io's thread is the main thread
    if (server == nullptr)
        return 1;
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code&, int) {
        delete server;  // on the loop's thread; with its pipe gone, run() runs out of work
    });
    io.run();  // every call reaches Doubler from here
    return 0;
}
