// Hostile and failing peers against a live server over loopback: resets at every point of a
// session, mass disconnects while the main thread is busy, a peer that stops reading, a server
// destroyed under load, a client process killed mid-call, and the resource bounds (decode budget,
// handshake time-out, connection cap, queued one-way calls, a full handle table). After each the
// server must still answer a well-formed client.
#include "netservimp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/netclnt.h"
#include "net/nethndl.h"
#include "net/netpack.h"
#include "netpeer.h"
#include "netserv_mainloop.h"
#include "zo/zostring.h"

using mainloop::LoopServer;

namespace {

struct Stats {
    std::atomic<int> created{0}, closed{0}, calls{0};
    std::atomic<int> lastValue{-1};
    mainloop::Gate* gate = nullptr;  // held by a call with the value kHoldValue
};
constexpr std::int32_t kHoldValue = -7;

// Adds 1 to integers and sends them back; keeps the main thread for as long as the gate is
// closed when asked to.
class EchoEvent : public NetEvent {
public:
    explicit EchoEvent(Stats& stats) : m_stats(stats) {}
    NetEvent* Clone() override { return new EchoEvent(m_stats); }
    std::int32_t ConnectionCreated() override { return ++m_stats.created, 1; }
    std::int32_t ConnectionClosed() override { return ++m_stats.closed, 1; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        ++m_stats.calls;
        if (*value == kHoldValue && m_stats.gate != nullptr)
            m_stats.gate->Pass();
        *value += 1;
        flags |= NET_FLAG_RETURNDATA;
        return 1;
    }
    std::int32_t UserData(void* data, std::uint32_t&) override {
        auto* block = static_cast<MSGUSERDATA*>(data);
        ++m_stats.calls;
        if (block != nullptr && block->lCount > 0 && block->pValues[0].kind == NET_KIND_INTEGER)
            m_stats.lastValue = block->pValues[0].data.lValue;
        return 1;
    }

private:
    Stats& m_stats;
};

// Records what the client writes, to replay it cut short.
struct RecordingXdr : NetXDRImp {
    std::vector<unsigned char> sent;
    unsigned char Write(int socket, const void* buffer, std::int32_t length) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        sent.insert(sent.end(), p, p + length);
        return NetXDRImp::Write(socket, buffer, length);
    }
};

int Connect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

