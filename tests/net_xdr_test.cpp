// SPDX-License-Identifier: Apache-2.0
// The socket encoder: primitive wire forms, call records, hostile lengths and the decode budget.
#include "net/net_xdr.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "net/netpack.h"
#include "net_xdr_budget.h"
#include "testutil.h"
#include "zo/zostring.h"

using namespace testutil;

namespace {

class XdrTest : public ::testing::Test {
protected:
    SocketPair pair;
    NetXDRImp xdr;

    // Everything the encoder has written so far (a socket pair delivers it at once).
    Bytes Sent() { return Drain(pair.b); }
    // Puts bytes on the wire for a decode, then ends the stream.
    void Feed(const Bytes& bytes) {
        ASSERT_TRUE(WriteAll(pair.b, bytes));
        shutdown(pair.b, SHUT_WR);
    }
};

// Null, empty and a text in both forms, UTF-16 with a surrogate pair. A received text lacking its
// NUL gets one, and UTF-16 from a sender of the other byte order (its marker arrives as 00 FF)
// reads the same.
TEST_F(XdrTest, TextFormsNullEmptyAndUnterminated) {
    char abc[] = "abc", empty[] = "";
    for (char* p : {static_cast<char*>(nullptr), abc, empty})
        ASSERT_TRUE(xdr.String(pair.a, XDR_ENCODE, p));
    ZoString wide("a\xC3\xA9\xF0\x9F\x98\x80"), null, none("");  // "aé😀"
    for (ZoString* text : {&wide, &null, &none})
        ASSERT_TRUE(xdr.Unicode(pair.a, XDR_ENCODE, *text));
    const Bytes text{0, 0, 0, 0, 0, 0, 0, 4, 'a', 'b', 'c', 0, 0, 0, 0, 1, 0};
    const Bytes wideText{0, 0, 0, 8, 0xFF, 0, 0, 'a', 0, 0xE9, 0xD8, 0x3D, 0xDE, 0};
    const Bytes wideNull{0, 0, 0, 0, 0xFF, 0};  // "" goes out as null
    EXPECT_EQ(Sent(), text + wideText + wideNull + wideNull);
    EXPECT_TRUE(xdr.Unicode(-1, XDR_FREE, wide));
    EXPECT_STREQ(wide.mbcs(), "a\xC3\xA9\xF0\x9F\x98\x80");  // the string owns its text

    // Null, "", "ab" from the other byte order, null, and "z" without its NUL.
    Feed(Bytes{0, 0, 0, 0, 0, 0, 0, 1, 0} + Bytes{0, 0, 0, 4, 0, 0xFF, 'a', 0, 'b', 0} +
         Bytes{0, 0, 0, 0, 0, 0xFF} + Bytes{0, 0, 0, 1, 'z'});
    char* got = abc;
    ZoString gotWide("old");
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    EXPECT_EQ(got, nullptr);
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "");
    std::free(got);
    ASSERT_TRUE(xdr.Unicode(pair.a, XDR_DECODE, gotWide));
    EXPECT_STREQ(gotWide.mbcs(), "ab");
    ASSERT_TRUE(xdr.Unicode(pair.a, XDR_DECODE, gotWide));
    EXPECT_TRUE(gotWide.IsNull());
    ASSERT_TRUE(xdr.String(pair.a, XDR_DECODE, got));
    EXPECT_STREQ(got, "z");
    EXPECT_TRUE(xdr.String(-1, XDR_FREE, got));
    EXPECT_EQ(got, nullptr);
    EXPECT_FALSE(xdr.Unicode(pair.a, XDR_DECODE, gotWide));  // the stream has ended
}

const char kText[] = "h\xC3\xA9llo \xF0\x9F\x98\x80";

// A user call holding every kind of value the library builds on receipt.
struct SampleCall {
    sLIST_HEADER list{};
    sLIST_NODE nodes[2];
    sL_VALUE values[8];  // values[6] stays without value
    sL_VALUE link;
    MSGUSERDATA block{};
    MSGUSERCALL call{};

