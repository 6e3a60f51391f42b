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
#include <filesystem>
#include <future>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "servtest.h"

using namespace servtest;

namespace {

// Records what the client writes, to replay it cut short.
struct RecordingXdr : NetXDRImp {
    std::vector<unsigned char> sent;
    unsigned char Write(int socket, const void* buffer, std::int32_t length) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        sent.insert(sent.end(), p, p + length);
        return NetXDRImp::Write(socket, buffer, length);
    }
};

int Entries(const char* dir) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

std::uint64_t ResidentBytes() {
    std::uint64_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class Faults : public ::testing::Test {
protected:
    void Start(LoopServer& server) {
        ASSERT_EQ(server.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
        server.Start();
    }
    void Start() { Start(ls); }
    // A new client connects, is answered and closes.
    void ExpectServed(LoopServer& server) {
        Client c;
        ASSERT_EQ(c.Connect(server.Port()), NET_OK);
        EXPECT_EQ(c.Call(41), 82);
        EXPECT_EQ(c.client.CloseMsg(c.handle), NET_OK);
    }
    void ExpectServed() { ExpectServed(ls); }
    // Every connection's input thread has ended and each bound connection was closed.
    void ExpectAllClosed() {
        EXPECT_TRUE(WaitUntil([&] { return LiveInputThreads(*ls.server) == 0; }));
        EXPECT_TRUE(WaitUntil([&] { return stats.closed == stats.created; }))
            << stats.closed << " of " << stats.created;
    }
    // Keeps the main thread in a callback until gate.Post(); join the returned thread after.
    std::thread HoldMainThread(Client& holder) {
        EXPECT_EQ(holder.Connect(ls.Port(), "echo", "holder"), NET_OK);
        std::thread held([&holder] { holder.Call(kHoldValue); });
        EXPECT_TRUE(WaitUntil([&] { return stats.held.load(); }));
        return held;
    }

    Stats stats;
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
        ZoErrorCode error = 0;
        auto end = [&] { ends.push_back(xdr.sent.size()); };
        ASSERT_EQ(client.CreateSocket("127.0.0.1", ls.Port()), NET_OK);
        ASSERT_EQ(client.ConnectMsg("recorder", "echo", handle), NET_OK);
        end();
        MSGINTCALL integer{1, 0, 0, handle};
        client.IntegerMsg(integer, error), end();
        MSGREALCALL real{1.5, 0, 0, handle};
        client.RealMsg(real, error), end();
        char text[] = "some text";
        MSGSTRINGCALL string{text, 0, 0, handle};
        MSGSTRINGCALL answer = client.StringMsg(string, error);
        xdr.StringCall(-1, XDR_FREE, answer), end();
        for (const std::uint32_t flags : {0u, NET_FLAG_NOREPLY}) {
            MSGUSERCALL user = UserCall(handle, flags, {"value", "value"});
            MSGUSERCALL reply = client.UserMsg(user, error);
            xdr.UserCall(-1, XDR_FREE, reply, 0);
            xdr.UserCall(-1, XDR_FREE, user, 0), end();
        }
        ASSERT_EQ(client.CloseMsg(handle), NET_OK);
        end();
    }
    // Cut at every boundary, one byte into every message, and in the middle of every message.
    std::vector<std::size_t> cuts = {0, 2};
    for (std::size_t i = 0, start = 0; i < ends.size(); start = ends[i++]) {
        cuts.insert(cuts.end(),
                    {start + 1, start + 6, (start + ends[i]) / 2, ends[i] - 1, ends[i]});
    }
    for (const std::size_t cut : cuts) {
        const int fd = ConnectRaw(ls.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAll(fd, xdr.sent.data(), cut));
        Reset(fd);
    }
    ExpectAllClosed();
    ExpectServed();
}

// 2,000 connections (three descriptors each on this process, one input thread each) end at once
// while the main thread is held: by the close message, by reset and by close. Each is bound and
// closed once the main thread is free, and no thread or descriptor stays behind.
TEST_F(Faults, ConnectionsEndingAtOnceWhileTheMainThreadIsBusy) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const int connections = std::min<int>(2000, static_cast<int>(files.rlim_cur / 4));
    Start();
    ExpectServed();  // so whatever is made once for all connections is made
    const int fds = Entries("/proc/self/fd"), tasks = Entries("/proc/self/task");
    Client holder;
    std::thread held = HoldMainThread(holder);
    const Bytes hello = Handshake("echo");
    std::vector<int> peers;
    for (int i = 0; i < connections; ++i) {
        const int fd = ConnectRaw(ls.Port());
        ASSERT_GE(fd, 0) << i;
        ASSERT_TRUE(WriteAll(fd, hello));
        ASSERT_EQ(ReadBytes(fd, 8).size(), 8u) << i;  // the number goes out at once
        peers.push_back(fd);
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (i % 3 == 0)
            WriteAll(peers[i], Words({NET_MSG_CLOSE}));
        i % 3 == 1 ? Reset(peers[i]) : (void)close(peers[i]);
    }
    stats.gate.Post();
    held.join();
    EXPECT_TRUE(
        WaitUntil([&] { return stats.created == connections + 2; }, std::chrono::seconds(60)));
    EXPECT_EQ(holder.client.CloseMsg(holder.handle), NET_OK);
    ExpectAllClosed();
    EXPECT_TRUE(WaitUntil([&] {
        // At most: the first client's thread and descriptors may still have been closing.
        return Entries("/proc/self/fd") <= fds && Entries("/proc/self/task") <= tasks;
    })) << Entries("/proc/self/fd")
        << " descriptors, " << Entries("/proc/self/task") << " threads";
    Client next;  // its arrival joins and frees every input thread that has ended
    ASSERT_EQ(next.Connect(ls.Port()), NET_OK);
    EXPECT_EQ(next.Call(1), 2);
    std::lock_guard<std::mutex> lock(ls.server->m_ThreadMutex);
    EXPECT_EQ(ls.server->m_InputThreads.size(), 1u);
}

