// The server object's lifecycle, settings and trace log.
#include "netservimp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <set>
#include <thread>

#include "net/net_xdr.h"
#include "netserv_testutil.h"

namespace {

std::unique_ptr<NetServerImp> MakeServer() {
    return std::unique_ptr<NetServerImp>(static_cast<NetServerImp*>(NetServer::CreateServer()));
}

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// "Wed Jun 30 21:49:08 1993": A upper case, a lower case, 9 digit, _ digit or blank.
bool CtimeShaped(const std::string& stamp) {
    const std::string shape = "Aaa Aaa _9 99:99:99 9999";
    for (size_t i = 0; i < shape.size() && stamp.size() == shape.size(); ++i) {
        const unsigned char c = stamp[i], s = shape[i];
        if (!(s == 'A'   ? isupper(c)
              : s == 'a' ? islower(c)
              : s == '9' ? isdigit(c)
              : s == '_' ? isdigit(c) || c == ' '
                         : c == s))
            return false;
    }
    return stamp.size() == shape.size();
}

class CountingXdr : public NetXDRImp {
public:
    explicit CountingXdr(int& destroyed) : m_destroyed(destroyed) {}
    ~CountingXdr() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

class NetServerLifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name : {"ZOR_NET_USE_UNICODE", "ZOR_NET_DECODE_BUDGET",
                                 "ZOR_NET_HANDSHAKE_TIMEOUT_MS", "ZOR_NET_MAX_CONNECTIONS"})
            unsetenv(name);
    }
    servtest::TraceCapture trace;  // outlives the servers, which close its stream
    servtest::RecordingRegistration reg;
    int xdrDestroyed = 0;
};

TEST_F(NetServerLifecycle, StartSettlesDefaultPortAndRegistersNonBlockingPipe) {
    auto server = MakeServer();
    server->TraceFile(trace.Stream());
    EXPECT_EQ(server->Init(new CountingXdr(xdrDestroyed), 0), 1);
    EXPECT_EQ(server->IsServerRunning(), 0);
    EXPECT_EQ(server->StartServer(&reg), 1);
    EXPECT_EQ(server->IsServerRunning(), 1);

    servent* olmnet = getservbyname("olmnet", "tcp");
    const int expected = olmnet != nullptr ? ntohs(olmnet->s_port) : 5001;
    EXPECT_EQ(server->Port(), expected);
    EXPECT_TRUE(trace.Has("NET server started - default port " + std::to_string(expected) +
                          " Unicode = Off"));
    ASSERT_EQ(reg.added, std::vector<int>{server->m_nPipeRead});
    EXPECT_NE(fcntl(server->m_nPipeWrite, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(server->m_nPipeRead, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(server->m_nPipeWrite, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(NetServerLifecycle, NonZeroPortKeptAndUnicodeOnEvenWhenVariableIsEmpty) {
    setenv("ZOR_NET_USE_UNICODE", "", 1);
    auto server = MakeServer();
    server->TraceFile(trace.Stream());
    server->Init(nullptr, 22);
    server->StartServer(&reg);
    EXPECT_EQ(server->Port(), 22);
    EXPECT_EQ(server->UseUnicode(), 1);
    EXPECT_TRUE(trace.Has("NET server started - default port 22 Unicode = On"));
    unsetenv("ZOR_NET_USE_UNICODE");
    EXPECT_EQ(MakeServer()->UseUnicode(), 0);
}

TEST_F(NetServerLifecycle, ShutdownTracesInOrderAndReleasesPipeEncoderAndStream) {
    auto server = MakeServer();
    server->TraceFile(trace.Stream());
    server->Init(new CountingXdr(xdrDestroyed), 0);
    server->StartServer(&reg);
    const int pipeRead = server->m_nPipeRead, pipeWrite = server->m_nPipeWrite;
    server.reset();

    EXPECT_EQ(xdrDestroyed, 1);
    EXPECT_EQ(reg.removed, std::vector<ZoInputId>{1});
    EXPECT_FALSE(IsOpen(pipeRead) || IsOpen(pipeWrite));
    EXPECT_TRUE(trace.Closed());
    std::vector<std::string> shutdown;
    for (const std::string& m : trace.Messages()) {
        if (m.find("~NetServer") != std::string::npos || m == "Net DLL shutdown Complete")
            shutdown.push_back(m);
    }
    EXPECT_EQ(shutdown,
              (std::vector<std::string>{
                  "NetServer::~NetServer Enter shutdown", "NetServer::~NetServer Nodes deleted",
                  "NetServer::~NetServer listen handled deleted", "Net DLL shutdown Complete"}));
}

TEST_F(NetServerLifecycle, NeverStartedServerClosesNoDescriptor) {
    if (!IsOpen(0)) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);  // make descriptor 0 exist
    }
    MakeServer().reset();
    EXPECT_TRUE(IsOpen(0));
}

TEST_F(NetServerLifecycle, SettingsFromEnvironmentIgnoreInvalidValues) {
    setenv("ZOR_NET_DECODE_BUDGET", "4096", 1);
    setenv("ZOR_NET_HANDSHAKE_TIMEOUT_MS", "-5", 1);
    setenv("ZOR_NET_MAX_CONNECTIONS", "12x", 1);
    auto server = MakeServer();
    EXPECT_EQ(server->Settings().ullDecodeBudget, 4096u);
    EXPECT_EQ(server->Settings().lHandshakeTimeoutMs, NetSettings().lHandshakeTimeoutMs);
    EXPECT_EQ(server->Settings().ulMaxConnections, NetSettings().ulMaxConnections);
    setenv("ZOR_NET_MAX_CONNECTIONS", "7", 1);
    EXPECT_EQ(NetSettings::FromEnvironment().ulMaxConnections, 7u);
}

TEST_F(NetServerLifecycle, WriteToVanishedPeerFailsInsteadOfEndingProcess) {
    auto server = MakeServer();
    testutil::SocketPair pair;
    pair.CloseB();
    EXPECT_EQ(write(pair.a, "x", 1), -1);  // a plain write, without MSG_NOSIGNAL
    EXPECT_EQ(errno, EPIPE);
}

class NetServerTrace : public ::testing::Test {
protected:
    void SetUp() override { server->TraceFile(trace.Stream()); }
    servtest::TraceCapture trace;
    std::unique_ptr<NetServerImp> server = MakeServer();
};

TEST_F(NetServerTrace, EntryIsPrefixStampThenIndentedMessageVerbatim) {
    server->Trace(NET_TRACE_CONNECT, "100% %s %d");
    auto entries = trace.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].prefix + entries[0].message,
              "INFO:     " + std::string(server->LocalHost()));
    EXPECT_EQ(entries[1].prefix, "CONNECT:  ");
    EXPECT_TRUE(CtimeShaped(entries[1].stamp)) << entries[1].stamp;
    EXPECT_EQ(entries[1].message, "100% %s %d");
    EXPECT_EQ(trace.Text().back(), '\n');
}

TEST_F(NetServerTrace, FlagsFilterTheSixLevelsOnly) {
    server->TraceFlags(0);
    server->Trace(NET_TRACE_ERROR, "error");
    for (int level : {3, 0, 64})
        server->Trace(static_cast<NETTraceLevel>(level), "other");
    server->TraceFlags(NET_TRACE_APP);
    server->Trace(NET_TRACE_APP, "app on");
    server->TraceFlags(NET_TRACE_DEBUG);
    server->Trace(NET_TRACE_APP, "app off");
    server->Trace(NET_TRACE_DEBUG, "debug");

    std::vector<std::string> got;
    for (const auto& e : trace.Entries())
        got.push_back(e.prefix + e.message);
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()),  // after the host name
              (std::vector<std::string>{"OTHER:    other", "OTHER:    other", "OTHER:    other",
                                        "APP:      app on", "DEBUG:    debug"}));
}

