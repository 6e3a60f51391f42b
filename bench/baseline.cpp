// SPDX-License-Identifier: Apache-2.0
#include "baseline.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace bench {

namespace {

enum : std::uint32_t { kHandshake = 1, kCall = 2, kClose = 6, kOneWay = 7 };
enum : std::uint16_t { kEvCall = 1, kEvOneWay = 2, kEvConnect = 3, kEvClose = 4 };
constexpr std::size_t kConnectBlock = 514;

// A waited-for call: lives on the connection thread's stack while the main thread answers.
struct Job {
    const unsigned char* request;
    std::uint32_t status;
    HandOverFlag* done;
};

std::uint32_t AppWork(const unsigned char* request) {
    return request[0] + 1u;  // stands for the application's work: a look at the request
}

bool ReadWhole(int fd, void* data, std::size_t length) {
    return MoveAll(static_cast<char*>(data), length,
                   [fd](char* p, std::size_t n) { return read(fd, p, n); });
}

bool SpinningCanHelp() {
    static const bool canHelp = [] {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        return sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) > 1;
    }();
    return canHelp;
}

}  // namespace

void HandOverFlag::Reset() {
    m_state.fetch_and(~1u);
}

void HandOverFlag::Post() {
    if (m_state.fetch_or(1u) >= 2) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cond.notify_all();
    }
}

void HandOverFlag::Wait() {
    if (Spin(m_spinMicros.load(std::memory_order_relaxed))) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint32_t state = m_state.fetch_add(2);
    while ((state & 1u) == 0) {
        m_cond.wait(lock);
        state = m_state.load();
    }
    m_state.fetch_sub(2);
}

bool HandOverFlag::Spin(std::int32_t maxMicros) {
    if ((m_state.load() & 1u) != 0) {
        return true;
    }
    if (!SpinningCanHelp()) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::microseconds(maxMicros);
    for (unsigned int i = 1;; ++i) {
        if ((m_state.load() & 1u) != 0) {
            m_spinMicros.store(8, std::memory_order_relaxed);
            return true;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 16 == 0 && Clock::now() >= deadline) {
            break;
        }
    }
    m_spinMicros.store(std::max(m_spinMicros.load(std::memory_order_relaxed) / 2, 1),
                       std::memory_order_relaxed);
    return false;
}

MiniLoop::MiniLoop() {
    if (pipe(m_pipe) != 0 || pipe(m_wake) != 0) {
        m_pipe[0] = m_pipe[1] = m_wake[0] = m_wake[1] = -1;
        return;
    }
    // Records are whole (below PIPE_BUF); a full pipe is waited out in Post(), not in write().
    fcntl(m_pipe[1], F_SETFL, fcntl(m_pipe[1], F_GETFL) | O_NONBLOCK);
}

