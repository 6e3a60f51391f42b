// The whole server end to end: the library's client (or a raw socket) against the library's
// server over loopback, with a ZoInputLoop thread as the application's main thread. Limits,
// destruction and failing peers are in faults_test.
#include "netservimp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/netpack.h"
#include "servtest.h"

using namespace servtest;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void Register(const std::string& service) {
        ASSERT_EQ(ls.server->RegisterFunc(service.c_str(), new EchoEvent(stats)), 1);
    }
    static std::string OnPort(const char* name, std::uint16_t port) {
        return std::string(name) + ":" + std::to_string(port);
    }
    // Serves "echo" and connects a raw peer to it: the socket, and the handle in handle.
    int RawEchoPeer(std::uint32_t& handle) {
        Register("echo");
        ls.Start();
        const int fd = ConnectRaw(ls.Port());
        WriteAll(fd, Handshake("echo"));
        handle = ReadWord(fd);
        EXPECT_EQ(ReadWord(fd), 0u);  // the Unicode word: off
        return fd;
    }

    Stats stats, listenerStats, refusing;  // outlive the server, which deletes their objects
    LoopServer ls;
};

// Each call kind one-way, then without and with the return-data bit, over a connection that
// negotiated Unicode and one that did not: each server reads the variable once, when it is made.
// One-way calls come first, so an answer they should not have had would be read as a later one.
TEST(EndToEndCalls, EachKindOneWayWithoutAndWithReturnDataWithAndWithoutUnicode) {
    const std::string text = "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x98\x83 \xF0\x9F\x98\x80";
    for (const bool unicode : {true, false}) {
        if (unicode)
            setenv("ZOR_NET_USE_UNICODE", "", 1);
        Stats stats;
        LoopServer ls;
        unsetenv("ZOR_NET_USE_UNICODE");
        ASSERT_EQ(ls.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
        ls.Start();
        Client c;
        ASSERT_EQ(c.Connect(ls.Port()), 1);
        EXPECT_EQ(c.client.m_bUnicode, unicode);
        // Traced before the connection reached the main thread, so before any answer.
        const std::string traced = "Handle " + std::to_string(c.handle) + " Uning Unicode";
        for (const std::uint32_t flags : {NET_FLAG_NOREPLY, 0u, kWantData}) {
            const bool oneWay = flags == NET_FLAG_NOREPLY, data = flags == kWantData;
            const std::int32_t dataHandle = data ? c.handle : 0;
            ZoErrorCode error = 0;
            auto expect = [&](const auto& answer, std::uint32_t status, std::int32_t handle) {
                EXPECT_EQ(error, 1);
                EXPECT_EQ(answer.ulStatus, oneWay ? 1 : status);
                EXPECT_EQ(answer.ulFlags, data ? flags | NET_FLAG_RETURNDATA : 0);
                EXPECT_EQ(answer.lHandle, oneWay ? 0 : handle);
            };
            MSGINTCALL i = c.Integer(21, flags, error);
            expect(i, 7, dataHandle);
            EXPECT_EQ(i.lValue, data ? 42 : 0);

            MSGREALCALL rc{1.25, 0, flags, c.handle};
            MSGREALCALL r = c.client.RealMsg(rc, error);
            expect(r, 7, dataHandle);
            EXPECT_EQ(r.dValue, data ? 2.5 : 0.0);

            char abc[] = "abc";
            MSGSTRINGCALL sc{abc, 0, flags, c.handle};
            MSGSTRINGCALL s = c.client.StringMsg(sc, error);
            expect(s, 7, dataHandle);
            EXPECT_STREQ(s.pszValue, data ? "echo:abc" : nullptr);
            c.xdr.StringCall(-1, XDR_FREE, s);

            // A user call's answer carries the values back whatever the bit.
            MSGUSERCALL uc = UserCall(c.handle, flags, {text}, {9});
            MSGUSERCALL u = c.client.UserMsg(uc, error);
            c.xdr.UserCall(-1, XDR_FREE, uc, unicode);
            expect(u, 8, c.handle);
            if (!oneWay) {
                ASSERT_NE(u.pData, nullptr);
                ASSERT_EQ(u.pData->lCount, 2);
                EXPECT_EQ(u.pData->pValues[0].data.pString->mbcs(), text + "!");
                EXPECT_EQ(u.pData->pValues[1].data.lValue, 10);
            }
            c.xdr.UserCall(-1, XDR_FREE, u, unicode);
        }
        EXPECT_EQ(ls.trace.Has(traced), unicode);
        ASSERT_TRUE(WaitUntil([&] { return stats.oneWay == 4; }));
        std::lock_guard<std::mutex> lock(stats.mutex);
        EXPECT_EQ(stats.texts, std::vector<std::string>(3, text));
    }
}

// Lists of lists cannot travel as such: an application sends its 64 levels (100,000 integers in
// all) as the 64 list values of one call, decoded on an input thread with the default stack, and
// nests the echoed lists again. One disposal releases them all, and one far deeper than any
// thread's stack could take level by level.
TEST_F(EndToEnd, ListsOfListsAreEchoedLevelByLevelAndReleasedInOnePass) {
    constexpr int kLevels = 64, kValues = 100000;
    Register("echo");
    ls.Start();
    Client c;
    ASSERT_EQ(c.Connect(ls.Port()), 1);
    MSGUSERCALL call = UserCall(c.handle, 0, {});
    delete[] call.pData->pValues;
    call.pData->pValues = new sL_VALUE[kLevels];
    call.pData->lCount = kLevels;
    for (int k = 0, next = 0; k < kLevels; ++k) {
        const int n = kValues / kLevels + (k < kValues % kLevels ? 1 : 0);
        call.pData->pValues[k] = ListOf(NET_TYPE_INTEGER, n, [&](sLIST_NODE& node, int) {
            node.kind = NET_KIND_INTEGER, node.data.lValue = next++;
        });
    }
    ZoErrorCode error = 0;
    MSGUSERCALL answer = c.client.UserMsg(call, error);
    c.xdr.UserCall(-1, XDR_FREE, call, 0);
    ASSERT_EQ(error, NET_OK);
    ASSERT_TRUE(answer.pData != nullptr && answer.pData->lCount == kLevels);
    sL_VALUE* levels = answer.pData->pValues;
    int expected = 0;
    for (int k = 0; k < kLevels; ++k) {
        for (const sLIST_NODE* node = levels[k].data.pList->pFirst; node != nullptr;
             node = node->pNext)
            expected += node->data.lValue == expected ? 1 : kValues;
    }
    EXPECT_EQ(expected, kValues);
    // Each level's last element becomes the level below it.
    auto nest = [](sL_VALUE& outer, sL_VALUE& inner) {
        sLIST_HEADER* list = outer.data.pList;
        auto* node = new sLIST_NODE{};
        node->sL_VALUE::operator=(inner);  // shares the list
        inner.fValid = 0;
        node->pPrev = list->pLast;
        (list->pLast != nullptr ? list->pLast->pNext : list->pFirst) = node;
        list->pLast = node, ++list->lCount;
    };
    for (int k = kLevels - 1; k > 0; --k)
        nest(levels[k - 1], levels[k]);
    EXPECT_EQ(NET_DisposeVDXData(&levels[0]), 0);  // LSan: every level released
    c.xdr.UserCall(-1, XDR_FREE, answer, 0);

    sL_VALUE deep = ListOf(NET_TYPE_INTEGER, 1, [](sLIST_NODE&, int) {});
    for (int k = 0; k < 300000; ++k) {
        sL_VALUE outer = ListOf(NET_TYPE_INTEGER, 0, [](sLIST_NODE&, int) {});
        nest(outer, deep);
        deep = outer;
    }
    EXPECT_EQ(NET_DisposeVDXData(&deep), 0);
}

TEST_F(EndToEnd, ConnectionWithoutEventObjectIsAnswered11) {
    Register("echo");
    stats.detach = true;
    ls.Start();
    Client c;
    ASSERT_EQ(c.Connect(ls.Port()), 1);
    ZoErrorCode error = 0;
    EXPECT_EQ(c.Integer(3, kWantData, error).ulStatus, 11u);
    EXPECT_EQ(error, 1);
    ls.Destroy();
    delete stats.detached.load();
}

TEST_F(EndToEnd, RawPeerUnknownIdentifierLaterConnectAndClose) {
    Register("echo");
    ls.Start();
    const int fd = ConnectRaw(ls.Port());
    ASSERT_TRUE(WriteAll(fd, Handshake("echo")));
    const std::uint32_t handle = ReadWord(fd);
    ASSERT_LT(handle, 10u);
    EXPECT_EQ(ReadWord(fd), 0u);  // the Unicode word: off

    // An unknown identifier is skipped unanswered. A later handshake answers the handle already
    // bound with its Unicode word, and below version 2 with the number alone.
    WriteAll(fd, Words({7}) + Handshake("ignored"));
    EXPECT_EQ(ReadWord(fd), handle);
    EXPECT_EQ(ReadWord(fd), 0u);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser Unknown network message ID 7"));
    WriteAll(fd, Handshake("ignored", 1));
    EXPECT_EQ(ReadWord(fd), handle);

    WriteAll(fd, Words({NET_MSG_CLOSE}));
    EXPECT_EQ(ReadWord(fd), 1u);
    EXPECT_TRUE(PeerEnded(fd));
    close(fd);
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == 1; }));
    EXPECT_EQ(ls.trace.Text().find("detected closed"), std::string::npos);  // closed, not lost
}

