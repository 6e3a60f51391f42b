// The whole server end to end: the library's client (or a raw socket) against the library's
// server over loopback, with a ZoInputLoop thread as the application's main thread.
#include "netservimp.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/netclnt.h"
#include "net/nethndl.h"
#include "netpeer.h"
#include "netserv_mainloop.h"
#include "zo/zostring.h"

using mainloop::LoopServer;

namespace {

constexpr std::uint32_t kWantData = 0x100;  // asks the application to set the return-data bit

struct Stats {
    std::atomic<int> created{0}, closed{0}, netCreate{0}, netDestroy{0}, destroyed{0};
    std::atomic<int> oneWay{0};
    std::atomic<int> createResult{1};          // NetCreate's answer
    std::atomic<int> createdResult{1};         // ConnectionCreated's answer
    std::atomic<bool> detach{false};           // give the connection no event object
    std::atomic<NetEvent*> detached{nullptr};  // the object then left to the test
    std::mutex mutex;
    std::vector<std::string> texts;  // string values received in user calls
};

// Doubles numbers, prefixes texts, appends "!" to strings and adds 1 to integers of user calls.
class EchoEvent : public NetEvent {
public:
    explicit EchoEvent(Stats& stats) : m_stats(stats) {}
    ~EchoEvent() override { ++m_stats.destroyed; }
    NetEvent* Clone() override { return new EchoEvent(m_stats); }
    void SetHndl(NetHostHndl* handle) override { m_handle = handle; }
    std::int32_t NetCreate() override {
        ++m_stats.netCreate;
        return m_stats.createResult;
    }
    std::int32_t NetDestroy() override {
        ++m_stats.netDestroy;
        return 1;
    }
    std::int32_t ConnectionCreated() override {
        ++m_stats.created;
        if (m_stats.detach) {
            m_stats.detached = this;
            m_handle->SetEventFunc(nullptr);
        }
        return m_stats.createdResult;
    }
    std::int32_t ConnectionClosed() override {
        ++m_stats.closed;
        return 1;
    }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        Answer(flags);
        *value *= 2;
        return 7;
    }
    std::int32_t RealData(double* value, std::uint32_t& flags) override {
        Answer(flags);
        *value *= 2;
        return 7;
    }
    std::int32_t StringData(char** text, std::uint32_t& flags) override {
        Answer(flags);
        const std::string echoed = "echo:" + std::string(*text != nullptr ? *text : "");
        free(*text);
        *text = strdup(echoed.c_str());
        return 7;
    }
    std::int32_t UserData(void* data, std::uint32_t& flags) override {
        Answer(flags);
        auto* block = static_cast<MSGUSERDATA*>(data);
        for (std::int32_t i = 0; block != nullptr && i < block->lCount; ++i) {
            sL_VALUE& v = block->pValues[i];
            if (v.kind == NET_KIND_INTEGER)
                v.data.lValue += 1;
            if (v.kind == NET_KIND_STRING) {
                const std::string text = v.data.pString->mbcs();
                std::lock_guard<std::mutex> lock(m_stats.mutex);
                m_stats.texts.push_back(text);
                *v.data.pString = ZoString((text + "!").c_str());
            }
        }
        return 8;
    }

private:
    void Answer(std::uint32_t& flags) {
        if (flags & NET_FLAG_NOREPLY)
            ++m_stats.oneWay;
        if (flags & kWantData)
            flags |= NET_FLAG_RETURNDATA;
    }
    Stats& m_stats;
    NetHostHndl* m_handle = nullptr;
};

class Client {
public:
    explicit Client(std::uint32_t version = 2) : client(nullptr, &xdr, version) {}
    std::int32_t Connect(std::uint16_t port, const char* service, const char* host = "tester") {
        const std::int32_t rc = client.CreateSocket("127.0.0.1", port);
        return rc != NET_OK ? rc : client.ConnectMsg(host, service, handle);
    }
    MSGINTCALL Integer(std::int32_t value, std::uint32_t flags, ZoErrorCode& error) {
        MSGINTCALL call{value, 0, flags, handle};
        return client.IntegerMsg(call, error);
    }
    NetXDRImp xdr;
    NetClient client;
    std::int32_t handle = -1;
};

