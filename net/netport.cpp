// SPDX-License-Identifier: Apache-2.0
// A listening port and its accept thread.
#include "netport.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/netproto.h"
#include "netservimp.h"
#include "netsocket.h"

namespace {

// The accept thread looks at its stop flag at least this often, should shutdown() not wake
// a blocked poll() on some system.
constexpr int kStopCheckMs = 250;
// Out of descriptors: wait a little for connections to close instead of spinning.
constexpr int kExhaustedBackoffMs = 10;
// Refused connections waiting for their peers to read the answer; beyond this many the oldest,
// which has had most of its time, is closed.
constexpr std::size_t kMaxRefused = 64;

// Failures of one pending connection, or passing shortages, that must not end the port.
bool AcceptCanRetry(int error) {
    switch (error) {
        case EINTR:
        case EAGAIN:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

bool AcceptShortOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The peer has read its answer or had its time: closed without lingering, so the accept thread
// never waits on it.
void CloseRefused(int socket) {
    NetSetResetOnClose(socket);
    close(socket);
}

// A socket listening on port at the settings' bind address, or -1 (traced).
int OpenListeningSocket(NetServerImp& server, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        server.Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort socket creation failed");
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = server.m_Settings.ulBindAddress;
    address.sin_port = htons(port);
    // INADDR_NONE is a bind address that was asked for and is none (NetSettings): no port opens.
    if (address.sin_addr.s_addr == htonl(INADDR_NONE) ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        server.Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort bind failed");
        close(fd);
        return -1;
    }
    if (listen(fd, server.m_Settings.lListenBacklog) != 0) {
        server.Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort listen failed");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void NetRefuse(NetServerImp* server, int socket) {
    std::int32_t code = NET_REPLY_NO_MEMORY;
    server->Xdr()->Long(socket, XDR_ENCODE, code);  // four bytes into an empty buffer: no wait
    shutdown(socket, SHUT_WR);
}

bool NetRefusalRead(int socket) {
    char scrap[4096];
    for (int i = 0; i < 16; ++i) {  // a peer that keeps sending cannot keep the caller here
        const ssize_t got = recv(socket, scrap, sizeof scrap, MSG_DONTWAIT);
        if (got <= 0) {
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
    }
    return false;
}

NetServerPort::NetServerPort(NetServerImp* server, std::uint16_t port)
    : m_pServer(server),
      m_usPort(port),
      m_nSocket(-1),
      m_usUseCount(1),
      m_pPrev(nullptr),
      m_pNext(nullptr),
      m_pThread(nullptr) {}

bool NetServerPort::Open() {
    m_nSocket = OpenListeningSocket(*m_pServer, m_usPort);
    if (m_nSocket == -1) {
        return false;
    }
    NetTraceFormat(m_pServer, NET_TRACE_CONNECT, "Server port %d socket %d created", m_usPort,
                   m_nSocket);
    const linger lingerOn{1, 1};
    setsockopt(m_nSocket, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn);
    NetSetNoDelay(m_nSocket);
    m_pThread = new (std::nothrow) NetPortThread(this);
    if (m_pThread == nullptr) {
        return false;
    }
    if (m_pThread->Create(m_pServer->m_Settings.ulThreadStack, 0) == 0) {
        m_pServer->Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort thread creation failed");
        return false;
    }
    return true;
}

NetServerPort::~NetServerPort() {
    NetTraceFormat(m_pServer, NET_TRACE_CONNECT, "Server port %d socket %d closed", m_usPort,
                   m_nSocket);
    StopAccepting();
    if (m_nSocket != -1) {
        close(m_nSocket);
        m_nSocket = -1;
    }
}

void NetServerPort::StopAccepting() {
    if (m_pThread == nullptr) {
        return;
    }
    m_bStopping.store(true, std::memory_order_release);
    // On Linux, shutdown() of a listening socket wakes a thread in poll() or accept(); the
    // descriptor stays open until the thread is joined, so it cannot be reused under it.
    if (m_nSocket != -1) {
        shutdown(m_nSocket, SHUT_RDWR);
    }
    m_pThread->Join();
    delete m_pThread;
    m_pThread = nullptr;
}

void NetPortThread::Run() {
    const int listenSocket = m_pPort->m_nSocket;
    SetPriority(ZoPriorityHigh);
    m_Refused.reserve(kMaxRefused);
    m_Polls.reserve(kMaxRefused + 1);
    const auto stopping = [this] { return m_pPort->m_bStopping.load(std::memory_order_acquire); };
    while (!stopping()) {
        const short events = AwaitConnection(listenSocket);
        if (stopping() || (events != 0 && !Accept(listenSocket, events))) {
            break;
        }
    }
    for (const Refused& refused : m_Refused) {
        CloseRefused(refused.nSocket);
    }
    m_Refused.clear();
}

bool NetPortThread::Accept(int listenSocket, short events) {
    NetServerImp* server = m_pPort->m_pServer;
    NetTraceFormat(server, NET_TRACE_DEBUG, "poll results %x", static_cast<unsigned>(events));
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int connection =
        accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (connection < 0) {
        const int error = errno;
        if (AcceptShortOfResources(error)) {
            poll(nullptr, 0, kExhaustedBackoffMs);
            return true;
        }
        return AcceptCanRetry(error);  // else the socket is closed or broken
    }
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    NetTraceFormat(server, NET_TRACE_DEBUG, "Connect complete address %.127s", address);

    const NetAdmission admission =
        server->StartInputThread(connection, m_pPort->m_usPort, peer.sin_addr.s_addr);
    if (admission == NetAdmission::kFailed) {
        server->Trace(NET_TRACE_ERROR, "Connection thread not created");
    }
    if (admission != NetAdmission::kStarted) {
        Refuse(connection);
    }
    return true;
}

short NetPortThread::AwaitConnection(int listenSocket) {
    const auto now = std::chrono::steady_clock::now();
    int timeoutMs = kStopCheckMs;
    m_Polls.assign(1, pollfd{listenSocket, POLLIN, 0});
    for (const Refused& refused : m_Refused) {
        m_Polls.push_back(pollfd{refused.nSocket, POLLIN, 0});
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(refused.until - now);
        timeoutMs = std::min<int>(timeoutMs, std::max<int>(0, static_cast<int>(left.count())));
    }
    if (poll(m_Polls.data(), m_Polls.size(), timeoutMs) < 0) {
        // Interrupted, or a failure that accept() will meet and handle.
        return errno == EINTR ? 0 : POLLERR;
    }
    const auto later = std::chrono::steady_clock::now();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_Refused.size(); ++i) {
        const Refused refused = m_Refused[i];
        if ((m_Polls[i + 1].revents != 0 && NetRefusalRead(refused.nSocket)) ||
            later >= refused.until) {
            CloseRefused(refused.nSocket);
        } else {
            m_Refused[kept++] = refused;
        }
    }
    m_Refused.resize(kept);
    return m_Polls[0].revents;
}

void NetPortThread::Refuse(int socket) {
    NetRefuse(m_pPort->m_pServer, socket);
    if (m_Refused.size() == kMaxRefused) {
        CloseRefused(m_Refused.front().nSocket);
        m_Refused.erase(m_Refused.begin());
    }
    m_Refused.push_back(Refused{
        socket, std::chrono::steady_clock::now() + std::chrono::milliseconds(kNetRefusalLingerMs)});
}

NetServerPort* NetServerImp::FindPort(std::uint16_t port) {
    if (m_pListenPort != nullptr && m_pListenPort->m_usPort == port) {
        return m_pListenPort;
    }
    for (NetServerPort* p = m_pPortList; p != nullptr; p = p->m_pNext) {
        if (p->m_usPort == port) {
            return p;
        }
    }
    return nullptr;
}
