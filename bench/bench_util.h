// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the benchmark's scenarios: clocks, percentiles, loopback sockets, threads
// with a chosen stack, resident memory and a driver that runs beside a main-thread loop.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zo/zothread.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// How long and how often each measurement runs. Every loop is bounded by both.
struct Budget {
    int latencyCalls = 20000;               // measured calls per latency figure, at most
    int latencyWarmup = 1000;               // calls before measuring
    double latencySeconds = 1.0;            // wall time per latency figure, at most
    double rateSeconds = 1.0;               // measuring window of a rate figure
    int idleSmall = 1000;                   // connections of the smaller memory figure
    int idleLarge = 5000;                   // connections of the larger memory figure
    int idleServer = 10000;                 // idle connections of the server-only figure
    std::uint32_t threadStack = 64 * 1024;  // baseline connection threads, as the library's
    int listCalls = 10000;                  // 10,000-integer list calls of the list memory figure
};

// Per-call latencies in nanoseconds; percentiles of what was recorded.
struct Latencies {
    std::vector<double> ns;
    double Percentile(double p) const;  // p in [0, 100]; 0 when empty
};

// Runs call() after warmup calls until the budget's count or time is used up; records each.
// call() returns false on failure, which ends the run.
Latencies MeasureLatency(const Budget& budget, const std::function<bool()>& call);

// Calls per second, and the CPU time the rest of the process (the server: main thread and
// connection threads) spent per call: the process's CPU time over the window less the calling
// threads' own. perSecond is -1 when a call failed.
struct Rate {
    double perSecond = -1;
    double serverCpuNsPerCall = -1;
};

// Threads each run one connection's loop; see the .cpp for the protocol. setup(i) runs before
// the window opens and returns a callable for one call on connection i (or an empty function on
// failure); teardown(i) runs after the window closes.
Rate MeasureRate(int connections, double seconds,
                 const std::function<std::function<bool()>(int)>& setup,
                 const std::function<void(int)>& teardown);

// Loopback sockets.
int ListenLoopback(std::uint16_t& port, int backlog);  // -1 on failure; port picked by the system
std::uint16_t FreeLoopbackPort();                      // a port free right now (0 on failure)
int ConnectLoopback(std::uint16_t port);               // TCP_NODELAY set; -1 on failure
bool SendAll(int fd, const void* data, std::size_t length);
bool RecvAll(int fd, void* data, std::size_t length);

// Moves length bytes at p with io(p, n), one send(), recv(), read() or write() that returns the
// bytes it moved, until all have moved: EINTR is retried, an error or an end of stream fails.
template <typename Byte, typename Io>
bool MoveAll(Byte* p, std::size_t length, Io io) {
    while (length > 0) {
        const ssize_t n = io(p, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
// Bytes this socket has had acknowledged and has received so far (TCP_INFO).
bool TcpBytes(int fd, std::uint64_t& sent, std::uint64_t& received);

// A ZoThread that runs a function: baseline threads get the library's thread mechanics and stack.
class FnThread : public ZoThread {
public:
    explicit FnThread(std::function<void()> fn) : m_fn(std::move(fn)) {}
    ~FnThread() override { Join(); }
    void Run() override { m_fn(); }

private:
    std::function<void()> m_fn;
};

// Resident bytes of this process (/proc/self/statm).
std::uint64_t ResidentBytes();
// Raises RLIMIT_NOFILE to its hard limit and returns the soft limit now in force.
std::uint64_t RaiseFileLimit();

// Polls cond every millisecond until it holds or the time-out passes; true when it held.
bool WaitUntil(const std::function<bool()>& cond, double seconds);

// Runs driver() on a thread of its own while the calling thread, the main thread, runs
// runLoop(); stopLoop() is called once driver() has returned, and must make runLoop() return.
void WithMainLoop(const std::function<void()>& runLoop, const std::function<void()>& stopLoop,
                  const std::function<void()>& driver);

}  // namespace bench
