// SPDX-License-Identifier: Apache-2.0
// The two baselines the library is measured against, on the same byte shapes:
//   raw      blocking TCP, one server thread per connection that answers by itself;
//   handoff  the same, but each request goes to the main thread through a pipe watched by a
//            poll() loop, one record per pass, and the connection thread waits on a HandOverFlag:
//            the hand-over as first built, the reference the library's hand-over is held to.
// Messages from the client, each opened by a 4-byte identifier sent on its own:
//   1 handshake  4 + 514 bytes in, 8 bytes back, then a connect hand-over (waited for)
//   2 call       request bytes in, hand-over (waited for), reply bytes back
//   7 one-way    request bytes in, hand-over of a heap copy (not waited for), nothing back
//   6 close      4 bytes back; the connection thread posts a close and ends
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "zo/zosemaphore.h"

namespace bench {

// The event flag the hand-over was first measured with, kept here so that the reference does
// not move with the platform's flag: it spins up to 8 us (halving the budget after each spin
// that found nothing, restoring it after one that succeeded; no spin on a single usable CPU),
// then sleeps on a condition variable. Post() before Wait() is remembered.
class HandOverFlag {
public:
    void Reset();
    void Post();
    void Wait();

private:
    bool Spin(std::int32_t maxMicros);
    std::atomic<std::uint32_t> m_state{0};  // bit 0 the flag; above it, sleepers
    std::atomic<std::int32_t> m_spinMicros{8};
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

// Bytes of a call after its identifier, in each direction.
struct Shape {
    std::size_t request = 16;
    std::size_t reply = 16;
};

// The handoff baseline's main-thread side: a minimal poll() loop over one event pipe.
class MiniLoop {
public:
    MiniLoop();
    ~MiniLoop();
    void Run();   // main thread; returns after Stop()
    void Stop();  // any thread; a Stop() before Run() makes Run() return at once

    // Connection threads: one whole record per write, under a lock, as the library writes.
    struct Event {
        std::uint16_t id;
        void* word;
        void* data;
    };
    void Post(const Event& event);

    std::atomic<std::uint64_t> oneWayDone{0};
    std::atomic<std::uint64_t> connected{0};
    std::atomic<std::uint64_t> closed{0};

private:
    void Handle(const Event& event);

    int m_pipe[2] = {-1, -1};
    int m_wake[2] = {-1, -1};
    ZoMutexSemiphore m_lock;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stopped{false};  // set by Stop(), never cleared: posts may be dropped
};

class BaselineServer {
public:
    // loop null: the raw baseline. stackBytes: each connection thread's stack.
    BaselineServer(MiniLoop* loop, Shape shape, std::uint32_t stackBytes);
    ~BaselineServer();  // Stop()
    bool Start();       // listens on 127.0.0.1 and starts the accept thread
    void Stop();        // ends every connection and joins every thread
    std::uint16_t Port() const { return m_port; }

    std::atomic<std::uint64_t> rawOneWayDone{0};  // raw only; handoff counts on the loop
    std::atomic<std::uint64_t> rawClosed{0};

private:
    struct Conn;
    void AcceptLoop();
    void Serve(Conn* conn);
    void Answer(Conn* conn, std::uint32_t id, unsigned char* request);

    MiniLoop* m_loop;
    Shape m_shape;
    std::uint32_t m_stack;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_accept;
    std::mutex m_connLock;  // guards m_conns
    std::list<std::unique_ptr<Conn>> m_conns;
};

// Client side of the baselines; fd from ConnectLoopback.
class BaselineClient {
public:
    explicit BaselineClient(Shape shape = Shape{})
        : m_shape(shape), m_request(shape.request, 1), m_reply(shape.reply) {}
    ~BaselineClient();
    bool Connect(std::uint16_t port);  // connects and shakes hands
    bool Call();                       // one round trip
    bool OneWay();                     // one request, nothing read
    bool Close();                      // close message, then the socket
    int Fd() const { return m_fd; }

private:
    Shape m_shape;
    std::vector<unsigned char> m_request;
    std::vector<unsigned char> m_reply;
    int m_fd = -1;
};

}  // namespace bench
