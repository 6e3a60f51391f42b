// The server object's lifecycle, settings and trace log.
#include "netservimp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "servtest.h"

using namespace servtest;

namespace {

class NetServerLifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name :
             {"ZOR_NET_USE_UNICODE", "ZOR_NET_DECODE_BUDGET", "ZOR_NET_HANDSHAKE_TIMEOUT_MS",
              "ZOR_NET_MAX_CONNECTIONS", "ZOR_NET_BATCH_INPUT_THREADS"})
            unsetenv(name);
    }
    TraceCapture trace;  // outlives the servers, which close its stream
    RecordingRegistration reg;
};

// Port 0 becomes the "olmnet" services entry, else 5001; Unicode is on when the variable is set
// at all, even empty, and read when the server is made.
TEST_F(NetServerLifecycle, StartSettlesPortAndUnicodeAndRegistersNonBlockingPipe) {
    servent* olmnet = getservbyname("olmnet", "tcp");
    const int defaultPort = olmnet != nullptr ? ntohs(olmnet->s_port) : 5001;
    for (const bool unicode : {true, false}) {
        TraceCapture capture;
        RecordingRegistration registration;
        if (unicode)
            setenv("ZOR_NET_USE_UNICODE", "", 1);
        auto server = MakeServer();
        unsetenv("ZOR_NET_USE_UNICODE");
        server->TraceFile(capture.Stream());
        EXPECT_EQ(server->Init(nullptr, unicode ? 22 : 0), 1);
        EXPECT_EQ(server->StartServer(&registration), 1);
        EXPECT_EQ(server->IsServerRunning(), 1);
        const int port = unicode ? 22 : defaultPort;
        EXPECT_EQ(server->Port(), port);
        EXPECT_EQ(server->UseUnicode(), unicode);
        EXPECT_TRUE(capture.Has("NET server started - default port " + std::to_string(port) +
                                (unicode ? " Unicode = On" : " Unicode = Off")));
        ASSERT_EQ(registration.added, std::vector<int>{server->m_nPipeRead});
        EXPECT_NE(fcntl(server->m_nPipeWrite, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(server->m_nPipeRead, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_NE(fcntl(server->m_nPipeWrite, F_GETFD) & FD_CLOEXEC, 0);
    }
    // A server in the process turns a write to a vanished peer into an error, not an exit.
    testutil::SocketPair pair;
    pair.CloseB();
    EXPECT_EQ(write(pair.a, "x", 1), -1);  // a plain write, without MSG_NOSIGNAL
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(NetServerLifecycle, ShutdownTracesInOrderAndReleasesPipeEncoderAndStream) {
    auto server = MakeServer();
    server->TraceFile(trace.Stream());
    server->Init(new NetXDRImp, 0);  // a leak check catches an encoder left behind
    server->StartServer(&reg);
    const int pipeRead = server->m_nPipeRead, pipeWrite = server->m_nPipeWrite;
    server.reset();

    EXPECT_EQ(reg.removed, std::vector<ZoInputId>{1});
    EXPECT_FALSE(IsOpen(pipeRead) || IsOpen(pipeWrite));
    EXPECT_TRUE(trace.Closed());
    std::vector<std::string> shutdown;
    for (const auto& e : trace.Entries()) {
        if (e.message.find("~NetServer") != std::string::npos ||
            e.message == "Net DLL shutdown Complete")
            shutdown.push_back(e.message);
    }
    EXPECT_EQ(shutdown,
              (std::vector<std::string>{
                  "NetServer::~NetServer Enter shutdown", "NetServer::~NetServer Nodes deleted",
                  "NetServer::~NetServer listen handled deleted", "Net DLL shutdown Complete"}));

    // A server that never started has no pipe, and must not close descriptor 0 for it.
    if (!IsOpen(0)) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    MakeServer().reset();
    EXPECT_TRUE(IsOpen(0));
}

// No limits unless asked for, the budget's default, and values from the environment; negative
// and partly numeric ones keep the defaults.
TEST_F(NetServerLifecycle, SettingsDefaultsAndTheEnvironment) {
    EXPECT_EQ(MakeServer()->Settings().ullDecodeBudget, 64u << 20);
    const std::pair<const char*, const char*> values[] = {{"4096", "250"}, {"-5", "12x"}};
    for (const auto& [budget, limits] : values) {
        setenv("ZOR_NET_DECODE_BUDGET", budget, 1);
        setenv("ZOR_NET_HANDSHAKE_TIMEOUT_MS", limits, 1);
        setenv("ZOR_NET_MAX_CONNECTIONS", limits, 1);
        const bool valid = budget == values[0].first;
        setenv("ZOR_NET_BATCH_INPUT_THREADS", valid ? "1" : "2", 1);
        const NetSettings settings = MakeServer()->Settings();
        EXPECT_EQ(settings.ullDecodeBudget, valid ? 4096u : 64u << 20);
        EXPECT_EQ(settings.lHandshakeTimeoutMs, valid ? 250 : 0);
        EXPECT_EQ(settings.ulMaxConnections, valid ? 250u : 0u);
        EXPECT_EQ(settings.bBatchInputThreads, valid);  // off unless set to 1
    }
}

class NetServerTrace : public ::testing::Test {
protected:
    void SetUp() override { server->TraceFile(trace.Stream()); }
    TraceCapture trace;
    std::unique_ptr<NetServerImp> server = MakeServer();
};

// An entry is its level's prefix and the time stamp, then the message verbatim on an indented
// line. Each of the six levels is written only under its own flag; any other value always is.
// The stream is the server's to close.
TEST_F(NetServerTrace, EachLevelHasItsPrefixAndItsOwnFlag) {
    const std::pair<int, const char*> levels[] = {
        {1, "ERROR:    "}, {2, "CONNECT:  "},  {4, "CLIENT:   "},
        {8, "INFO:     "}, {16, "DEBUG:    "}, {32, "APP:      "},
        {0, "OTHER:    "}, {3, "OTHER:    "},  {64, "OTHER:    "}};
    std::vector<std::string> expected{"INFO:     " + std::string(server->LocalHost())};
    for (const auto& [level, prefix] : levels) {
        server->TraceFlags(static_cast<std::uint16_t>(~level));
        server->Trace(static_cast<NETTraceLevel>(level), "off 100% %s");
        if (prefix == std::string("OTHER:    "))
            expected.push_back(prefix + std::string("off 100% %s"));
        server->TraceFlags(static_cast<std::uint16_t>(level));
        server->Trace(static_cast<NETTraceLevel>(level), "on");
        expected.push_back(prefix + std::string("on"));
    }
    std::vector<std::string> got;
    const std::regex ctime(
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    for (const auto& e : trace.Entries()) {
        got.push_back(e.prefix + e.message);
        EXPECT_TRUE(std::regex_match(e.stamp, ctime)) << e.stamp;
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(trace.Text().back(), '\n');
    // The same stream set again stays open; no stream closes it, and traces then go nowhere.
    server->TraceFile(trace.Stream());
    server->Trace(static_cast<NETTraceLevel>(3), "still written");
    server->TraceFile(nullptr);
    server->Trace(static_cast<NETTraceLevel>(3), "nowhere");
    EXPECT_TRUE(trace.Closed());
    EXPECT_EQ(trace.Entries().back().message, "still written");
}

// A null message traces the calling thread's own buffer, and entries of threads never mix.
TEST_F(NetServerTrace, ConcurrentEntriesStayWhole) {
    constexpr int kThreads = 4, kEntries = 200;
    snprintf(NetServerImp::MessageBuffer(), 1024, "%s", "main thread text");
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
    server->Trace(NET_TRACE_ERROR, nullptr);

    auto entries = trace.Entries();
    ASSERT_EQ(entries.size(), 2u + kThreads * kEntries);
    EXPECT_EQ(entries.back().message, "main thread text");
    std::set<std::string> seen;
    for (size_t i = 1; i + 1 < entries.size(); ++i) {
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
