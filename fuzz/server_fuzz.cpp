// SPDX-License-Identifier: Apache-2.0
// The server's side of one connection under arbitrary bytes: each input is a whole client
// session (handshake and messages) written to a live in-process server over loopback, then the
// sending direction is shut and the replies are read until the server ends the connection.
// After every session a connection that stays open throughout (the probe) makes a call: it must
// be answered, and its event object must have seen no call but its own. Every few sessions a
// new well-formed client connects, calls and closes.
#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "fuzz_common.h"
#include "netservimp.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::uint64_t kDecodeBudget = 1u << 20;  // keeps hostile sessions fast to refuse
constexpr int kSessionTimeoutMs = 20000;           // a session the server never ends is a hang
constexpr unsigned kFreshClientEvery = 64;

struct Harness {
    fuzzcommon::LiveServer live;
    NetXDRImp probeXdr;
    NetClient probe{nullptr, &probeXdr, 2};
    std::int32_t probeHandle = -1;
    std::uint64_t probeCallsMade = 0;
    unsigned sessions = 0;
};
Harness* g_harness = nullptr;  // made once, never destroyed: its threads serve every input

void Fail(const char* what) {
    std::fprintf(stderr, "server_fuzz: %s\n", what);
    std::abort();
}

// Each session comes from its own loopback address: the client shuts its side first and so
// leaves its port in TIME_WAIT, and one address's ports would run out within a minute.
int Connect(std::uint16_t port) {
    static std::uint32_t session = 0;
    ++session;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7F010000u | (session & 0xFFFFu));  // 127.1.x.y
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The port is picked at connect time and shared like any client port, so these sockets and
    // their TIME_WAIT remnants never keep a server from binding that port number.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "server_fuzz: connect: %s\n", std::strerror(errno));
        Fail("cannot connect to the server");
    }
    return fd;
}

// Writes the session and reads whatever comes back, both at once, so a server that answers
// while the client still writes cannot deadlock the two. True once the server has ended the
// connection (end of stream or reset).
bool RunSession(const std::uint8_t* data, std::size_t size) {
    const int fd = Connect(g_harness->live.port);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSessionTimeoutMs);
    std::size_t sent = 0;
    bool writing = true;
    bool ended = false;
    while (!ended) {
        if (writing && sent == size) {
            shutdown(fd, SHUT_WR);
            writing = false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
            break;
        }
        if (writing && (ready.revents & POLLOUT)) {
            const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                writing = false;  // the server has gone already
            }
        }
        if (ready.revents & (POLLIN | POLLHUP | POLLERR)) {
            char replies[4096];
            const ssize_t n = recv(fd, replies, sizeof replies, 0);
            ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        }
    }
    close(fd);
    return ended;
}

// The sessions' input threads have ended once only the probe's remains; their close events are
// then in the pipe, ahead of anything posted later.
bool SessionThreadsEnded() {
    auto* server = static_cast<NetServerImp*>(g_harness->live.server);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::size_t live = 0;
        {
            std::lock_guard<std::mutex> lock(server->m_ThreadMutex);
            for (const auto& thread : server->m_InputThreads) {
                live += thread->Finished() ? 0 : 1;
            }
        }
        if (live <= 1) {
            // Joined, not just finished: a thread still running its thread-local destructors
            // would show their records as leaked to a leak check at the end of this input.
            server->ReapInputThreads();
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// One call on the probe: answered with its value plus one, counted once by its own event object.
void CheckProbe() {
    Harness& h = *g_harness;
    MSGINTCALL call{static_cast<std::int32_t>(h.probeCallsMade), 0, 0, h.probeHandle};
    ZoErrorCode error = 0;
    const MSGINTCALL answer = h.probe.IntegerMsg(call, error);
    ++h.probeCallsMade;
    if (error != NET_OK || answer.ulStatus != NET_OK ||
        answer.lValue != static_cast<std::int32_t>(h.probeCallsMade) ||
        answer.lHandle != h.probeHandle) {
        Fail("the probe connection was not answered");
    }
    if (h.live.probeCalls.load() != h.probeCallsMade) {
        Fail("a call reached the probe connection's event object from another connection");
    }
}

// A new well-formed client: handshake, one call of each kind, close.
void CheckFreshClient() {
    NetXDRImp xdr;
    NetClient client(nullptr, &xdr, 2);
    std::int32_t handle = -1;
    if (client.CreateSocket("127.0.0.1", g_harness->live.port) != NET_OK ||
        client.ConnectMsg("checker", "echo", handle) != NET_OK) {
        Fail("a well-formed client cannot connect");
    }
    ZoErrorCode error = 0;
    MSGINTCALL integer{5, 0, 0, handle};
    const MSGINTCALL integerAnswer = client.IntegerMsg(integer, error);
    if (error != NET_OK || integerAnswer.lValue != 6) {
        Fail("a well-formed integer call was not answered");
    }
    char text[] = "abc";
    MSGSTRINGCALL string{text, 0, 0, handle};
    MSGSTRINGCALL stringAnswer = client.StringMsg(string, error);
    const bool stringOk = error == NET_OK && stringAnswer.pszValue != nullptr &&
                          std::strcmp(stringAnswer.pszValue, "echo:abc") == 0;
    xdr.StringCall(-1, XDR_FREE, stringAnswer);
    MSGUSERCALL user{};
    user.lHandle = handle;
    user.pData = fuzzcommon::SampleBlock();
    MSGUSERCALL userAnswer = client.UserMsg(user, error);
    const bool userOk =
        error == NET_OK && userAnswer.pData != nullptr && userAnswer.pData->lCount == 8;
    xdr.UserCall(-1, XDR_FREE, userAnswer, client.m_bUnicode);
    xdr.UserCall(-1, XDR_FREE, user, client.m_bUnicode);
    if (!stringOk || !userOk || client.CloseMsg(handle) != NET_OK) {
        Fail("a well-formed client was not served");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzcommon::SilenceStandardOutput();
    g_harness = new Harness;
    // Traced at every level into nothing: the trace's formatting of hostile names runs too.
    if (!g_harness->live.Start(kDecodeBudget, std::fopen("/dev/null", "w"))) {
        Fail("no port for the server");
    }
    Harness& h = *g_harness;
    if (h.probe.CreateSocket("127.0.0.1", h.live.port) != NET_OK ||
        h.probe.ConnectMsg("probe", "echo", h.probeHandle) != NET_OK) {
        Fail("the probe cannot connect");
    }
    h.live.probeHandle = h.probeHandle;
    CheckProbe();  // the probe's event object is bound once its first call is answered
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) {
        return 0;
    }
    if (!RunSession(data, size)) {
        Fail("the server did not end a session whose client had stopped sending");
    }
    if (!SessionThreadsEnded()) {
        Fail("a session's input thread did not end");
    }
    CheckProbe();
    if (++g_harness->sessions % kFreshClientEvery == 0) {
        CheckFreshClient();
        if (!SessionThreadsEnded()) {
            Fail("a well-formed client's input thread did not end");
        }
    }
    return 0;
}
