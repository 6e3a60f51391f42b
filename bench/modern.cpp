// SPDX-License-Identifier: Apache-2.0
#include "modern.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "zornet/client.h"
#include "zornet/server.h"

namespace bench {

namespace {

// A port found free may be taken again before the server listens on it: try a few.
std::unique_ptr<zornet::Server> ServeIncrement(const Budget& budget, std::uint16_t& port) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        zornet::Server::Options options;
        options.port = port = FreeLoopbackPort();
        options.settings = NetSettings::FromEnvironment();
        options.settings->ulThreadStack = budget.threadStack;
        try {
            auto server = std::make_unique<zornet::Server>(options);
            server->Serve("bench", [](int x) { return x + 1; });
            return server;
        } catch (const zornet::Error& error) {
            std::fprintf(stderr, "zornet_bench: zornet::Server: %s\n", error.what());
        }
    }
    return nullptr;
}

}  // namespace

Latencies ModernIntegerLatency(const Budget& budget) {
    Latencies lat;
    std::uint16_t port = 0;
    std::unique_ptr<zornet::Server> server = ServeIncrement(budget, port);
    if (server == nullptr)
        return lat;
    std::atomic<int> closed{0};
    server->OnClose([&](zornet::Connection&) { ++closed; });
    WithMainLoop([&] { server->Run(); }, [&] { server->Stop(); },
                 [&] {
                     try {
                         zornet::Client client("127.0.0.1", "bench", port);
                         std::int32_t next = 0;
                         lat = MeasureLatency(budget, [&] {
                             const zornet::Reply<std::int32_t> reply = client.Call(++next);
                             return reply.Ok() && reply.value == next + 1;
                         });
                     } catch (const zornet::Error& error) {
                         std::fprintf(stderr, "zornet_bench: zornet::Client: %s\n", error.what());
                         lat.ns.clear();
                     }
                     // The close reaches the main thread before the server goes.
                     WaitUntil([&] { return closed.load() >= 1; }, 30);
                 });
    return lat;
}

}  // namespace bench
