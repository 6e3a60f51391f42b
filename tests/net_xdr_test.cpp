// The socket encoder: primitive wire forms, call records, hostile lengths and the decode budget.
#include "net/net_xdr.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/netpack.h"
#include "net_xdr_budget.h"
#include "testutil.h"
#include "zo/zostring.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Counts the sends, so tests can tell one send from two.
struct CountingXdr : NetXDRImp {
    int writes = 0;
    unsigned char Write(int socket, const void* buffer, std::int32_t length) override {
        ++writes;
        return NetXDRImp::Write(socket, buffer, length);
    }
};

class XdrTest : public ::testing::Test {
protected:
    testutil::SocketPair pair;
    CountingXdr xdr;

    // Everything the encoder has written so far (a socket pair delivers it at once).
    Bytes Sent() {
        Bytes out;
        unsigned char chunk[4096];
        ssize_t got;
        while ((got = recv(pair.b, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
            out.insert(out.end(), chunk, chunk + got);
        }
        return out;
    }
    // Puts bytes on the wire for a decode; closing makes a short message end the stream.
    void Feed(const Bytes& bytes, bool close = true) {
        ASSERT_TRUE(testutil::WriteAll(pair.b, bytes.data(), bytes.size()));
        if (close) {
            shutdown(pair.b, SHUT_WR);
        }
    }
};

TEST_F(XdrTest, FixedWidthFormsAreTheWireWhateverTheHost) {
    struct Fixed {
        double d = 1.0;
        std::int16_t s = -2;
        std::uint16_t us = 0x1234;
        std::int32_t l = -2;
        std::uint32_t ul = 0x01020304;
        DATEREC date{{0x0102, 0x0304}};
        TIMEREC time{{7, 8, 9, 10}};
        unsigned char byte = 0xAB;
    } v, sent;
    auto all = [&](XDR_Op op) {
        return xdr.Double(pair.a, op, v.d) && xdr.Short(pair.a, op, v.s) &&
               xdr.UShort(pair.a, op, v.us) && xdr.Long(pair.a, op, v.l) &&
               xdr.ULong(pair.a, op, v.ul) && xdr.Date(pair.a, op, v.date) &&
               xdr.Time(pair.a, op, v.time) && xdr.Byte(pair.a, op, v.byte);
    };
    ASSERT_TRUE(all(XDR_ENCODE));
    EXPECT_EQ(xdr.writes, 8);  // each value in one send
    const Bytes wire = Sent();
    EXPECT_EQ(wire,
              (Bytes{0,    0,    0, 0, 0, 0, 0xF0, 0x3F, 0xFF, 0xFE, 0x12, 0x34, 0xFF, 0xFF,
                     0xFF, 0xFE, 1, 2, 3, 4, 1,    2,    3,    4,    7,    8,    9,    0xAB}));
    Feed(wire);
    std::memset(static_cast<void*>(&v), 0x55, sizeof v);
    ASSERT_TRUE(all(XDR_DECODE));
    sent.time.ucComponent[3] = 0;  // never travels
    EXPECT_EQ(std::memcmp(&v, &sent, offsetof(Fixed, byte) + 1), 0);
    // The stream has ended: the next read fails and leaves the variable alone.
    EXPECT_FALSE(xdr.Long(pair.a, XDR_DECODE, v.l));
    EXPECT_EQ(v.l, -2);
}

TEST_F(XdrTest, EmptyTransfersAndFreeTouchNoSocket) {
    EXPECT_TRUE(xdr.Read(-1, nullptr, 0));
    EXPECT_TRUE(xdr.Write(-1, nullptr, 0));
    ZoString text("x");
    EXPECT_TRUE(xdr.Unicode(-1, XDR_FREE, text));
    EXPECT_STREQ(text.mbcs(), "x");  // the string owns its text
}

TEST_F(XdrTest, StringFormsNullEmptyAndTheOneSendBoundary) {
    char* null = nullptr;
    char abc[] = "abc";
    char empty[] = "";
    ASSERT_TRUE(xdr.String(pair.a, XDR_ENCODE, null));
    char* p = abc;
    ASSERT_TRUE(xdr.String(pair.a, XDR_ENCODE, p));
    p = empty;
    ASSERT_TRUE(xdr.String(pair.a, XDR_ENCODE, p));
    EXPECT_EQ(Sent(), (Bytes{0, 0, 0, 0, 0, 0, 0, 4, 'a', 'b', 'c', 0, 0, 0, 0, 1, 0}));

    for (std::size_t length : {1018u, 1019u}) {
        std::string text(length, 'q');
        p = text.data();
        xdr.writes = 0;
        ASSERT_TRUE(xdr.String(pair.a, XDR_ENCODE, p));
        EXPECT_EQ(xdr.writes, length == 1018 ? 1 : 2);
        const Bytes wire = Sent();
        ASSERT_EQ(wire.size(), 4 + length + 1);
        EXPECT_EQ(wire[3] + 256 * wire[2], static_cast<int>(length + 1));
        EXPECT_EQ(wire.back(), 0);
    }

    Feed({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 'z'});  // the last text lacks its NUL
    char* got = abc;
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    EXPECT_EQ(got, nullptr);
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "");
    std::free(got);
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    EXPECT_STREQ(got, "z");  // the decoder terminates what it received
    EXPECT_TRUE(xdr.String(-1, XDR_FREE, got));
    EXPECT_EQ(got, nullptr);
}

TEST_F(XdrTest, UnicodeFormsMarkerAndLongTexts) {
    ZoString abc("abc"), null, empty("");
    ASSERT_TRUE(xdr.Unicode(pair.a, XDR_ENCODE, abc) && xdr.Unicode(pair.a, XDR_ENCODE, null) &&
                xdr.Unicode(pair.a, XDR_ENCODE, empty));
    EXPECT_EQ(xdr.writes, 3);
    EXPECT_EQ(Sent(), (Bytes{0, 0, 0, 6, 0xFF, 0, 0, 'a', 0, 'b', 0,    'c',
                             0, 0, 0, 0, 0xFF, 0, 0, 0,   0, 0,   0xFF, 0}));

    // A sender of the other byte order: the marker arrives as 00 FF.
    Feed({0, 0, 0, 4, 0, 0xFF, 'a', 0, 'b', 0, 0, 0, 0, 0, 0xFF, 0});
    ZoString got("old");
    ASSERT_TRUE(xdr.Unicode(pair.a, XDR_DECODE, got));
    EXPECT_STREQ(got.mbcs(), "ab");
    ASSERT_TRUE(xdr.Unicode(pair.a, XDR_DECODE, got));
    EXPECT_TRUE(got.IsNull());
    EXPECT_FALSE(xdr.Unicode(pair.a, XDR_DECODE, got));
}

TEST(XdrLongTexts, RoundTripAcrossStackAndHeapBuffers) {
    NetXDRImp xdr;
    for (std::size_t units : {1019u, 1020u, 1024u, 1025u, 200000u}) {
        testutil::SocketPair pair;
        std::string text;
        for (std::size_t i = 0; i < units; ++i) {
            text += static_cast<char>('a' + i % 26);
        }
        ZoString sent(text.c_str()), got;
        char* ptext = text.data();
        char* gtext = nullptr;
        std::thread writer([&] {
            xdr.Unicode(pair.a, XDR_ENCODE, sent);
            xdr.String(pair.a, XDR_ENCODE, ptext);
        });
        EXPECT_TRUE(xdr.Unicode(pair.b, XDR_DECODE, got));
        EXPECT_TRUE(xdr.String(pair.b, XDR_DECODE, gtext));
        writer.join();
        EXPECT_EQ(got, sent) << units;
        EXPECT_EQ(gtext != nullptr ? std::string(gtext) : "", text);
        xdr.String(-1, XDR_FREE, gtext);
    }
}

TEST_F(XdrTest, CallRecordsWireForms) {
    MSGREALCALL rc{-2.5, 1, 2, -1}, rc2{};
    ASSERT_TRUE(xdr.RealCall(pair.b, XDR_ENCODE, rc) && xdr.RealCall(pair.a, XDR_DECODE, rc2));
    EXPECT_EQ(std::memcmp(&rc, &rc2, 20), 0);

    MSGINTCALL ic{5, 0, 2, 3};
    ASSERT_TRUE(xdr.IntCall(pair.a, XDR_ENCODE, ic));
    EXPECT_EQ(Sent(), (Bytes{0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3}));

    MSGSTRINGCALL sc{nullptr, 1, 0, 7};
    MSGUSERCALL none{1, 2, 3, 99, 99, 0, nullptr};
    MSGUSERDATA emptyBlock{};
    emptyBlock.usType = 0xBEEF;
    MSGUSERCALL empty{1, 2, 3, 0, 0, 0, &emptyBlock};
    ASSERT_TRUE(xdr.StringCall(pair.a, XDR_ENCODE, sc) &&
                xdr.UserCall(pair.a, XDR_ENCODE, none, 0) &&
                xdr.UserCall(pair.a, XDR_ENCODE, empty, 0));
    const Bytes wire = Sent();
    const Bytes userHead{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0};
    Bytes expected{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0};
    expected.insert(expected.end(), userHead.begin(), userHead.end());
    expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), userHead.begin(), userHead.end());
    expected.insert(expected.end(), {0, 0, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(wire, expected);

    Feed(wire);
    MSGSTRINGCALL sc2{};
    MSGUSERCALL u1{}, u2{};
    ASSERT_TRUE(xdr.StringCall(pair.a, XDR_DECODE, sc2) &&
                xdr.UserCall(pair.a, XDR_DECODE, u1, 0) && xdr.UserCall(pair.a, XDR_DECODE, u2, 0));
    EXPECT_EQ(sc2.pszValue, nullptr);
    EXPECT_EQ(sc2.lHandle, 7);
    EXPECT_EQ(u1.pData, nullptr);
    EXPECT_EQ(u1.lCount, 0);
    EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, u1, 0));
    ASSERT_NE(u2.pData, nullptr);
    EXPECT_EQ(u2.pData->pValues, nullptr);
    EXPECT_EQ(u2.pData->usType, 0xBEEF);
    EXPECT_EQ(u2.pData->lHandle, 3);
    EXPECT_TRUE(u2.pData->fFlag80 && u2.pData->fFlag40 && !u2.pData->fFlag20);
    EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, u2, 0));
    EXPECT_EQ(u2.pData, nullptr);
}

