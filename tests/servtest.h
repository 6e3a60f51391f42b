// SPDX-License-Identifier: Apache-2.0
// Helpers for the server tests: a trace stream the test can read, a started server whose main
// thread is a ZoInputLoop on a thread of its own, an echoing and counting event object that can
// hold that thread in a callback until the test lets it go, and the library's client. Its
// standard headers, and those of testutil.h, serve every test that includes it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_xdr.h"
#include "net/netclnt.h"
#include "net/nethndl.h"
#include "netservimp.h"
#include "testutil.h"
#include "zo/zoinput.h"
#include "zo/zosemaphore.h"
#include "zo/zostring.h"

namespace servtest {

using namespace testutil;

inline std::unique_ptr<NetServerImp> MakeServer() {
    return std::unique_ptr<NetServerImp>(static_cast<NetServerImp*>(NetServer::CreateServer()));
}

// A stdio stream whose bytes land in memory and whose close is seen. The server owns and closes
// the stream, so this object must outlive the server.
class TraceCapture {
public:
    struct Entry {
        std::string prefix, stamp, message;
    };
    TraceCapture() { m_stream = fopencookie(this, "w", {nullptr, &Write, nullptr, &Close}); }
    ~TraceCapture() {
        if (!Closed())
            fclose(m_stream);
    }
    FILE* Stream() const { return m_stream; }
    std::string Text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }
    bool Closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }
    // An entry is the prefix and the time stamp on one line, ten blanks and the message on the
    // next; a message line without the blanks comes back marked with "?".
    std::vector<Entry> Entries() {
        const std::string text = Text();
        std::vector<Entry> entries;
        for (size_t at = 0, nl, next; (nl = text.find('\n', at)) != std::string::npos &&
                                      (next = text.find('\n', nl + 1)) != std::string::npos;
             at = next + 1) {
            const std::string head = text.substr(at, nl - at),
                              body = text.substr(nl + 1, next - nl - 1);
            const bool indented = body.compare(0, 10, std::string(10, ' ')) == 0;
            entries.push_back({head.substr(0, 10), head.substr(std::min<size_t>(10, head.size())),
                               indented ? body.substr(10) : "?" + body});
        }
        return entries;
    }
    int Count(const std::string& message) {
        int n = 0;
        for (const Entry& e : Entries())
            n += e.message == message;
        return n;
    }
    bool Has(const std::string& message) { return Count(message) > 0; }
    bool WaitFor(const std::string& message) {
        return WaitUntil([&] { return Has(message); });
    }

private:
    static ssize_t Write(void* self, const char* data, size_t size) {
        auto* capture = static_cast<TraceCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_text.append(data, size);
        return static_cast<ssize_t>(size);
    }
    static int Close(void* self) {
        auto* capture = static_cast<TraceCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_closed = true;
        return 0;
    }

    FILE* m_stream = nullptr;
    std::mutex m_mutex;
    std::string m_text;
    bool m_closed = false;
};

