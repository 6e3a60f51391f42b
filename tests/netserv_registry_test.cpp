// Service texts, registrations, listening ports and the generic listener.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <string>

#include "net/nethndl.h"
#include "netnode.h"
#include "netport.h"
#include "netserv_testutil.h"
#include "netservimp.h"

using servtest::CountingEvent;
using servtest::Counts;

namespace {

// Connects to the loopback port; 0 when accepted by the system, else the errno.
int ConnectError(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        defaultPort = FreshPort();
        server.reset(static_cast<NetServerImp*>(NetServer::CreateServer()));
        server->TraceFile(trace.Stream());
        server->Init(new NetXDRImp, defaultPort);
        server->StartServer(&reg);
    }
    // A free port that no other port of this test uses.
    std::uint16_t FreshPort() {
        std::uint16_t port;
        do {
            port = testutil::FreePort();
        } while (!used.insert(port).second);
        return port;
    }
    std::string Text(const char* name, std::uint16_t port) {
        return std::string(name) + ":" + std::to_string(port);
    }
    NetRegisterNode* Find(const char* name, std::uint16_t port) {
        ZoLock lock(server->m_TableLock);
        return server->FindFunc(name, port);
    }

    servtest::TraceCapture trace;
    servtest::RecordingRegistration reg;
    // Event objects the server still holds count into these when it is destroyed.
    Counts counts, first, second;
    std::set<std::uint16_t> used;
    std::uint16_t defaultPort = 0;
    std::unique_ptr<NetServerImp> server;
};

TEST_F(Registry, ParseServicePorts) {
    char name[257];
    std::uint16_t port = 0;
    EXPECT_EQ(server->ParseService("svc", name, port), 1);
    EXPECT_STREQ(name, "svc");
    EXPECT_EQ(port, defaultPort);
    EXPECT_EQ(server->ParseService("svc:4321", name, port), 1);
    EXPECT_STREQ(name, "svc");
    EXPECT_EQ(port, 4321);
    EXPECT_EQ(server->ParseService("svc:69857", name, port), 1);  // 65536 + 4321
    EXPECT_EQ(port, 4321);
    if (servent* ssh = getservbyname("ssh", "tcp")) {
        EXPECT_EQ(server->ParseService("svc:ssh", name, port), 1);
        EXPECT_EQ(port, ntohs(ssh->s_port));
    }
    for (const char* bad : {"svc:0", "svc:65536", "svc:no-such-service", "svc:"}) {
        EXPECT_EQ(server->ParseService(bad, name, port), 29) << bad;
    }
    EXPECT_TRUE(trace.Has("NetServer::CreateConnection - Bad port"));
}

TEST_F(Registry, ParseServiceCutsAt256Characters) {
    char name[257];
    std::uint16_t port = 0;
    const std::string longName(300, 'x');
    EXPECT_EQ(server->ParseService((longName + ":4000").c_str(), name, port), 1);
    EXPECT_EQ(std::string(name), longName.substr(0, 256));
    EXPECT_EQ(port, defaultPort);  // the port part was beyond the cut
}

TEST_F(Registry, LookupIgnoresCaseAndFallsBackToUnnamedOnItsPortOnly) {
    const std::uint16_t port = FreshPort();
    const std::uint16_t other = FreshPort();
    ASSERT_EQ(server->RegisterFunc(Text("alpha", port).c_str(), new CountingEvent(counts)), 1);
    ASSERT_EQ(server->RegisterFunc(Text("beta", other).c_str(), new CountingEvent(counts)), 1);
    NetRegisterNode* alpha = Find("ALPHA", port);
    ASSERT_NE(alpha, nullptr);
    EXPECT_STREQ(alpha->m_pszName, "alpha");
    EXPECT_EQ(Find("gamma", port), nullptr);
    EXPECT_EQ(Find("alpha", other), nullptr);

    ASSERT_EQ(server->RegisterFunc((":" + std::to_string(port)).c_str(), new CountingEvent(counts)),
              1);
    NetRegisterNode* unnamed = Find("gamma", port);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_EQ(unnamed->m_pszName[0], '\0');
    EXPECT_EQ(Find("alpha", port), alpha);
    EXPECT_EQ(Find("gamma", other), nullptr);

    // A later named registration on that port lands on the unnamed record.
    ASSERT_EQ(server->RegisterFunc(Text("delta", port).c_str(), new CountingEvent(counts)), 1);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_EQ(server->UnRegisterFunc(Text("delta", port).c_str()), 2);
}

TEST_F(Registry, ReRegisteringReplacesTheEventAndServiceSerialsTellRecordsApart) {
    const std::uint16_t port = FreshPort();
    const std::string text = Text("svc", port);
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new CountingEvent(first)), 1);
    NetRegisterNode* node = Find("svc", port);
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new CountingEvent(second)), 1);
    EXPECT_EQ(first.destroyed, 1);
    EXPECT_EQ(Find("svc", port), node);
    {
        ZoLock lock(server->m_TableLock);
        EXPECT_TRUE(server->ServiceExists(node, serial));
        EXPECT_FALSE(server->ServiceExists(node, serial + 1));
    }
    const std::string line = "Register service svc port " + std::to_string(port);
    int registered = 0;
    for (const std::string& m : trace.Messages())
        registered += m == line;
    EXPECT_EQ(registered, 2);

    ASSERT_EQ(server->UnRegisterFunc(text.c_str()), 1);
    EXPECT_EQ(second.destroyed, 1);
    ZoLock lock(server->m_TableLock);
    EXPECT_FALSE(server->ServiceExists(node, serial));
}