// A client thread with a small stack: a thousand of them fit anywhere.
struct BurstClient : ZoThread {
    BurstClient(std::shared_future<void> start, std::uint16_t port, std::atomic<int>& served)
        : start(std::move(start)), port(port), served(served) {}
    void Run() override {
        start.wait();
        Client c;
        served += c.Connect(port, "echo", "burst") == NET_OK && c.Call(3) == 6 &&
                  c.client.CloseMsg(c.handle) == NET_OK;
    }
    std::shared_future<void> start;
    std::uint16_t port;
    std::atomic<int>& served;
};

// 1,000 clients released at the same moment each complete the handshake and a call. (A fixed
// bug: a listen backlog of 10 made 20 of 64 such clients fail, and 139 of 300.)
TEST_F(Faults, AThousandClientsConnectingAtOnceAreAllServed) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    // Three descriptors a client here: its socket, the server's and the handle's.
    const int count = static_cast<int>(std::min<rlim_t>(1000, (files.rlim_cur - 100) / 3));
    Start();
    std::promise<void> go;
    const std::shared_future<void> start = go.get_future().share();
    std::atomic<int> served{0};
    std::vector<std::unique_ptr<BurstClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<BurstClient>(start, ls.Port(), served));
        EXPECT_NE(clients.back()->Create(ZoThread::kMinStack, 1), 0u) << i;
    }
    go.set_value();
    for (const auto& client : clients)
        client->Join();
    EXPECT_EQ(served, count);
    ExpectAllClosed();
}

