// SPDX-License-Identifier: Apache-2.0
// The server object's lifecycle, settings and trace log.
#include "netservimp.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <regex>
#include <tuple>

#include "servtest.h"

using namespace servtest;

namespace {

class NetServerLifecycle : public ::testing::Test {
protected:
    TraceCapture trace;  // outlives the servers, which close its stream
    RecordingRegistration reg;
};

// Port 0 becomes the "olmnet" services entry, else 5001; Unicode is on when the variable is set
// at all, even empty, and read when the server is made. A server in the process turns a write to
// a vanished peer into an error, not an exit.
TEST_F(NetServerLifecycle, StartSettlesPortAndUnicode) {
    servent* olmnet = getservbyname("olmnet", "tcp");
    for (const bool unicode : {true, false}) {
        RecordingRegistration registration;  // outlives the server, which withdraws from it
        if (unicode)
            setenv("ZOR_NET_USE_UNICODE", "", 1);
        auto server = MakeServer();
        unsetenv("ZOR_NET_USE_UNICODE");
        server->Init(nullptr, unicode ? 22 : 0);
        EXPECT_EQ(server->StartServer(&registration), 1);
        EXPECT_EQ(server->Port(), unicode ? 22 : olmnet ? ntohs(olmnet->s_port) : 5001);
        EXPECT_EQ(server->UseUnicode(), unicode);
        EXPECT_EQ(registration.added, std::vector<int>{server->m_nPipeRead});
    }
    testutil::SocketPair pair;
    pair.CloseB();
    EXPECT_EQ(write(pair.a, "x", 1), -1);  // a plain write, without MSG_NOSIGNAL
    EXPECT_EQ(errno, EPIPE);
}

// The encoder given to Init is the server's to delete: the ASan run's leak check fails if not.
TEST_F(NetServerLifecycle, ShutdownReleasesPipeStreamAndUnderAsanTheEncoder) {
    auto server = MakeServer();
    server->TraceFile(trace.Stream());
    server->Init(new NetXDRImp, 0);
    server->StartServer(&reg);
    const int pipeRead = server->m_nPipeRead, pipeWrite = server->m_nPipeWrite;
    server.reset();
    EXPECT_EQ(reg.removed, std::vector<ZoInputId>{1});
    EXPECT_FALSE(IsOpen(pipeRead) || IsOpen(pipeWrite));
    EXPECT_TRUE(trace.Closed());
    EXPECT_EQ(trace.Entries().back().message, "Net DLL shutdown Complete");

    // A server that never started has no pipe, and must not close descriptor 0 for it.
    if (!IsOpen(0)) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    MakeServer().reset();
    EXPECT_TRUE(IsOpen(0));
}

// Every default bound, and the environment overriding one with a whole decimal number in its
// range; anything else (negative, partly numeric, out of range, or an address that is none)
// leaves the default.
TEST_F(NetServerLifecycle, SettingsDefaultsAndTheEnvironment) {
    const NetSettings defaults = MakeServer()->Settings();
    EXPECT_EQ(std::make_tuple(defaults.ullDecodeBudget, defaults.ullServerDecodeBudget,
                              defaults.usMaxReferenceDepth, defaults.lHandshakeTimeoutMs,
                              defaults.ulMaxHandshakes, defaults.ulMaxConnections,
                              defaults.ulBindAddress, defaults.lListenBacklog),
              std::make_tuple(64ull << 20, 256ull << 20, std::uint16_t{64}, 30000, 1024u, 0u,
                              htonl(INADDR_ANY), SOMAXCONN));
    const struct {
        const char *name, *text;
        std::uint64_t expected;
    } rows[] = {
        {"ZOR_NET_DECODE_BUDGET", "250", 250},
        {"ZOR_NET_DECODE_BUDGET", "-5", defaults.ullDecodeBudget},
        {"ZOR_NET_DECODE_BUDGET", "12x", defaults.ullDecodeBudget},
        {"ZOR_NET_MAX_REFERENCE_DEPTH", "32768", defaults.usMaxReferenceDepth},
        {"ZOR_NET_MAX_REFERENCE_DEPTH", "0", 0},
    };
    for (const auto& row : rows) {
        setenv(row.name, row.text, 1);
        const NetSettings s = NetSettings::FromEnvironment();
        const bool budget = std::strstr(row.name, "BUDGET") != nullptr;
        EXPECT_EQ(budget ? s.ullDecodeBudget : s.usMaxReferenceDepth, row.expected)
            << row.name << "=" << row.text;
        unsetenv(row.name);
    }
    for (const auto& [text, address] :
         {std::make_pair("127.0.0.1", INADDR_LOOPBACK), std::make_pair("localhost", INADDR_NONE)}) {
        setenv("ZOR_NET_BIND_ADDRESS", text, 1);
        EXPECT_EQ(MakeServer()->Settings().ulBindAddress, htonl(address)) << text;
    }
    unsetenv("ZOR_NET_BIND_ADDRESS");
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

// A flood of one unknown identifier is written once and then counted: a different entry of the
// connection, or its end, writes the count; another connection's entries do not break the fold.
// The trace handler gets the same entries as the stream.
TEST(NetServerTraceFold, RepeatedEntriesOfOneConnectionAreFolded) {
    Stats stats;
    LoopServer ls;
    struct Sink {
        std::mutex mutex;
        std::vector<std::pair<int, std::string>> entries;
    } sink;
    const size_t before = ls.trace.Entries().size();  // the start-up entries
    ls.server->TraceHandler(
        [](void* self, NETTraceLevel level, const char* text) {
            auto* sink = static_cast<Sink*>(self);
            std::lock_guard<std::mutex> lock(sink->mutex);
            sink->entries.emplace_back(level, text);
        },
        &sink);
    ls.server->TraceFlags(NET_TRACE_ERROR);  // so the connection's end traces nothing itself
    ASSERT_EQ(ls.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
    ls.Start();
    const int fd = ConnectRaw(ls.Port()), other = ConnectRaw(ls.Port());
    for (int peer : {fd, other}) {
        ASSERT_TRUE(WriteAll(peer, Handshake("echo", 1)));
        ASSERT_LT(ReadWord(peer), 10u);
    }
    const auto flood = [](int peer, std::uint32_t id, int n) {
        Bytes bytes;
        while (n-- > 0)
            bytes = bytes + Words({id});
        return WriteAll(peer, bytes);
    };
    const std::string unknown = "NetServer::MsgUser Unknown network message ID ";
    ASSERT_TRUE(flood(fd, 7, 50) && flood(other, 9, 1) && flood(fd, 8, 1) && flood(fd, 7, 20));
    ASSERT_TRUE(ls.trace.WaitFor(unknown + "8") && ls.trace.WaitFor(unknown + "9"));
    close(fd);
    ASSERT_TRUE(ls.trace.WaitFor("last message repeated 19 times"));
    close(other);
    ls.Destroy();

    std::vector<std::string> ours;
    const auto entries = ls.trace.Entries();
    for (size_t i = before; i < entries.size(); ++i)
        if (entries[i].message != unknown + "9")
            ours.push_back(entries[i].prefix + entries[i].message);
    const std::string error = "ERROR:    ";
    EXPECT_EQ(ours, (std::vector<std::string>{error + unknown + "7",
                                              error + "last message repeated 49 times",
                                              error + unknown + "8", error + unknown + "7",
                                              error + "last message repeated 19 times"}));
    ASSERT_EQ(before + sink.entries.size(), entries.size());
    for (size_t i = 0; i < sink.entries.size(); ++i)
        EXPECT_EQ(sink.entries[i],
                  std::make_pair(int{NET_TRACE_ERROR}, entries[before + i].message));
}

}  // namespace
