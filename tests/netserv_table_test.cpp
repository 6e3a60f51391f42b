// The server's handle table: numbering, growth, lookups and the reuse of free handles.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "net/nethndl.h"
#include "netserv_testutil.h"
#include "netservimp.h"

namespace {

class HandleTable : public ::testing::Test {
protected:
    void SetUp() override {
        server.reset(static_cast<NetServerImp*>(NetServer::CreateServer()));
        server->Init(nullptr, 5555);
    }
    // A handle as it is once its connection has ended and its event object is released.
    NetHostHndl* FreeHandle(const char* host, const char* service) {
        NetHostHndl* handle = server->CreateHndl(host, service);
        handle->m_bConnecting = false;
        return handle;
    }
    std::unique_ptr<NetServerImp> server;
};

TEST_F(HandleTable, NumbersFromZeroAndGrowsByTwentyAtTheEleventh) {
    EXPECT_EQ(server->m_ulHandleCount, 10u);
    for (int i = 0; i < 10; ++i) {
        NetHostHndl* handle = server->CreateHndl("host", "svc");
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->m_lHandle, i);
        EXPECT_EQ(server->NetHost(i), handle);
    }
    EXPECT_EQ(server->m_ulHandleCount, 10u);
    NetHostHndl* eleventh = server->CreateHndl("host", "svc");
    EXPECT_EQ(eleventh->m_lHandle, 10);
    EXPECT_EQ(server->m_ulHandleCount, 30u);
    EXPECT_EQ(server->NetHost(10), eleventh);
    EXPECT_EQ(server->NetHost(11), nullptr);
    EXPECT_EQ(server->NetHost(-1), nullptr);
    EXPECT_EQ(server->NetHost(30), nullptr);
    EXPECT_EQ(server->NetHost(65535), nullptr);  // no generic listener set
}

TEST_F(HandleTable, EmptyTableGrowsOnFirstUse) {
    free(server->m_ppHandles);  // as when the first allocation failed
    server->m_ppHandles = nullptr;
    server->m_ulHandleCount = 0;
    NetHostHndl* handle = server->CreateHndl("host", "svc");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->m_lHandle, 0);
    EXPECT_EQ(server->m_ulHandleCount, 20u);
}

TEST_F(HandleTable, NeverGrowsToTheListenersNumber) {
    NetHostHndl* first = server->CreateHndl("host", "svc");
    // Fill a near-full table with the one handle, so only the last few entries are free.
    constexpr std::uint32_t kFull = 65530;
    auto* big = static_cast<NetHostHndl**>(realloc(server->m_ppHandles, kFull * sizeof first));
    ASSERT_NE(big, nullptr);
    for (std::uint32_t i = 0; i < kFull; ++i)
        big[i] = first;
    server->m_ppHandles = big;
    server->m_ulHandleCount = kFull;

    int last = -1;
    while (NetHostHndl* handle = server->CreateHndl("host", "svc"))
        last = handle->m_lHandle;
    EXPECT_EQ(last, 65534);
    EXPECT_EQ(server->m_ulHandleCount, 65535u);
    for (std::uint32_t i = 1; i < kFull; ++i) {
        server->m_ppHandles[i] = nullptr;  // each handle once, for the destructor
    }
}

TEST_F(HandleTable, SocketLookupIgnoresMinusOne) {
    NetHostHndl* a = server->CreateHndl("host", "svc");
    NetHostHndl* b = server->CreateHndl("host", "svc");
    testutil::SocketPair pair;
    b->m_nServerSocket = pair.a;
    pair.a = -1;  // the handle closes it now
    EXPECT_EQ(server->NetHostFromSocket(-1), nullptr);
    EXPECT_EQ(server->NetHostFromSocket(b->m_nServerSocket), b);
    EXPECT_EQ(a->m_nServerSocket, -1);
    EXPECT_EQ(server->NetHostFromSocket(pair.b), nullptr);
}

TEST_F(HandleTable, FindFreeRefusesHandlesInAnyUse) {
    NetHostHndl* handle = server->CreateHndl("Host", "svc");
    EXPECT_EQ(server->FindFreeHndl("host", "SVC", 1), nullptr);  // reserved by its creation
    handle->m_bConnecting = false;
    EXPECT_EQ(server->FindFreeHndl("host", "SVC", 1), handle);
    EXPECT_EQ(server->FindFreeHndl("other", "svc", 1), nullptr);
    EXPECT_EQ(server->FindFreeHndl("host", "svc:1", 1), nullptr);  // the whole text is compared

    handle->m_bActive = true;
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
    handle->m_bActive = false;
    handle->m_bPeerClosed = true;
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
    handle->m_bPeerClosed = false;
    servtest::Counts counts;
    handle->m_pEvent = new servtest::CountingEvent(counts);
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
    delete handle->m_pEvent;
    handle->m_pEvent = nullptr;
    testutil::SocketPair pair;
    handle->m_nServerSocket = pair.a;
    pair.a = -1;
    EXPECT_EQ(server->FindFreeHndl("host", "svc", 1), nullptr);
}

TEST_F(HandleTable, ReleasedHandleIsReusedWithItsNumber) {
    server->CreateHndl("a", "svc");
    NetHostHndl* released = FreeHandle("b", "svc");
    server->CreateHndl("c", "svc");
    NetHostHndl* reused = server->FindFreeHndl("b", "svc", 0);
    ASSERT_EQ(reused, released);
    EXPECT_EQ(reused->m_lHandle, 1);
    EXPECT_EQ(server->NetHost(1), released);
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
