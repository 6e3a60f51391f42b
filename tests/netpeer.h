// A scripted server for client tests: a loopback listener whose thread accepts a fixed number of
// connections and runs a script on each, reading the exact bytes a server would read.
#pragma once

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace netpeer {

inline std::uint32_t ReadWord(int fd) {
    std::uint32_t word = 0xDEADBEEF;
    testutil::ReadAll(fd, &word, 4);
    return ntohl(word);
}

inline std::vector<unsigned char> ReadBytes(int fd, size_t n) {
    std::vector<unsigned char> bytes(n);
    if (!testutil::ReadAll(fd, bytes.data(), n))
        bytes.clear();
    return bytes;
}

// Big-endian words.
inline std::vector<unsigned char> Words(std::initializer_list<std::uint32_t> words) {
    std::vector<unsigned char> bytes;
    for (std::uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back((w >> shift) & 0xFF);
    return bytes;
}

// Written in one send, so that they arrive together.
inline bool WriteWords(int fd, std::initializer_list<std::uint32_t> words) {
    const std::vector<unsigned char> wire = Words(words);
    return testutil::WriteAll(fd, wire.data(), wire.size());
}

// True once the client has closed its end (end of stream), within the receive time-out.
inline bool ClientClosed(int fd) {
    pollfd ready{fd, POLLIN, 0};
    char c;
    return poll(&ready, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 0;
}

// The handshake as a server reads it: identifier, version, connect block.
struct Hello {
    std::uint32_t id = 0, version = 0;
    unsigned char block[514] = {};
    std::string Host() const { return std::string(reinterpret_cast<const char*>(block)); }
    std::string Service() const { return std::string(reinterpret_cast<const char*>(block + 257)); }
};

inline Hello ReadHello(int fd) {
    Hello hello;
    hello.id = ReadWord(fd);
    hello.version = ReadWord(fd);
    testutil::ReadAll(fd, hello.block, sizeof hello.block);
    return hello;
}

class Peer {
public:
    using Script = std::function<void(int fd, int connection)>;

    explicit Peer(Script script, int connections = 1)
        : m_thread([this, script, connections] {
              for (int n = 0; n < connections; ++n) {
                  pollfd ready{m_listener.fd, POLLIN, 0};
                  if (poll(&ready, 1, 5000) != 1)
                      return;
                  int fd = m_listener.Accept();
                  timeval limit{5, 0};  // a broken client fails the script instead of hanging it
                  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                  int on = 1;  // as a server of this library does: answers go out at once
                  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                  script(fd, n);
                  close(fd);
              }
          }) {}
    ~Peer() { Join(); }
    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    std::uint16_t Port() const { return m_listener.port; }

private:
    testutil::Listener m_listener;
    std::thread m_thread;
};

}  // namespace netpeer