void Reset(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

// End of stream or reset within the receive time-out.
bool PeerEnded(int fd) {
    char buffer[256];
    for (int i = 0; i < 1000; ++i) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return false;
}

std::vector<unsigned char> Handshake(const char* service) {
    std::vector<unsigned char> bytes = netpeer::Words({NET_MSG_CONNECT, 2});
    bytes.resize(bytes.size() + NET_CONNECT_BLOCK_SIZE, 0);
    std::strcpy(reinterpret_cast<char*>(bytes.data() + 8 + NET_CONNECT_SERVICE_OFFSET), service);
    return bytes;
}

bool AllInputThreadsEnded(NetServerImp& server) {
    std::lock_guard<std::mutex> lock(server.m_ThreadMutex);
    for (const auto& thread : server.m_InputThreads)
        if (!thread->Finished())
            return false;
    return true;
}

struct Client {
    NetXDRImp xdr;
    NetClient client{nullptr, &xdr, 2};
    std::int32_t handle = -1;
    std::int32_t Connect(std::uint16_t port, const char* host = "tester") {
        const std::int32_t rc = client.CreateSocket("127.0.0.1", port);
        return rc != NET_OK ? rc : client.ConnectMsg(host, "echo", handle);
    }
    std::int32_t Call(std::int32_t value) {  // the answer's value, or -1000 - error
        MSGINTCALL call{value, 0, 0, handle};
        ZoErrorCode error = 0;
        const MSGINTCALL answer = client.IntegerMsg(call, error);
        return error == NET_OK ? answer.lValue : -1000 - error;
    }
};

class Faults : public ::testing::Test {
protected:
    void Start() {
        stats.gate = &gate;
        ASSERT_EQ(ls.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
        ls.Start();
    }
    // A new client connects, is answered and closes.
    void ExpectServed() {
        Client c;
        ASSERT_EQ(c.Connect(ls.Port()), NET_OK);
        EXPECT_EQ(c.Call(41), 42);
        EXPECT_EQ(c.client.CloseMsg(c.handle), NET_OK);
    }
    // Every connection's input thread has ended and each bound connection was closed.
    void ExpectAllClosed() {
        EXPECT_TRUE(testutil::WaitUntil([&] { return AllInputThreadsEnded(*ls.server); }));
        EXPECT_TRUE(testutil::WaitUntil([&] { return stats.closed == stats.created; }))
            << stats.closed << " of " << stats.created;
    }
    // Keeps the main thread in a callback until gate.Open(); join the returned thread after.
    std::thread HoldMainThread(Client& holder) {
        EXPECT_EQ(holder.Connect(ls.Port(), "holder"), NET_OK);
        std::thread held([&holder] { holder.Call(kHoldValue); });
        EXPECT_TRUE(testutil::WaitUntil([&] { return gate.Entered(); }));
        return held;
    }

    Stats stats;
    mainloop::Gate gate;
    LoopServer ls;
};

TEST_F(Faults, ResetAtEveryMessageBoundaryAndInsideEveryRecord) {
    Start();
    // A real session, with the client's byte count noted after each message.
    RecordingXdr xdr;
    std::vector<std::size_t> ends;
    {
        NetClient client(nullptr, &xdr, 2);
        std::int32_t handle = -1;
        ASSERT_EQ(client.CreateSocket("127.0.0.1", ls.Port()), NET_OK);
        ASSERT_EQ(client.ConnectMsg("recorder", "echo", handle), NET_OK);
        ends.push_back(xdr.sent.size());
        ZoErrorCode error = 0;
        MSGINTCALL integer{1, 0, 0, handle};
        client.IntegerMsg(integer, error);
        ends.push_back(xdr.sent.size());
        MSGREALCALL real{1.5, 0, 0, handle};
        client.RealMsg(real, error);
        ends.push_back(xdr.sent.size());
        char text[] = "some text";
        MSGSTRINGCALL string{text, 0, 0, handle};
        MSGSTRINGCALL answer = client.StringMsg(string, error);
        xdr.StringCall(-1, XDR_FREE, answer);
        ends.push_back(xdr.sent.size());
        for (const std::uint32_t flags : {0u, NET_FLAG_NOREPLY}) {
            MSGUSERCALL user{};
            user.ulFlags = flags;
            user.lHandle = handle;
            user.pData = new MSGUSERDATA{};
            user.pData->lCount = 2;
            user.pData->pValues = new sL_VALUE[2];
            for (int i = 0; i < 2; ++i) {
                sL_VALUE& v = user.pData->pValues[i];
                v.usType = NET_TYPE_STRING, v.kind = NET_KIND_STRING, v.fValid = 1;
                v.data.pString = new ZoString("value");
            }
            MSGUSERCALL reply = client.UserMsg(user, error);
            xdr.UserCall(-1, XDR_FREE, reply, client.m_bUnicode);
            xdr.UserCall(-1, XDR_FREE, user, client.m_bUnicode);
            ends.push_back(xdr.sent.size());
        }
        ASSERT_EQ(client.CloseMsg(handle), NET_OK);
        ends.push_back(xdr.sent.size());
    }
    // Cut at every boundary, one byte into every message, and in the middle of every message.
    std::vector<std::size_t> cuts = {0, 2};
    for (std::size_t i = 0, start = 0; i < ends.size(); start = ends[i++]) {
        cuts.insert(cuts.end(),
                    {start + 1, start + 6, (start + ends[i]) / 2, ends[i] - 1, ends[i]});
    }
    for (const std::size_t cut : cuts) {
        const int fd = Connect(ls.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(testutil::WriteAll(fd, xdr.sent.data(), cut));
        Reset(fd);
    }
    ExpectAllClosed();
    ExpectServed();
}

TEST_F(Faults, ConnectionsClosingAtOnceWhileTheMainThreadIsBusy) {
    // 2,000 connections: three descriptors each on this process, one input thread each.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const int connections = std::min<int>(2000, static_cast<int>(files.rlim_cur / 4));
    Start();
    Client holder;
    std::thread held = HoldMainThread(holder);
    const std::vector<unsigned char> hello = Handshake("echo");
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) {
        const int fd = Connect(ls.Port());
        ASSERT_GE(fd, 0) << i;
        ASSERT_TRUE(testutil::WriteAll(fd, hello.data(), hello.size()));
        ASSERT_EQ(netpeer::ReadBytes(fd, 8).size(), 8u) << i;  // the number goes out at once
        fds.push_back(fd);
    }
    for (std::size_t i = 0; i < fds.size(); ++i)
        i % 2 ? Reset(fds[i]) : (void)close(fds[i]);  // half reset, half closed in order
    gate.Open();
    held.join();
    EXPECT_TRUE(testutil::WaitUntil([&] { return stats.created == connections + 1; },
                                    std::chrono::seconds(60)));
    EXPECT_EQ(holder.client.CloseMsg(holder.handle), NET_OK);
    ExpectAllClosed();
    ExpectServed();
}

TEST_F(Faults, APeerThatStopsReadingHoldsUpOnlyItsOwnConnection) {
    Start();
    const int slow = Connect(ls.Port());
    const int small = 4096;
    setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::vector<unsigned char> bytes = Handshake("echo");
    ASSERT_TRUE(testutil::WriteAll(slow, bytes.data(), bytes.size()));
    const std::int32_t handle = static_cast<std::int32_t>(netpeer::ReadWord(slow));
    netpeer::ReadWord(slow);
    // Calls without reading the replies, until the server stops taking them (64 MB at most).
    const std::vector<unsigned char> call =
        netpeer::Words({NET_MSG_INTEGER, 1, 0, 0, static_cast<std::uint32_t>(handle)});
    fcntl(slow, F_SETFL, O_NONBLOCK);
    for (std::size_t sent = 0; sent < (64u << 20);) {
        pollfd ready{slow, POLLOUT, 0};
        if (poll(&ready, 1, 500) == 0)
            break;
        const ssize_t n = send(slow, call.data(), call.size(), MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ExpectServed();
    Reset(slow);
    ExpectAllClosed();
    ExpectServed();
}

TEST_F(Faults, ServerDestroyedUnderLoad) {
    Start();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    const std::uint16_t port = ls.Port();  // read here: the server object goes away under them
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            Client c;
            if (c.Connect(port, ("load" + std::to_string(i)).c_str()) != NET_OK)
                return;
            for (int n = 0; !stop && n < 1000000; ++n) {
                if (c.Call(n) != n + 1)
                    return;  // the server went away: error 32, never a wrong answer
                ++answered;
            }
        });
    }
    const int slow = Connect(ls.Port());  // a peer that stops reading is part of the load
    std::vector<unsigned char> bytes = Handshake("echo");
    testutil::WriteAll(slow, bytes.data(), bytes.size());
    ASSERT_TRUE(testutil::WaitUntil([&] { return answered > 200; }));
    ls.Destroy();  // joins every thread; the clients see their connections end
    for (std::thread& t : clients)
        t.join();
    close(slow);
    LoopServer next;
    ASSERT_EQ(next.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
    next.Start();
    Client c;
    ASSERT_EQ(c.Connect(next.Port()), NET_OK);
    EXPECT_EQ(c.Call(1), 2);
}

TEST_F(Faults, AClientProcessKilledMidCall) {
    // Forked before the server starts any thread; the child calls until it is killed.
    int portPipe[2];
    ASSERT_EQ(pipe(portPipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::uint16_t port = 0;
        if (read(portPipe[0], &port, sizeof port) != sizeof port)
            _exit(1);
        Client c;
        if (c.Connect(port, "doomed") != NET_OK)
            _exit(2);
        for (;;) {
            MSGUSERCALL user{};
            user.lHandle = c.handle;
            user.pData = new MSGUSERDATA{};
            user.pData->lCount = 1;
            user.pData->pValues = new sL_VALUE[1];
            user.pData->pValues[0].usType = NET_TYPE_INTEGER;
            user.pData->pValues[0].kind = NET_KIND_INTEGER;
            user.pData->pValues[0].fValid = 1;
            user.pData->pValues[0].data.lValue = 5;
            ZoErrorCode error = 0;
            MSGUSERCALL reply = c.client.UserMsg(user, error);
            c.xdr.UserCall(-1, XDR_FREE, reply, 0);
            c.xdr.UserCall(-1, XDR_FREE, user, 0);
        }
    }
    close(portPipe[0]);
    Start();
    const std::uint16_t port = ls.Port();
    ASSERT_EQ(write(portPipe[1], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    close(portPipe[1]);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.calls > 50; }));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    ExpectAllClosed();
    ExpectServed();
}

// One value: an integer behind a reference chain of the longest depth the wire carries.
std::vector<unsigned char> DeepValue() {
    struct Memory : NetXDRImp {
        std::vector<unsigned char> out;
        unsigned char Write(int, const void* b, std::int32_t n) override {
            out.insert(out.end(), static_cast<const unsigned char*>(b),
                       static_cast<const unsigned char*>(b) + n);
            return 1;
        }
    } xdr;
    std::vector<sL_VALUE> links(32768);
    for (std::size_t i = 0; i < links.size(); ++i) {
        links[i].usType = NET_TYPE_INTEGER;
        links[i].fValid = 1;
        links[i].fReference = i + 1 < links.size();
        links[i].data.pReference = i + 1 < links.size() ? &links[i + 1] : nullptr;
    }
    links.back().kind = NET_KIND_INTEGER;
    links.back().data.lValue = 3;
    NET_SendVDXData(&xdr, links.data(), -1, 0);
    for (sL_VALUE& link : links)
        link.fReference = 0;
    return xdr.out;
}

TEST_F(Faults, TheDecodeBudgetStopsDeepReferencesOnEveryValueOfALargeBlock) {
    EXPECT_EQ(ls.server->Settings().ullDecodeBudget, 64u << 20);  // the default stands here
    Start();
    const int fd = Connect(ls.Port());
    std::vector<unsigned char> bytes = Handshake("echo");
    testutil::WriteAll(fd, bytes.data(), bytes.size());
    const auto handle = netpeer::ReadWord(fd);
    netpeer::ReadWord(fd);
    // 100,000 values of 32,767 links each would ask for gigabytes.
    const std::vector<unsigned char> call =
        netpeer::Words({NET_MSG_USER, 0, 0, handle, 100000, 0, 0, 1});
    const std::vector<unsigned char> value = DeepValue();
    bool writing = testutil::WriteAll(fd, call.data(), call.size());
    for (int i = 0; writing && i < 100000; ++i)
        writing = testutil::WriteAll(fd, value.data(), value.size());
    EXPECT_TRUE(PeerEnded(fd));
    close(fd);
    EXPECT_TRUE(testutil::WaitUntil([&] {
        return ls.trace.Text().find("NetServer::UserMsg record unreadable") != std::string::npos;
    }));
    EXPECT_EQ(stats.calls, 0);
    ExpectAllClosed();
    ExpectServed();
}

TEST_F(Faults, HandshakeTimeOutDropsSilentAndStalledPeers) {
    ls.server->Settings().lHandshakeTimeoutMs = 100;
    Start();
    const int silent = Connect(ls.Port());
    const int stalled = Connect(ls.Port());
    testutil::WriteAll(stalled, "\0\0", 2);  // half an identifier, then nothing
    const int blockless = Connect(ls.Port());
    const std::vector<unsigned char> hello = Handshake("echo");
    testutil::WriteAll(blockless, hello.data(), 100);
    for (int fd : {silent, stalled, blockless}) {
        EXPECT_TRUE(PeerEnded(fd));
        close(fd);
    }
    EXPECT_EQ(
        mainloop::CountOf(ls.trace, "+++No data recieved from client after connect 127.0.0.1"), 2);
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 2"));
    ExpectServed();  // calls after the handshake may come as late as they like
}

TEST_F(Faults, ConnectionCapClosesConnectionsBeyondIt) {
    ls.server->Settings().ulMaxConnections = 2;
    Start();
    Client a, b;
    ASSERT_EQ(a.Connect(ls.Port()), NET_OK);
    ASSERT_EQ(b.Connect(ls.Port()), NET_OK);
    const int third = Connect(ls.Port());
    EXPECT_TRUE(PeerEnded(third));
    close(third);
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread connection limit 2 reached"));
    EXPECT_EQ(a.client.CloseMsg(a.handle), NET_OK);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(ls.server->m_ThreadMutex);
        int live = 0;
        for (const auto& thread : ls.server->m_InputThreads)
            live += thread->Finished() ? 0 : 1;
        return live < 2;
    }));
    ExpectServed();
    EXPECT_EQ(b.Call(1), 2);
}