// A user call with a string and an integer; released with UserCall(XDR_FREE).
MSGUSERCALL UserCall(std::int32_t handle, std::uint32_t flags, const char* text, std::int32_t n) {
    auto* block = new MSGUSERDATA{};
    block->lCount = 2;
    block->pValues = new sL_VALUE[2];
    sL_VALUE* v = block->pValues;
    v[0].usType = NET_TYPE_STRING, v[0].kind = NET_KIND_STRING, v[0].fValid = 1;
    v[0].data.pString = new ZoString(text);
    v[1].usType = NET_TYPE_INTEGER, v[1].kind = NET_KIND_INTEGER, v[1].fValid = 1;
    v[1].data.lValue = n;
    MSGUSERCALL call{};
    call.ulFlags = flags;
    call.lHandle = handle;
    call.pData = block;
    return call;
}

// The handshake written by hand: reply code, and the Unicode word when version 2 gets a handle.
struct Raw {
    explicit Raw(std::uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval limit{10, 0};  // a server that never answers fails the test instead of hanging it
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~Raw() { close(fd); }
    void SendConnect(std::uint32_t version, const char* service) {
        unsigned char block[NET_CONNECT_BLOCK_SIZE] = {};
        strcpy(reinterpret_cast<char*>(block), "rawhost");
        strcpy(reinterpret_cast<char*>(block + NET_CONNECT_SERVICE_OFFSET), service);
        netpeer::WriteWords(fd, {NET_MSG_CONNECT, version});
        testutil::WriteAll(fd, block, sizeof block);
    }
    std::int32_t Word() { return static_cast<std::int32_t>(netpeer::ReadWord(fd)); }
    bool Closed() {  // end of stream or reset, within the receive time-out
        char c;
        const ssize_t got = recv(fd, &c, 1, 0);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    int fd;
    bool connected;
};

bool AllInputThreadsEnded(NetServerImp& server) {
    std::lock_guard<std::mutex> lock(server.m_ThreadMutex);
    for (const auto& thread : server.m_InputThreads)
        if (!thread->Finished())
            return false;
    return true;
}

int Entries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

class EndToEnd : public ::testing::Test {
protected:
    void Register(const std::string& service) {
        ASSERT_EQ(ls.server->RegisterFunc(service.c_str(), new EchoEvent(stats)), 1);
    }
    std::string OnPort(const char* name, std::uint16_t port) {
        return std::string(name) + ":" + std::to_string(port);
    }

    Stats stats;
    Stats listenerStats;
    LoopServer ls;
};

TEST_F(EndToEnd, EachCallKindWithAndWithoutTheReturnDataBit) {
    Register("echo");
    ls.Start();
    Client c;
    ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
    for (const std::uint32_t flags : {0u, kWantData}) {
        const bool data = flags != 0;
        const std::uint32_t answered = data ? flags | NET_FLAG_RETURNDATA : 0;
        const std::int32_t handle = data ? c.handle : 0;
        ZoErrorCode error = 0;

        MSGINTCALL i = c.Integer(21, flags, error);
        EXPECT_EQ(error, 1);
        EXPECT_EQ(i.ulStatus, 7u);
        EXPECT_EQ(i.lValue, data ? 42 : 0);
        EXPECT_EQ(i.ulFlags, answered);
        EXPECT_EQ(i.lHandle, handle);

        MSGREALCALL rc{1.25, 0, flags, c.handle};
        MSGREALCALL r = c.client.RealMsg(rc, error);
        EXPECT_EQ(error, 1);
        EXPECT_EQ(r.ulStatus, 7u);
        EXPECT_EQ(r.dValue, data ? 2.5 : 0.0);
        EXPECT_EQ(r.ulFlags, answered);
        EXPECT_EQ(r.lHandle, handle);

        char text[] = "abc";
        MSGSTRINGCALL sc{text, 0, flags, c.handle};
        MSGSTRINGCALL s = c.client.StringMsg(sc, error);
        EXPECT_EQ(error, 1);
        EXPECT_EQ(s.ulStatus, 7u);
        EXPECT_STREQ(s.pszValue, data ? "echo:abc" : nullptr);
        EXPECT_EQ(s.ulFlags, answered);
        c.xdr.StringCall(-1, XDR_FREE, s);

        // A user call's answer carries the values back whatever the bit.
        MSGUSERCALL uc = UserCall(c.handle, flags, "h\xC3\xA9llo", 9);
        MSGUSERCALL u = c.client.UserMsg(uc, error);
        c.xdr.UserCall(-1, XDR_FREE, uc, 0);
        EXPECT_EQ(error, 1);
        EXPECT_EQ(u.ulStatus, 8u);
        EXPECT_EQ(u.ulFlags, answered);
        EXPECT_EQ(u.lHandle, c.handle);
        ASSERT_NE(u.pData, nullptr);
        ASSERT_EQ(u.pData->lCount, 2);
        EXPECT_STREQ(u.pData->pValues[0].data.pString->mbcs(), "h\xC3\xA9llo!");
        EXPECT_EQ(u.pData->pValues[1].data.lValue, 10);
        c.xdr.UserCall(-1, XDR_FREE, u, 0);
    }
}

TEST_F(EndToEnd, OneWayCallsReachTheApplicationAndLeaveTheStreamInStep) {
    Register("echo");
    ls.Start();
    Client c;
    ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
    ZoErrorCode error = 0;
    c.Integer(1, NET_FLAG_NOREPLY, error);
    EXPECT_EQ(error, 1);
    MSGREALCALL rc{1.0, 0, NET_FLAG_NOREPLY, c.handle};
    c.client.RealMsg(rc, error);
    char text[] = "one way";
    MSGSTRINGCALL sc{text, 0, NET_FLAG_NOREPLY, c.handle};
    c.client.StringMsg(sc, error);
    MSGUSERCALL uc = UserCall(c.handle, NET_FLAG_NOREPLY, "posted", 1);
    c.client.UserMsg(uc, error);
    c.xdr.UserCall(-1, XDR_FREE, uc, 0);

    // Had any of them been answered, this reply would read as that answer.
    MSGINTCALL after = c.Integer(5, kWantData, error);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(after.lValue, 10);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.oneWay == 4; }));
    std::lock_guard<std::mutex> lock(stats.mutex);
    EXPECT_EQ(stats.texts, std::vector<std::string>{"posted"});
}