    SampleCall() {
        Set(values[0], NET_TYPE_INTEGER, NET_KIND_INTEGER).data.lValue = -7;
        sL_VALUE real;
        Set(real, NET_TYPE_REAL, NET_KIND_REAL).data.pdValue = new double(0.5);
        Set(values[2], NET_TYPE_STRING, NET_KIND_STRING).data.pString = new ZoString(kText);
        // Copies own their double and text: one shared would be released twice.
        values[1] = real;
        nodes[0].sL_VALUE::operator=(values[2]);
        nodes[1].sL_VALUE::operator=(values[2]);
        nodes[0].pPrev = nullptr, nodes[0].pNext = &nodes[1];
        nodes[1].pPrev = &nodes[0], nodes[1].pNext = nullptr;
        list = {0, 2, 2, &nodes[0], &nodes[1], &nodes[1]};
        Set(values[3], NET_TYPE_STRING - NET_TYPE_UNKNOWN).data.pList = &list;
        link = values[0];
        Set(values[4], NET_TYPE_INTEGER).data.pReference = &link;
        values[4].fReference = 1;
        Set(values[5], NET_TYPE_TIME, NET_KIND_TIME).data.time = {{23, 59, 58, 1}};
        Set(values[7], NET_TYPE_DATE, NET_KIND_DATE).data.date = {{2024, 0x0C1F}};
        block.usType = 12, block.lCount = 8, block.pValues = values;
        call = {0, 1, 4, 0, 0, 0, &block};
    }
};

Bytes Encode(MSGUSERCALL& call, unsigned char unicode) {
    return WrittenBytes(
        [&](int fd) { return NetXDRImp().UserCall(fd, XDR_ENCODE, call, unicode); });
}

Bytes EncodeSample(unsigned char unicode) {
    SampleCall sample;
    return Encode(sample.call, unicode);
}

// Decodes the first cut bytes of wire, followed by the end of the stream.
bool DecodeCut(const Bytes& wire, std::size_t cut, MSGUSERCALL& call, unsigned char unicode) {
    return ReadFrom(Bytes(wire.begin(), wire.begin() + cut),
                    [&](int fd) { return NetXDRImp().UserCall(fd, XDR_DECODE, call, unicode); });
}

// Every value kind in both string forms: what arrives encodes to the same bytes. Any shorter
// message fails and stays releasable (the ASan run's leak check sees every release).
TEST(XdrUserCall, RoundTripAndTruncationAtEveryByteUnderAsan) {
    NetXDRImp xdr;
    for (unsigned char unicode : {0, 1}) {
        const Bytes wire = EncodeSample(unicode);
        MSGUSERCALL call{};
        ASSERT_TRUE(DecodeCut(wire, wire.size(), call, unicode));
        ASSERT_EQ(call.lCount, 8);
        EXPECT_EQ(Encode(call, unicode), wire);
        const sL_VALUE* v = call.pData->pValues;
        EXPECT_STREQ(v[3].data.pList->pLast->data.pString->mbcs(), kText);
        EXPECT_EQ(v[3].data.pList->pCurrent, v[3].data.pList->pLast);
        EXPECT_EQ(v[4].data.pReference->data.lValue, -7);
        EXPECT_EQ(v[5].data.time.ucComponent[3], 0);
        EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, call, unicode));

        for (std::size_t cut = 0; cut < wire.size(); ++cut) {
            EXPECT_FALSE(DecodeCut(wire, cut, call, unicode)) << cut;
            EXPECT_TRUE(xdr.UserCall(-1, XDR_FREE, call, unicode));
            EXPECT_EQ(call.pData, nullptr);
        }
    }
}

// Each message announces far more than it sends; the decode fails and holds about one chunk.
TEST(XdrHostileLengths, AnnouncedCountsAllocateOnlyWhatArrives) {
    const std::vector<Bytes> messages{
        {0xFF, 0xFF, 0xFF, 0xF0, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'},  // String
        {0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0, 'a', 'b'},                                 // Unicode
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF,                 // user call
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x02, 0,    0,    0},
        {0x82, 0, 0, 1, 0x7F, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0, 0, 1},  // list value
    };
    NetXDRImp xdr;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        NetDecodeBudget budget(1ull << 40);
        char* text = nullptr;
        ZoString unicode;
        MSGUSERCALL call{};
        sL_VALUE value;
        const bool ok = ReadFrom(messages[i], [&](int fd) {
            return i == 0   ? xdr.String(fd, XDR_DECODE, text)
                   : i == 1 ? xdr.Unicode(fd, XDR_DECODE, unicode)
                   : i == 2 ? xdr.UserCall(fd, XDR_DECODE, call, 0)
                            : NET_ReceiveVDXData(&xdr, &value, fd, 0) >= 0;
        });
        EXPECT_FALSE(ok) << i;
        EXPECT_LT(budget.Used(), 70u * 1024) << i;
        xdr.UserCall(-1, XDR_FREE, call, 0);
        EXPECT_EQ(text, nullptr);
    }
}

}  // namespace
