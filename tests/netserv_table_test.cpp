// SPDX-License-Identifier: Apache-2.0
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

// Numbers are indexes from 0, and the table grows, even from nothing. (The limit below the
// listener's number is in netserv_handshake_test, with a full table.)
TEST_F(HandleTable, NumbersFromZeroAndTheTableGrows) {
    free(server->m_ppHandles);
    server->m_ppHandles = nullptr;
    server->m_ulHandleCount = 0;
    for (int i = 0; i < 11; ++i) {
        NetHostHndl* handle = server->CreateHndl("host", "svc");
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(server->NetHost(i), handle);
    }
    for (int number : {11, -1, 65535})
        EXPECT_EQ(server->NetHost(number), nullptr);
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