MiniLoop::~MiniLoop() {
    for (int fd : {m_pipe[0], m_pipe[1], m_wake[0], m_wake[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void MiniLoop::Run() {
    while (!m_stop.load(std::memory_order_acquire)) {
        pollfd fds[2] = {{m_pipe[0], POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) <= 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            char byte;
            ReadWhole(m_wake[0], &byte, 1);
        }
        // One record per pass, as the library's input loop serves its pipe.
        if ((fds[0].revents & POLLIN) != 0) {
            Event event{};
            if (ReadWhole(m_pipe[0], &event, sizeof event)) {
                Handle(event);
            }
        }
    }
    m_stop.store(false);
}

void MiniLoop::Stop() {
    m_stopped.store(true);
    m_stop.store(true, std::memory_order_release);
    const char byte = 1;
    const ssize_t n = write(m_wake[1], &byte, 1);
    (void)n;
}

void MiniLoop::Post(const Event& event) {
    ZoLock lock(m_lock);
    MoveAll(reinterpret_cast<const char*>(&event), sizeof event,
            [this](const char* p, std::size_t n) {
                ssize_t written = write(m_pipe[1], p, n);
                // Full: wait for the main thread to read, unless it has stopped for good.
                while (written < 0 && errno == EAGAIN && !m_stopped.load()) {
                    pollfd out{m_pipe[1], POLLOUT, 0};
                    poll(&out, 1, 10);
                    written = write(m_pipe[1], p, n);
                }
                return written;
            });
}

void MiniLoop::Handle(const Event& event) {
    switch (event.id) {
        case kEvCall: {
            Job* job = static_cast<Job*>(event.data);
            job->status = AppWork(job->request);
            job->done->Post();
            break;
        }
        case kEvOneWay: {
            auto* copy = static_cast<std::vector<unsigned char>*>(event.data);
            AppWork(copy->data());
            delete copy;
            oneWayDone.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case kEvConnect:
            connected.fetch_add(1, std::memory_order_relaxed);
            static_cast<HandOverFlag*>(event.data)->Post();
            break;
        case kEvClose:
            closed.fetch_add(1, std::memory_order_relaxed);
            break;
        default:
            break;
    }
}

struct BaselineServer::Conn {
    int fd = -1;
    HandOverFlag done;
    std::unique_ptr<FnThread> thread;
};

BaselineServer::BaselineServer(MiniLoop* loop, Shape shape, std::uint32_t stackBytes)
    : m_loop(loop), m_shape(shape), m_stack(stackBytes) {}

BaselineServer::~BaselineServer() {
    Stop();
}

bool BaselineServer::Start() {
    m_listen = ListenLoopback(m_port, 1024);
    if (m_listen < 0) {
        return false;
    }
    m_accept = std::thread([this] { AcceptLoop(); });
    return true;
}

void BaselineServer::Stop() {
    if (m_listen < 0) {
        return;
    }
    m_stopping = true;
    shutdown(m_listen, SHUT_RDWR);  // wakes accept()
    if (m_accept.joinable()) {
        m_accept.join();
    }
    close(m_listen);
    m_listen = -1;
    std::list<std::unique_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> lock(m_connLock);
        conns.swap(m_conns);
    }
    for (auto& conn : conns) {
        shutdown(conn->fd, SHUT_RDWR);
    }
    for (auto& conn : conns) {
        conn->thread.reset();  // joins
        close(conn->fd);
    }
}

void BaselineServer::AcceptLoop() {
    while (!m_stopping) {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_unique<Conn>();
        conn->fd = fd;
        Conn* raw = conn.get();
        conn->thread = std::make_unique<FnThread>([this, raw] { Serve(raw); });
        std::lock_guard<std::mutex> lock(m_connLock);
        // Reap connections that have ended, so a connect/close loop does not pile them up.
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            if ((*it)->thread->Finished()) {
                (*it)->thread.reset();
                close((*it)->fd);
                it = m_conns.erase(it);
            } else {
                ++it;
            }
        }
        if (raw->thread->Create(m_stack, 1) == 0) {
            close(fd);
            continue;
        }
        m_conns.push_back(std::move(conn));
    }
}

void BaselineServer::Answer(Conn* conn, std::uint32_t id, unsigned char* request) {
    (void)id;
    std::uint32_t status = 0;
    if (m_loop == nullptr) {
        status = AppWork(request);
    } else {
        Job job{request, 0, &conn->done};
        conn->done.Reset();
        m_loop->Post(MiniLoop::Event{kEvCall, nullptr, &job});
        conn->done.Wait();
        status = job.status;
    }
    std::memcpy(request, &status, sizeof status);  // the reply reuses the request's first word
}

void BaselineServer::Serve(Conn* conn) {
    const int fd = conn->fd;
    std::vector<unsigned char> request(std::max<std::size_t>(m_shape.request, 4));
    std::vector<unsigned char> reply(std::max<std::size_t>(m_shape.reply, 4));
    for (;;) {
        std::uint32_t id = 0;
        if (!RecvAll(fd, &id, sizeof id)) {
            break;
        }
        if (id == kHandshake) {
            unsigned char block[4 + kConnectBlock];
            if (!RecvAll(fd, block, sizeof block)) {
                break;
            }
            const std::uint32_t answer[2] = {0, 0};
            if (!SendAll(fd, answer, sizeof answer)) {
                break;
            }
            if (m_loop != nullptr) {
                conn->done.Reset();
                m_loop->Post(MiniLoop::Event{kEvConnect, nullptr, &conn->done});
                conn->done.Wait();
            }
        } else if (id == kCall) {
            if (!RecvAll(fd, request.data(), m_shape.request)) {
                break;
            }
            Answer(conn, id, request.data());
            std::memcpy(reply.data(), request.data(), 4);
            if (!SendAll(fd, reply.data(), m_shape.reply)) {
                break;
            }
        } else if (id == kOneWay) {
            if (!RecvAll(fd, request.data(), m_shape.request)) {
                break;
            }
            if (m_loop == nullptr) {
                AppWork(request.data());
                rawOneWayDone.fetch_add(1, std::memory_order_relaxed);
            } else {
                auto* copy = new std::vector<unsigned char>(request.begin(),
                                                            request.begin() + m_shape.request);
                m_loop->Post(MiniLoop::Event{kEvOneWay, reinterpret_cast<void*>(1), copy});
            }
        } else if (id == kClose) {
            const std::uint32_t one = 1;
            SendAll(fd, &one, sizeof one);
            break;
        }
    }
    if (m_loop != nullptr) {
        m_loop->Post(MiniLoop::Event{kEvClose, nullptr, nullptr});
    } else {
        rawClosed.fetch_add(1, std::memory_order_relaxed);
    }
}

BaselineClient::~BaselineClient() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool BaselineClient::Connect(std::uint16_t port) {
    m_fd = ConnectLoopback(port);
    if (m_fd < 0) {
        return false;
    }
    const std::uint32_t id = kHandshake;
    const std::uint32_t version = 2;
    unsigned char block[kConnectBlock] = {};
    std::memcpy(block, "benchhost", 10);
    std::memcpy(block + 257, "bench", 6);
    std::uint32_t answer[2];
    return SendAll(m_fd, &id, sizeof id) && SendAll(m_fd, &version, sizeof version) &&
           SendAll(m_fd, block, sizeof block) && RecvAll(m_fd, answer, sizeof answer);
}

bool BaselineClient::Call() {
    const std::uint32_t id = kCall;
    return SendAll(m_fd, &id, sizeof id) && SendAll(m_fd, m_request.data(), m_request.size()) &&
           RecvAll(m_fd, m_reply.data(), m_reply.size());
}

bool BaselineClient::OneWay() {
    const std::uint32_t id = kOneWay;
    return SendAll(m_fd, &id, sizeof id) && SendAll(m_fd, m_request.data(), m_request.size());
}

bool BaselineClient::Close() {
    const std::uint32_t id = kClose;
    std::uint32_t one = 0;
    const bool ok = SendAll(m_fd, &id, sizeof id) && RecvAll(m_fd, &one, sizeof one);
    close(m_fd);
    m_fd = -1;
    return ok;
}

}  // namespace bench
