// The whole server end to end: the library's client against the library's server over loopback,
// with a ZoInputLoop thread as the application's main thread, for every kind of call. Failing
// peers and destruction under load are in faults_test; each part's own cases in its mirror test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

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

}  // namespace