// A flood of one unknown identifier is written once and then counted: a different entry of the
// connection, or its end, writes the count; another connection's entries do not break the fold.
// The trace handler gets the same entries as the stream.
TEST_F(EndToEnd, RepeatedTraceEntriesOfOneConnectionAreFolded) {
    struct Sink {
        std::mutex mutex;
        std::vector<std::pair<int, std::string>> entries;
    } sink;
    const size_t before = ls.trace.Entries().size();  // the start-up entries
    ls.server->TraceHandler(
        [](void* self, NETTraceLevel level, const char* text) {
            auto* sink = static_cast<Sink*>(self);
            std::lock_guard<std::mutex> lock(sink->mutex);
            sink->entries.emplace_back(level, text);
        },
        &sink);
    ls.server->TraceFlags(NET_TRACE_ERROR);  // so the connection's end traces nothing itself
    Register("echo");
    ls.Start();
    const int fd = ConnectRaw(ls.Port()), other = ConnectRaw(ls.Port());
    for (int peer : {fd, other}) {
        ASSERT_TRUE(WriteAll(peer, Handshake("echo", 1)));
        ASSERT_LT(ReadWord(peer), 10u);
    }
    const auto flood = [](int peer, std::uint32_t id, int n) {
        Bytes bytes;
        while (n-- > 0)
            bytes = bytes + Words({id});
        return WriteAll(peer, bytes);
    };
    const std::string unknown = "NetServer::MsgUser Unknown network message ID ";
    ASSERT_TRUE(flood(fd, 7, 50) && flood(other, 9, 1) && flood(fd, 8, 1) && flood(fd, 7, 20));
    ASSERT_TRUE(ls.trace.WaitFor(unknown + "8") && ls.trace.WaitFor(unknown + "9"));
    close(fd);
    ASSERT_TRUE(ls.trace.WaitFor("last message repeated 19 times"));
    close(other);
    ls.Destroy();

    std::vector<std::string> ours;
    const auto entries = ls.trace.Entries();
    for (size_t i = before; i < entries.size(); ++i)
        if (entries[i].message != unknown + "9")
            ours.push_back(entries[i].prefix + entries[i].message);
    const std::string error = "ERROR:    ";
    EXPECT_EQ(ours, (std::vector<std::string>{error + unknown + "7",
                                              error + "last message repeated 49 times",
                                              error + unknown + "8", error + unknown + "7",
                                              error + "last message repeated 19 times"}));
    ASSERT_EQ(before + sink.entries.size(), entries.size());
    for (size_t i = 0; i < sink.entries.size(); ++i)
        EXPECT_EQ(sink.entries[i],
                  std::make_pair(int{NET_TRACE_ERROR}, entries[before + i].message));
}