TEST_F(Registry, SecondServiceSharesThePortAndLastRemovalClosesIt) {
    const std::uint16_t port = FreshPort();
    ASSERT_EQ(server->RegisterFunc(Text("one", port).c_str(), new CountingEvent(counts)), 1);
    NetServerPort* netPort = server->FindPort(port);
    ASSERT_NE(netPort, nullptr);
    const int socket = netPort->m_nSocket;
    ASSERT_EQ(server->RegisterFunc(Text("two", port).c_str(), new CountingEvent(counts)), 1);
    EXPECT_EQ(server->FindPort(port), netPort);
    EXPECT_EQ(netPort->m_usUseCount, 2);
    EXPECT_EQ(netPort->m_nSocket, socket);
    EXPECT_EQ(server->FindPortFromSocket(socket), netPort);
    EXPECT_EQ(ConnectError(port), 0);
    EXPECT_TRUE(trace.WaitForMessage("Connect complete address 127.0.0.1"));

    EXPECT_EQ(server->UnRegisterFunc(Text("one", port).c_str()), 1);
    EXPECT_EQ(netPort->m_usUseCount, 1);
    EXPECT_EQ(server->UnRegisterFunc(Text("TWO", port).c_str()), 1);
    EXPECT_EQ(server->FindPort(port), nullptr);
    EXPECT_EQ(counts.destroyed, 2);
    EXPECT_EQ(ConnectError(port), ECONNREFUSED);
    EXPECT_TRUE(trace.Has("Server port " + std::to_string(port) + " socket " +
                          std::to_string(socket) + " closed"));
    EXPECT_TRUE(trace.Has("Remove service TWO port " + std::to_string(port)));
}

TEST_F(Registry, PortBoundElsewhereGives10) {
    testutil::Listener taken;
    auto* ev = new CountingEvent(counts);
    EXPECT_EQ(server->RegisterFunc(Text("svc", taken.port).c_str(), ev), 10);
    delete ev;  // refused, so still the caller's
    EXPECT_EQ(server->FindPort(taken.port), nullptr);
    EXPECT_TRUE(trace.Has("NetServerPort::NetServerPort bind failed"));
    EXPECT_TRUE(trace.Has("Server port " + std::to_string(taken.port) + " socket -1 closed"));
}

TEST_F(Registry, UnRegisterOnEmptyOrUnknownGives2) {
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 2);  // not even parsed
    ASSERT_EQ(server->RegisterFunc("svc", new CountingEvent(counts)), 1);
    EXPECT_EQ(server->UnRegisterFunc("other"), 2);
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 29);
}

TEST_F(Registry, DefaultPortStaysOpenWithoutServicesOrListener) {
    ASSERT_EQ(server->RegisterFunc("svc", new CountingEvent(counts)), 1);
    ASSERT_NE(server->m_pListenPort, nullptr);
    EXPECT_EQ(server->FindPort(defaultPort), server->m_pListenPort);
    EXPECT_EQ(server->m_pPortList, nullptr);
    EXPECT_EQ(server->UnRegisterFunc("svc"), 1);
    EXPECT_EQ(server->FindPort(defaultPort), server->m_pListenPort);
    EXPECT_EQ(ConnectError(defaultPort), 0);

    EXPECT_EQ(server->RemoveListen(), 2);
    ASSERT_EQ(server->SetListen(new CountingEvent(counts)), 1);
    NetHostHndl* listen = server->NetHost(65535);
    ASSERT_NE(listen, nullptr);
    EXPECT_EQ(listen->m_lHandle, 65535);
    EXPECT_EQ(listen->m_usConnectCount, 1);
    EXPECT_EQ(counts.netCreate, 1);
    EXPECT_TRUE(trace.Has("Generic listener set port " + std::to_string(defaultPort)));

    EXPECT_EQ(server->RemoveListen(), 1);
    EXPECT_EQ(server->NetHost(65535), nullptr);
    EXPECT_EQ(counts.netDestroy, 1);
    EXPECT_EQ(counts.destroyed, 2);
    EXPECT_EQ(ConnectError(defaultPort), 0);
    EXPECT_TRUE(trace.Has("Generic listener removed"));
}

TEST_F(Registry, ReplacedListenerIsReleased) {
    ASSERT_EQ(server->SetListen(new CountingEvent(first)), 1);
    NetRegisterNode* node = server->m_pListenNode;
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->SetListen(new CountingEvent(second)), 1);
    EXPECT_EQ(first.netDestroy, 1);
    EXPECT_EQ(first.destroyed, 1);
    EXPECT_EQ(second.destroyed, 0);
    ZoLock lock(server->m_TableLock);
    EXPECT_TRUE(server->ServiceExists(node, serial));
}

TEST_F(Registry, RefusedListenerLeavesNoneAndIsDeleted) {
    EXPECT_EQ(server->SetListen(new CountingEvent(counts, 0)), 10);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_EQ(server->NetHost(65535), nullptr);
    EXPECT_EQ(server->m_pListenNode, nullptr);
    EXPECT_TRUE(trace.Has("NetServer::SetListen - Creating refused"));
    EXPECT_EQ(server->RemoveListen(), 2);
}

TEST_F(Registry, ListenerPortBoundElsewhereGives10) {
    testutil::Listener taken;
    server->Init(server->Xdr(), taken.port);
    auto* ev = new CountingEvent(counts);
    EXPECT_EQ(server->SetListen(ev), 10);
    delete ev;
    EXPECT_EQ(server->m_pListenPort, nullptr);
    EXPECT_TRUE(trace.Has("NetServer::SetListen - Can't create listen port"));
}

}  // namespace
