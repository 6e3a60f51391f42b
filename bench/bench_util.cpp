// SPDX-License-Identifier: Apache-2.0
#include "bench_util.h"

#include <arpa/inet.h>
#include <linux/tcp.h>  // tcp_info with the byte counters; also brings TCP_NODELAY
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <memory>
#include <thread>

namespace bench {

namespace {

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

double Latencies::Percentile(double p) const {
    if (ns.empty()) {
        return 0;
    }
    std::vector<double> sorted(ns);
    const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), sorted.begin() + rank, sorted.end());
    return sorted[rank];
}

Latencies MeasureLatency(const Budget& budget, const std::function<bool()>& call) {
    Latencies out;
    const std::int64_t warmEnd = NowNs() + static_cast<std::int64_t>(budget.latencySeconds * 2e8);
    for (int i = 0; i < budget.latencyWarmup && NowNs() < warmEnd; ++i) {
        if (!call()) {
            return out;
        }
    }
    out.ns.reserve(static_cast<std::size_t>(budget.latencyCalls));
    const std::int64_t end = NowNs() + static_cast<std::int64_t>(budget.latencySeconds * 1e9);
    for (int i = 0; i < budget.latencyCalls; ++i) {
        const std::int64_t t0 = NowNs();
        if (!call()) {
            out.ns.clear();
            return out;
        }
        const std::int64_t t1 = NowNs();
        out.ns.push_back(static_cast<double>(t1 - t0));
        if (t1 >= end) {
            break;
        }
    }
    return out;
}

namespace {

std::int64_t CpuNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

Rate MeasureRate(int connections, double seconds,
                 const std::function<std::function<bool()>(int)>& setup,
                 const std::function<void(int)>& teardown) {
    std::mutex lock;  // serialises the connects and guards the start signal and the counts
    std::condition_variable changed;
    int ready = 0;
    bool go = false;
    int looping = 0;        // threads still in their call loop
    bool tornDown = false;  // the process clock is read: teardowns may begin
    std::int64_t clientCpuNs = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> calls{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i) {
        threads.emplace_back([&, i] {
            std::unique_lock<std::mutex> guard(lock);
            // One connect at a time: a burst of them would only measure the listen backlog.
            std::function<bool()> call = setup(i);
            if (!call) {
                failed = true;
            }
            ++ready;
            ++looping;
            changed.notify_all();
            changed.wait(guard, [&] { return go; });
            guard.unlock();
            const std::int64_t cpu0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
            std::uint64_t done = 0;
            while (call && !stop.load(std::memory_order_relaxed)) {
                if (!call()) {
                    failed = true;
                    break;
                }
                // A call that ends after the window closed does not count.
                if (stop.load(std::memory_order_relaxed)) {
                    break;
                }
                ++done;
            }
            const std::int64_t cpu = CpuNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
            calls.fetch_add(done);
            guard.lock();
            clientCpuNs += cpu;
            --looping;
            changed.notify_all();
            // Teardown waits for the process clock: closing is not part of the calls.
            changed.wait(guard, [&] { return tornDown; });
            guard.unlock();
            teardown(i);
        });
    }
    std::int64_t processCpu0 = 0;
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::seconds(60), [&] { return ready == connections; });
        go = true;
        processCpu0 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
    }
    changed.notify_all();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    const auto t1 = Clock::now();
    std::int64_t serverCpuNs = 0;
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return looping == 0; });
        serverCpuNs = CpuNs(CLOCK_PROCESS_CPUTIME_ID) - processCpu0 - clientCpuNs;
        tornDown = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) {
        t.join();
    }
    Rate rate;
    if (!failed && calls.load() > 0) {
        rate.perSecond =
            static_cast<double>(calls.load()) / std::chrono::duration<double>(t1 - t0).count();
        rate.serverCpuNsPerCall = static_cast<double>(serverCpuNs) / calls.load();
    }
    return rate;
}

int ListenLoopback(std::uint16_t& port, int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = LoopbackAddress(port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

std::uint16_t FreeLoopbackPort() {
    std::uint16_t port = 0;
    const int fd = ListenLoopback(port, 1);
    if (fd < 0) {
        return 0;
    }
    close(fd);
    return port;
}

int ConnectLoopback(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a = LoopbackAddress(port);
    const int one = 1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const void* data, std::size_t length) {
    return MoveAll(static_cast<const char*>(data), length,
                   [fd](const char* p, std::size_t n) { return send(fd, p, n, MSG_NOSIGNAL); });
}

bool RecvAll(int fd, void* data, std::size_t length) {
    return MoveAll(static_cast<char*>(data), length,
                   [fd](char* p, std::size_t n) { return recv(fd, p, n, 0); });
}

bool TcpBytes(int fd, std::uint64_t& sent, std::uint64_t& received) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
        return false;
    }
    sent = info.tcpi_bytes_acked;
    received = info.tcpi_bytes_received;
    return true;
}

std::uint64_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) {
        return 0;
    }
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

std::uint64_t RaiseFileLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return 0;
    }
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_cur;
}

bool WaitUntil(const std::function<bool()>& cond, double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (!cond()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void WithMainLoop(const std::function<void()>& runLoop, const std::function<void()>& stopLoop,
                  const std::function<void()>& driver) {
    std::thread worker([&] {
        driver();
        stopLoop();
    });
    runLoop();
    worker.join();
}

}  // namespace bench
