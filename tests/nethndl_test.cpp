// SPDX-License-Identifier: Apache-2.0
#include "net/nethndl.h"

#include <gtest/gtest.h>

#include "net/net_xdr.h"
#include "servtest.h"

using namespace servtest;

namespace {

// Logs every callback as "name.what " and runs a one-shot action inside the next one.
struct Probe : NetEvent {
    Probe(std::string& log, const char* name) : log(log), name(name) {}
    ~Probe() override { log += name + ".deleted "; }
    void SetHndl(NetHostHndl* handle) override { hndl = handle; }
    std::int32_t Note(const char* what) {
        log += name + "." + what + " ";
        if (during)
            std::exchange(during, nullptr)();
        return 1;
    }
    std::int32_t NetCreate() override { return Note("create"); }
    std::int32_t NetDestroy() override { return Note("destroy"); }
    std::int32_t ConnectionCreated() override { return Note("created"); }
    std::int32_t ConnectionClosed() override { return Note("closed"); }
    std::int32_t IntegerData(std::int32_t*, std::uint32_t&) override { return Note("int"), 42; }
    std::string& log;
    std::string name;
    std::function<void()> during;
    NetHostHndl* hndl = nullptr;
};

class HostHandle : public testing::Test {
protected:
    HostHandle() { imp->Init(new NetXDRImp, 6123); }
    // The generic listener as the server sets it up: its own event object and its own reference.
    NetHostHndl* Listener(Probe* event) {
        auto* listener = new NetHostHndl(NET_LISTEN_HANDLE, imp, nullptr);
        listener->UseHandle(imp->LocalHost(), "");
        listener->SetListen(event);
        listener->m_usConnectCount = 1;
        return listener;
    }
    NetHostHndl* Served(std::int32_t number, NetHostHndl* listener) {
        auto* handle = new NetHostHndl(number, imp, nullptr);
        handle->SetListenHndl(listener);
        return handle;
    }
    std::int32_t Integer(NetHostHndl* handle) {
        std::int32_t value = 1;
        std::uint32_t flags = 0;
        return handle->EventIntegerData(&value, flags);
    }

    TraceCapture trace;  // outlives the server, which closes its stream
    std::unique_ptr<NetServerImp> server = MakeServer();
    NetServerImp* imp = server.get();
    std::string log;
};

}  // namespace

// Destroyed inside a callback, a handle goes once the callback returns: the ASan run's leak check
// fails if it never does.
TEST_F(HostHandle, OwnEventObjectLivesUntilItsCallbacksReturnUnderAsan) {
    auto* handle = new NetHostHndl(1, imp, nullptr);
    EXPECT_EQ(handle->EventNetCreate(), 11);
    auto* own = new Probe(log, "own");
    handle->m_pEvent = own;  // attached but not active: data is refused, lifecycle delivered
    EXPECT_EQ(Integer(handle), 11);
    EXPECT_EQ(handle->EventConnectionCreated(), 1);
    handle->SetEventFunc(own);
    EXPECT_EQ(Integer(handle), 42);

    SocketPair pair;
    std::swap(handle->m_nServerSocket, pair.b);
    own->during = [&] {
        handle->CloseServer();
        log += "| ";
    };
    Integer(handle);
    EXPECT_EQ(log, "own.created own.int own.int own.closed own.destroy | own.deleted ");
    EXPECT_TRUE(PeerEnded(pair.a));

    // Closing again only forgets the socket and the peer's close.
    handle->m_nServerSocket = pair.a;
    handle->m_bPeerClosed = true;
    EXPECT_EQ(handle->CloseServer(), 1);
    EXPECT_EQ(handle->m_nServerSocket, -1);
    EXPECT_FALSE(handle->m_bPeerClosed);

    // Destroy inside a callback waits for its return.
    auto* next = new Probe(log, "next");
    handle->SetEventFunc(next);
    log.clear();
    next->during = [&] {
        handle->m_bDestroyData = true;
        handle->Destroy();
        log += "| ";
    };
    handle->EventConnectionCreated();
    EXPECT_EQ(log, "next.created | next.deleted ");
}