TEST_F(Faults, APeerThatStopsReadingHoldsUpOnlyItsOwnConnection) {
    Start();
    const int slow = ConnectRaw(ls.Port());
    const int small = 4096;
    setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(WriteAll(slow, Handshake("echo")));
    const std::uint32_t handle = ReadWord(slow);
    ReadWord(slow);
    // Calls without reading the replies, until the server stops taking them (64 MB at most).
    const Bytes call = Words({NET_MSG_INTEGER, 1, 0, 0, handle});
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

// Destroyed while callers keep calling, with calls waiting in the pipe for a main thread that
// is gone, an idle client and a peer that stopped reading.
TEST_F(Faults, ServerDestroyedUnderLoadWithCallsInFlight) {
    constexpr int kLoaders = 6;
    Start();
    const std::uint16_t port = ls.Port();  // read here: the server object goes away under them
    std::atomic<int> answered{0}, wrong{0};
    std::vector<std::thread> loaders;
    for (int i = 0; i < kLoaders; ++i) {
        loaders.emplace_back([&, i] {
            Client c;
            if (c.Connect(port, "echo", ("load" + std::to_string(i)).c_str()) != NET_OK) {
                ++wrong;
                return;
            }
            CallUntilLost(c, 1000000, answered, wrong);  // lost when the server goes, never wrong
        });
    }
    Client idle;  // failures below only expected: the loaders must still be joined
    EXPECT_EQ(idle.Connect(port), NET_OK);
    const int slow = ConnectRaw(port);
    EXPECT_TRUE(WriteAll(slow, Handshake("echo")));
    EXPECT_TRUE(WaitUntil([&] { return answered > 200 && stats.created == kLoaders + 2; }));

    ls.StopLoop();  // the main thread is gone: the next calls stay in the pipe
    pollfd pending{ls.server->m_nPipeRead, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 10000), 1);
    ls.Destroy();  // joins every thread; the clients see their connections end
    for (std::thread& t : loaders)
        t.join();
    close(slow);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(idle.Call(1), -1000 - 32);
    EXPECT_EQ(stats.destroyed, kLoaders + 3);  // each connection's object and the registered one
    LoopServer next;
    Start(next);
    ExpectServed(next);
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
        if (c.Connect(port, "echo", "doomed") != NET_OK)
            _exit(2);
        for (;;) {
            MSGUSERCALL user = UserCall(c.handle, 0, {}, {5});
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
    ASSERT_TRUE(WaitUntil([&] { return stats.calls > 50; }));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    ExpectAllClosed();
    ExpectServed();
}

// Calls that made the server allocate gigabytes from a few kilobytes (a fixed bug): values behind
// 32,767 references (8 wire bytes for 32,767 links each), and lists of one-byte elements whose
// decodes stall short of the end, holding what they built. While they run, resident memory stays
// within the server-wide budget and other clients are served; once they close, it goes back.
TEST_F(Faults, HostileDecodesStayWithinTheServerWideBudgetAndGiveTheMemoryBack) {
    NetSettings& limits = ls.server->Settings();
    limits.ullDecodeBudget = 32 << 20;  // half the defaults: the same bounds, in half the time
    limits.ullServerDecodeBudget = 64 << 20;
    // The captured trace grows on whichever thread traces and would pin the heaps it lands in.
    ls.server->TraceFile(nullptr);
    Start();
    ExpectServed();
    const std::uint64_t before = ResidentBytes();
    // One peer at a time: each has ended, and given its share of the server-wide budget back, or
    // built all it was sent, before the next starts.
    const std::uint64_t listCost = 650000 * NetAllocCost(sizeof(sLIST_NODE));
    std::vector<int> peers;
    int holding = 0;
    for (int i = 0; i < 22; ++i) {
        const int fd = ConnectRaw(ls.Port());
        ASSERT_TRUE(WriteAll(fd, Handshake("echo")));
        const std::uint32_t handle = ReadWord(fd);
        ReadWord(fd);
        peers.push_back(fd);
        Bytes call;
        if (i < 16) {  // 100,000 values announced, 127 sent
            call = Words({NET_MSG_USER, 0, 0, handle, 100000, 0, 0, 1});
            for (int v = 0; v < 127; ++v)
                call = call + Bytes{0x02, 0x7F, 0xFF, 1, 0, 0, 0, 3};
        } else {  // 2,000,000 booleans without value announced, 650,000 sent
            call = Words({NET_MSG_USER, 0, 0, handle, 1, 0, 0, 1}) + Bytes{0x81, 0, 0, 1} +
                   Words({2000000}) + Bytes{1, 0, 0, 0, 0};
            call.resize(call.size() + 650000, 0);
        }
        const std::uint64_t used = ls.server->m_DecodePool.Used();
        WriteAll(fd, call);  // fails once the server has ended the connection
        ASSERT_TRUE(WaitUntil(
            [&] { return PeerEnded(fd, 0) || ls.server->m_DecodePool.Used() >= used + listCost; },
            std::chrono::seconds(60)));
        const bool ended = PeerEnded(fd, 0);
        EXPECT_TRUE(ended || i >= 16);
        ASSERT_TRUE(WaitUntil([&] { return !ended || ls.server->m_DecodePool.Used() == used; }));
        holding += !ended;
    }
    // The lists that fit into the server-wide budget wait for their ends; the others failed.
    EXPECT_EQ(holding, static_cast<int>(limits.ullServerDecodeBudget / (listCost + 4096)));
    const std::uint64_t held = ResidentBytes();
    ExpectServed();
    EXPECT_EQ(stats.calls, 2);

    for (const int fd : peers)
        close(fd);
    ExpectAllClosed();
    EXPECT_TRUE(WaitUntil([&] { return ls.server->m_DecodePool.Used() == 0; }));
    const std::uint64_t after = ResidentBytes();
    if (kSanitized)
        GTEST_SKIP() << "resident memory is the sanitizer's here; the figures are not checked";
    EXPECT_LE(held, before + limits.ullServerDecodeBudget + (64 << 20));
    EXPECT_LE(after, before + (64 << 20));
}

// The deadline bounds the whole handshake, from accept to the answer. (A fixed bug: it bounded
// each read, so a peer sending a byte at a time stayed for minutes.)
TEST_F(Faults, HandshakeDeadlineDropsSilentStalledAndTricklingPeers) {
    ls.server->Settings().lHandshakeTimeoutMs = 200;
    Start();
    const int silent = ConnectRaw(ls.Port());
    const int stalled = ConnectRaw(ls.Port());
    WriteAll(stalled, "\0\0", 2);  // half an identifier, then nothing
    const int versionless = ConnectRaw(ls.Port());
    WriteAll(versionless, Handshake("echo").data(), 6);  // an identifier and half a version
    const int blockless = ConnectRaw(ls.Port());
    WriteAll(blockless, Handshake("echo").data(), 100);
    // Within the deadline a connect message may come in parts; the server puts them together.
    const int split = ConnectRaw(ls.Port());
    const Bytes hello = Handshake("echo");
    WriteAll(split, hello.data(), 100);
    poll(nullptr, 0, 20);  // lets the server find the first part alone
    WriteAll(split, &hello[100], hello.size() - 100);
    EXPECT_LT(ReadWord(split), std::uint32_t(NET_LISTEN_HANDLE));  // a handle number
    close(split);
    // One byte every 20 ms: the whole connect message would take 10 s.
    const int trickling = ConnectRaw(ls.Port());
    std::size_t sent = 0;
    for (pollfd ended{trickling, POLLIN, 0}; sent < hello.size() && poll(&ended, 1, 20) == 0;)
        sent += WriteAll(trickling, &hello[sent], 1);
    EXPECT_LT(sent, hello.size());
    for (int fd : {silent, stalled, versionless, blockless, trickling}) {
        EXPECT_TRUE(PeerEnded(fd));
        close(fd);
    }
    EXPECT_GE(ls.trace.Count("+++No data recieved from client after connect 127.0.0.1"), 2);
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 1"));
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 2"));
    ExpectServed();  // calls after the handshake may come as late as they like
}

// Peers still in their handshake count against a quota of their own, not the cap: a few
// trickling peers no longer keep every real client out (a fixed bug). A peer over the quota or
// the cap reads the refusal -3, then the end of the stream, not a reset.
TEST_F(Faults, HandshakeQuotaAndConnectionCapRefuseWithAnAnswer) {
    ls.server->Settings().ulMaxConnections = 1;
    ls.server->Settings().ulMaxHandshakes = 3;
    Start();
    const auto counted = [&](std::uint32_t handshakes, std::uint32_t established) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(ls.server->m_StageMutex);
            return ls.server->m_ulHandshakes == handshakes &&
                   ls.server->m_ulEstablished == established;
        });
    };
    const auto refused = [](int fd) {
        WriteAll(fd, Handshake("echo"));
        EXPECT_EQ(ReadWord(fd), static_cast<std::uint32_t>(NET_REPLY_NO_MEMORY));
        char c;
        EXPECT_EQ(recv(fd, &c, 1, 0), 0);
        close(fd);
    };
    std::vector<int> trickling{ConnectRaw(ls.Port())};
    const int late = ConnectRaw(ls.Port());  // admitted now, its connect message sent below
    WriteAll(trickling[0], "\0", 1);
    ASSERT_TRUE(counted(2, 0));
    Client served;
    ASSERT_EQ(served.Connect(ls.Port()), NET_OK);
    ASSERT_TRUE(counted(2, 1));
    refused(late);  // over the cap once its connect message has arrived
    Client over;
    EXPECT_EQ(over.Connect(ls.Port()), NET_NO_MEMORY);  // over the cap as it is accepted
    EXPECT_EQ(served.Call(1), 2);
    EXPECT_EQ(served.client.CloseMsg(served.handle), NET_OK);
    ASSERT_TRUE(counted(1, 0));
    trickling.push_back(ConnectRaw(ls.Port()));
    trickling.push_back(ConnectRaw(ls.Port()));
    ASSERT_TRUE(counted(3, 0));
    refused(ConnectRaw(ls.Port()));  // over the quota
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection connection limit 1 reached"));
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread connection limit 1 reached"));
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread handshake quota 3 reached"));
    for (const int fd : trickling)
        close(fd);
    ASSERT_TRUE(counted(0, 0));
    ExpectServed();
}

