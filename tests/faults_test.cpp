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

TEST_F(Faults, TheDecodeBudgetStopsDeepReferencesOnEveryValueOfALargeBlock) {
    EXPECT_EQ(ls.server->Settings().ullDecodeBudget, 64u << 20);  // the default stands here
    Start();
    const int fd = ConnectRaw(ls.Port());
    ASSERT_TRUE(WriteAll(fd, Handshake("echo")));
    const auto handle = ReadWord(fd);
    ReadWord(fd);
    // 100,000 values of 32,767 links each would ask for gigabytes.
    const Bytes call = Words({NET_MSG_USER, 0, 0, handle, 100000, 0, 0, 1});
    const Bytes value{0x02, 0x7F, 0xFF, 1, 0, 0, 0, 3};  // 3 behind 32,767 references
    bool writing = WriteAll(fd, call);
    for (int i = 0; writing && i < 100000; ++i)
        writing = WriteAll(fd, value);
    EXPECT_TRUE(PeerEnded(fd));
    close(fd);
    EXPECT_TRUE(WaitUntil([&] {
        return ls.trace.Text().find("NetServer::UserMsg record unreadable") != std::string::npos;
    }));
    EXPECT_EQ(stats.calls, 0);
    ExpectAllClosed();
    ExpectServed();
}

TEST_F(Faults, HandshakeTimeOutDropsSilentAndStalledPeers) {
    ls.server->Settings().lHandshakeTimeoutMs = 100;
    Start();
    const int silent = ConnectRaw(ls.Port());
    const int stalled = ConnectRaw(ls.Port());
    WriteAll(stalled, "\0\0", 2);  // half an identifier, then nothing
    const int blockless = ConnectRaw(ls.Port());
    WriteAll(blockless, Handshake("echo").data(), 100);
    for (int fd : {silent, stalled, blockless}) {
        EXPECT_TRUE(PeerEnded(fd));
        close(fd);
    }
    EXPECT_EQ(ls.trace.Count("+++No data recieved from client after connect 127.0.0.1"), 2);
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection read error loc 2"));
    ExpectServed();  // calls after the handshake may come as late as they like
}

TEST_F(Faults, ConnectionCapClosesConnectionsBeyondIt) {
    ls.server->Settings().ulMaxConnections = 2;
    Start();
    Client a, b;
    ASSERT_EQ(a.Connect(ls.Port()), NET_OK);
    ASSERT_EQ(b.Connect(ls.Port()), NET_OK);
    const int third = ConnectRaw(ls.Port());
    EXPECT_TRUE(PeerEnded(third));
    close(third);
    EXPECT_TRUE(ls.trace.Has("NetServer::StartInputThread connection limit 2 reached"));
    EXPECT_EQ(a.client.CloseMsg(a.handle), NET_OK);
    ASSERT_TRUE(WaitUntil([&] { return LiveInputThreads(*ls.server) < 2; }));
    ExpectServed();
    EXPECT_EQ(b.Call(1), 2);
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
