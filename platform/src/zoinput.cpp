// SPDX-License-Identifier: Apache-2.0
#include "zo/zoinput.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <unistd.h>

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "Stop() must be usable in a signal handler");

// Without a wake pipe nothing can interrupt poll(), so Run() looks at the stop flag this often.
constexpr int kUnwakeablePollMs = 50;

bool MakeNonBlockingCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) != -1;
}

}  // namespace

ZoInputLoop::ZoInputLoop() {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    if (!MakeNonBlockingCloseOnExec(fds[0]) || !MakeNonBlockingCloseOnExec(fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
}

ZoInputLoop::~ZoInputLoop() {
    if (m_wakeRead >= 0) {
        close(m_wakeRead);
        close(m_wakeWrite);
    }
}

ZoInputId ZoInputLoop::AddInput(int fd, ZoInputProc proc, void* clientData) {
    if (fd < 0 || proc == nullptr) {
        return 0;
    }
    ZoInputId id = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // After wrapping, skip ids still held by long-lived registrations.
        do {
            id = m_nextId;
            m_nextId = m_nextId == std::numeric_limits<ZoInputId>::max() ? 1 : m_nextId + 1;
        } while (std::any_of(m_entries.begin(), m_entries.end(),
                             [id](const Entry& e) { return e.id == id; }));
        m_entries.push_back(Entry{id, fd, proc, clientData});
    }
    Wake();  // a poll() under way does not watch the new descriptor yet
    return id;
}

void ZoInputLoop::RemoveInput(ZoInputId id) {
    Withdraw({id});
    Wake();  // stop poll() watching a descriptor its owner may close next
}

void ZoInputLoop::Run() {
    const int timeoutMs = m_wakeRead >= 0 ? -1 : kUnwakeablePollMs;
    while (!m_stop.load(std::memory_order_acquire)) {
        RunOnce(timeoutMs);
    }
    m_stop.store(false, std::memory_order_relaxed);
}

bool ZoInputLoop::RunOnce(int timeoutMs) {
    // Callbacks may add or remove registrations, so work on a copy and hold no lock in them.
    std::uint32_t withdrawals;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pass = m_entries;
        withdrawals = m_withdrawals.load(std::memory_order_relaxed);
    }
    m_pollFds.clear();
    m_pollFds.push_back(pollfd{m_wakeRead, POLLIN, 0});  // poll() skips it when negative
    for (const Entry& entry : m_pass) {
        m_pollFds.push_back(pollfd{entry.fd, POLLIN, 0});
    }
    if (poll(m_pollFds.data(), m_pollFds.size(), timeoutMs) <= 0) {
        return false;  // time-out, or a signal: the caller polls again
    }
    if (m_pollFds[0].revents != 0) {
        DrainWake();
    }
    bool ran = false;
    m_closed.clear();
    for (std::size_t i = 0; i < m_pass.size(); ++i) {
        const Entry& entry = m_pass[i];
        const short revents = m_pollFds[i + 1].revents;
        if ((revents & POLLNVAL) != 0) {
            m_closed.push_back(entry.id);
        } else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                   StillRegistered(entry.id, withdrawals)) {
            entry.proc(entry.clientData, entry.fd);
            ran = true;
        }
    }
    // A descriptor closed under its registration would make every poll() return at once.
    if (!m_closed.empty()) {
        Withdraw(m_closed);
    }
    return ran;
}

void ZoInputLoop::Stop() {
    const int savedErrno = errno;  // a signal handler must leave errno as it found it
    m_stop.store(true, std::memory_order_release);
    Wake();
    errno = savedErrno;
}

void ZoInputLoop::Wake() {
    if (m_wakeWrite < 0) {
        return;
    }
    const char byte = 1;
    // A full pipe already holds a pending wake, so a failed write loses nothing.
    const ssize_t written = write(m_wakeWrite, &byte, 1);
    (void)written;
}

void ZoInputLoop::DrainWake() {
    char bytes[64];
    for (;;) {
        const ssize_t got = read(m_wakeRead, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
    }
}

bool ZoInputLoop::StillRegistered(ZoInputId id, std::uint32_t withdrawalsSeen) {
    if (m_withdrawals.load(std::memory_order_acquire) == withdrawalsSeen) {
        return true;  // nothing was withdrawn since the pass took its copy
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [id](const Entry& e) { return e.id == id; });
}

void ZoInputLoop::Withdraw(const std::vector<ZoInputId>& ids) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_withdrawals.fetch_add(1, std::memory_order_release);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [&ids](const Entry& e) {
                                       return std::find(ids.begin(), ids.end(), e.id) != ids.end();
                                   }),
                    m_entries.end());
}
