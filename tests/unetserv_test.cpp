// The main-thread event pipe: records in and out whole and in order, a full pipe that never
// blocks a poster, and the handlers' answers, refusals and releases.
#include "netservimp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "net/nethndl.h"
#include "netnode.h"
#include "netserv_mainloop.h"
#include "zo/zostring.h"

using mainloop::Gate;
using mainloop::LoopServer;

namespace {

// What the application saw, across all event objects of a test.
struct Seen {
    std::mutex mutex;
    std::vector<std::pair<std::int32_t, std::uint32_t>> users;  // handle number, flags
    std::vector<std::string> texts;                             // first string value of each
    std::atomic<int> integers{0};
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::size_t UserCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return users.size();
    }
};

class PipeEvent : public NetEvent {
public:
    PipeEvent(Seen& seen, std::int32_t number, Gate* gate = nullptr)
        : m_seen(seen), m_number(number), m_gate(gate) {}
    ~PipeEvent() override { ++m_seen.destroyed; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        ++m_seen.integers;
        if (m_gate != nullptr)
            m_gate->Pass();
        *value += 1;
        flags |= NET_FLAG_RETURNDATA;
        return 5;
    }
    std::int32_t UserData(void* data, std::uint32_t& flags) override {
        if (m_gate != nullptr)
            m_gate->Pass();
        std::lock_guard<std::mutex> lock(m_seen.mutex);
        m_seen.users.emplace_back(m_number, flags);
        auto* block = static_cast<MSGUSERDATA*>(data);
        if (block != nullptr && block->lCount > 0 && block->pValues[0].kind == NET_KIND_STRING)
            m_seen.texts.emplace_back(block->pValues[0].data.pString->mbcs());
        return 6;
    }
    std::int32_t ConnectionCreated() override {
        ++m_seen.created;
        return 1;
    }

private:
    Seen& m_seen;
    std::int32_t m_number;
    Gate* m_gate;
};

// Registered with a service: what each connection gets, or a refusal.
class ServiceEvent : public NetEvent {
public:
    ServiceEvent(Seen& seen, bool clones, std::int32_t createResult)
        : m_seen(seen), m_clones(clones), m_createResult(createResult) {}
    NetEvent* Clone() override {
        return m_clones ? new ServiceEvent(m_seen, false, m_createResult) : nullptr;
    }
    std::int32_t NetCreate() override { return m_createResult; }
    std::int32_t ConnectionCreated() override {
        ++m_seen.created;
        return 1;
    }
    ~ServiceEvent() override { ++m_seen.destroyed; }

private:
    Seen& m_seen;
    bool m_clones;
    std::int32_t m_createResult;
};

// A posted (not waited-for) user call whose flags carry a tag the application records.
void PostTagged(NetServerImp& server, std::int32_t handle, std::uint32_t tag) {
    auto* call = new MSGUSERCALL{};
    call->lHandle = handle;
    call->ulFlags = (tag << 8) | NET_FLAG_NOREPLY;
    ASSERT_EQ(server.PostEvent(MSG_NETUSER, reinterpret_cast<void*>(1), call), 1);
}

// Per handle, the tags in the order the application saw them must be 0, 1, 2, ...
void ExpectInOrder(Seen& seen, const std::vector<NetHostHndl*>& handles, std::uint32_t each) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_EQ(seen.users.size(), handles.size() * each);
    std::vector<std::uint32_t> next(handles.size(), 0);
    for (const auto& [number, flags] : seen.users) {
        ASSERT_GE(number, 0);
        ASSERT_LT(static_cast<std::size_t>(number), handles.size());
        ASSERT_EQ(flags >> 8, next[number]++) << "handle " << number;
    }
}

// A user call with one string value, built the way the decoder builds one.
MSGUSERCALL StringCall(std::int32_t handle, std::uint32_t flags, const char* text) {
    auto* block = new MSGUSERDATA{};
    block->lCount = 1;
    block->pValues = new sL_VALUE[1];
    block->pValues[0].usType = NET_TYPE_STRING;
    block->pValues[0].kind = NET_KIND_STRING;
    block->pValues[0].fValid = 1;
    block->pValues[0].data.pString = new ZoString(text);
    MSGUSERCALL call{};
    call.ulFlags = flags;
    call.lHandle = handle;
    call.pData = block;
    return call;
}

class EventPipe : public ::testing::Test {
protected:
    // Handles 0..n-1 of the table, each with an event object that records into seen.
    std::vector<NetHostHndl*> MakeHandles(int n, Gate* gate = nullptr) {
        std::vector<NetHostHndl*> handles;
        for (int i = 0; i < n; ++i) {
            NetHostHndl* h = ls.server->CreateHndl("peer", "svc");
            h->SetEventFunc(new PipeEvent(seen, h->m_lHandle, gate));
            handles.push_back(h);
        }
        return handles;
    }

