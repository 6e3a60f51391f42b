// A started server whose main thread is a ZoInputLoop on a thread of its own, a gate that holds a
// callback on that thread until the test opens it, an echoing event object, and the clients and
// hand-written peers the server tests talk to it with.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_xdr.h"
#include "net/netclnt.h"
#include "net/nethndl.h"
#include "netpeer.h"
#include "netserv_testutil.h"
#include "netservimp.h"
#include "testutil.h"
#include "zo/zoinput.h"
#include "zo/zostring.h"

namespace mainloop {

// Construct, register services and handles (this thread is the application thread until
// Start), Start, test, Destroy. Destroy stops the loop first, so the destructor runs while no
// callback can, as it would on the main thread.
class LoopServer {
public:
    explicit LoopServer(std::uint16_t port = testutil::FreePort()) {
        server.reset(static_cast<NetServerImp*>(NetServer::CreateServer()));
        server->TraceFile(trace.Stream());
        server->Init(new NetXDRImp, port);
        server->StartServer(&loop);
    }
    ~LoopServer() { Destroy(); }

    void Start() {
        thread = std::thread([this] { loop.Run(); });
    }
    void StopLoop() {
        loop.Stop();
        if (thread.joinable())
            thread.join();
    }
    void Destroy() {
        StopLoop();
        server.reset();
    }
    std::uint16_t Port() const { return server->Port(); }