TEST_F(Faults, OneWayUserCallsQueueNoMoreThanOneBudget) {
    ls.server->Settings().ullDecodeBudget = 64 * 1024;
    ls.server->TraceFlags(0x3F);
    Start();
    Client c;  // bound before the main thread is held: the binding needs it
    ASSERT_EQ(c.Connect(ls.Port()), NET_OK);
    ASSERT_TRUE(WaitUntil([&] { return stats.created == 1; }));
    // One-way calls of about 8 KB each; while the main thread is held, only a budget's worth
    // may wait for it, and the rest must wait in the input thread.
    Client holder;
    std::thread held = HoldMainThread(holder);
    constexpr int kCalls = 40;
    std::thread writer([&] {
        for (int i = 0; i < kCalls; ++i) {
            MSGUSERCALL user = UserCall(c.handle, NET_FLAG_NOREPLY, {std::string(8000, 'x')}, {i});
            ZoErrorCode error = 0;
            c.client.UserMsg(user, error);
            c.xdr.UserCall(-1, XDR_FREE, user, c.client.m_bUnicode);
        }
    });
    const std::string waits =
        "NetServerImp::UserMsg handle " + std::to_string(c.handle) + " waits its turn";
    EXPECT_TRUE(ls.trace.WaitFor(waits));
    const std::string posted = "NetServerImp::UserMsg posted handle " + std::to_string(c.handle);
    EXPECT_LE(ls.trace.Count(posted), 8);  // 64 KB hold at most 8 such calls
    stats.gate.Post();
    held.join();
    writer.join();
    EXPECT_TRUE(WaitUntil([&] { return stats.lastValue == kCalls - 1; }));
    EXPECT_EQ(stats.calls, kCalls + 1);  // none lost, the holder's call besides
    EXPECT_TRUE(WaitUntil([&] { return ls.server->m_ullPostedBytes == 0; }));
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
    ASSERT_EQ(again.Connect(ls.Port(), "echo", "another"), NET_OK);
    EXPECT_LT(again.handle, NET_LISTEN_HANDLE);
    EXPECT_EQ(again.Call(1), 2);
}

}  // namespace
