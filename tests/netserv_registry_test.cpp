// Service texts, registrations, listening ports and the generic listener.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <memory>
#include <set>
#include <string>

#include "net/net_xdr.h"
#include "netnode.h"
#include "netport.h"
#include "netserv_testutil.h"
#include "netservimp.h"

using servtest::CountingEvent;

namespace {

// Connects to the loopback port: 0 when the system accepts, else the errno.
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
        server->TraceFile(trace.Stream());
        server->Init(new NetXDRImp, defaultPort);  // accepted connections read through it
        server->StartServer(&reg);
    }
    std::uint16_t FreshPort() {  // free, and used by no other port of the test
        std::uint16_t port;
        while (!used.insert(port = testutil::FreePort()).second) {
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

    servtest::TraceCapture trace;
    servtest::RecordingRegistration reg;
    servtest::Counts counts, other;  // the server's event objects count here when destroyed
    std::set<std::uint16_t> used;
    std::uint16_t defaultPort = FreshPort();
    std::unique_ptr<NetServerImp> server{static_cast<NetServerImp*>(NetServer::CreateServer())};
};

TEST_F(Registry, ParseServiceSplitsNameAndPort) {
    char name[257];
    std::uint16_t port = 0;
    auto parse = [&](const std::string& text) {
        return server->ParseService(text.c_str(), name, port);
    };
    EXPECT_EQ(parse("svc"), 1);
    EXPECT_EQ(std::string(name) + "/" + std::to_string(port), "svc/" + std::to_string(defaultPort));
    EXPECT_EQ(parse("svc:4321"), 1);
    EXPECT_EQ(std::string(name) + "/" + std::to_string(port), "svc/4321");
    EXPECT_EQ(parse("svc:69857"), 1);  // 65536 + 4321
    EXPECT_EQ(port, 4321);
    if (servent* ssh = getservbyname("ssh", "tcp")) {
        EXPECT_EQ(parse("svc:ssh"), 1);
        EXPECT_EQ(port, ntohs(ssh->s_port));
    }
    for (const char* bad : {"svc:0", "svc:65536", "svc:no-such-service", "svc:"}) {
        EXPECT_EQ(parse(bad), 29) << bad;
    }
    EXPECT_TRUE(trace.Has("NetServer::CreateConnection - Bad port"));
    EXPECT_EQ(parse(std::string(300, 'x') + ":4000"), 1);  // the port lies beyond the cut
    EXPECT_EQ(std::string(name), std::string(256, 'x'));
    EXPECT_EQ(port, defaultPort);
}

TEST_F(Registry, LookupIgnoresCaseAndFallsBackToUnnamedOnItsPortOnly) {
    const std::uint16_t port = FreshPort(), elsewhere = FreshPort();
    ASSERT_EQ(server->RegisterFunc(Text("alpha", port).c_str(), new CountingEvent(counts)), 1);
    ASSERT_EQ(server->RegisterFunc(Text("beta", elsewhere).c_str(), new CountingEvent(counts)), 1);
    NetRegisterNode* alpha = Find("ALPHA", port);
    ASSERT_NE(alpha, nullptr);
    EXPECT_STREQ(alpha->m_pszName, "alpha");
    EXPECT_EQ(Find("gamma", port), nullptr);
    EXPECT_EQ(Find("alpha", elsewhere), nullptr);

    ASSERT_EQ(server->RegisterFunc(Text("", port).c_str(), new CountingEvent(counts)), 1);
    NetRegisterNode* unnamed = Find("gamma", port);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(unnamed->m_pszName, "");
    EXPECT_EQ(Find("alpha", port), alpha);
    EXPECT_EQ(Find("gamma", elsewhere), nullptr);

    // A later named registration on that port lands on the unnamed record.
    ASSERT_EQ(server->RegisterFunc(Text("delta", port).c_str(), new CountingEvent(counts)), 1);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_EQ(server->UnRegisterFunc(Text("delta", port).c_str()), 2);
}

TEST_F(Registry, ReRegisteringReplacesTheEventAndSerialsTellRecordsApart) {
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 2);  // empty registry: not even parsed
    const std::uint16_t port = FreshPort();
    const std::string text = Text("svc", port);
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new CountingEvent(counts)), 1);
    NetRegisterNode* node = Find("svc", port);
    ASSERT_NE(node, nullptr);
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->RegisterFunc(text.c_str(), new CountingEvent(other)), 1);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_TRUE(Exists(node, serial));
    EXPECT_FALSE(Exists(node, serial + 1));
    int registered = 0;
    for (const std::string& m : trace.Messages())
        registered += m == "Register service svc port " + std::to_string(port);
    EXPECT_EQ(registered, 2);

    EXPECT_EQ(server->UnRegisterFunc("other"), 2);
    EXPECT_EQ(server->UnRegisterFunc("svc:0"), 29);
    ASSERT_EQ(server->UnRegisterFunc(text.c_str()), 1);
    EXPECT_EQ(other.destroyed, 1);
    EXPECT_FALSE(Exists(node, serial));
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
    EXPECT_EQ(server->FindPortFromSocket(socket), netPort);
    EXPECT_EQ(ConnectError(port), 0);
    EXPECT_TRUE(trace.WaitFor("Connect complete address 127.0.0.1"));

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
    CountingEvent event(counts);  // refused, so it stays the caller's
    EXPECT_EQ(server->RegisterFunc(Text("svc", taken.port).c_str(), &event), 10);
    EXPECT_EQ(server->FindPort(taken.port), nullptr);
    EXPECT_TRUE(trace.Has("NetServerPort::NetServerPort bind failed"));
    EXPECT_TRUE(trace.Has("Server port " + std::to_string(taken.port) + " socket -1 closed"));

    server->Init(server->Xdr(), taken.port);
    EXPECT_EQ(server->SetListen(&event), 10);
    EXPECT_EQ(server->m_pListenPort, nullptr);
    EXPECT_TRUE(trace.Has("NetServer::SetListen - Can't create listen port"));
}