// A user call holding every kind of value the library builds on receipt.
struct SampleCall {
    sLIST_HEADER list{};
    sLIST_NODE nodes[2];
    sL_VALUE values[8];
    sL_VALUE* link;
    MSGUSERDATA block{};
    MSGUSERCALL call{};

    SampleCall() {
        values[0].usType = NET_TYPE_INTEGER, values[0].kind = NET_KIND_INTEGER;
        values[0].data.lValue = -7, values[0].fValid = 1;
        values[1].usType = NET_TYPE_REAL, values[1].kind = NET_KIND_REAL;
        values[1].data.pdValue = new double(0.5), values[1].fValid = 1;
        for (sL_VALUE* v :
             {&values[2], static_cast<sL_VALUE*>(&nodes[0]), static_cast<sL_VALUE*>(&nodes[1])}) {
            v->usType = NET_TYPE_STRING, v->kind = NET_KIND_STRING, v->fValid = 1;
            v->data.pString = new ZoString("h\xC3\xA9llo \xF0\x9F\x98\x80");
        }
        nodes[0].pPrev = nullptr, nodes[0].pNext = &nodes[1];
        nodes[1].pPrev = &nodes[0], nodes[1].pNext = nullptr;
        list = {0, 2, 2, &nodes[0], &nodes[1], &nodes[1]};
        values[3].usType = NET_TYPE_STRING - NET_TYPE_UNKNOWN, values[3].fValid = 1;
        values[3].data.pList = &list;
        link = new sL_VALUE(values[0]);
        values[4].usType = NET_TYPE_INTEGER, values[4].fReference = 1, values[4].fValid = 1;
        values[4].data.pReference = link;
        values[5].usType = NET_TYPE_TIME, values[5].kind = NET_KIND_TIME, values[5].fValid = 1;
        values[5].data.time = {{23, 59, 58, 1}};
        // values[6] stays without value
        values[7].usType = NET_TYPE_DATE, values[7].kind = NET_KIND_DATE, values[7].fValid = 1;
        values[7].data.date = {{2024, 0x0C1F}};
        block.usType = 12, block.lCount = 8, block.pValues = values;
        call = {0, 1, 4, 0, 0, 0, &block};
    }
    ~SampleCall() { delete link; }
};