TEST_F(Faults, OneWayUserCallsQueueNoMoreThanOneBudget) {
    ls.server->Settings().ullDecodeBudget = 64 * 1024;
    ls.server->TraceFlags(0x3F);
    Start();
    Client c;  // bound before the main thread is held: the binding needs it
    ASSERT_EQ(c.Connect(ls.Port()), NET_OK);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.created == 1; }));
    // One-way calls of about 8 KB each; while the main thread is held, only a budget's worth
    // may wait for it, and the rest must wait in the input thread.
    Client holder;
    std::thread held = HoldMainThread(holder);
    constexpr int kCalls = 40;
    std::thread writer([&] {
        for (int i = 0; i < kCalls; ++i) {
            MSGUSERCALL user{};
            user.ulFlags = NET_FLAG_NOREPLY;
            user.lHandle = c.handle;
            user.pData = new MSGUSERDATA{};
            user.pData->lCount = 2;
            user.pData->pValues = new sL_VALUE[2];
            sL_VALUE* v = user.pData->pValues;
            v[0].usType = NET_TYPE_INTEGER, v[0].kind = NET_KIND_INTEGER, v[0].fValid = 1;
            v[0].data.lValue = i;
            v[1].usType = NET_TYPE_STRING, v[1].kind = NET_KIND_STRING, v[1].fValid = 1;
            v[1].data.pString = new ZoString(std::string(8000, 'x').c_str());
            ZoErrorCode error = 0;
            c.client.UserMsg(user, error);
            c.xdr.UserCall(-1, XDR_FREE, user, c.client.m_bUnicode);
        }
    });
    const std::string waits =
        "NetServerImp::UserMsg handle " + std::to_string(c.handle) + " waits its turn";
    EXPECT_TRUE(ls.trace.WaitFor(waits));
    const std::string posted = "NetServerImp::UserMsg posted handle " + std::to_string(c.handle);
    EXPECT_LE(mainloop::CountOf(ls.trace, posted), 8);  // 64 KB hold at most 8 such calls
    gate.Open();
    held.join();
    writer.join();
    EXPECT_TRUE(testutil::WaitUntil([&] { return stats.lastValue == kCalls - 1; }));
    EXPECT_EQ(stats.calls, kCalls + 1);  // none lost, the holder's call besides
    EXPECT_TRUE(testutil::WaitUntil([&] { return ls.server->m_ullPostedBytes == 0; }));
}

