// SPDX-License-Identifier: Apache-2.0
// Service texts, registrations and the generic listener. Which service a connection reaches is
// in netserv_handshake_test, the ports themselves in netport_test.
#include <gtest/gtest.h>
#include <netdb.h>

#include <set>
#include <string>

#include "netnode.h"
#include "netport.h"
#include "servtest.h"

using namespace servtest;

namespace {

// Whether the system accepts a connection on the loopback port.
bool Accepts(std::uint16_t port) {
    const int fd = ConnectRaw(port);
    return fd >= 0 && close(fd) == 0;
}

class Registry : public ::testing::Test {
protected:
    std::uint16_t FreshPort() {  // free, and used by no other port of the test
        std::uint16_t port;
        while (!used.insert(port = FreePort()).second) {
        }
        return port;
    }
    static std::string Text(const char* name, std::uint16_t port) {
        return name + (":" + std::to_string(port));
    }
    NetRegisterNode* Find(const char* name, std::uint16_t port) {
        ZoLock lock(server->m_TableLock);
        return server->FindFunc(name, port);
    }
    bool Exists(NetRegisterNode* node, std::uint64_t serial) {
        ZoLock lock(server->m_TableLock);
        return server->ServiceExists(node, serial);
    }

    Stats counts, other;  // the server's event objects count here
    std::set<std::uint16_t> used;
    std::uint16_t defaultPort = FreshPort();
    LoopServer ls{defaultPort};  // started, its loop never run
    NetServerImp* server = ls.server.get();
    TraceCapture& trace = ls.trace;
};

// The port by services entry or by number, of which only the low 16 bits count; a text
// without one gets the default port. Port 0 below stands for a refusal (29).
TEST_F(Registry, ParseServiceSplitsNameAndPort) {
    servent* ssh = getservbyname("ssh", "tcp");
    const std::pair<const char*, int> rows[] = {{"svc", defaultPort},
                                                {"svc:4321", 4321},
                                                {"svc:69857", 4321},
                                                {"svc:ssh", ssh ? ntohs(ssh->s_port) : 0},
                                                {"svc:0", 0},
                                                {"svc:65536", 0},
                                                {"svc:no-such-service", 0},
                                                {"svc:", 0}};
    char name[257];
    std::uint16_t port = 0;
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(server->ParseService(text, name, port), expected ? 1 : 29) << text;
        EXPECT_STREQ(name, "svc");
        EXPECT_EQ(port, expected) << text;
    }
    EXPECT_TRUE(trace.Has("NetServer::CreateConnection - Bad port"));
    EXPECT_EQ(server->ParseService((std::string(300, 'x') + ":4000").c_str(), name, port), 1);
    EXPECT_EQ(std::string(name), std::string(256, 'x'));
    EXPECT_EQ(port, defaultPort);  // the port lay beyond the cut
}

TEST_F(Registry, ReRegisteringReplacesTheEventAndSerialsTellRecordsApart) {
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 2);  // empty registry: not even parsed
    const std::uint16_t port = FreshPort();
    const std::string text = Text("svc", port);
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new EchoEvent(counts)), 1);
    NetRegisterNode* node = Find("svc", port);
    ASSERT_NE(node, nullptr);
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new EchoEvent(other)), 1);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_TRUE(Exists(node, serial));
    EXPECT_FALSE(Exists(node, serial + 1));
    EXPECT_EQ(trace.Count("Register service svc port " + std::to_string(port)), 2);

    EXPECT_EQ(server->UnRegisterFunc("other"), 2);
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 29);
    ASSERT_EQ(server->UnRegisterFunc(text.c_str()), 1);
    EXPECT_EQ(other.destroyed, 1);
    EXPECT_FALSE(Exists(node, serial));

    // A named registration on a port with an unnamed one lands on the unnamed record.
    ASSERT_EQ(server->RegisterFunc(Text("", port).c_str(), new EchoEvent(counts)), 1);
    ASSERT_EQ(server->RegisterFunc(Text("delta", port).c_str(), new EchoEvent(counts)), 1);
    EXPECT_EQ(counts.destroyed, 2);
    EXPECT_EQ(server->UnRegisterFunc(Text("delta", port).c_str()), 2);
}

// The default port stays open without services or listener. A replaced listener is released
// but its record kept; a refused one is deleted and leaves none.
TEST_F(Registry, GenericListenerOnTheDefaultPort) {
    ASSERT_EQ(server->RegisterFunc("svc", new EchoEvent(counts)), 1);
    EXPECT_EQ(server->FindPort(defaultPort), server->m_pListenPort);
    EXPECT_EQ(server->m_pPortList, nullptr);
    EXPECT_EQ(server->UnRegisterFunc("svc"), 1);
    EXPECT_EQ(server->RemoveListen(), 2);

    ASSERT_EQ(server->SetListen(new EchoEvent(counts)), 1);
    EXPECT_EQ(counts.netCreate, 1);
    EXPECT_TRUE(trace.Has("Generic listener set port " + std::to_string(defaultPort)));
    NetRegisterNode* node = server->m_pListenNode;
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->SetListen(new EchoEvent(other)), 1);
    EXPECT_EQ(counts.netDestroy + counts.destroyed, 3);
    EXPECT_TRUE(Exists(node, serial));
    EXPECT_EQ(server->RemoveListen(), 1);
    EXPECT_EQ(server->NetHost(65535), nullptr);
    EXPECT_EQ(other.netDestroy + other.destroyed, 2);
    EXPECT_TRUE(Accepts(defaultPort));
    EXPECT_TRUE(trace.Has("Generic listener removed"));

    other.createResult = 0;
    EXPECT_EQ(server->SetListen(new EchoEvent(other)), 10);
    EXPECT_EQ(other.destroyed, 2);
    EXPECT_EQ(server->NetHost(65535), nullptr);
    EXPECT_EQ(server->m_pListenNode, nullptr);
    EXPECT_TRUE(trace.Has("NetServer::SetListen - Creating refused"));
    EXPECT_EQ(server->RemoveListen(), 2);
}

}  // namespace