Bytes EncodeSample(unsigned char unicode) {
    testutil::SocketPair pair;
    NetXDRImp xdr;
    SampleCall sample;
    EXPECT_TRUE(xdr.UserCall(pair.a, XDR_ENCODE, sample.call, unicode));
    shutdown(pair.a, SHUT_WR);
    Bytes out(1 << 16);
    ssize_t got = recv(pair.b, out.data(), out.size(), MSG_WAITALL);
    out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return out;
}

TEST(XdrUserCall, RoundTripsEveryValueKindInBothStringForms) {
    for (unsigned char unicode : {0, 1}) {
        const Bytes wire = EncodeSample(unicode);
        testutil::SocketPair pair;
        ASSERT_TRUE(testutil::WriteAll(pair.b, wire.data(), wire.size()));
        NetXDRImp xdr;
        MSGUSERCALL call{};
        ASSERT_TRUE(xdr.UserCall(pair.a, XDR_DECODE, call, unicode));
        ASSERT_NE(call.pData, nullptr);
        ASSERT_EQ(call.lCount, 8);
        const sL_VALUE* v = call.pData->pValues;
        EXPECT_EQ(v[0].data.lValue, -7);
        EXPECT_EQ(*v[1].data.pdValue, 0.5);
        EXPECT_STREQ(v[2].data.pString->mbcs(), "h\xC3\xA9llo \xF0\x9F\x98\x80");
        const sLIST_HEADER* list = v[3].data.pList;
        EXPECT_EQ(v[3].usType, NET_TYPE_STRING - NET_TYPE_UNKNOWN);
        ASSERT_EQ(list->lCount, 2);
        EXPECT_EQ(list->pCurrent, list->pLast);
        EXPECT_STREQ(list->pLast->data.pString->mbcs(), "h\xC3\xA9llo \xF0\x9F\x98\x80");
        ASSERT_TRUE(v[4].fReference);
        EXPECT_EQ(v[4].data.pReference->data.lValue, -7);
        EXPECT_EQ(Bytes(v[5].data.time.ucComponent, v[5].data.time.ucComponent + 4),
                  (Bytes{23, 59, 58, 0}));
        EXPECT_EQ(v[7].data.date.usHalf[1], 0x0C1F);
        EXPECT_FALSE(v[6].fValid);
        EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, call, unicode));  // LSan checks the release
    }
}

