// SPDX-License-Identifier: Apache-2.0
// The event-loop adapters (net/loop/*.h), each on its own loop running on a thread of the test:
// a server served from that loop end to end, and destroyed there.
#include "netservimp.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "loophost.h"
#include "servtest.h"

using namespace servtest;

namespace {

class Loop : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        host = loophost::Make(GetParam());
        ASSERT_TRUE(host != nullptr);
    }
    void TearDown() override {
        if (!thread.joinable())
            return;
        host->Stop();
        if (!WaitUntil([&] { return stopped.load(); })) {
            std::fprintf(stderr, "the %s loop does not stop\n", GetParam().c_str());
            std::abort();  // a thread that cannot be joined: fail now rather than hang
        }
        thread.join();
    }
    void StartLoop() {
        thread = std::thread([this] { host->Run(), stopped = true; });
        stats.mainThread = thread.get_id();
    }
    // Runs task on the loop's thread and waits until it has run.
    bool OnLoop(std::function<void()> task) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        host->Post([task, done] { task(), *done = true; });
        return WaitUntil([&] { return done->load(); });
    }

    std::unique_ptr<loophost::Host> host;
    std::thread thread;
    std::atomic<bool> stopped{false};
    Stats stats;  // outlives the server, which deletes the event objects
    std::unique_ptr<NetServerImp> server;
};

// Concurrent clients connect, make integer, string, user and one-way calls and close, again and
// again; then each keeps one connection busy while the server is destroyed on the loop's thread.
TEST_P(Loop, ServesConcurrentClientsOnItsThreadAndIsDestroyedThereUnderLoad) {
    constexpr int kClients = 4, kRounds = 10;
    server = MakeServer();
    server->Init(new NetXDRImp, FreePort());
    server->StartServer(&host->Registration());
    ASSERT_EQ(server->RegisterFunc("echo", new EchoEvent(stats)), 1);
    StartLoop();
    const std::uint16_t port = server->Port();

    std::atomic<int> wrong{0}, loading{0}, answered{0};
    auto round = [&](Client& c, int n) {  // each kind of call, known by its status
        ZoErrorCode error = 0;
        char text[] = "abc";
        MSGSTRINGCALL sc{text, 0, 0, c.handle};
        wrong += c.Call(n) != 2 * n || c.client.StringMsg(sc, error).ulStatus != 7;
        for (const std::uint32_t flags : {0u, NET_FLAG_NOREPLY}) {
            MSGUSERCALL uc = UserCall(c.handle, flags, {"t"}, {n});
            MSGUSERCALL u = c.client.UserMsg(uc, error);
            wrong += u.ulStatus != (flags == 0 ? 8u : 1u);
            c.xdr.UserCall(-1, XDR_FREE, uc, 0);
            c.xdr.UserCall(-1, XDR_FREE, u, 0);
        }
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            const std::string name = "client" + std::to_string(i);
            for (int n = 0; n < kRounds; ++n) {
                Client c;
                if (c.Connect(port, "echo", name.c_str()) != NET_OK)
                    return void(++wrong);
                round(c, n);
                wrong += c.client.CloseMsg(c.handle) != NET_OK;
            }
            Client c;
            if (c.Connect(port, "echo", name.c_str()) != NET_OK)
                return void(++wrong);
            ++loading;
            CallUntilLost(c, 1000000, answered, wrong);
        });
    }
    EXPECT_TRUE(WaitUntil([&] {  // every connection bound, every round's calls served
        return loading == kClients && answered > 100 && stats.oneWay == kClients * kRounds &&
               stats.closed == kClients * kRounds && stats.netCreate == kClients * (kRounds + 1);
    }));
    EXPECT_TRUE(OnLoop([&] { server.reset(); }));
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(stats.offThread, 0);
    EXPECT_EQ(stats.destroyed, stats.netCreate + 1);  // and the registered one
}

INSTANTIATE_TEST_SUITE_P(Adapters, Loop, ::testing::ValuesIn(loophost::Names()),
                         [](const auto& info) { return info.param; });

}  // namespace
