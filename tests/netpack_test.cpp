// SPDX-License-Identifier: Apache-2.0
// The value packer and the value-data functions: packed forms, malformed input, ownership.
#include "net/netpack.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "net_xdr_budget.h"
#include "netnodecache.h"
#include "testutil.h"
#include "zo/zostring.h"

using namespace testutil;

namespace {

sL_VALUE Value(std::uint16_t type, unsigned char kind, std::int32_t n = 0) {
    sL_VALUE v;
    v.usType = type, v.kind = kind, v.fValid = 1, v.data.lValue = n;
    return v;
}

sL_VALUE Link(std::uint16_t type, sL_VALUE* to) {
    sL_VALUE v = Value(type, NET_KIND_NONE);
    v.fReference = 1, v.data.pReference = to;
    return v;
}

// A string the receive has to release before it fills the value.
sL_VALUE Held() {
    sL_VALUE v = Value(NET_TYPE_STRING, NET_KIND_STRING);
    v.data.pString = new ZoString("held");
    return v;
}

// An application's own encoder: counts the codec calls the packer makes.
struct CountingXdr : NetXDRImp {
    int calls = 0;
    unsigned char Byte(int s, XDR_Op op, unsigned char& v) override {
        return ++calls, NetXDRImp::Byte(s, op, v);
    }
    unsigned char Short(int s, XDR_Op op, std::int16_t& v) override {
        return ++calls, NetXDRImp::Short(s, op, v);
    }
    unsigned char Long(int s, XDR_Op op, std::int32_t& v) override {
        return ++calls, NetXDRImp::Long(s, op, v);
    }
};

class PackTest : public ::testing::Test {
protected:
    SocketPair pair;
    NetXDRImp xdr;