TEST(XdrUserCall, TruncationAtEveryByteFailsAndStaysReleasable) {
    for (unsigned char unicode : {0, 1}) {
        const Bytes wire = EncodeSample(unicode);
        NetXDRImp xdr;
        for (std::size_t cut = 0; cut < wire.size(); ++cut) {
            testutil::SocketPair pair;
            ASSERT_TRUE(testutil::WriteAll(pair.b, wire.data(), cut));
            pair.CloseB();
            MSGUSERCALL call{};
            EXPECT_FALSE(xdr.UserCall(pair.a, XDR_DECODE, call, unicode)) << cut;
            EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, call, unicode));
            EXPECT_EQ(call.pData, nullptr);
        }
    }
}

// A decode looks ahead at what has arrived but takes only its own record's bytes, whether the
// record is all there, arrives in two parts, or has the next message right behind it.
TEST(XdrUserCall, DecodeTakesOnlyItsOwnBytesHoweverTheyArrive) {
    const Bytes wire = EncodeSample(0);
    const Bytes marker{0, 0xCA, 0xFE, 0x01};
    NetXDRImp xdr;
    for (std::size_t cut : {wire.size(), std::size_t{1}, std::size_t{31}, wire.size() - 1}) {
        testutil::SocketPair pair;
        ASSERT_TRUE(testutil::WriteAll(pair.b, wire.data(), cut));
        MSGUSERCALL first{}, second{};
        std::uint32_t next = 0;
        std::thread reader([&] {
            EXPECT_TRUE(xdr.UserCall(pair.a, XDR_DECODE, first, 0)) << cut;
            EXPECT_TRUE(xdr.UserCall(pair.a, XDR_DECODE, second, 0)) << cut;
            EXPECT_TRUE(xdr.ULong(pair.a, XDR_DECODE, next)) << cut;
        });
        Bytes rest(wire.begin() + static_cast<std::ptrdiff_t>(cut), wire.end());
        rest.insert(rest.end(), wire.begin(), wire.end());
        rest.insert(rest.end(), marker.begin(), marker.end());
        ASSERT_TRUE(testutil::WriteAll(pair.b, rest.data(), rest.size()));
        reader.join();
        EXPECT_EQ(next, 0xCAFE01u) << cut;
        EXPECT_EQ(first.lCount, 8);
        EXPECT_EQ(second.lCount, 8);
        xdr.UserCall(-1, XDR_FREE, first, 0);
        xdr.UserCall(-1, XDR_FREE, second, 0);
    }
}

