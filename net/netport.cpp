// A listening port and its accept thread.
#include "netport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/netproto.h"
#include "netservimp.h"

namespace {

// The accept thread looks at its stop flag at least this often, should shutdown() not wake
// a blocked poll() on some system.
constexpr int kStopCheckMs = 250;
// Out of descriptors: wait a little for connections to close instead of spinning.
constexpr int kExhaustedBackoffMs = 10;

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

// The first port match accepts: the generic listener's port, then the registered ones.
// The caller holds the table lock.
template <typename Match>
NetServerPort* FirstPort(NetServerImp& server, Match match) {
    if (server.m_pListenPort != nullptr && match(*server.m_pListenPort)) {
        return server.m_pListenPort;
    }
    for (NetServerPort* p = server.m_pPortList; p != nullptr; p = p->m_pNext) {
        if (match(*p)) {
            return p;
        }
    }
    return nullptr;
}

}  // namespace

NetServerPort::NetServerPort(NetServerImp* server, std::uint16_t port)
    : m_pServer(server),
      m_usPort(port),
      m_nSocket(-1),
      m_usUseCount(1),
      m_pPrev(nullptr),
      m_pNext(nullptr),
      m_nStatus(NET_NO_SOCKET),
      m_pThread(nullptr) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        server->Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort socket creation failed");
        return;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        server->Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort bind failed");
        close(fd);
        return;
    }
    if (listen(fd, server->m_Settings.lListenBacklog) != 0) {
        server->Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort listen failed");
        close(fd);
        return;
    }
    m_nSocket = fd;
    NetTraceFormat(server, NET_TRACE_CONNECT, "Server port %d socket %d created", port, fd);

    const linger lingerOn{1, 1};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    m_pThread = new (std::nothrow) NetPortThread(this);
    if (m_pThread == nullptr) {
        return;
    }
    if (m_pThread->Create(server->m_Settings.ulThreadStack, 0) == 0) {
        server->Trace(NET_TRACE_ERROR, "NetServerPort::NetServerPort thread creation failed");
        return;
    }
    m_nStatus = NET_OK;
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
    NetServerImp* server = m_pPort->m_pServer;
    const int listenSocket = m_pPort->m_nSocket;
    SetPriority(ZoPriorityHigh);

    while (!m_pPort->m_bStopping.load(std::memory_order_acquire)) {
        pollfd ready{listenSocket, POLLIN, 0};
        const int polled = poll(&ready, 1, kStopCheckMs);
        if (m_pPort->m_bStopping.load(std::memory_order_acquire)) {
            break;
        }
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
            continue;
        }
        NetTraceFormat(server, NET_TRACE_DEBUG, "poll results %x",
                       static_cast<unsigned>(ready.revents));

        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int connection =
            accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (connection < 0) {
            const int error = errno;
            if (AcceptCanRetry(error)) {
                continue;
            }
            if (AcceptShortOfResources(error)) {
                poll(nullptr, 0, kExhaustedBackoffMs);
                continue;
            }
            break;  // the socket is closed or broken: this port accepts no more
        }

        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        NetTraceFormat(server, NET_TRACE_DEBUG, "Connect complete address %.127s", address);

        if (!server->StartInputThread(connection, m_pPort->m_usPort, peer.sin_addr.s_addr)) {
            server->Trace(NET_TRACE_ERROR, "Connection thread not created");
            close(connection);
        }
    }
}

NetServerPort* NetServerImp::FindPort(std::uint16_t port) {
    return FirstPort(*this, [port](const NetServerPort& p) { return p.m_usPort == port; });
}

NetServerPort* NetServerImp::FindPortFromSocket(int socket) {
    return FirstPort(*this, [socket](const NetServerPort& p) { return p.m_nSocket == socket; });
}