TEST_F(Registry, DefaultPortStaysOpenWithoutServicesOrListener) {
    ASSERT_EQ(server->RegisterFunc("svc", new CountingEvent(counts)), 1);
    ASSERT_NE(server->m_pListenPort, nullptr);
    EXPECT_EQ(server->FindPort(defaultPort), server->m_pListenPort);
    EXPECT_EQ(server->m_pPortList, nullptr);
    EXPECT_EQ(server->UnRegisterFunc("svc"), 1);
    EXPECT_EQ(ConnectError(defaultPort), 0);

    EXPECT_EQ(server->RemoveListen(), 2);
    ASSERT_EQ(server->SetListen(new CountingEvent(counts)), 1);
    NetHostHndl* listen = server->NetHost(65535);
    ASSERT_NE(listen, nullptr);
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

TEST_F(Registry, ReplacedListenerIsReleasedAndItsRecordKept) {
    ASSERT_EQ(server->SetListen(new CountingEvent(counts)), 1);
    NetRegisterNode* node = server->m_pListenNode;
    const std::uint64_t serial = node->m_ullSerial;
    ASSERT_EQ(server->SetListen(new CountingEvent(other)), 1);
    EXPECT_EQ(counts.netDestroy + counts.destroyed, 2);
    EXPECT_EQ(other.destroyed, 0);
    EXPECT_TRUE(Exists(node, serial));
}

TEST_F(Registry, RefusedListenerLeavesNoneAndIsDeleted) {
    EXPECT_EQ(server->SetListen(new CountingEvent(counts, 0)), 10);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_EQ(server->NetHost(65535), nullptr);
    EXPECT_EQ(server->m_pListenNode, nullptr);
    EXPECT_TRUE(trace.Has("NetServer::SetListen - Creating refused"));
    EXPECT_EQ(server->RemoveListen(), 2);
}

}  // namespace