TEST_F(Faults, AFullHandleTableStillTakesNewHosts) {
    // Peers choose host names: fill the table to its limit with handles nothing uses, one per
    // name (built here directly: CreateHndl's search for the lowest free entry is quadratic).
    {
        NetServerImp& server = *ls.server;
        ZoLock lock(server.m_TableLock);
        const std::uint32_t limit = NET_LISTEN_HANDLE;
        auto** table =
            static_cast<NetHostHndl**>(realloc(server.m_ppHandles, limit * sizeof(NetHostHndl*)));
        ASSERT_NE(table, nullptr);
        server.m_ppHandles = table;
        for (std::uint32_t i = 0; i < limit; ++i) {
            if (i >= server.m_ulHandleCount || table[i] == nullptr) {
                table[i] = new NetHostHndl(static_cast<std::int32_t>(i), &server, nullptr);
                table[i]->UseHandle(("h" + std::to_string(i)).c_str(), "echo");
            }
            table[i]->m_bConnecting = false;
        }
        server.m_ulHandleCount = limit;
    }
    ASSERT_EQ(ls.server->CreateHndl("one", "more"), nullptr);
    Start();
    ExpectServed();  // a host the table has never seen
    Client again;
    ASSERT_EQ(again.Connect(ls.Port(), "another"), NET_OK);
    EXPECT_LT(again.handle, NET_LISTEN_HANDLE);
    EXPECT_EQ(again.Call(1), 2);
}

TEST(Settings, EnvironmentOverridesTheDefaults) {
    EXPECT_EQ(NetSettings{}.ullDecodeBudget, 64u << 20);
    EXPECT_EQ(NetSettings{}.lHandshakeTimeoutMs, 0);
    EXPECT_EQ(NetSettings{}.ulMaxConnections, 0u);
    setenv("ZOR_NET_DECODE_BUDGET", "4096", 1);
    setenv("ZOR_NET_HANDSHAKE_TIMEOUT_MS", "250", 1);
    setenv("ZOR_NET_MAX_CONNECTIONS", "junk", 1);  // malformed: the default stays
    const NetSettings s = NetSettings::FromEnvironment();
    unsetenv("ZOR_NET_DECODE_BUDGET");
    unsetenv("ZOR_NET_HANDSHAKE_TIMEOUT_MS");
    unsetenv("ZOR_NET_MAX_CONNECTIONS");
    EXPECT_EQ(s.ullDecodeBudget, 4096u);
    EXPECT_EQ(s.lHandshakeTimeoutMs, 250);
    EXPECT_EQ(s.ulMaxConnections, 0u);
}

}  // namespace
