#include "net/nethndl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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
