// SPDX-License-Identifier: Apache-2.0
// The handshake over loopback: which service a connection reaches, refusals and what they leave
// behind, the deadline, the quota and the cap, a full handle table, and a connect message on an
// established connection.
#include <gtest/gtest.h>

#include "netnode.h"
#include "servtest.h"

using namespace servtest;

namespace {

class HandshakeTest : public ::testing::Test {
protected:
    void Register(const std::string& service, Stats& counts) {
        ASSERT_EQ(ls.server->RegisterFunc(service.c_str(), new EchoEvent(counts)), 1);
    }
    Stats stats, listener, refusing;  // outlive the server, which deletes their objects
    LoopServer ls;
};

// Named services match in any case on their own port only, an unnamed one takes any name on
// its port, and the generic listener takes what is left on the default port alone.
TEST_F(HandshakeTest, ServiceBindingRules) {
    const std::uint16_t p2 = FreePort(), p3 = FreePort();
    Register("echo", stats);
    Register(OnPort("", p2), stats);
    Register(OnPort("other", p3), stats);
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listener)), 1);
    ls.Start();
    Client named, unnamed, right, toListener, wrongPort;
    EXPECT_EQ(named.Connect(ls.Port(), "ECHO"), 1);
    EXPECT_EQ(unnamed.Connect(p2, "anything"), 1);
    EXPECT_EQ(right.Connect(p3, "other"), 1);
    EXPECT_EQ(toListener.Connect(ls.Port(), "other"), 1);
    EXPECT_EQ(wrongPort.Connect(p3, "echo"), 31);
    EXPECT_TRUE(ls.trace.WaitFor("NetServer::CreateConnection - Service echo port " +
                                 std::to_string(p3) + " Not Found"));  // traced after the answer
    for (Client* c : {&named, &unnamed, &right, &toListener})
        EXPECT_EQ(c->Call(2), 4);
    EXPECT_EQ(stats.created, 3);
    EXPECT_EQ(listener.created, 1);
    EXPECT_EQ(toListener.client.CloseMsg(toListener.handle), 1);
    ASSERT_TRUE(WaitUntil([&] { return listener.closed == 1; }));
    EXPECT_EQ(listener.netDestroy, 0);  // the listener's object serves on
}

// However a connection ends, it ends once and its handle goes to the next connection of the
// same host and service: closed, vanished, refused by a service's NetCreate (after its number
// went out) or by the generic listener's ConnectionCreated.
TEST_F(HandshakeTest, EndedOrRefusedConnectionsFreeTheirHandle) {
    const std::uint16_t p2 = FreePort();
    Register("echo", stats);
    Register(OnPort("svc", p2), refusing);
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listener)), 1);
    refusing.createResult = 0;
    listener.createdResult = 0;
    ls.Start();
    struct Row {
        std::uint16_t port;
        const char *service, *host;
        std::int32_t handle = -1;
    } rows[] = {{ls.Port(), "echo", "closes"},
                {ls.Port(), "echo", "vanishes"},
                {p2, "svc", "refused"},
                {ls.Port(), "any", "refused"}};
    for (std::size_t i = 0; i < 4; ++i) {
        Client c;
        ASSERT_EQ(c.Connect(rows[i].port, rows[i].service, rows[i].host), 1);
        rows[i].handle = c.handle;
        if (i == 0) {
            EXPECT_EQ(c.client.CloseMsg(c.handle), 1);
        } else if (i >= 2) {  // the number went out before the refusal
            EXPECT_EQ(c.Call(1), -1000 - 32);
        }
    }  // the second vanishes here
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == 2 && stats.destroyed == 2; }));
    EXPECT_EQ(stats.netDestroy, 2);
    EXPECT_EQ(refusing.created + refusing.netDestroy, 0);
    EXPECT_EQ(refusing.destroyed, 1);  // the refused copy
    EXPECT_EQ(listener.created, 1);
    EXPECT_EQ(ls.trace.Count("NetServer::MsgUser MSG_CONNECT - Connection refused"), 2);

    refusing.createResult = 1;
    listener.createdResult = 1;
    for (const Row& row : rows) {
        ASSERT_TRUE(WaitUntil([&] {
            Client probe;  // a handle is free once its input thread has given it back
            return probe.Connect(row.port, row.service, row.host) == 1 &&
                   probe.handle == row.handle && probe.Call(4) == 8;
        })) << row.host;
    }
    EXPECT_EQ(listener.destroyed, 0);  // the refusal did not take the listener's object along
}