    Seen seen;
    LoopServer ls;
    NetXDRImp xdr;
};

TEST_F(EventPipe, IdsOutsideTheRangeAreDroppedAndTheNextRecordIsHandled) {
    auto handles = MakeHandles(1);
    ls.Start();
    MSGINTCALL call{1, 0, 0, handles[0]->m_lHandle};
    // Dispatched, either would reach the application's IntegerData.
    ls.server->PostEvent(0x14FF, nullptr, &call);
    ls.server->PostEvent(0x1506, nullptr, &call);
    PostTagged(*ls.server, handles[0]->m_lHandle, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return seen.UserCount() == 1; }));
    EXPECT_EQ(seen.integers, 0);
    EXPECT_EQ(call.ulStatus, 0u);
}

TEST_F(EventPipe, ConcurrentPostsArriveWholeAndInOrderPerThread) {
    constexpr std::uint32_t kEach = 300;
    auto handles = MakeHandles(8);
    ls.Start();
    std::vector<std::thread> posters;
    for (NetHostHndl* h : handles)
        posters.emplace_back([&, h] {
            for (std::uint32_t tag = 0; tag < kEach; ++tag)
                PostTagged(*ls.server, h->m_lHandle, tag);
        });
    for (auto& t : posters)
        t.join();
    ASSERT_TRUE(testutil::WaitUntil([&] { return seen.UserCount() == handles.size() * kEach; }));
    ExpectInOrder(seen, handles, kEach);
}

// Thousands of events while the main thread is stuck in a callback: no poster blocks, not even
// one holding the table lock as a closing connection does, and all arrive in order later.
TEST_F(EventPipe, FullPipeNeverBlocksPostersAndLosesNothing) {
    constexpr std::uint32_t kEach = 2500;  // 4 x 2500 records are several pipes full
    Gate gate;
    auto posterHandles = MakeHandles(4);
    NetHostHndl* busy = ls.server->CreateHndl("peer", "busy");
    busy->SetEventFunc(new PipeEvent(seen, busy->m_lHandle, &gate));
    ls.Start();

    MSGINTCALL held{1, 0, 0, busy->m_lHandle};
    std::atomic<std::int32_t> heldResult{-1};
    std::thread caller(
        [&] { heldResult = ls.server->SendToMainThread(busy, MSG_NETINTEGER, nullptr, &held); });
    ASSERT_TRUE(testutil::WaitUntil([&] { return gate.Entered(); }));

    std::atomic<int> finished{0};
    std::vector<std::thread> posters;
    for (NetHostHndl* h : posterHandles)
        posters.emplace_back([&, h] {
            const bool holdTable = h == posterHandles[0];
            if (holdTable)
                ls.server->m_TableLock.Acquire();
            for (std::uint32_t tag = 0; tag < kEach; ++tag)
                PostTagged(*ls.server, h->m_lHandle, tag);
            if (holdTable)
                ls.server->m_TableLock.Release();
            ++finished;
        });
    if (!testutil::WaitUntil([&] { return finished == 4; })) {
        // Stuck for good: one poster holds the table lock, so nothing can be joined or freed.
        ADD_FAILURE() << "a poster blocked on the full pipe";
        std::_Exit(1);
    }
    std::size_t overflow;
    {
        ZoLock lock(ls.server->m_PipeLock);
        overflow = ls.server->m_Overflow.size();
    }
    gate.Open();
    for (auto& t : posters)
        t.join();
    caller.join();

    EXPECT_GT(overflow, 0u) << "the pipe never filled";
    ASSERT_TRUE(testutil::WaitUntil([&] { return seen.UserCount() == 4 * kEach; }));
    ExpectInOrder(seen, posterHandles, kEach);
    EXPECT_EQ(heldResult, 0);
    EXPECT_EQ(held.ulStatus, 5u);
}