    servtest::TraceCapture trace;  // outlives the server, which closes its stream
    ZoInputLoop loop;
    std::unique_ptr<NetServerImp> server;
    std::thread thread;
};

// How many trace entries carry exactly this message.
inline int CountOf(servtest::TraceCapture& trace, const std::string& message) {
    int n = 0;
    for (const std::string& m : trace.Messages())
        n += m == message ? 1 : 0;
    return n;
}

inline bool AllInputThreadsEnded(NetServerImp& server) {
    std::lock_guard<std::mutex> lock(server.m_ThreadMutex);
    for (const auto& thread : server.m_InputThreads)
        if (!thread->Finished())
            return false;
    return true;
}

// Closed until Open(); Pass() blocks the calling thread while closed. Entered() tells that a
// thread is inside.
class Gate {
public:
    void Pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_entered;
        m_cond.wait_for(lock, std::chrono::seconds(20), [this] { return m_open; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }
    bool Entered() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entered > 0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
    int m_entered = 0;
};

constexpr std::uint32_t kWantData = 0x100;  // asks EchoEvent to set the return-data bit
constexpr std::int32_t kHoldValue = -7;     // an integer call EchoEvent holds at the gate

struct Stats {
    std::atomic<int> created{0}, closed{0}, netCreate{0}, netDestroy{0}, destroyed{0};
    std::atomic<int> calls{0}, oneWay{0};
    std::atomic<int> lastValue{-1};            // the last integer value of a user call
    std::atomic<int> createResult{1};          // NetCreate's answer
    std::atomic<int> createdResult{1};         // ConnectionCreated's answer
    std::atomic<bool> clones{true};            // Clone gives a copy, else nothing
    std::atomic<bool> detach{false};           // give the connection no event object
    std::atomic<NetEvent*> detached{nullptr};  // the object then left to the test
    Gate gate;
    std::mutex mutex;
    std::vector<std::string> texts;  // string values received in user calls, guarded by mutex
    std::vector<std::pair<std::int32_t, std::uint32_t>> users;  // handle, flags; guarded by mutex
    std::size_t Users() {
        std::lock_guard<std::mutex> lock(mutex);
        return users.size();
    }
};

// Main thread only, as every event object. Doubles numbers, prefixes texts, appends "!" to
// strings and adds 1 to integers of user calls; counts into a Stats the test owns.
class EchoEvent : public NetEvent {
public:
    explicit EchoEvent(Stats& stats) : m_stats(stats) {}
    ~EchoEvent() override { ++m_stats.destroyed; }
    NetEvent* Clone() override { return m_stats.clones ? new EchoEvent(m_stats) : nullptr; }
    void SetHndl(NetHostHndl* handle) override { m_handle = handle; }
    std::int32_t NetCreate() override { return ++m_stats.netCreate, m_stats.createResult; }
    std::int32_t NetDestroy() override { return ++m_stats.netDestroy, 1; }
    std::int32_t ConnectionCreated() override {
        ++m_stats.created;
        if (m_stats.detach) {
            m_stats.detached = this;
            m_handle->SetEventFunc(nullptr);
        }
        return m_stats.createdResult;
    }
    std::int32_t ConnectionClosed() override { return ++m_stats.closed, 1; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        if (*value == kHoldValue)
            m_stats.gate.Pass();
        *value *= 2;
        return Answer(flags), 7;
    }
    std::int32_t RealData(double* value, std::uint32_t& flags) override {
        *value *= 2;
        return Answer(flags), 7;
    }
    std::int32_t StringData(char** text, std::uint32_t& flags) override {
        const std::string echoed = "echo:" + std::string(*text != nullptr ? *text : "");
        free(*text);
        *text = strdup(echoed.c_str());
        return Answer(flags), 7;
    }
    std::int32_t UserData(void* data, std::uint32_t& flags) override {
        {
            std::lock_guard<std::mutex> lock(m_stats.mutex);
            m_stats.users.emplace_back(m_handle != nullptr ? m_handle->m_lHandle : -1, flags);
        }
        auto* block = static_cast<MSGUSERDATA*>(data);
        for (std::int32_t i = 0; block != nullptr && i < block->lCount; ++i) {
            sL_VALUE& v = block->pValues[i];
            if (v.kind == NET_KIND_INTEGER)
                m_stats.lastValue = v.data.lValue++;
            if (v.kind == NET_KIND_STRING) {
                const std::string text = v.data.pString->mbcs();
                std::lock_guard<std::mutex> lock(m_stats.mutex);
                m_stats.texts.push_back(text);
                *v.data.pString = ZoString((text + "!").c_str());
            }
        }
        return Answer(flags), 8;
    }

private:
    void Answer(std::uint32_t& flags) {
        ++m_stats.calls;
        if (flags & NET_FLAG_NOREPLY)
            ++m_stats.oneWay;
        if (flags & kWantData)
            flags |= NET_FLAG_RETURNDATA;
    }
    Stats& m_stats;
    NetHostHndl* m_handle = nullptr;
};

// The library's client on one thread at a time; owns its codec and socket.
struct Client {
    std::int32_t Connect(std::uint16_t port, const char* service = "echo",
                         const char* host = "tester") {
        const std::int32_t rc = client.CreateSocket("127.0.0.1", port);
        return rc != NET_OK ? rc : client.ConnectMsg(host, service, handle);
    }
    MSGINTCALL Integer(std::int32_t value, std::uint32_t flags, ZoErrorCode& error) {
        MSGINTCALL call{value, 0, flags, handle};
        return client.IntegerMsg(call, error);
    }
    std::int32_t Call(std::int32_t value) {  // EchoEvent's answer, or -1000 - error
        ZoErrorCode error = 0;
        const MSGINTCALL answer = Integer(value, kWantData, error);
        return error == NET_OK ? answer.lValue : -1000 - error;
    }
    NetXDRImp xdr;
    NetClient client{nullptr, &xdr, 2};
    std::int32_t handle = -1;
};

// A user call of the texts, then the numbers; released with XDR_FREE.
inline MSGUSERCALL UserCall(std::int32_t handle, std::uint32_t flags,
                            const std::vector<std::string>& texts,
                            const std::vector<std::int32_t>& numbers = {}) {
    MSGUSERCALL call{};
    call.ulFlags = flags;
    call.lHandle = handle;
    call.pData = new MSGUSERDATA{};
    call.pData->lCount = static_cast<std::int32_t>(texts.size() + numbers.size());
    call.pData->pValues = new sL_VALUE[texts.size() + numbers.size()];
    sL_VALUE* v = call.pData->pValues;
    for (const std::string& text : texts) {
        v->usType = NET_TYPE_STRING, v->kind = NET_KIND_STRING, v->fValid = 1;
        (v++)->data.pString = new ZoString(text.c_str());
    }
    for (const std::int32_t number : numbers) {
        v->usType = NET_TYPE_INTEGER, v->kind = NET_KIND_INTEGER, v->fValid = 1;
        (v++)->data.lValue = number;
    }
    return call;
}

// A hand-written peer's loopback socket, with a receive time-out so that a server that never
// answers fails the test instead of hanging it; -1 when the connect fails.
inline int ConnectRaw(std::uint16_t port) {
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

inline bool Send(int fd, const std::vector<unsigned char>& bytes) {
    return testutil::WriteAll(fd, bytes.data(), bytes.size());
}

// The handshake's bytes: identifier, version and a connect block with no host name.
inline std::vector<unsigned char> Handshake(const char* service, std::uint32_t version = 2) {
    std::vector<unsigned char> bytes = netpeer::Words({NET_MSG_CONNECT, version});
    bytes.resize(bytes.size() + NET_CONNECT_BLOCK_SIZE, 0);
    std::strcpy(reinterpret_cast<char*>(bytes.data() + 8 + NET_CONNECT_SERVICE_OFFSET), service);
    return bytes;
}

inline void Reset(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

// End of stream or reset within the receive time-out; whatever comes before is skipped.
inline bool PeerEnded(int fd) {
    char buffer[256];
    for (int i = 0; i < 1000; ++i) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return false;
}

}  // namespace mainloop
