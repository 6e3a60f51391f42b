// SPDX-License-Identifier: Apache-2.0
// The whole server end to end: the library's client against the library's server over loopback,
// with a ZoInputLoop thread as the application's main thread, for every kind of call. Failing
// peers and destruction under load are in faults_test; each part's own cases in its mirror test.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/netpack.h"
#include "servtest.h"

using namespace servtest;

namespace {

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
TEST(EndToEndCalls, ListsOfListsAreEchoedLevelByLevelAndReleasedInOnePass) {
    constexpr int kLevels = 64, kValues = 100000;
    Stats stats;
    EchoServer ls(stats);
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

}  // namespace