TEST_F(EndToEnd, ConnectionWithoutEventObjectIsAnswered11) {
    Register("echo");
    stats.detach = true;
    ls.Start();
    Client c;
    ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
    ZoErrorCode error = 0;
    EXPECT_EQ(c.Integer(3, kWantData, error).ulStatus, 11u);
    EXPECT_EQ(error, 1);
    ls.Destroy();
    delete stats.detached.load();
}

TEST_F(EndToEnd, RawPeerUnknownIdentifierLaterConnectAndClose) {
    Register("echo");
    ls.Start();
    Raw raw(ls.Port());
    ASSERT_TRUE(raw.connected);
    raw.SendConnect(2, "echo");
    const std::int32_t handle = raw.Word();
    ASSERT_GE(handle, 0);
    EXPECT_EQ(raw.Word(), 0);  // the Unicode word: off

    netpeer::WriteWords(raw.fd, {7});  // skipped, unanswered
    NetXDRImp xdr;
    std::uint32_t id = NET_MSG_INTEGER;
    MSGINTCALL call{4, 0, kWantData, handle};
    ASSERT_TRUE(xdr.ULong(raw.fd, XDR_ENCODE, id) && xdr.IntCall(raw.fd, XDR_ENCODE, call));
    MSGINTCALL reply{};
    ASSERT_TRUE(xdr.IntCall(raw.fd, XDR_DECODE, reply));
    EXPECT_EQ(reply.lValue, 8);
    EXPECT_TRUE(ls.trace.Has("NetServer::MsgUser Unknown network message ID 7"));

    raw.SendConnect(2, "ignored");  // answers the handle already bound, with its Unicode word
    EXPECT_EQ(raw.Word(), handle);
    EXPECT_EQ(raw.Word(), 0);
    raw.SendConnect(1, "ignored");  // below version 2: the number alone
    EXPECT_EQ(raw.Word(), handle);

    netpeer::WriteWords(raw.fd, {NET_MSG_CLOSE});
    EXPECT_EQ(raw.Word(), 1);
    EXPECT_TRUE(raw.Closed());
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == 1; }));
    EXPECT_EQ(ls.trace.Text().find("detected closed"), std::string::npos);  // closed, not lost
}