// Whatever a record names, the connection that sent it is answered and released, and no other
// connection's event object hears of it.
TEST_F(EventPipe, CallNamingMissingOrForeignHandleIsAnswered27AndReleasesItsSender) {
    auto handles = MakeHandles(2);
    NetHostHndl* own = handles[0];
    ls.Start();

    // Main thread: the handle named does not exist.
    MSGINTCALL missing{1, 0, 0, 77};
    std::atomic<bool> released{false};
    std::thread sender([&] {
        ls.server->SendToMainThread(own, MSG_NETINTEGER, nullptr, &missing);
        released = true;
    });
    const bool wasReleased = testutil::WaitUntil([&] { return released.load(); });
    if (!wasReleased)
        ls.Destroy();  // a stopping server releases every waiter
    sender.join();
    ASSERT_TRUE(wasReleased);
    EXPECT_EQ(missing.ulStatus, 27u);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser  MSG_NETINTEGER bad handle 77"));

    // Input thread: another connection's handle, then a good call on the same connection.
    testutil::SocketPair pair;
    MSGINTCALL foreign{1, 0, NET_FLAG_RETURNDATA, handles[1]->m_lHandle};
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_ENCODE, foreign));
    ls.server->IntegerMsg(pair.a, own);
    MSGINTCALL reply{};
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_DECODE, reply));
    EXPECT_EQ(reply.ulStatus, 27u);
    EXPECT_EQ(seen.integers, 0);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser  MSG_NETINTEGER bad handle " +
                             std::to_string(handles[1]->m_lHandle)));

    MSGUSERCALL oneWay = StringCall(handles[1]->m_lHandle, NET_FLAG_NOREPLY, "lost");
    ASSERT_TRUE(xdr.UserCall(pair.b, XDR_ENCODE, oneWay, 0));
    xdr.UserCall(-1, XDR_FREE, oneWay, 0);
    ls.server->UserMsg(pair.a, own);  // released, values freed, no reply

    MSGINTCALL good{41, 0, 0, own->m_lHandle};
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_ENCODE, good));
    ls.server->IntegerMsg(pair.a, own);
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_DECODE, reply));  // the first bytes after the 27
    EXPECT_EQ(reply.ulStatus, 5u);
    EXPECT_EQ(reply.lValue, 42);
    EXPECT_EQ(reply.lHandle, own->m_lHandle);
    EXPECT_EQ(seen.UserCount(), 0u);
}

TEST_F(EventPipe, OneWayUserCallIsAnsweredAndReleasedOnTheMainThreadAfterTheSenderWentOn) {
    Gate gate;
    auto handles = MakeHandles(1, &gate);
    ls.Start();
    testutil::SocketPair pair;
    MSGUSERCALL call = StringCall(handles[0]->m_lHandle, NET_FLAG_NOREPLY, "gr\xC3\xBC\xC3\x9F");
    ASSERT_TRUE(xdr.UserCall(pair.b, XDR_ENCODE, call, 0));
    xdr.UserCall(-1, XDR_FREE, call, 0);

    ls.server->UserMsg(pair.a, handles[0]);  // returns although the application has not answered
    ASSERT_TRUE(testutil::WaitUntil([&] { return gate.Entered(); }));
    EXPECT_EQ(seen.UserCount(), 0u);
    gate.Open();
    ASSERT_TRUE(testutil::WaitUntil([&] { return seen.UserCount() == 1; }));
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.texts.at(0), "gr\xC3\xBC\xC3\x9F");
    EXPECT_TRUE(ls.trace.Has("NetServerImp::UserMsg posted handle " +
                             std::to_string(handles[0]->m_lHandle)));
}

// A connection the main thread does not bind still releases its input thread, marked refused,
// and leaves the handle without event object.
TEST_F(EventPipe, RefusedConnectionsReleaseTheirInputThread) {
    const std::uint16_t port = testutil::FreePort();
    const std::string at = ":" + std::to_string(port);
    ASSERT_EQ(ls.server->RegisterFunc(("noclone" + at).c_str(), new ServiceEvent(seen, false, 1)),
              1);
    ASSERT_EQ(ls.server->RegisterFunc(("nocreate" + at).c_str(), new ServiceEvent(seen, true, 0)),
              1);
    ls.Start();

    struct Case {
        const char* service;
        std::uint64_t serialShift;  // non-zero: the registration was replaced meanwhile
        int destroyedAfter;         // event objects deleted so far
    };
    for (const Case& c : {Case{"noclone", 0, 0}, Case{"nocreate", 0, 1}, Case{"nocreate", 9, 1}}) {
        NetRegisterNode* node;
        {
            ZoLock lock(ls.server->m_TableLock);
            node = ls.server->FindFunc(c.service, port);
        }
        ASSERT_NE(node, nullptr);
        NetHostHndl* handle = ls.server->CreateHndl("peer", c.service);
        NetConnection connection{
            -1, ls.server.get(), node, handle, node->m_ullSerial + c.serialShift, false};
        EXPECT_EQ(ls.server->SendToMainThread(handle, MSG_NETCONNECT, nullptr, &connection), 0);
        EXPECT_TRUE(connection.bRefused) << c.service;
        EXPECT_FALSE(handle->m_bActive);
        EXPECT_EQ(handle->m_pEvent, nullptr);
        EXPECT_EQ(seen.destroyed, c.destroyedAfter) << c.service;
    }
    EXPECT_EQ(seen.created, 0);
    EXPECT_EQ(mainloop::CountOf(ls.trace, "NetServer::MsgUser MSG_CONNECT - Connection refused"),
              1);
}

}  // namespace