    Bytes Send(sL_VALUE& value, unsigned char unicode = 0, NetXDR* codec = nullptr) {
        EXPECT_GE(NET_SendVDXData(codec != nullptr ? codec : &xdr, &value, pair.a, unicode), 0);
        return Drain(pair.b);
    }
    // Receives from the given bytes, followed by the end of the stream.
    int Receive(const Bytes& wire, sL_VALUE& value, unsigned char unicode = 0,
                NetXDR* codec = nullptr) {
        return ReadFrom(wire, [&](int fd) {
            return NET_ReceiveVDXData(codec != nullptr ? codec : &xdr, &value, fd, unicode);
        });
    }
};

// The forms the other tests do not reach (every kind crosses in netlit_test, and each packed
// form is pinned in wireformat_test): a reference to a reference, a value without value, a
// boolean's one byte, and a Unicode string without text, which travels as no value.
TEST_F(PackTest, PackedFormsRoundTrip) {
    sL_VALUE real = Value(NET_TYPE_REAL, NET_KIND_REAL), none = Value(NET_TYPE_INTEGER, 0, 9);
    real.data.pdValue = new double(2.5);
    none.fValid = 0;
    sL_VALUE middle = Link(NET_TYPE_REAL, &real), head = Link(NET_TYPE_REAL, &middle);
    sL_VALUE flag = Value(NET_TYPE_BOOLEAN, NET_KIND_BOOLEAN, 5);
    const std::pair<sL_VALUE*, Bytes> forms[] = {
        {&head, {0x03, 0, 2, 1, 0, 0, 0, 0, 0, 0, 4, 0x40}},
        {&none, {0, 0, 0, 0}},
        {&flag, {0x01, 0, 0, 1, 1}},
    };
    for (const auto& [value, wire] : forms) {
        EXPECT_EQ(Send(*value), wire);
        sL_VALUE got = Held();
        ASSERT_EQ(Receive(wire, got), 0);
        EXPECT_EQ(Send(got), wire);
        EXPECT_EQ(NET_DisposeVDXData(&got), 0);
        EXPECT_FALSE(got.fValid || got.fReference);
    }
    sL_VALUE blank = Held();
    *blank.data.pString = ZoString("");
    EXPECT_EQ(Send(blank, 1), (Bytes{0x04, 0, 0, 0}));
}

// The library's own encoder packs and unpacks list bodies in memory, an application's own
// encoder through every codec call; both give the same bytes and the same values.
TEST_F(PackTest, OwnEncoderSeesEveryCodecCallAndTheBytesAreTheSame) {
    const struct {
        std::uint16_t type;
        std::function<void(sLIST_NODE&, int)> make;
    } kinds[] = {
        {NET_TYPE_BOOLEAN, [](sLIST_NODE& n, int i) { n.data.lValue = i % 3; }},
        {NET_TYPE_INTEGER, [](sLIST_NODE& n, int i) { n.data.lValue = i * 65537 - 40000000; }},
        {NET_TYPE_REAL,
         [](sLIST_NODE& n, int i) {
             n.kind = NET_KIND_REAL, n.data.pdValue = new double(i / 3.0);
         }},
        {NET_TYPE_STRING,
         [](sLIST_NODE& n, int i) {
             n.kind = NET_KIND_STRING;
             // Texts in the string object's own buffer and beyond it.
             n.data.pString = new ZoString(std::string(i % 50, char('a' + i % 26)).c_str());
         }},
        {NET_TYPE_TIME,
         [](sLIST_NODE& n, int i) {
             n.data.time = {{23, 59, 58, 0}}, n.data.time.ucComponent[0] = i % 24;
         }},
        {NET_TYPE_DATE,
         [](sLIST_NODE& n, int i) {
             n.data.date = {{std::uint16_t(i), 0xC1F}};
         }},
    };
    for (const auto& kind : kinds) {
        for (const int n : {0, 1, 60}) {  // the own encoder sends each primitive alone
            for (const unsigned char unicode : {0, 1}) {
                SCOPED_TRACE(std::to_string(kind.type) + " x" + std::to_string(n) + " unicode " +
                             std::to_string(unicode));
                sL_VALUE list = ListOf(kind.type, n, [&](sLIST_NODE& node, int i) {
                    i % 5 != 0 ? kind.make(node, i) : void(node.fValid = 0);  // some without value
                });
                CountingXdr own;
                const Bytes wire = Send(list, unicode);
                ASSERT_EQ(Send(list, unicode, &own), wire);
                for (NetXDR* codec : {static_cast<NetXDR*>(&xdr), static_cast<NetXDR*>(&own)}) {
                    sL_VALUE got = Held();
                    ASSERT_EQ(Receive(wire, got, unicode, codec), 0);
                    EXPECT_EQ(Send(got, unicode), wire);
                    NET_DisposeVDXData(&got);
                }
                if (kind.type == NET_TYPE_INTEGER) {  // type, depth, count, cursor, elements
                    EXPECT_EQ(own.calls, 2 * (6 + 2 * n));
                }
                NET_DisposeVDXData(&list);  // nodes made with new, released by the library
            }
        }
    }
}

// List nodes and strings come from caches: made on one thread and deleted on another, made by the
// application and released by the library or the other way round; what a cache keeps is bounded.
TEST_F(PackTest, ListNodesAreReusedAcrossThreadsAndTheCacheIsBounded) {
    sL_VALUE list = ListOf(NET_TYPE_STRING, 3000, [](sLIST_NODE& n, int i) {
        n.kind = NET_KIND_STRING, n.data.pString = new ZoString(std::to_string(i).c_str());
    });
    const Bytes wire = Send(list);
    NET_DisposeVDXData(&list);
    std::unordered_set<const void*> seen;
    for (int round = 0; round < 3; ++round) {
        sL_VALUE got;
        std::thread([&] { EXPECT_EQ(Receive(wire, got), 0); }).join();
        std::size_t reused[2] = {0, 0};  // nodes, strings
        for (sLIST_NODE* node = got.data.pList->pFirst; node != nullptr; node = node->pNext) {
            reused[0] += !seen.insert(node).second;
            reused[1] += !seen.insert(node->data.pString).second;
        }
        if (round > 0) {  // what was released here was made on the thread of the round before
            EXPECT_GT(reused[0], 2000u) << round;
            EXPECT_GT(reused[1], 2000u) << round;
        }
        if (round == 1) {  // the application releases a received list itself
            for (sLIST_NODE* node = got.data.pList->pFirst; node != nullptr;)
                delete std::exchange(node, node->pNext);  // with its string
            delete got.data.pList;
            got.fValid = 0;
        }
        NET_DisposeVDXData(&got);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            std::vector<sLIST_NODE*> nodes(20000);
            for (auto& node : nodes)
                node = new sLIST_NODE{};
            for (auto* node : nodes)
                delete node;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_LE(NetNodesStored(), kNodeBatch * kNodeStoreBatches);
    EXPECT_GT(NetNodesStored(), 0u);
}

TEST_F(PackTest, ReceivedInputIsTakenAsItComes) {
    sL_VALUE got;
    // A cursor beyond the count rests on the last element, which keeps its type for sending on.
    ASSERT_EQ(Receive({0x82, 0, 0, 1, 0, 0, 0, 2, 1, 0, 0, 0, 9, 0, 1, 0, 0, 0, 5}, got), 0);
    EXPECT_EQ(got.data.pList->lCurrent, 2);
    EXPECT_EQ(got.data.pList->pCurrent, got.data.pList->pLast);
    EXPECT_EQ(got.data.pList->pLast->pPrev, got.data.pList->pFirst);
    EXPECT_FALSE(got.data.pList->pFirst->fValid);
    EXPECT_EQ(got.data.pList->pFirst->usType, NET_TYPE_INTEGER);
    NET_DisposeVDXData(&got);
    ASSERT_EQ(Receive({0x84, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 3}, got), 0);  // empty list
    EXPECT_EQ(got.data.pList->pFirst, nullptr);
    EXPECT_EQ(got.data.pList->lCurrent, 0);
    NET_DisposeVDXData(&got);

    EXPECT_EQ(Receive({0x20, 0, 0, 0}, got), 0);  // 0x20 is code 32000
    EXPECT_EQ(Receive({0x01, 0, 0, 1, 5}, got), 0);
    EXPECT_EQ(got.data.lValue, 5);  // a boolean as received
    // A depth of 0x8000 or more is negative and builds no reference.
    ASSERT_EQ(Receive({0x02, 0x80, 0x00, 1, 0, 0, 0, 4}, got), 0);
    EXPECT_FALSE(got.fReference);
    EXPECT_EQ(got.data.lValue, 4);
    {
        // Links are charged as the heap blocks they take, twice their size.
        NetDecodeBudget budget(60 * NetAllocCost(sizeof(sL_VALUE)) - 1);
        EXPECT_EQ(Receive({0x02, 0, 60, 1, 0, 0, 0, 5}, got), -4);  // links over budget
    }
    EXPECT_EQ(got.data.lValue, 4);  // a failed read leaves the value alone
    // A string is charged as its object, and its text's block when the text does not fit in it.
    for (const std::size_t n : {ZoString::kInline - 2, ZoString::kInline - 1}) {
        sL_VALUE text = Value(NET_TYPE_STRING, NET_KIND_STRING);
        text.data.pString = new ZoString(std::string(n, 't').c_str());
        const Bytes wire = Send(text);
        NET_DisposeVDXData(&text);
        NetDecodeBudget budget(1 << 20);
        ASSERT_EQ(Receive(wire, got), 0);
        EXPECT_EQ(got.data.pString->mbcsBytes(), n);
        EXPECT_EQ(budget.Used(), NetAllocCost(sizeof(ZoString)) +
                                     (n + 1 > ZoString::kInline ? NetAllocCost(n + 1) : 0));
    }
    {
        NetDecodeBudget budget(1 << 20);  // a budget brings the default depth limit, 64
        EXPECT_EQ(Receive({0x02, 0, 64, 1, 0, 0, 0, 5}, got), 0);
        EXPECT_EQ(Receive({0x02, 0, 65, 1, 0, 0, 0, 5}, got), -2);  // deeper: malformed
        EXPECT_FALSE(got.fValid);
    }
}

TEST_F(PackTest, MalformedInputDisposesTheTarget) {
    for (unsigned char type : {0x40, 0x7F, 0xA0, 0xC0, 0xFF}) {
        sL_VALUE got = Held();
        EXPECT_EQ(Receive({type, 0, 0}, got), -2) << int{type};
        EXPECT_FALSE(got.fValid);
        EXPECT_EQ(Receive({type, 0}, got), -4);  // the depth is still read
    }
    sL_VALUE got = Held();
    EXPECT_EQ(Receive({0, 0, 0, 1}, got), -2);  // an unknown value cannot carry one
    EXPECT_FALSE(got.fValid);
}

// Packing a handle prints its progress on the packer's output, which an application may close.
TEST_F(PackTest, HandlePrintsItsFourLines) {
    sL_VALUE handle = Value(32010, NET_KIND_HANDLE, 77);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Send(handle), (Bytes{0x0A, 0, 0, 1, 0, 0, 0, 77}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Pack Handle\nPack Handle 1\nPack Handle 2\nPack Handle 3\n");
    NetPackerOutput(nullptr);
    testing::internal::CaptureStdout();
    Send(handle);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    NetPackerOutput(stdout);
}

}  // namespace