TEST_F(EndToEnd, ServicesByNameInAnyCaseUnnamedOnTheirPortAndOnlyOnTheirPort) {
    const std::uint16_t p2 = testutil::FreePort(), p3 = testutil::FreePort();
    Register("echo");
    Register(OnPort("", p2));
    Register(OnPort("other", p3));
    ls.Start();
    Client named, unnamed, elsewhere, right;
    EXPECT_EQ(named.Connect(ls.Port(), "ECHO"), 1);
    EXPECT_EQ(unnamed.Connect(p2, "anything"), 1);
    EXPECT_EQ(elsewhere.Connect(ls.Port(), "other"), 31);
    EXPECT_EQ(right.Connect(p3, "other"), 1);
    EXPECT_TRUE(ls.trace.Has("NetServer::CreateConnection - Service other port " +
                             std::to_string(ls.Port()) + " Not Found"));
    ZoErrorCode error = 0;
    EXPECT_EQ(unnamed.Integer(2, kWantData, error).lValue, 4);
}

TEST_F(EndToEnd, GenericListenerServesTheDefaultPortOnly) {
    Stats& listener = listenerStats;
    const std::uint16_t p2 = testutil::FreePort();
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listener)), 1);
    Register(OnPort("named", p2));
    ls.Start();
    Client any, wrongPort;
    EXPECT_EQ(any.Connect(ls.Port(), "whatever"), 1);
    EXPECT_EQ(wrongPort.Connect(p2, "whatever"), 31);
    ZoErrorCode error = 0;
    EXPECT_EQ(any.Integer(8, kWantData, error).lValue, 16);
    EXPECT_EQ(listener.created, 1);
    EXPECT_EQ(any.client.CloseMsg(any.handle), 1);
    ASSERT_TRUE(testutil::WaitUntil([&] { return listener.closed == 1; }));
    EXPECT_EQ(listener.netDestroy, 0);  // the listener's object serves on
}

TEST_F(EndToEnd, HandleIsReusedByTheNextConnectionOfTheSameHostAndService) {
    Register("echo");
    ls.Start();
    Client first, other;
    ASSERT_EQ(first.Connect(ls.Port(), "echo", "H"), 1);
    ASSERT_EQ(other.Connect(ls.Port(), "echo", "G"), 1);
    EXPECT_NE(first.handle, other.handle);
    EXPECT_EQ(first.client.CloseMsg(first.handle), 1);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == 1; }));
    Client again;
    ASSERT_EQ(again.Connect(ls.Port(), "echo", "H"), 1);
    EXPECT_EQ(again.handle, first.handle);
    ZoErrorCode error = 0;
    EXPECT_EQ(again.Integer(6, kWantData, error).lHandle, first.handle);
}

