// SPDX-License-Identifier: Apache-2.0
// The main thread's events: in and out whole and in order, a full queue that never blocks a
// poster, a descriptor that is readable exactly while events wait, and a stop with events
// queued. Records naming a wrong handle are in netserv_input_test, refused connections in
// netserv_handshake_test.
#include "netservimp.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "servtest.h"

using namespace servtest;

namespace {

// A posted (not waited-for) user call whose flags carry a tag the application records.
void PostTagged(NetServerImp& server, std::int32_t handle, std::uint32_t tag) {
    auto* call = new MSGUSERCALL{};
    call->lHandle = handle;
    call->ulFlags = (tag << 8) | NET_FLAG_NOREPLY;
    ASSERT_TRUE(server.PostOneWay(call, 0));
}

class EventPipe : public ::testing::Test {
protected:
    // Handles of the table, each with an event object that counts into stats.
    std::vector<NetHostHndl*> MakeHandles(int n) {
        std::vector<NetHostHndl*> handles;
        for (int i = 0; i < n; ++i) {
            handles.push_back(ls.server->CreateHndl("peer", "svc"));
            handles.back()->SetEventFunc(new EchoEvent(stats));
        }
        return handles;
    }

    Stats stats;  // outlives the server, which deletes the event objects
    LoopServer ls;
};

// Thousands of events while the main thread is stuck in a callback: no poster blocks, not even
// one holding the table lock as a closing connection does, and all arrive in order later.
// Records of identifiers outside the range are dropped and the next one is read whole.
TEST_F(EventPipe, FullPipeNeverBlocksPostersAndLosesNothing) {
    constexpr std::uint32_t kEach = 2500;  // 4 x 2500 records are several pipes full
    auto posterHandles = MakeHandles(4);
    NetHostHndl* busy = MakeHandles(1)[0];
    ls.Start();

    MSGINTCALL held{kHoldValue, 0, 0, busy->m_lHandle};
    std::atomic<bool> answered{false};
    std::thread caller(
        [&] { answered = ls.server->SendToMainThread(busy, MSG_NETINTEGER, &held); });
    ASSERT_TRUE(WaitUntil([&] { return stats.held.load(); }));
    MSGINTCALL stray{1, 0, 0, busy->m_lHandle};
    for (const std::uint32_t id : {0x14FFu, 0x1506u})  // dispatched, either would reach IntegerData
        ls.server->PostEvent(id, &stray);

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
    if (!WaitUntil([&] { return finished == 4; })) {
        // Stuck for good: one poster holds the table lock, so nothing can be joined or freed.
        ADD_FAILURE() << "a poster blocked on the full pipe";
        std::_Exit(1);
    }
    const std::size_t overflow = ls.server->m_Events.Overflowed();
    stats.gate.Post();
    for (auto& t : posters)
        t.join();
    caller.join();

    EXPECT_GT(overflow, 0u) << "the queue never filled";
    ASSERT_TRUE(WaitUntil([&] { return stats.calls == 4 * kEach + 1; }));
    EXPECT_TRUE(answered);
    EXPECT_EQ(held.ulStatus, 7u);
    EXPECT_EQ(stray.ulStatus, 0u);
    // Per handle, the tags in the order the application saw them must be 0, 1, 2, ...
    std::lock_guard<std::mutex> lock(stats.mutex);
    EXPECT_EQ(stats.users.size(), 4 * kEach);
    std::vector<std::uint32_t> next(posterHandles.size(), 0);
    for (const auto& [number, flags] : stats.users) {
        ASSERT_LT(static_cast<std::size_t>(number), next.size());
        ASSERT_EQ(flags >> 8, next[number]++) << "handle " << number;
    }
}

// A server whose callback the test calls itself, as an application's own loop would.
struct OwnLoopServer {
    explicit OwnLoopServer(std::uint32_t batch) {
        server->Init(new NetXDRImp, FreePort());
        server->Settings().ulEventBatch = batch;
        server->StartServer(&reg);
        handle = server->CreateHndl("peer", "svc");
        handle->SetEventFunc(new EchoEvent(stats));
    }
    bool Readable(int timeoutMs) {
        pollfd ready{reg.added.at(0), POLLIN, 0};
        return poll(&ready, 1, timeoutMs) == 1;
    }
    Stats stats;  // outlives the server, which deletes the event object
    RecordingRegistration reg;
    std::unique_ptr<NetServerImp> server = MakeServer();
    NetHostHndl* handle;
};

// A loop that calls the callback once each time the descriptor is readable serves every event,
// in order, at most a batch per call, while another thread keeps posting; the descriptor is
// quiet once everything is served, and wakes again for the next event.
TEST(EventQueue, LoopCallingOncePerReadinessServesEveryEventInBatches) {
    OwnLoopServer own(4);
    constexpr std::uint32_t kQueued = 30, kTotal = 3030;
    for (std::uint32_t tag = 0; tag < kQueued; ++tag)
        PostTagged(*own.server, own.handle->m_lHandle, tag);
    int calls = 0;
    while (own.stats.calls < static_cast<int>(kQueued) && calls < 100 && own.Readable(5000)) {
        own.reg.callback(own.reg.data, own.reg.added[0]);
        ++calls;
    }
    EXPECT_EQ(calls, 8);  // 30 events, 4 a call
    EXPECT_FALSE(own.Readable(0));

    // Bursts of three, each as soon as the last one is served: every burst ends an idle spell
    // of the main thread, with one event a call.
    own.server->m_Settings.ulEventBatch = 1;
    std::thread poster([&] {
        for (std::uint32_t tag = kQueued; tag < kTotal;) {
            for (int n = 0; n < 3; ++n)
                PostTagged(*own.server, own.handle->m_lHandle, tag++);
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (own.stats.calls < static_cast<int>(tag))
                if (std::chrono::steady_clock::now() > giveUp)
                    return;
        }
    });
    // Served until quiet. A lost ring leaves events unserved behind a quiet descriptor, and
    // this loop then stops at its time-out.
    auto pending = [&] { return own.stats.calls < static_cast<int>(kTotal); };
    for (int guard = 0; guard < 100000 && own.Readable(pending() ? 5000 : 0); ++guard)
        own.reg.callback(own.reg.data, own.reg.added[0]);
    poster.join();
    EXPECT_FALSE(pending());
    EXPECT_FALSE(own.Readable(0));
    std::lock_guard<std::mutex> lock(own.stats.mutex);
    for (std::uint32_t i = 0; i < own.stats.users.size(); ++i)
        ASSERT_EQ(own.stats.users[i].second >> 8, i);
}

// Stopping with events queued, more than the ring holds: a waiting sender is released unanswered,
// and what the queued one-way calls own is freed (the ASan run's leak check) without any of them
// being served.
TEST(EventQueue, StopWhileEventsWaitReleasesSendersAndUnderAsanFreesQueuedCalls) {
    OwnLoopServer own(64);
    for (int i = 0; i < 1500; ++i) {
        auto* call =
            new MSGUSERCALL(UserCall(own.handle->m_lHandle, NET_FLAG_NOREPLY, {"kept"}, {i}));
        ASSERT_TRUE(own.server->PostOneWay(call, 0));
    }
    EXPECT_GT(own.server->m_Events.Overflowed(), 0u);
    std::atomic<bool> answered{true};
    std::thread sender([&] {
        MSGINTCALL call{1, 0, 0, own.handle->m_lHandle};
        answered = own.server->SendToMainThread(own.handle, MSG_NETINTEGER, &call);
    });
    own.server->StopConnections();
    sender.join();
    EXPECT_FALSE(answered);
    own.server.reset();
    EXPECT_EQ(own.stats.calls, 0);
}

}  // namespace
