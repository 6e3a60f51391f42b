// The value packer and the value-data functions: packed forms, malformed input, ownership.
#include "net/netpack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "net_xdr_budget.h"
#include "testutil.h"
#include "zo/zostring.h"

namespace {

using Bytes = std::vector<unsigned char>;

sL_VALUE Integer(std::int32_t n) {
    sL_VALUE v;
    v.usType = NET_TYPE_INTEGER, v.kind = NET_KIND_INTEGER, v.fValid = 1, v.data.lValue = n;
    return v;
}

class PackTest : public ::testing::Test {
protected:
    testutil::SocketPair pair;
    NetXDRImp xdr;

    Bytes Send(sL_VALUE& value, unsigned char unicode = 0) {
        EXPECT_GE(NET_SendVDXData(&xdr, &value, pair.a, unicode), 0);
        Bytes out;
        unsigned char chunk[4096];
        ssize_t got;
        while ((got = recv(pair.b, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
            out.insert(out.end(), chunk, chunk + got);
        }
        return out;
    }
    // Receives from the given bytes, followed by the end of the stream.
    int Receive(const Bytes& wire, sL_VALUE& value, unsigned char unicode = 0) {
        testutil::SocketPair in;
        EXPECT_TRUE(testutil::WriteAll(in.b, wire.data(), wire.size()));
        in.CloseB();
        return NET_ReceiveVDXData(&xdr, &value, in.a, unicode);
    }
};

TEST_F(PackTest, IntegerReferenceAndNoValueForms) {
    sL_VALUE seven = Integer(7);
    EXPECT_EQ(Send(seven), (Bytes{0x02, 0, 0, 1, 0, 0, 0, 7}));
    sL_VALUE ref;
    ref.usType = NET_TYPE_INTEGER, ref.fReference = 1, ref.fValid = 1;
    ref.data.pReference = &seven;
    EXPECT_EQ(Send(ref), (Bytes{0x02, 0, 1, 1, 0, 0, 0, 7}));
    sL_VALUE none = Integer(9);
    none.fValid = 0;
    EXPECT_EQ(Send(none), (Bytes{0, 0, 0, 0}));

    sL_VALUE got = Integer(1);
    EXPECT_EQ(Receive({0, 0, 0, 0}, got), 0);
    EXPECT_FALSE(got.fValid);
    EXPECT_EQ(Receive({0, 0, 0, 1}, got), -2);  // an unknown value cannot carry one
    sL_VALUE blank;
    blank.usType = NET_TYPE_STRING, blank.kind = NET_KIND_STRING, blank.fValid = 1;
    blank.data.pString = new ZoString("");
    EXPECT_EQ(Send(blank, 1), (Bytes{0x04, 0, 0, 0}));
}

TEST_F(PackTest, ListWithCursorTravelsAndReleasesDeeply) {
    sLIST_NODE nodes[2];
    nodes[0].sL_VALUE::operator=(Integer(1));
    nodes[1].sL_VALUE::operator=(Integer(2));
    nodes[0].pPrev = nullptr, nodes[0].pNext = &nodes[1];
    nodes[1].pPrev = &nodes[0], nodes[1].pNext = nullptr;
    sLIST_HEADER header{0, 2, 1, &nodes[0], &nodes[0], &nodes[1]};
    sL_VALUE list;
    list.usType = 2, list.fValid = 1, list.data.pList = &header;
    const Bytes wire = Send(list);
    const Bytes body{1, 0, 0, 0, 2, 1, 0, 0, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 2};
    Bytes expected{0x82, 0, 0};
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(wire, expected);

    sL_VALUE got;
    ASSERT_EQ(Receive(wire, got), 0);
    ASSERT_TRUE(got.fValid);
    EXPECT_EQ(got.usType, 2);
    const sLIST_HEADER* h = got.data.pList;
    ASSERT_EQ(h->lCount, 2);
    EXPECT_EQ(h->lCurrent, 1);
    EXPECT_EQ(h->pCurrent, h->pFirst);
    EXPECT_EQ(h->pLast->pPrev, h->pFirst);
    EXPECT_EQ(h->pLast->data.lValue, 2);
    EXPECT_EQ(NET_DisposeVDXData(&got), 0);  // LSan: header and nodes gone
    EXPECT_FALSE(got.fValid);

    // A cursor beyond the count rests on the last element; an empty list has no current one.
    ASSERT_EQ(Receive({0x82, 0, 0, 1, 0, 0, 0, 2, 1, 0, 0, 0, 9, 0, 1, 0, 0, 0, 5}, got), 0);
    EXPECT_EQ(got.data.pList->lCurrent, 2);
    EXPECT_EQ(got.data.pList->pCurrent, got.data.pList->pLast);
    EXPECT_FALSE(got.data.pList->pFirst->fValid);
    // It keeps the element type, so the list can be sent on with the right one.
    EXPECT_EQ(got.data.pList->pFirst->usType, NET_TYPE_INTEGER);
    NET_DisposeVDXData(&got);
    ASSERT_EQ(Receive({0x84, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 3}, got), 0);
    EXPECT_EQ(got.data.pList->pFirst, nullptr);
    EXPECT_EQ(got.data.pList->lCurrent, 0);
    NET_DisposeVDXData(&got);
}

TEST_F(PackTest, ReferenceChainOfDepthTwoToAReal) {
    sL_VALUE real;
    real.usType = NET_TYPE_REAL, real.kind = NET_KIND_REAL, real.fValid = 1;
    real.data.pdValue = new double(2.5);
    sL_VALUE middle, head;
    for (auto [from, to] : {std::pair{&middle, &real}, std::pair{&head, &middle}}) {
        from->usType = NET_TYPE_REAL, from->fReference = 1, from->fValid = 1;
        from->data.pReference = to;
    }
    const Bytes wire = Send(head);
    EXPECT_EQ(wire, (Bytes{0x03, 0, 2, 1, 0, 0, 0, 0, 0, 0, 4, 0x40}));

    sL_VALUE got;
    got.usType = NET_TYPE_STRING, got.kind = NET_KIND_STRING, got.fValid = 1;
    got.data.pString = new ZoString("released first");
    ASSERT_EQ(Receive(wire, got), 0);
    ASSERT_TRUE(got.fReference);
    const sL_VALUE* link = got.data.pReference;
    ASSERT_TRUE(link->fReference);
    EXPECT_EQ(link->usType, NET_TYPE_REAL);
    const sL_VALUE* end = link->data.pReference;
    EXPECT_FALSE(end->fReference);
    EXPECT_EQ(*end->data.pdValue, 2.5);
    EXPECT_NE(end->data.pdValue, real.data.pdValue);
    NET_DisposeVDXData(&got);
    EXPECT_FALSE(got.fValid || got.fReference);
    EXPECT_EQ(got.data.pdValue, nullptr);

    // A depth of 0x8000 or more is negative and builds no reference.
    ASSERT_EQ(Receive({0x02, 0x80, 0x00, 1, 0, 0, 0, 4}, got), 0);
    EXPECT_FALSE(got.fReference);
    EXPECT_EQ(got.data.lValue, 4);
    {
        NetDecodeBudget budget(100 * sizeof(sL_VALUE) - 1);
        EXPECT_EQ(Receive({0x02, 0, 100, 1, 0, 0, 0, 5}, got), -4);  // links over budget
    }
    EXPECT_EQ(got.data.lValue, 4);
}

TEST_F(PackTest, MalformedTypeBytesDisposeTheTarget) {
    for (unsigned char type : {0x40, 0x7F, 0xA0, 0xC0, 0xFF}) {
        sL_VALUE got;
        got.usType = NET_TYPE_STRING, got.kind = NET_KIND_STRING, got.fValid = 1;
        got.data.pString = new ZoString("held");
        EXPECT_EQ(Receive({type, 0, 0}, got), -2) << int{type};
        EXPECT_FALSE(got.fValid);
        EXPECT_EQ(Receive({type, 0}, got), -4);  // the depth is still read
    }
    sL_VALUE got;
    EXPECT_EQ(Receive({0x20, 0, 0, 0}, got), 0);  // 0x20 is code 32000
    EXPECT_EQ(Receive({0x01, 0, 0, 1, 5}, got), 0);
    EXPECT_EQ(got.data.lValue, 5);  // a boolean as received
    sL_VALUE flag = Integer(5);
    flag.usType = NET_TYPE_BOOLEAN, flag.kind = NET_KIND_BOOLEAN;
    EXPECT_EQ(Send(flag), (Bytes{0x01, 0, 0, 1, 1}));
}

TEST_F(PackTest, HandlePrintsItsFourLines) {
    sL_VALUE handle = Integer(77);
    handle.usType = 32010, handle.kind = NET_KIND_HANDLE;
    testing::internal::CaptureStdout();
    const Bytes wire = Send(handle);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Pack Handle\nPack Handle 1\nPack Handle 2\nPack Handle 3\n");
    EXPECT_EQ(wire, (Bytes{0x0A, 0, 0, 1, 0, 0, 0, 77}));
    sL_VALUE got;
    ASSERT_EQ(Receive(wire, got), 0);
    EXPECT_TRUE(got.usType == 32010 && got.kind == NET_KIND_HANDLE && got.data.lValue == 77);

    pair.CloseB();
    NetPacker packer(&xdr, pair.a, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(packer.Pack(handle, nullptr), -3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Pack Handle\nPack Handle 1\nPack Handle 3\n");
}

}  // namespace