// Each server reads the variable once, when it is made.
TEST(EndToEndUnicode, NegotiatedFromTheVariableAndNonAsciiTextsTravelBothWays) {
    const char* text = "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x98\x83 \xF0\x9F\x98\x80";
    for (const bool set : {true, false}) {
        if (set)
            setenv("ZOR_NET_USE_UNICODE", "", 1);
        Stats stats;
        LoopServer ls;
        unsetenv("ZOR_NET_USE_UNICODE");
        ASSERT_EQ(ls.server->RegisterFunc("echo", new EchoEvent(stats)), 1);
        ls.Start();
        Client c;
        ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
        EXPECT_EQ(c.client.m_bUnicode, set);

        ZoErrorCode error = 0;
        MSGUSERCALL uc = UserCall(c.handle, 0, text, 0);
        MSGUSERCALL u = c.client.UserMsg(uc, error);
        c.xdr.UserCall(-1, XDR_FREE, uc, 0);
        ASSERT_EQ(error, 1);
        ASSERT_NE(u.pData, nullptr);
        EXPECT_EQ(std::string(u.pData->pValues[0].data.pString->mbcs()), std::string(text) + "!");
        c.xdr.UserCall(-1, XDR_FREE, u, 0);
        // Traced before the connection reached the main thread, so before this call's answer.
        EXPECT_EQ(ls.trace.Has("Handle " + std::to_string(c.handle) + " Uning Unicode"), set);
        std::lock_guard<std::mutex> lock(stats.mutex);
        EXPECT_EQ(stats.texts, std::vector<std::string>{text});
    }
}

TEST_F(EndToEnd, ClientVanishingWithoutCloseGivesOneConnectionClosed) {
    Register("echo");
    ls.Start();
    {
        Client gone;
        ASSERT_EQ(gone.Connect(ls.Port(), "echo"), 1);
        gone.client.DestroySocket();
    }
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == 1; }));
    // A later connection's close is handled after anything the first one could still post.
    Client later;
    ASSERT_EQ(later.Connect(ls.Port(), "echo"), 1);
    EXPECT_EQ(later.client.CloseMsg(later.handle), 1);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == 2; }));
    EXPECT_EQ(stats.netDestroy, 2);
    EXPECT_EQ(stats.destroyed, 2);
}

TEST_F(EndToEnd, RefusedConnectionIsClosedAndItsHandleFreed) {
    Register("echo");
    stats.createResult = 0;
    ls.Start();
    Client refused;
    ASSERT_EQ(refused.Connect(ls.Port(), "echo"), 1);  // the number went out before the refusal
    ZoErrorCode error = 0;
    refused.Integer(1, 0, error);
    EXPECT_EQ(error, 32);
    EXPECT_EQ(stats.created, 0);
    EXPECT_EQ(stats.netDestroy, 0);

    stats.createResult = 1;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        Client probe;  // the refused handle is free once its input thread has given it back
        return probe.Connect(ls.Port(), "echo") == 1 && probe.handle == refused.handle;
    }));
}

TEST_F(EndToEnd, ConnectionTheGenericListenerRefusesIsClosedAndItsHandleFreed) {
    Stats& listener = listenerStats;
    listener.createdResult = 0;
    ASSERT_EQ(ls.server->SetListen(new EchoEvent(listener)), 1);
    ls.Start();
    Client refused;
    ASSERT_EQ(refused.Connect(ls.Port(), "any"), 1);
    ZoErrorCode error = 0;
    refused.Integer(1, 0, error);
    EXPECT_EQ(error, 32);
    EXPECT_EQ(listener.created, 1);

    listener.createdResult = 1;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        Client probe;
        return probe.Connect(ls.Port(), "any") == 1 && probe.handle == refused.handle;
    }));
    Client served;
    ASSERT_EQ(served.Connect(ls.Port(), "any"), 1);
    EXPECT_EQ(served.Integer(4, kWantData, error).lValue, 8);
    EXPECT_EQ(listener.netDestroy, 0);
    EXPECT_EQ(listener.destroyed, 0);  // the refusal did not take the listener's object along
}

TEST_F(EndToEnd, DestroyedWithClientsConnectedAndACallInFlight) {
    Register("echo");
    ls.Start();
    std::vector<Client> idle(3);
    for (Client& c : idle)
        ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
    Client busy;
    ASSERT_EQ(busy.Connect(ls.Port(), "echo"), 1);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.created == 4; }));  // all bound

    ls.StopLoop();  // the main thread is gone: the next call stays in the pipe
    ZoErrorCode inFlight = 0;
    std::thread caller([&] { busy.Integer(1, 0, inFlight); });
    pollfd pending{ls.server->m_nPipeRead, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 10000), 1);
    ls.Destroy();
    caller.join();
    EXPECT_EQ(inFlight, 32);
    ZoErrorCode error = 0;
    idle[0].Integer(1, 0, error);
    EXPECT_EQ(error, 32);
    EXPECT_EQ(stats.destroyed, 5);  // four connections' objects and the registered one
}