// The main thread binds no event object when the service's Clone gives none, or when the
// service was replaced while the connection waited: the input thread is released all the same.
TEST_F(HandshakeTest, UnboundConnectionsReleaseTheirInputThread) {
    const std::uint16_t port = FreePort();
    refusing.clones = false;
    Register(OnPort("noclone", port), refusing);
    Register(OnPort("echo", port), stats);
    ls.Start();
    for (const auto& [service, serialShift] :
         {std::make_pair("noclone", 0), std::make_pair("echo", 9)}) {
        NetRegisterNode* node;
        {
            ZoLock lock(ls.server->m_TableLock);
            node = ls.server->FindFunc(service, port);
        }
        ASSERT_NE(node, nullptr);
        NetHostHndl* handle = ls.server->CreateHndl("peer", service);
        NetConnection connection{
            -1, ls.server.get(), node, handle, node->m_ullSerial + serialShift, false};
        EXPECT_TRUE(ls.server->SendToMainThread(handle, MSG_NETCONNECT, &connection));
        EXPECT_TRUE(connection.bRefused) << service;
        EXPECT_EQ(handle->m_pEvent, nullptr);
    }
    EXPECT_EQ(stats.netCreate + stats.created + stats.destroyed, 0);
    EXPECT_EQ(refusing.netCreate + refusing.created + refusing.destroyed, 0);
}

// The deadline bounds the whole handshake, from accept to the answer. (A fixed bug: it bounded
// each read, so a peer sending a byte at a time stayed for minutes.)
TEST(HandshakeLimits, DeadlineDropsSilentStalledAndTricklingPeers) {
    Stats stats;
    EchoServer ls(stats);
    ls.server->Settings().lHandshakeTimeoutMs = 200;
    const int silent = ConnectRaw(ls.Port()), stalled = ConnectRaw(ls.Port());
    WriteAll(stalled, "\0\0", 2);  // half an identifier, then nothing
    const int versionless = ConnectRaw(ls.Port());
    WriteAll(versionless, Handshake("echo").data(), 6);  // an identifier and half a version
    const int blockless = ConnectRaw(ls.Port());
    WriteAll(blockless, Handshake("echo").data(), 100);
    // Within the deadline a connect message may come in parts; the server puts them together.
    const int split = ConnectRaw(ls.Port());
    const Bytes hello = Handshake("echo");
    WriteAll(split, hello.data(), 100);
    poll(nullptr, 0, 20);  // lets the server find the first part alone
    WriteAll(split, &hello[100], hello.size() - 100);
    EXPECT_LT(ReadWord(split), std::uint32_t(NET_LISTEN_HANDLE));  // a handle number
    close(split);
    // One byte every 20 ms: the whole connect message would take 10 s.
    const int trickling = ConnectRaw(ls.Port());
    std::size_t sent = 0;
    for (pollfd ended{trickling, POLLIN, 0}; sent < hello.size() && poll(&ended, 1, 20) == 0;)
        sent += WriteAll(trickling, &hello[sent], 1);
    EXPECT_LT(sent, hello.size());
    for (int fd : {silent, stalled, versionless, blockless, trickling}) {
        EXPECT_TRUE(PeerEnded(fd));
        close(fd);
    }
    EXPECT_GE(ls.trace.Count("+++No data recieved from client after connect 127.0.0.1"), 2);
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 1"));
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 2"));
    ExpectServed(ls.Port());  // calls after the handshake may come as late as they like
}