// Messages that arrive together are read in order, none lost: calls, a text longer than the
// server's receive buffer, an unknown identifier, a connect and a close in one segment.
TEST_F(EndToEnd, RawPeerMessagesArrivingTogether) {
    std::uint32_t handle = 0;
    const int fd = RawEchoPeer(handle);

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
}

// A record that cannot be decoded ends its connection, and what arrived behind it is not read.
TEST_F(EndToEnd, NothingBehindAnUndecodableRecordIsRead) {
    ls.server->Settings().ullDecodeBudget = 1024;
    std::uint32_t handle = 0;
    const int fd = RawEchoPeer(handle);
    Bytes tooLong = Words({NET_MSG_STRING, 0, 0, 0, handle, 4000});  // a text over the budget
    tooLong.resize(tooLong.size() + 4000, 't');
    ASSERT_TRUE(WriteAll(fd, tooLong + Words({NET_MSG_INTEGER, 1, 0, kWantData, handle})));
    EXPECT_TRUE(PeerEnded(fd));  // no answer came first
    close(fd);
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == 1; }));
    EXPECT_EQ(stats.calls, 0);
    EXPECT_FALSE(ls.trace.Has("NetServer::MsgUser Unknown network message ID 1953789044"));  // tttt
}

// Named services match in any case on their own port only, an unnamed one takes any name on
// its port, and the generic listener takes what is left on the default port alone.
TEST_F(EndToEnd, ServiceBindingRules) {
    const std::uint16_t p2 = FreePort(), p3 = FreePort();
    Register("echo");
    Register(OnPort("", p2));
    Register(OnPort("other", p3));
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listenerStats)), 1);
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
    EXPECT_EQ(listenerStats.created, 1);
    EXPECT_EQ(toListener.client.CloseMsg(toListener.handle), 1);
    ASSERT_TRUE(WaitUntil([&] { return listenerStats.closed == 1; }));
    EXPECT_EQ(listenerStats.netDestroy, 0);  // the listener's object serves on
}

