// SPDX-License-Identifier: Apache-2.0
// A connection's input thread: messages read in order however they arrive, a record that cannot
// be decoded, records naming another connection's handle, and one-way calls that may not queue
// more than one budget.
#include <gtest/gtest.h>

#include "servtest.h"

using namespace servtest;

namespace {

// Messages that arrive together are read in order, none lost: calls, a text longer than the
// server's receive buffer, an unknown identifier (skipped unanswered), a connect and a close in
// one segment.
TEST(InputThread, MessagesArrivingTogetherAreReadInOrder) {
    Stats stats;
    EchoServer ls(stats);
    std::uint32_t handle = 0;
    const int fd = RawPeer(ls.Port(), handle);
    const std::string text(20000, 't');
    Bytes string = Words(
        {NET_MSG_STRING, 0, 0, kWantData, handle, static_cast<std::uint32_t>(text.size() + 1)});
    string.insert(string.end(), text.begin(), text.end() + 1);  // with its NUL
    auto integer = [&](std::uint32_t value) {
        return Words({NET_MSG_INTEGER, value, 0, kWantData, handle});
    };
    ASSERT_TRUE(WriteAll(fd, integer(5) + string + integer(6) + Words({7}) +
                                 Handshake("ignored", 1) + Words({NET_MSG_CLOSE})));
    const std::uint32_t answered = kWantData | NET_FLAG_RETURNDATA;
    EXPECT_EQ(ReadBytes(fd, 16), Words({10, 7, answered, handle}));
    const std::string echoed = "echo:" + text;
    Bytes expected = Words({0, 7, answered, handle, static_cast<std::uint32_t>(echoed.size() + 1)});
    expected.insert(expected.end(), echoed.begin(), echoed.end() + 1);
    EXPECT_EQ(ReadBytes(fd, expected.size()), expected);
    EXPECT_EQ(ReadBytes(fd, 16), Words({12, 7, answered, handle}));
    EXPECT_EQ(ReadWord(fd), handle);  // the connect, below version 2: the number alone
    EXPECT_EQ(ReadWord(fd), 1u);      // the close
    EXPECT_TRUE(PeerEnded(fd));
    close(fd);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser Unknown network message ID 7"));
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == 1; }));
    EXPECT_EQ(ls.trace.Text().find("detected closed"), std::string::npos);  // closed, not lost
}

// A record that cannot be decoded ends its connection, and what arrived behind it is not read.
TEST(InputThread, NothingBehindAnUndecodableRecordIsRead) {
    Stats stats;
    EchoServer ls(stats);
    ls.server->Settings().ullDecodeBudget = 1024;
    std::uint32_t handle = 0;
    const int fd = RawPeer(ls.Port(), handle);
    Bytes tooLong = Words({NET_MSG_STRING, 0, 0, 0, handle, 4000});  // a text over the budget
    tooLong.resize(tooLong.size() + 4000, 't');
    ASSERT_TRUE(WriteAll(fd, tooLong + Words({NET_MSG_INTEGER, 1, 0, kWantData, handle})));
    EXPECT_TRUE(PeerEnded(fd));  // no answer came first
    close(fd);
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == 1; }));
    EXPECT_EQ(stats.calls, 0);
    EXPECT_FALSE(ls.trace.Has("NetServer::MsgUser Unknown network message ID 1953789044"));  // tttt
}

// A record naming another connection's handle, or none, is answered 27 and reaches no event
// object; the next good call on the same connection is answered in turn. On the main thread a
// record naming no handle releases the input thread that sent it.
TEST(InputThread, CallNamingMissingOrForeignHandleIsAnswered27) {
    Stats stats;
    LoopServer ls;
    NetHostHndl* own = ls.server->CreateHndl("peer", "svc");
    NetHostHndl* other = ls.server->CreateHndl("peer", "svc");
    own->SetEventFunc(new EchoEvent(stats));
    other->SetEventFunc(new EchoEvent(stats));
    ls.Start();
    MSGINTCALL missing{1, 0, 0, 77};
    std::atomic<bool> released{false};
    std::thread sender([&] {
        ls.server->SendToMainThread(own, MSG_NETINTEGER, &missing);
        released = true;
    });
    const bool wasReleased = WaitUntil([&] { return released.load(); });
    if (!wasReleased)
        ls.Destroy();  // a stopping server releases every waiter
    sender.join();
    ASSERT_TRUE(wasReleased);
    EXPECT_EQ(missing.ulStatus, 27u);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser  MSG_NETINTEGER bad handle 77"));

    SocketPair pair;
    NetXDRImp xdr;
    MSGINTCALL foreign{1, 0, NET_FLAG_RETURNDATA, other->m_lHandle}, reply{};
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_ENCODE, foreign));
    ls.server->IntegerMsg(pair.a, own);
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_DECODE, reply));
    EXPECT_EQ(reply.ulStatus, 27u);
    MSGUSERCALL oneWay = UserCall(other->m_lHandle, NET_FLAG_NOREPLY, {"lost"});
    ASSERT_TRUE(xdr.UserCall(pair.b, XDR_ENCODE, oneWay, 0));
    xdr.UserCall(-1, XDR_FREE, oneWay, 0);
    ls.server->UserMsg(pair.a, own);  // released, values freed, no reply
    MSGINTCALL good{41, 0, kWantData, own->m_lHandle};
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_ENCODE, good));
    ls.server->IntegerMsg(pair.a, own);
    ASSERT_TRUE(xdr.IntCall(pair.b, XDR_DECODE, reply));  // the first bytes after the 27
    EXPECT_EQ(reply.lValue, 82);
    EXPECT_EQ(stats.calls, 1);  // the good call alone: the main thread handles records in order
}

// While the main thread is held, one-way calls of about 8 KB each are posted only while they
// hold less than one budget together; the rest wait in the input thread, and none is lost.
TEST(InputThread, OneWayUserCallsQueueNoMoreThanOneBudget) {
    Stats stats;
    EchoServer ls(stats);
    ls.server->Settings().ullDecodeBudget = 64 * 1024;
    Client c;  // bound before the main thread is held: the binding needs it
    ASSERT_EQ(c.Connect(ls.Port()), NET_OK);
    Client holder;
    std::thread held = HoldMainThread(ls.Port(), holder, stats);
    constexpr int kCalls = 40;
    std::thread writer([&] {
        for (int i = 0; i < kCalls; ++i) {
            MSGUSERCALL user = UserCall(c.handle, NET_FLAG_NOREPLY, {std::string(8000, 'x')}, {i});
            ZoErrorCode error = 0;
            c.client.UserMsg(user, error);
            c.xdr.UserCall(-1, XDR_FREE, user, c.client.m_bUnicode);
        }
    });
    const std::string number = std::to_string(c.handle);
    EXPECT_TRUE(ls.trace.WaitFor("NetServerImp::UserMsg handle " + number + " waits its turn"));
    EXPECT_LE(ls.trace.Count("NetServerImp::UserMsg posted handle " + number), 8);
    stats.gate.Post();
    held.join();
    writer.join();
    EXPECT_TRUE(WaitUntil([&] { return stats.lastValue == kCalls - 1; }));
    EXPECT_EQ(stats.calls, kCalls + 1);  // none lost, the holder's call besides
    EXPECT_TRUE(WaitUntil([&] { return ls.server->m_ullPostedBytes == 0; }));
}

}  // namespace