TEST_F(EndToEnd, TwoHundredClientsCallingAtOnceAllGetTheirOwnAnswers) {
    constexpr int kClients = 200, kCalls = 20;
    Register("echo");
    ls.Start();
    // Connected one after the other: a burst of connects would only test the listen backlog.
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 0; n < kClients; ++n) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(ls.Port(), "echo", ("c" + std::to_string(n)).c_str()), 1);
    }
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kClients; ++n)
        threads.emplace_back([&, n] {
            Client& c = *clients[n];
            for (int i = 0; i < kCalls; ++i) {
                ZoErrorCode error = 0;
                const std::int32_t value = n * 1000 + i;
                MSGINTCALL r = c.Integer(value, kWantData, error);
                if (error == 1 && r.ulStatus == 7 && r.lValue == 2 * value && r.lHandle == c.handle)
                    ++right;
            }
            c.client.CloseMsg(c.handle);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(right, kClients * kCalls);
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == kClients; }));
}

TEST_F(EndToEnd, ConnectCloseCyclesLeaveNoThreadOrDescriptorBehind) {
    constexpr int kCycles = 1000;
    Register("echo");
    ls.Start();
    {  // a first cycle, so whatever is made once for all connections is made
        Client c;
        ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
        c.client.CloseMsg(c.handle);
        ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == 1; }));
    }
    const int fds = Entries("/proc/self/fd"), tasks = Entries("/proc/self/task");
    for (int i = 0; i < kCycles; ++i) {
        Client c;
        ASSERT_EQ(c.Connect(ls.Port(), "echo"), 1);
        if (i % 2 == 0) {
            c.client.CloseMsg(c.handle);
        } else {
            c.client.DestroySocket();
        }
    }
    ASSERT_TRUE(testutil::WaitUntil([&] { return stats.closed == kCycles + 1; }));
    ASSERT_TRUE(testutil::WaitUntil([&] { return AllInputThreadsEnded(*ls.server); }));
    EXPECT_TRUE(testutil::WaitUntil([&] {
        // At most: the first cycle's thread and descriptors may still have been closing.
        return Entries("/proc/self/fd") <= fds && Entries("/proc/self/task") <= tasks;
    })) << Entries("/proc/self/fd")
        << " descriptors, " << Entries("/proc/self/task") << " threads";
    Client next;  // its arrival joins and frees every thread that has ended
    ASSERT_EQ(next.Connect(ls.Port(), "echo"), 1);
    std::lock_guard<std::mutex> lock(ls.server->m_ThreadMutex);
    EXPECT_EQ(ls.server->m_InputThreads.size(), 1u);
}

TEST_F(EndToEnd, OptionalLimitsDropSilentPeersAndConnectionsBeyondTheCap) {
    Register("echo");
    ls.server->m_Settings.lHandshakeTimeoutMs = 50;
    ls.server->m_Settings.ulMaxConnections = 1;
    ls.Start();
    Raw silent(ls.Port());
    EXPECT_TRUE(silent.Closed());
    EXPECT_TRUE(ls.trace.Has("+++No data recieved from client after connect 127.0.0.1"));
    ASSERT_TRUE(testutil::WaitUntil([&] { return AllInputThreadsEnded(*ls.server); }));

    Client first, second;
    ASSERT_EQ(first.Connect(ls.Port(), "echo"), 1);
    EXPECT_EQ(second.Connect(ls.Port(), "echo"), 32);
    first.client.CloseMsg(first.handle);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        Client next;  // a place frees once the first input thread has ended
        return next.Connect(ls.Port(), "echo") == 1;
    }));
}

}  // namespace
