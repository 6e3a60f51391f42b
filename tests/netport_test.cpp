// SPDX-License-Identifier: Apache-2.0
// Listening ports: shared by registrations and closed with the last, bound where the settings
// say, failing without leaving anything open, and accepting a burst of connections.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "netport.h"
#include "servtest.h"

using namespace servtest;

namespace {

// Whether the system accepts a connection on the loopback port.
bool Accepts(std::uint16_t port) {
    const int fd = ConnectRaw(port);
    return fd >= 0 && close(fd) == 0;
}

std::string OnPort(const char* name, std::uint16_t port) {
    return std::string(name) + ":" + std::to_string(port);
}

class Ports : public ::testing::Test {
protected:
    Stats counts;  // the server's event objects count here
    LoopServer ls;
    NetServerImp* server = ls.server.get();
};

// Registrations share a port; the last removal closes it at once.
TEST_F(Ports, SharedByRegistrationsAndClosedWithTheLast) {
    const std::uint16_t port = FreePort();
    ASSERT_EQ(server->RegisterFunc(OnPort("one", port).c_str(), new EchoEvent(counts)), 1);
    NetServerPort* netPort = server->FindPort(port);
    ASSERT_NE(netPort, nullptr);
    ASSERT_EQ(server->RegisterFunc(OnPort("two", port).c_str(), new EchoEvent(counts)), 1);
    EXPECT_EQ(server->FindPort(port), netPort);
    EXPECT_EQ(server->UnRegisterFunc(OnPort("one", port).c_str()), 1);
    EXPECT_TRUE(Accepts(port));
    EXPECT_EQ(server->UnRegisterFunc(OnPort("TWO", port).c_str()), 1);
    EXPECT_EQ(server->FindPort(port), nullptr);
    EXPECT_FALSE(Accepts(port));
    EXPECT_EQ(counts.destroyed, 2);
}

// Ports listen on all local addresses unless the settings name one; an address that is none,
// or a port bound elsewhere, fails with 10 rather than fall back to another address.
TEST_F(Ports, ListenOnTheBindAddressOrFailWith10) {
    EchoEvent event(counts);  // refused, so it stays the caller's
    Listener taken;
    EXPECT_EQ(server->RegisterFunc(OnPort("svc", taken.port).c_str(), &event), 10);
    EXPECT_EQ(server->FindPort(taken.port), nullptr);
    EXPECT_TRUE(ls.trace.Has("NetServerPort::NetServerPort bind failed"));
    server->Init(server->Xdr(), taken.port);  // before any connection: no thread reads it yet
    EXPECT_EQ(server->SetListen(&event), 10);
    EXPECT_EQ(server->m_pListenPort, nullptr);
    for (const std::uint32_t address : {INADDR_ANY, INADDR_LOOPBACK}) {
        server->Settings().ulBindAddress = htonl(address);
        const std::uint16_t port = FreePort();
        ASSERT_EQ(server->RegisterFunc(OnPort("svc", port).c_str(), new EchoEvent(counts)), 1);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(server->FindPort(port)->m_nSocket, reinterpret_cast<sockaddr*>(&bound),
                    &length);
        EXPECT_EQ(bound.sin_addr.s_addr, htonl(address));
        EXPECT_TRUE(Accepts(port));
    }
    server->Settings().ulBindAddress = htonl(INADDR_NONE);
    EXPECT_EQ(server->RegisterFunc(OnPort("svc", FreePort()).c_str(), &event), 10);
}

// A client thread with a small stack: a thousand of them fit anywhere.
struct BurstClient : ZoThread {
    BurstClient(std::shared_future<void> start, std::uint16_t port, std::atomic<int>& served)
        : start(std::move(start)), port(port), served(served) {}
    void Run() override {
        start.wait();
        Client c;
        served += c.Connect(port, "echo", "burst") == NET_OK && c.Call(3) == 6 &&
                  c.client.CloseMsg(c.handle) == NET_OK;
    }
    std::shared_future<void> start;
    std::uint16_t port;
    std::atomic<int>& served;
};

// 1,000 clients released at the same moment each complete the handshake and a call. (A fixed
// bug: a listen backlog of 10 made 20 of 64 such clients fail, and 139 of 300.)
TEST(PortBurst, AThousandClientsConnectingAtOnceAreAllServed) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    // Three descriptors a client here: its socket, the server's and the handle's.
    const int count = static_cast<int>(std::min<rlim_t>(1000, (files.rlim_cur - 100) / 3));
    Stats stats;
    EchoServer ls(stats);
    std::promise<void> go;
    const std::shared_future<void> start = go.get_future().share();
    std::atomic<int> served{0};
    std::vector<std::unique_ptr<BurstClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<BurstClient>(start, ls.Port(), served));
        EXPECT_NE(clients.back()->Create(ZoThread::kMinStack, 1), 0u) << i;
    }
    go.set_value();
    for (const auto& client : clients)
        client->Join();
    EXPECT_EQ(served, count);
    ExpectAllClosed(*ls.server, stats);
}

}  // namespace
