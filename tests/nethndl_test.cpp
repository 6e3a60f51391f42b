#include "net/nethndl.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "net/net_xdr.h"
#include "netpeer.h"
#include "netservimp.h"

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
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        *value += 1;
        flags |= NET_FLAG_RETURNDATA;
        Note("int");
        return 42;
    }
    std::string& log;
    std::string name;
    std::function<void()> during;
    NetHostHndl* hndl = nullptr;
};

class HostHandle : public testing::Test {
protected:
    HostHandle()
        : server(NetServer::CreateServer()), imp(static_cast<NetServerImp*>(server.get())) {
        imp->Init(new NetXDRImp, 6123);
    }
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

    std::unique_ptr<NetServer> server;
    NetServerImp* imp;
    std::string log;
};

}  // namespace

TEST_F(HostHandle, OwnEventObjectLivesUntilItsCallbacksReturn) {
    auto* handle = new NetHostHndl(1, imp, nullptr);
    EXPECT_EQ(handle->EventNetCreate(), 11);
    auto* own = new Probe(log, "own");
    handle->m_pEvent = own;  // attached but not active: data is refused, lifecycle delivered
    EXPECT_EQ(Integer(handle), 11);
    EXPECT_EQ(handle->EventConnectionCreated(), 1);
    handle->SetEventFunc(own);
    EXPECT_EQ(own->hndl, handle);
    std::int32_t value = 1;
    std::uint32_t flags = 0;
    EXPECT_EQ(handle->EventIntegerData(&value, flags), 42);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(flags, NET_FLAG_RETURNDATA);

    testutil::SocketPair pair;
    std::swap(handle->m_nServerSocket, pair.b);
    own->during = [&] {
        handle->CloseServer();
        log += "| ";
    };
    Integer(handle);
    EXPECT_EQ(log, "own.created own.int own.int own.closed own.destroy | own.deleted ");
    EXPECT_EQ(handle->m_pEvent, nullptr);
    EXPECT_TRUE(netpeer::ClientClosed(pair.a));

    // Closing again only forgets the socket and the peer's close.
    handle->m_nServerSocket = pair.a;
    handle->m_bPeerClosed = true;
    EXPECT_EQ(handle->CloseServer(), 1);
    EXPECT_EQ(handle->m_nServerSocket, -1);
    EXPECT_FALSE(handle->m_bPeerClosed);

    // Destroy inside a callback waits for its return (a leak check catches a handle left over).
    auto* next = new Probe(log, "next");
    handle->SetEventFunc(next);
    next->during = [&] {
        handle->m_bDestroyData = true;
        handle->Destroy();
        log += "| ";
    };
    log.clear();
    handle->EventConnectionCreated();
    EXPECT_EQ(log, "next.created | next.deleted ");
}

TEST_F(HostHandle, ListenerServedConnectionsDetachAndTheListenerGoesLast) {
    auto* event = new Probe(log, "L");
    NetHostHndl* listener = Listener(event);
    NetHostHndl* first = Served(0, listener);
    NetHostHndl* second = Served(1, listener);
    EXPECT_EQ(listener->m_usConnectCount, 3);
    EXPECT_EQ(event->hndl, second);

    event->during = [&] {
        EXPECT_EQ(listener->m_usCallCount, 1);
        EXPECT_TRUE(first->InCall());
    };
    EXPECT_EQ(Integer(first), 42);
    EXPECT_EQ(listener->m_usCallCount, 0);
    first->CloseServer();  // no NetDestroy: the event object is the listener's
    EXPECT_EQ(listener->m_usConnectCount, 2);
    EXPECT_EQ(first->m_pListener, nullptr);
    EXPECT_EQ(first->m_pEvent, nullptr);

    // The server lets go; closing the last connection inside its own callback keeps the
    // listener until the callback returns (the return used to be taken from the connection).
    listener->m_usConnectCount--;
    event->during = [&] {
        second->CloseServer();
        log += "| ";
    };
    Integer(second);
    EXPECT_EQ(log, "L.int L.closed L.int L.closed | L.deleted ");
    EXPECT_EQ(second->m_usCallCount, 0);
    EXPECT_EQ(second->m_usListenerCalls, 0);
    EXPECT_EQ(second->m_pListener, nullptr);
    delete first;
    delete second;
}

