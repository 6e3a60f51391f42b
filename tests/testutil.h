// SPDX-License-Identifier: Apache-2.0
// Helpers every test may use: socket pairs, loopback sockets, bounded waits, big-endian words,
// the handshake as either side writes it, and a scripted peer that plays a server to a client.
// The standard and socket headers included here serve every test that includes this one.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/netvalue.h"

namespace testutil {

using Bytes = std::vector<unsigned char>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A connected pair of stream sockets; both ends closed on destruction.
struct SocketPair {
    int a = -1, b = -1;
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0)
            a = fds[0], b = fds[1];
    }
    ~SocketPair() {  // an end given away is -1, which close() refuses
        close(a);
        close(b);
    }
    void CloseB() { close(std::exchange(b, -1)); }
};

// Polls cond until it holds or the time-out passes; true when it held.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

inline sockaddr* Loopback(sockaddr_in& a, std::uint16_t port) {
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return reinterpret_cast<sockaddr*>(&a);
}

// A loopback listener on a port the system picks.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    Listener() {
        sockaddr_in a;
        socklen_t len = sizeof a;
        if (bind(fd, Loopback(a, 0), sizeof a) == 0 && listen(fd, 16) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

// A port that was free a moment ago (bound and released), for servers that open their own.
inline std::uint16_t FreePort() {
    return Listener().port;
}

// A loopback connection with a receive time-out, so that a peer that never answers fails the
// test instead of hanging it; -1 when the connect fails.
inline int ConnectRaw(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    if (connect(fd, Loopback(a, port), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Blocking sockets send all or fail; reads wait for all n bytes, or end of stream or time-out.
inline bool WriteAll(int fd, const void* buf, size_t n) {
    return send(fd, buf, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// In one send, so that the bytes arrive together.
inline bool WriteAll(int fd, const Bytes& bytes) {
    return WriteAll(fd, bytes.data(), bytes.size());
}

inline bool ReadAll(int fd, void* buf, size_t n) {
    return recv(fd, buf, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

inline Bytes ReadBytes(int fd, size_t n) {
    Bytes bytes(n);
    return ReadAll(fd, bytes.data(), n) ? bytes : Bytes();
}

// Everything already waiting on fd, without blocking (a socket pair delivers a write at once).
inline Bytes Drain(int fd) {
    Bytes out;
    unsigned char chunk[4096];
    ssize_t got;
    while ((got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        out.insert(out.end(), chunk, chunk + got);
    return out;
}

inline std::uint32_t ReadWord(int fd) {
    std::uint32_t word = 0xDEADBEEF;
    ReadAll(fd, &word, 4);
    return ntohl(word);
}

// What write(fd) sends, as its peer receives it (a socket pair delivers it at once); nothing
// when write fails.
inline Bytes WrittenBytes(const std::function<bool(int fd)>& write) {
    SocketPair pair;
    return write(pair.a) ? Drain(pair.b) : Bytes();
}

// read(fd) over the bytes of wire followed by the end of the stream.
template <typename Read>
auto ReadFrom(const Bytes& wire, Read read) {
    SocketPair pair;
    WriteAll(pair.b, wire);
    pair.CloseB();
    return read(pair.a);
}

// Makes v a valid value of the type and kind, for the caller to fill its data.
inline sL_VALUE& Set(sL_VALUE& v, std::uint16_t type, unsigned char kind = NET_KIND_NONE) {
    v.usType = type, v.kind = kind, v.fValid = 1;
    return v;
}

// Big-endian words.
inline Bytes Words(std::initializer_list<std::uint32_t> words) {
    Bytes bytes;
    for (std::uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back((w >> shift) & 0xFF);
    return bytes;
}

// True once the peer has closed or reset its end, with nothing sent before, within the time-out.
inline bool PeerEnded(int fd, int timeoutMs = 10000) {
    pollfd ready{fd, POLLIN, 0};
    char c;
    if (poll(&ready, 1, timeoutMs) != 1)
        return false;
    const ssize_t got = recv(fd, &c, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

inline void Reset(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

// The handshake: identifier 1, version and a connect block of the host name in its first 257
// bytes and the service in the other 257.
constexpr size_t kBlockSize = 514, kServiceAt = 257;

inline Bytes Handshake(const char* service, std::uint32_t version = 2) {
    Bytes bytes = Words({1, version});
    bytes.resize(bytes.size() + kBlockSize, 0);
    std::strcpy(reinterpret_cast<char*>(bytes.data() + 8 + kServiceAt), service);
    return bytes;
}

// The handshake as a server reads it.
struct Hello {
    explicit Hello(int fd) : id(ReadWord(fd)), version(ReadWord(fd)) {
        ReadAll(fd, block, sizeof block);
    }
    std::uint32_t id, version;
    unsigned char block[kBlockSize] = {};
    std::string Host() const { return reinterpret_cast<const char*>(block); }
    std::string Service() const { return reinterpret_cast<const char*>(block + kServiceAt); }
};

// A scripted server: a loopback listener whose thread accepts a fixed number of connections and
// runs the script on each, reading the exact bytes a server would read.
class Peer {
public:
    using Script = std::function<void(int fd, int connection)>;

    explicit Peer(Script script, int connections = 1)
        : m_thread([this, script, connections] {
              for (int n = 0; n < connections; ++n) {
                  pollfd ready{m_listener.fd, POLLIN, 0};
                  if (poll(&ready, 1, 5000) != 1)
                      return;
                  const int fd = accept(m_listener.fd, nullptr, nullptr);
                  timeval limit{5, 0};  // a broken client fails the script instead of hanging it
                  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                  int on = 1;  // as a server of this library does: answers go out at once
                  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                  script(fd, n);
                  close(fd);
              }
          }) {}
    ~Peer() { m_thread.join(); }
    std::uint16_t Port() const { return m_listener.port; }

private:
    Listener m_listener;
    std::thread m_thread;
};

// A list value of n elements of one type, made with new as an application would: make(node, i)
// fills element i (from 1), which has its type and is valid unless make clears fValid.
inline sL_VALUE ListOf(std::uint16_t type, int n,
                       const std::function<void(sLIST_NODE&, int)>& make) {
    sL_VALUE v;
    v.usType = static_cast<std::uint16_t>(type - NET_TYPE_UNKNOWN), v.fValid = 1;
    auto* list = v.data.pList = new sLIST_HEADER{};
    for (int i = 1; i <= n; ++i) {
        auto* node = new sLIST_NODE{};
        node->usType = type, node->fValid = 1;
        make(*node, i);
        node->pPrev = list->pLast;
        (list->pLast != nullptr ? list->pLast->pNext : list->pFirst) = node;
        list->pLast = node, list->lCount = i;
    }
    list->pCurrent = list->pFirst, list->lCurrent = n != 0 ? 1 : 0;
    return v;
}

}  // namespace testutil