TEST_F(NetServerTrace, NullMessageTracesTheCallingThreadsBuffer) {
    snprintf(NetServerImp::MessageBuffer(), 1024, "%s", "main thread text");
    std::thread([&] {
        snprintf(NetServerImp::MessageBuffer(), 1024, "%s", "other thread text");
        server->Trace(NET_TRACE_ERROR, nullptr);
    }).join();
    server->Trace(NET_TRACE_ERROR, nullptr);
    auto messages = trace.Messages();
    EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.end()),
              (std::vector<std::string>{"other thread text", "main thread text"}));
}

TEST_F(NetServerTrace, SameStreamStaysOpenAndNullStreamCloses) {
    server->TraceFile(trace.Stream());
    server->Trace(NET_TRACE_INFO, "still written");
    EXPECT_TRUE(trace.Has("still written"));
    server->TraceFile(nullptr);
    EXPECT_TRUE(trace.Closed());
    const std::string before = trace.Text();
    server->Trace(static_cast<NETTraceLevel>(3), "nowhere");
    EXPECT_EQ(trace.Text(), before);
}

TEST_F(NetServerTrace, ConcurrentEntriesStayWhole) {
    constexpr int kThreads = 4, kEntries = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                snprintf(NetServerImp::MessageBuffer(), 1024, "thread %d entry %d %s", t, i,
                         std::string(40 + i % 50, 'a' + t).c_str());
                server->Trace(NET_TRACE_DEBUG, nullptr);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    auto entries = trace.Entries();
    ASSERT_EQ(entries.size(), 1u + kThreads * kEntries);
    std::set<std::string> seen;
    for (size_t i = 1; i < entries.size(); ++i) {
        const std::string& m = entries[i].message;
        int t = -1, n = -1;
        ASSERT_EQ(sscanf(m.c_str(), "thread %d entry %d", &t, &n), 2) << m;
        EXPECT_EQ(entries[i].prefix + m.substr(m.rfind(' ') + 1),
                  "DEBUG:    " + std::string(40 + n % 50, 'a' + t));
        seen.insert(m);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

}  // namespace
