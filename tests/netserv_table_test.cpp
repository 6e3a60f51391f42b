// The server's handle table: numbering, growth, lookups and the reuse of free handles.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "servtest.h"

using namespace servtest;

namespace {

class HandleTable : public ::testing::Test {
protected:
    void SetUp() override { server->Init(nullptr, 5555); }
    std::unique_ptr<NetServerImp> server = MakeServer();
};

// Ten entries at first, twenty more at the eleventh; the listener's number is never reached.
TEST_F(HandleTable, NumbersFromZeroAndGrowsByTwentyButNeverToTheListenersNumber) {
    for (int i = 0; i < 11; ++i) {
        NetHostHndl* handle = server->CreateHndl("host", "svc");
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(server->m_ulHandleCount, i < 10 ? 10u : 30u);
        EXPECT_EQ(handle->m_lHandle, i);
        EXPECT_EQ(server->NetHost(i), handle);
    }
    for (int number : {11, -1, 30, 65535})
        EXPECT_EQ(server->NetHost(number), nullptr);

    // A table whose first 65530 entries all hold one handle: only the last are left.
    NetHostHndl* first = server->NetHost(0);
    constexpr std::uint32_t kFull = 65530;
    auto* big = static_cast<NetHostHndl**>(realloc(server->m_ppHandles, kFull * sizeof first));
    ASSERT_NE(big, nullptr);
    std::fill(big + 11, big + kFull, first);
    server->m_ppHandles = big;
    server->m_ulHandleCount = kFull;
    int last = -1;
    while (NetHostHndl* handle = server->CreateHndl("host", "svc"))
        last = handle->m_lHandle;
    EXPECT_EQ(last, 65534);
    EXPECT_EQ(server->m_ulHandleCount, 65535u);
    std::fill(server->m_ppHandles + 11, server->m_ppHandles + kFull, nullptr);  // one owner each
}

TEST_F(HandleTable, TableLeftEmptyByAFailedAllocationGrowsOnFirstUse) {
    free(server->m_ppHandles);
    server->m_ppHandles = nullptr;
    server->m_ulHandleCount = 0;
    EXPECT_EQ(server->CreateHndl("host", "svc")->m_lHandle, 0);
    EXPECT_EQ(server->m_ulHandleCount, 20u);
}

TEST_F(HandleTable, FindFreeRefusesHandlesInAnyUseAndReusesTheNumber) {
    server->CreateHndl("a", "svc");
    NetHostHndl* handle = server->CreateHndl("Host", "svc");
    EXPECT_EQ(server->FindFreeHndl("host", "SVC", 1), nullptr);  // reserved by its creation
    handle->m_bConnecting = false;
    EXPECT_EQ(server->FindFreeHndl("host", "SVC", 1), handle);
    EXPECT_EQ(handle->m_lHandle, 1);
    EXPECT_EQ(server->FindFreeHndl("other", "svc", 1), nullptr);
    EXPECT_EQ(server->FindFreeHndl("host", "svc:1", 1), nullptr);  // the whole text is compared

    Stats stats;
    EchoEvent event(stats);
    SocketPair pair;
    for (bool* flag : {&handle->m_bActive, &handle->m_bPeerClosed}) {
        *flag = true;
        EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
        *flag = false;
    }
    handle->m_pEvent = &event;
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
    handle->m_pEvent = nullptr;
    std::swap(handle->m_nServerSocket, pair.a);  // the handle closes it
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
}

TEST_F(HandleTable, FindHndlMatchesTheServicePort) {
    NetHostHndl* onDefault = server->CreateHndl("host", "svc");
    NetHostHndl* on4001 = server->CreateHndl("host", "svc:4001");
    EXPECT_EQ(server->FindHndl("HOST", "svc:4001"), on4001);
    EXPECT_EQ(server->FindHndl("host", "svc"), onDefault);
    EXPECT_EQ(server->FindHndl("host", "svc:5555"), onDefault);
    EXPECT_EQ(server->FindHndl("host", "svc:4002"), nullptr);
    EXPECT_EQ(server->FindHndl(nullptr, "svc"), nullptr);
}

}  // namespace
