// A started server whose main thread is a ZoInputLoop on a thread of its own, and a gate that
// holds a callback on that thread until the test opens it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/net_xdr.h"
#include "netserv_testutil.h"
#include "netservimp.h"
#include "testutil.h"
#include "zo/zoinput.h"

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

}  // namespace mainloop