// Each message announces far more than it sends; the decode fails and holds about one chunk.
TEST(XdrHostileLengths, AnnouncedCountsAllocateOnlyWhatArrives) {
    const Bytes huge{0xFF, 0xFF, 0xFF, 0xF0};
    const Bytes userHead{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF,
                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x02, 0,    0,    0};
    const Bytes listValue{0x82, 0, 0, 1, 0x7F, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0, 0, 1};
    std::vector<Bytes> messages{huge, huge, userHead, listValue};
    messages[0].insert(messages[0].end(), 10, 'x');              // String
    messages[1].insert(messages[1].end(), {0xFF, 0, 'a', 'b'});  // Unicode
    NetXDRImp xdr;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        testutil::SocketPair pair;
        ASSERT_TRUE(testutil::WriteAll(pair.b, messages[i].data(), messages[i].size()));
        pair.CloseB();
        NetDecodeBudget budget(1ull << 40);
        char* text = nullptr;
        ZoString unicode;
        MSGUSERCALL call{};
        sL_VALUE value;
        const bool ok = i == 0   ? xdr.String(pair.a, XDR_DECODE, text)
                        : i == 1 ? xdr.Unicode(pair.a, XDR_DECODE, unicode)
                        : i == 2 ? xdr.UserCall(pair.a, XDR_DECODE, call, 0)
                                 : NET_ReceiveVDXData(&xdr, &value, pair.a, 0) >= 0;
        EXPECT_FALSE(ok) << i;
        EXPECT_LT(budget.Used(), 70u * 1024) << i;
        xdr.UserCall(-1, XDR_FREE, call, 0);
        EXPECT_EQ(text, nullptr);
    }
}

TEST(XdrBudget, OverBudgetFailsTheDecodeAndScopesNest) {
    NetXDRImp xdr;
    std::string text(5000, 'b');
    auto roundTrip = [&] {
        testutil::SocketPair pair;
        char* p = text.data();
        EXPECT_TRUE(xdr.String(pair.b, XDR_ENCODE, p));
        char* got = nullptr;
        const bool ok = xdr.String(pair.a, XDR_DECODE, got);
        std::free(got);
        return ok;
    };
    EXPECT_TRUE(roundTrip());
    {
        NetDecodeBudget outer(4000);
        EXPECT_FALSE(roundTrip());
        {
            NetDecodeBudget inner(6000);
            EXPECT_TRUE(roundTrip());
            EXPECT_EQ(inner.Used(), 5002u);
        }
        EXPECT_EQ(outer.Used(), 0u);
        EXPECT_TRUE(NetDecodeCharge(4000));
        EXPECT_FALSE(NetDecodeCharge(1));
    }
    EXPECT_TRUE(NetDecodeCharge(1ull << 40));
}

TEST(TypedValue, CopiesOwnRealsAndStringsAndShareLists) {
    sL_VALUE real;
    real.usType = NET_TYPE_REAL, real.kind = NET_KIND_REAL, real.fValid = 1;
    real.data.pdValue = new double(2.5);
    sL_VALUE copy(real);
    ASSERT_NE(copy.data.pdValue, real.data.pdValue);
    real.Cleanup();
    EXPECT_FALSE(real.fValid);
    EXPECT_EQ(real.data.pdValue, nullptr);
    EXPECT_EQ(*copy.data.pdValue, 2.5);

    sLIST_HEADER header{};
    sL_VALUE list;
    list.usType = 2, list.fValid = 1, list.data.pList = &header;
    sL_VALUE shared;
    shared = list;
    EXPECT_EQ(shared.data.pList, &header);
    shared = copy;  // releases nothing of the list, takes a new double
    EXPECT_EQ(*shared.data.pdValue, 2.5);
    list.Cleanup();
    EXPECT_TRUE(list.fValid);
    EXPECT_EQ(list.data.pList, &header);
}

}  // namespace