// Connections the listener serves borrow its event object and count their calls on it. One is
// closed outside its callbacks, one taken over, one closed inside its own callback, which
// releases the listener only when that callback returns (its return was once taken from the
// connection).
TEST_F(HostHandle, ListenerServedConnectionsDetachTakeOverAndTheListenerGoesLast) {
    auto* event = new Probe(log, "L");
    NetHostHndl* listener = Listener(event);
    NetHostHndl* closed = Served(0, listener);
    NetHostHndl* taken = Served(1, listener);
    NetHostHndl* last = Served(2, listener);

    auto* own = new Probe(log, "own");
    EXPECT_EQ(taken->AcceptConnection(own), 11);  // outside any callback
    event->during = [&] {
        EXPECT_TRUE(closed->InCall());
        EXPECT_EQ(taken->AcceptConnection(own), 11);  // inside another connection's callback
    };
    EXPECT_EQ(Integer(closed), 42);
    closed->CloseServer();  // no NetDestroy: the event object is the listener's
    EXPECT_EQ(closed->m_pListener, nullptr);
    listener->m_usConnectCount--;  // the server lets go

    event->during = [&] {
        EXPECT_EQ(taken->AcceptConnection(own), 1);
        EXPECT_EQ(taken->AcceptConnection(own), 11);
        log += "L.still ";  // the listener's event object outlives the takeover
    };
    taken->EventConnectionCreated();
    EXPECT_EQ(taken->m_pListener, nullptr);

    event->during = [&] {
        last->CloseServer();
        log += "| ";
    };
    Integer(last);
    EXPECT_EQ(last->m_pListener, nullptr);

    own->during = [&] { EXPECT_EQ(taken->m_usCallCount, 1); };
    EXPECT_EQ(Integer(taken), 42);
    taken->CloseServer();
    EXPECT_EQ(log,
              "L.int L.closed L.created own.create L.still L.int L.closed | L.deleted own.int "
              "own.closed own.destroy own.deleted ");
    delete closed;
    delete taken;
    delete last;
}

TEST_F(HostHandle, MatchingAndServiceTexts) {
    NetHostHndl unnamed(0, imp, nullptr), handle(1, imp, nullptr);
    EXPECT_TRUE(unnamed.MatchHost(nullptr) && unnamed.MatchService(nullptr));
    EXPECT_TRUE(unnamed.MatchService(""));  // no service and an empty one are the same
    EXPECT_FALSE(unnamed.MatchHost(""));    // no host and an empty one are not
    handle.UseHandle("Alpha", "svc:7011");
    EXPECT_TRUE(handle.MatchHost("ALPHA") && handle.MatchService("SVC"));
    EXPECT_FALSE(handle.MatchHost(nullptr) || handle.MatchService(""));

    // A reused handle keeps the names first given; the port follows each new text.
    handle.UseHandle("beta", "other:7012");
    EXPECT_STREQ(handle.m_pszHost, "Alpha");
    EXPECT_STREQ(handle.m_pszService, "svc");
    EXPECT_EQ(handle.m_usServicePort, 7012);
    unnamed.UseHandle("h", std::string(300, 's').c_str());
    EXPECT_EQ(std::strlen(unnamed.m_pszService), 256u);
}

TEST_F(HostHandle, ConnectFallsBackToVersion1AndTraces) {
    imp->TraceFile(trace.Stream());
    Peer peer(
        [&](int fd, int n) {
            const Hello hello(fd);
            EXPECT_EQ(hello.version, n == 0 ? 2u : 1u);
            EXPECT_EQ(hello.Host(), imp->LocalHost());  // this host, not the one called
            EXPECT_EQ(hello.Service(), "svc");
            WriteAll(fd, Words({5}));  // a version-1 server: no Unicode word
            if (n == 0) {
                EXPECT_TRUE(PeerEnded(fd));  // it gives up and calls again
                return;
            }
            EXPECT_EQ(ReadBytes(fd, 4), Words({6}));
            WriteAll(fd, Words({1}));
        },
        2);
    NetHostHndl handle(3, imp, nullptr);
    const std::string port = std::to_string(peer.Port());
    handle.UseHandle("127.0.0.1", ("svc:" + port).c_str());
    handle.m_bConnUnicode = handle.m_bUnicode = true;
    ASSERT_EQ(handle.CreateSocket("127.0.0.1", peer.Port()), 1);
    std::int32_t number = -1;
    EXPECT_EQ(handle.ConnectMsg(number), 1);
    EXPECT_EQ(number, 5);
    EXPECT_EQ(handle.m_ulVersion, 1u);
    EXPECT_FALSE(handle.m_bConnUnicode || handle.m_bUnicode);
    EXPECT_EQ(handle.CloseMsg(), 1);
    EXPECT_EQ(handle.CloseMsg(), 33);

    EXPECT_TRUE(trace.Has("Close message handle 3 return 33"));
}