// However a connection ends, it ends once and its handle goes to the next connection of the
// same host and service: closed, vanished, refused by a service's NetCreate (after its number
// went out) or by the generic listener's ConnectionCreated.
TEST_F(EndToEnd, EndedOrRefusedConnectionsFreeTheirHandle) {
    const std::uint16_t p2 = FreePort();
    Register("echo");
    ASSERT_EQ(ls.server->RegisterFunc(OnPort("svc", p2).c_str(), new EchoEvent(refusing)), 1);
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listenerStats)), 1);
    refusing.createResult = 0;
    listenerStats.createdResult = 0;
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
    EXPECT_EQ(listenerStats.created, 1);
    EXPECT_EQ(ls.trace.Count("NetServer::MsgUser MSG_CONNECT - Connection refused"), 2);

    refusing.createResult = 1;
    listenerStats.createdResult = 1;
    for (const Row& row : rows) {
        ASSERT_TRUE(WaitUntil([&] {
            Client probe;  // a handle is free once its input thread has given it back
            return probe.Connect(row.port, row.service, row.host) == 1 &&
                   probe.handle == row.handle && probe.Call(4) == 8;
        })) << row.host;
    }
    EXPECT_EQ(listenerStats.destroyed, 0);  // the refusal did not take the listener's object along
}

TEST_F(EndToEnd, TwoHundredClientsCallingAtOnceAllGetTheirOwnAnswers) {
    constexpr int kClients = 200, kCalls = 20;
    Register("echo");
    ls.Start();
    // Connected one after the other: a burst of connects would only test the listen backlog.
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 0; n < kClients; ++n) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(ls.Port(), "echo", ("c" + std::to_string(n)).c_str()), 1);
    }
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kClients; ++n)
        threads.emplace_back([&, n] {
            Client& c = *clients[n];
            for (int i = 0; i < kCalls; ++i) {
                ZoErrorCode error = 0;
                const std::int32_t value = n * 1000 + i;
                MSGINTCALL r = c.Integer(value, kWantData, error);
                if (error == 1 && r.ulStatus == 7 && r.lValue == 2 * value && r.lHandle == c.handle)
                    ++right;
            }
            c.client.CloseMsg(c.handle);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(right, kClients * kCalls);
    ASSERT_TRUE(WaitUntil([&] { return stats.closed == kClients; }));
}

}  // namespace