TEST_F(HostHandle, AcceptConnectionOnlyInsideTheConnectionsOwnCallback) {
    auto* event = new Probe(log, "L");
    NetHostHndl* listener = Listener(event);
    NetHostHndl* handle = Served(0, listener);
    NetHostHndl* other = Served(1, listener);
    auto* own = new Probe(log, "own");
    EXPECT_EQ(handle->AcceptConnection(own), 11);
    event->during = [&] { EXPECT_EQ(handle->AcceptConnection(own), 11); };
    other->EventConnectionCreated();
    EXPECT_TRUE(handle->m_bListenServed);
    EXPECT_EQ(handle->m_pEvent, event);
    other->CloseServer();
    listener->m_usConnectCount--;  // the server lets go: this connection holds the last reference

    log.clear();
    event->during = [&] {
        EXPECT_EQ(handle->AcceptConnection(own), 1);
        EXPECT_EQ(handle->AcceptConnection(own), 11);
        log += event->name + ".still ";  // the listener's event object outlives the takeover
    };
    handle->EventConnectionCreated();
    EXPECT_EQ(log, "L.created own.create L.still L.deleted ");
    EXPECT_EQ(own->hndl, handle);
    EXPECT_EQ(handle->m_pListener, nullptr);
    EXPECT_EQ(handle->m_usCallCount, 0);
    EXPECT_EQ(handle->m_usListenerCalls, 0);

    own->during = [&] { EXPECT_EQ(handle->m_usCallCount, 1); };
    EXPECT_EQ(Integer(handle), 42);
    handle->CloseServer();
    EXPECT_EQ(log,
              "L.created own.create L.still L.deleted own.int own.closed own.destroy "
              "own.deleted ");
    delete handle;
    delete other;
}

TEST_F(HostHandle, MatchingAndServiceTexts) {
    NetHostHndl handle(0, imp, nullptr);
    EXPECT_TRUE(handle.MatchHost(nullptr));
    EXPECT_FALSE(handle.MatchHost(""));
    EXPECT_TRUE(handle.MatchService(nullptr));
    EXPECT_TRUE(handle.MatchService(""));
    handle.m_bDestroyData = handle.m_bDeletePending = true;
    handle.m_usCallCount = 3;
    handle.UseHandle("Alpha", "svc:7011");
    EXPECT_FALSE(handle.m_bDestroyData || handle.m_bDeletePending || handle.m_usCallCount);
    EXPECT_TRUE(handle.MatchHost("ALPHA"));
    EXPECT_FALSE(handle.MatchHost(nullptr));
    EXPECT_TRUE(handle.MatchService("SVC"));
    EXPECT_FALSE(handle.MatchService(""));
    EXPECT_EQ(handle.m_usServicePort, 7011);

    handle.UseHandle("beta", "other:no-such-entry");  // names stay; the port does not
    EXPECT_STREQ(handle.m_pszHost, "Alpha");
    EXPECT_STREQ(handle.m_pszService, "svc");
    EXPECT_EQ(handle.m_usServicePort, 0);
    handle.UseHandle(nullptr, "svc");
    EXPECT_EQ(handle.m_usServicePort, 6123);
    servent* http = getservbyname("http", "tcp");
    handle.UseHandle(nullptr, "svc:http");
    EXPECT_EQ(handle.m_usServicePort, http ? ntohs(http->s_port) : 0);

    NetHostHndl unnamed(1, imp, nullptr);
    unnamed.UseHandle("h", std::string(300, 's').c_str());
    EXPECT_EQ(std::strlen(unnamed.m_pszService), 256u);
    NetHostHndl empty(2, imp, nullptr);
    empty.UseHandle("h", "");
    EXPECT_TRUE(empty.MatchService(nullptr));
    EXPECT_FALSE(empty.MatchService("svc"));
}

TEST_F(HostHandle, ConnectFallsBackToVersion1AndTraces) {
    FILE* trace = tmpfile();
    imp->TraceFile(trace);
    netpeer::Peer peer(
        [&](int fd, int n) {
            netpeer::Hello hello = netpeer::ReadHello(fd);
            EXPECT_EQ(hello.version, n == 0 ? 2u : 1u);
            EXPECT_EQ(hello.Host(), imp->LocalHost());  // this host, not the one called
            EXPECT_EQ(hello.Service(), "svc");
            netpeer::WriteWords(fd, {5});  // a version-1 server: no Unicode word
            if (n == 0) {
                EXPECT_TRUE(netpeer::ClientClosed(fd));  // it gives up and calls again
                return;
            }
            EXPECT_EQ(netpeer::ReadBytes(fd, 4), netpeer::Words({6}));
            netpeer::WriteWords(fd, {1});
        },
        2);
    NetHostHndl handle(3, imp, nullptr);
    handle.UseHandle("127.0.0.1", ("svc:" + std::to_string(peer.Port())).c_str());
    handle.m_bConnUnicode = handle.m_bUnicode = true;
    ASSERT_EQ(handle.CreateSocket("127.0.0.1", peer.Port()), 1);
    std::int32_t number = -1;
    EXPECT_EQ(handle.ConnectMsg(number), 1);
    EXPECT_EQ(number, 5);
    EXPECT_EQ(handle.m_ulVersion, 1u);
    EXPECT_FALSE(handle.m_bConnUnicode || handle.m_bUnicode);
    EXPECT_EQ(handle.CloseMsg(), 1);
    EXPECT_EQ(handle.CloseMsg(), 33);

    std::string text(1 << 16, '\0');
    fflush(trace);
    rewind(trace);
    text.resize(fread(&text[0], 1, text.size(), trace));
    const std::string port = std::to_string(peer.Port());
    for (std::string line :
         {"NetClient::ConnectMsg\n\t  host 127.0.0.1\n\t  service svc\n\t   port " + port +
              "\n\t  handle 3\n",
          std::string("Client connect message complete\n"), std::string("Close message handle 3\n"),
          std::string("Close message handle 3 return 33\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}