// Construct, register services and handles (this thread is the application thread until
// Start), Start, test, Destroy. Destroy stops the loop first, so the destructor runs while no
// callback can, as it would on the main thread.
class LoopServer {
public:
    explicit LoopServer(std::uint16_t port = FreePort()) {
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

    TraceCapture trace;  // outlives the server, which closes its stream
    ZoInputLoop loop;
    std::unique_ptr<NetServerImp> server = MakeServer();
    std::thread thread;
};

// Records registrations without running a loop; the test calls the callback when it likes.
struct RecordingRegistration : ZoInputRegistration {
    ZoInputId AddInput(int fd, ZoInputProc proc, void* clientData) override {
        added.push_back(fd);
        callback = proc;
        data = clientData;
        return static_cast<ZoInputId>(added.size());
    }
    void RemoveInput(ZoInputId id) override { removed.push_back(id); }
    std::vector<int> added;
    std::vector<ZoInputId> removed;
    ZoInputProc callback = nullptr;  // the last one added
    void* data = nullptr;
};

inline int LiveInputThreads(NetServerImp& server) {
    std::lock_guard<std::mutex> lock(server.m_ThreadMutex);
    int live = 0;
    for (const auto& thread : server.m_InputThreads)
        live += !thread->Finished();
    return live;
}

constexpr std::uint32_t kWantData = 0x100;  // asks EchoEvent to set the return-data bit
constexpr std::int32_t kHoldValue = -7;     // an integer call EchoEvent holds at the gate

struct Stats {
    std::atomic<int> created{0}, closed{0}, netCreate{0}, netDestroy{0}, destroyed{0};
    std::atomic<int> calls{0}, oneWay{0};
    std::atomic<int> lastValue{-1};     // the last integer value of a user call
    std::atomic<int> createResult{1};   // NetCreate's answer
    std::atomic<int> createdResult{1};  // ConnectionCreated's answer
    std::atomic<bool> clones{true};     // Clone gives a copy, else nothing
    std::atomic<bool> held{false};      // a call waits at the gate
    ZoEventSemiphore gate;              // posted, it lets held calls go on
    std::mutex mutex;
    std::vector<std::string> texts;  // string values received in user calls, guarded by mutex
    std::vector<std::pair<std::int32_t, std::uint32_t>> users;  // handle, flags; guarded by mutex
    // Once mainThread is set, counts taken on any other thread are counted in offThread too.
    std::atomic<std::thread::id> mainThread{};
    std::atomic<int> offThread{0};
};

// Main thread only, as every event object. Doubles numbers, prefixes texts, appends "!" to
// strings and adds 1 to integers of user calls; counts into a Stats the test owns.
class EchoEvent : public NetEvent {
public:
    explicit EchoEvent(Stats& stats) : m_stats(stats) {}
    ~EchoEvent() override { Count(m_stats.destroyed); }
    NetEvent* Clone() override { return m_stats.clones ? new EchoEvent(m_stats) : nullptr; }
    void SetHndl(NetHostHndl* handle) override { m_handle = handle; }
    std::int32_t NetCreate() override { return Count(m_stats.netCreate), m_stats.createResult; }
    std::int32_t NetDestroy() override { return Count(m_stats.netDestroy), 1; }
    std::int32_t ConnectionCreated() override {
        return Count(m_stats.created), m_stats.createdResult;
    }
    std::int32_t ConnectionClosed() override { return Count(m_stats.closed), 1; }
    std::int32_t IntegerData(std::int32_t* value, std::uint32_t& flags) override {
        if (*value == kHoldValue) {
            m_stats.held = true;
            m_stats.gate.WaitFor(20000);
        }
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
        std::lock_guard<std::mutex> lock(m_stats.mutex);
        m_stats.users.emplace_back(m_handle != nullptr ? m_handle->m_lHandle : -1, flags);
        auto* block = static_cast<MSGUSERDATA*>(data);
        for (std::int32_t i = 0; block != nullptr && i < block->lCount; ++i) {
            sL_VALUE& v = block->pValues[i];
            if (v.kind == NET_KIND_INTEGER)
                m_stats.lastValue = v.data.lValue++;
            if (v.kind == NET_KIND_STRING) {
                m_stats.texts.push_back(v.data.pString->mbcs());
                *v.data.pString = ZoString((m_stats.texts.back() + "!").c_str());
            }
        }
        return Answer(flags), 8;
    }

private:
    int Count(std::atomic<int>& counter) {
        const std::thread::id main = m_stats.mainThread;
        if (main != std::thread::id() && main != std::this_thread::get_id())
            ++m_stats.offThread;
        return ++counter;
    }
    void Answer(std::uint32_t& flags) {
        Count(m_stats.calls);
        if (flags & NET_FLAG_NOREPLY)
            Count(m_stats.oneWay);
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

// Integer calls on c until the server goes (32, by reply or closed stream) or count were made;
// counts the answers, and in wrong those that are wrong or fail otherwise.
inline void CallUntilLost(Client& c, int count, std::atomic<int>& answered,
                          std::atomic<int>& wrong) {
    for (int n = 0; n < count; ++n) {
        ZoErrorCode error = 0;
        const MSGINTCALL r = c.Integer(n, kWantData, error);
        if (error != NET_OK || r.ulStatus != 7) {
            wrong += error != NET_SOCKET_ERROR && r.ulStatus != NET_SOCKET_ERROR;
            return;
        }
        wrong += r.lValue != 2 * n;
        ++answered;
    }
}

// A server serving "echo" with EchoEvent objects that count into stats, its loop running.
struct EchoServer : LoopServer {
    explicit EchoServer(Stats& stats) {
        server->RegisterFunc("echo", new EchoEvent(stats));
        Start();
    }
};

// "name:port", the service text of a name on a port.
inline std::string OnPort(const char* name, std::uint16_t port) {
    return std::string(name) + ":" + std::to_string(port);
}

// Whether the system accepts a connection on the loopback port.
inline bool Accepts(std::uint16_t port) {
    const int fd = ConnectRaw(port);
    return fd >= 0 && close(fd) == 0;
}

// A raw peer through the handshake with "echo": the socket, and the handle in handle.
inline int RawPeer(std::uint16_t port, std::uint32_t& handle) {
    const int fd = ConnectRaw(port);
    WriteAll(fd, Handshake("echo"));
    handle = ReadWord(fd);
    ReadWord(fd);  // the Unicode word
    return fd;
}

// A new client connects, is answered and closes.
inline void ExpectServed(std::uint16_t port) {
    Client c;
    ASSERT_EQ(c.Connect(port), NET_OK);
    EXPECT_EQ(c.Call(41), 82);
    EXPECT_EQ(c.client.CloseMsg(c.handle), NET_OK);
}

// Every connection's input thread has ended and each bound connection was closed.
inline void ExpectAllClosed(NetServerImp& server, Stats& stats) {
    EXPECT_TRUE(WaitUntil([&] { return LiveInputThreads(server) == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return stats.closed == stats.created; }))
        << stats.closed << " of " << stats.created;
}

// Keeps the main thread in a callback of holder's connection until stats.gate is posted; join
// the returned thread after.
inline std::thread HoldMainThread(std::uint16_t port, Client& holder, Stats& stats) {
    EXPECT_EQ(holder.Connect(port, "echo", "holder"), NET_OK);
    std::thread held([&holder] { holder.Call(kHoldValue); });
    EXPECT_TRUE(WaitUntil([&] { return stats.held.load(); }));
    return held;
}

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

}  // namespace servtest