// Peers still in their handshake count against a quota of their own, not the cap: a few
// trickling peers no longer keep every real client out (a fixed bug). A peer over the quota or
// the cap reads the refusal -3, then the end of the stream, not a reset.
TEST(HandshakeLimits, QuotaAndConnectionCapRefuseWithAnAnswer) {
    Stats stats;
    EchoServer ls(stats);
    NetServerImp& server = *ls.server;
    server.Settings().ulMaxConnections = 1;
    server.Settings().ulMaxHandshakes = 3;
    const auto counted = [&](std::uint32_t handshakes, std::uint32_t established) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(server.m_StageMutex);
            return server.m_ulHandshakes == handshakes && server.m_ulEstablished == established;
        });
    };
    const auto refused = [](int fd) {
        WriteAll(fd, Handshake("echo"));
        EXPECT_EQ(ReadWord(fd), static_cast<std::uint32_t>(NET_REPLY_NO_MEMORY));
        char c;
        EXPECT_EQ(recv(fd, &c, 1, 0), 0);
        close(fd);
    };
    std::vector<int> trickling{ConnectRaw(ls.Port())};
    const int late = ConnectRaw(ls.Port());  // admitted now, its connect message sent below
    WriteAll(trickling[0], "\0", 1);
    ASSERT_TRUE(counted(2, 0));
    Client served;
    ASSERT_EQ(served.Connect(ls.Port()), NET_OK);
    ASSERT_TRUE(counted(2, 1));
    refused(late);  // over the cap once its connect message has arrived
    Client over;
    EXPECT_EQ(over.Connect(ls.Port()), NET_NO_MEMORY);  // over the cap as it is accepted
    EXPECT_EQ(served.Call(1), 2);
    EXPECT_EQ(served.client.CloseMsg(served.handle), NET_OK);
    ASSERT_TRUE(counted(1, 0));
    trickling.push_back(ConnectRaw(ls.Port()));
    trickling.push_back(ConnectRaw(ls.Port()));
    ASSERT_TRUE(counted(3, 0));
    refused(ConnectRaw(ls.Port()));  // over the quota
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection connection limit 1 reached"));
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread connection limit 1 reached"));
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread handshake quota 3 reached"));
    for (const int fd : trickling)
        close(fd);
    ASSERT_TRUE(counted(0, 0));
    ExpectServed(ls.Port());
}

// Peers choose host names: a table filled to its limit with handles nothing uses, one per name
// (built here directly: CreateHndl's search for the lowest free entry is quadratic), still takes
// a host it has never seen.
TEST(HandshakeLimits, AFullHandleTableStillTakesNewHosts) {
    Stats stats;
    EchoServer ls(stats);
    {
        NetServerImp& server = *ls.server;
        ZoLock lock(server.m_TableLock);
        const std::uint32_t limit = NET_LISTEN_HANDLE;
        auto** table =
            static_cast<NetHostHndl**>(realloc(server.m_ppHandles, limit * sizeof(NetHostHndl*)));
        ASSERT_NE(table, nullptr);
        server.m_ppHandles = table;
        for (std::uint32_t i = 0; i < limit; ++i) {
            if (i >= server.m_ulHandleCount || table[i] == nullptr) {
                table[i] = new NetHostHndl(static_cast<std::int32_t>(i), &server, nullptr);
                table[i]->UseHandle(("h" + std::to_string(i)).c_str(), "echo");
            }
            table[i]->m_bConnecting = false;
        }
        server.m_ulHandleCount = limit;
    }
    ASSERT_EQ(ls.server->CreateHndl("one", "more"), nullptr);
    ExpectServed(ls.Port());
    Client again;
    ASSERT_EQ(again.Connect(ls.Port(), "echo", "another"), NET_OK);
    EXPECT_LT(again.handle, NET_LISTEN_HANDLE);
    EXPECT_EQ(again.Call(1), 2);
}

}  // namespace
