// The handshake: binds an accepted connection to a service and a handle, and answers a connect
// message that arrives on an established connection.
#include "netservimp.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "net_xdr_io.h"
#include "netnode.h"
#include "netport.h"

namespace {

// Closing resets the connection at once; replies go out without waiting for more to send.
// (The classic TCP-level option 64 is not set: on Linux that number means something else.)
void SetSocketOptions(int socket) {
    const linger resetOnClose{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The connect message: identifier, version and block.
constexpr std::size_t kConnectMessageSize = 2 * sizeof(std::uint32_t) + NET_CONNECT_BLOCK_SIZE;
using Deadline = std::chrono::steady_clock::time_point;

// Waits until the missing bytes of the connect message have arrived, or the deadline has passed,
// however the peer spreads its bytes out: the socket reports readable only once all of them are
// there. A peer that misses the deadline has its receiving side shut down, so the reads that
// follow end where its bytes ran out and trace that step.
void AwaitConnectMessage(int socket, std::size_t missing, Deadline deadline) {
    const int lowWater = static_cast<int>(missing);
    setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
    pollfd ready{socket, POLLIN, 0};
    int polled;
    do {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        polled = poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
    } while (polled < 0 && errno == EINTR);
    const int one = 1;
    setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    if (polled == 0) {
        shutdown(socket, SHUT_RD);
    }
}

// Reads the connect message into message (the block from byte 8) and returns how many of its
// three parts arrived whole. The library's own encoder takes the message in one receive when it
// is there, as it usually is by the time the thread runs; an application's encoder reads each
// part, so with a deadline the bytes that arrived are only looked at.
int ReadConnectMessage(NetXDR& xdr, int socket, const std::optional<Deadline>& deadline,
                       char (&message)[kConnectMessageSize], std::uint32_t& version) {
    const bool own = NetOwnEncoder(xdr);
    std::size_t taken = 0;
    if (deadline) {
        const ssize_t n =
            recv(socket, message, sizeof message, MSG_DONTWAIT | (own ? 0 : MSG_PEEK));
        const std::size_t arrived = n > 0 ? static_cast<std::size_t>(n) : 0;
        taken = own ? arrived : 0;
        if (arrived < sizeof message) {
            AwaitConnectMessage(socket, sizeof message - taken, *deadline);
        }
    }
    if (own) {
        const std::size_t missing = sizeof message - taken;
        const std::size_t got = taken + NetRecvAtLeast(socket, message + taken, missing, missing);
        std::uint32_t word;
        std::memcpy(&word, message + sizeof word, sizeof word);
        version = ntohl(word);
        return got < sizeof word ? 0 : got < 2 * sizeof word ? 1 : got < sizeof message ? 2 : 3;
    }
    std::uint32_t identifier = 0;  // opens the handshake; any value will do
    if (!xdr.ULong(socket, XDR_DECODE, identifier)) {
        return 0;
    }
    if (!xdr.ULong(socket, XDR_DECODE, version)) {
        return 1;
    }
    return xdr.Read(socket, message + 2 * sizeof identifier, NET_CONNECT_BLOCK_SIZE) ? 3 : 2;
}

void TraceNoData(NetServerImp* server, std::uint32_t address) {
    if (!server->Tracing()) {
        return;
    }
    in_addr peer{};
    peer.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer, text, sizeof text);
    // "recieved" is the log's own spelling; readers match it.
    NetTraceFormat(server, NET_TRACE_ERROR, "+++No data recieved from client after connect %.127s",
                   text);
}

// A refusal code in place of a handle number.
void WriteCode(NetServerImp* server, int socket, std::int32_t code, const char* failureTrace) {
    if (!server->Xdr()->Long(socket, XDR_ENCODE, code)) {
        server->Trace(NET_TRACE_ERROR, failureTrace);
    }
}

// The handle number and the Unicode word in one write: a version-2 client takes a reply whose
// word does not arrive with the number as coming from an older server.
bool WriteNumberAndUnicode(NetServerImp* server, int socket, std::int32_t number, bool unicode) {
    const std::uint32_t words[2] = {htonl(static_cast<std::uint32_t>(number)),
                                    htonl(unicode ? 1u : 0u)};
    return server->Xdr()->Write(socket, words, sizeof words) != 0;
}

}  // namespace

// Input thread, table lock held. The registration serving name on port, else the generic
// listener when it listens on that port.
static NetRegisterNode* FindService(NetServerImp& server, const char* name, std::uint16_t port) {
    NetRegisterNode* node = server.m_pNodeList != nullptr ? server.FindFunc(name, port) : nullptr;
    if (node == nullptr && server.m_pListenNode != nullptr && server.m_pListenPort != nullptr &&
        server.m_pListenPort->m_usPort == port) {
        node = server.m_pListenNode;
    }
    return node;
}

// Input thread. Gives a handle that this handshake reserved back to the free state: its
// duplicate of the socket closed, no longer connecting. The thread closes its own socket.
static void GiveBack(NetServerImp& server, NetHostHndl* handle) {
    ZoLock lock(server.m_TableLock);
    handle->CloseServerSocket();
    handle->m_bConnecting = false;
}

NetHostHndl* NetServerImp::CreateConnection(int socket, std::uint16_t port, std::uint32_t address) {
    const bool serverUnicode = UseUnicode() != 0;
    NetTraceFormat(this, NET_TRACE_CONNECT, "NetServer::CreateConnection  Server socket %d",
                   socket);
    SetSocketOptions(socket);

    const std::int32_t deadlineMs = m_Settings.lHandshakeTimeoutMs;
    NetInputThread* thread = NetInputThread::Current();
    std::optional<Deadline> deadline;
    if (deadlineMs > 0 && thread != nullptr) {
        deadline = thread->m_Accepted + std::chrono::milliseconds(deadlineMs);
    }
    char message[kConnectMessageSize];
    std::uint32_t version = 0;
    switch (ReadConnectMessage(*m_pXdr, socket, deadline, message, version)) {
        case 0:
            TraceNoData(this, address);
            return nullptr;
        case 1:
            Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 1");
            return nullptr;
        case 2:
            Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 2");
            return nullptr;
        default:
            break;
    }
    char* block = message + 2 * sizeof(std::uint32_t);
    if (version > NET_PROTOCOL_VERSION) {
        Trace(NET_TRACE_ERROR, "NetServer::CreateConnection Version mismatch");
        WriteCode(this, socket, NET_REPLY_BAD_VERSION,
                  "NetServer::CreateConnection write error loc 4");
        return nullptr;
    }
    // Past its connect message the connection leaves the handshake quota for the cap.
    if (thread != nullptr && !Establish(*thread)) {
        NetTraceFormat(this, NET_TRACE_ERROR,
                       "NetServer::CreateConnection connection limit %u reached",
                       m_Settings.ulMaxConnections);
        WriteCode(this, socket, NET_REPLY_NO_MEMORY,
                  "NetServer::CreateConnection write error loc 10");
        return nullptr;
    }
    // The peer's texts are terminated here whatever it sent.
    block[NET_CONNECT_SERVICE_OFFSET - 1] = '\0';
    block[NET_CONNECT_BLOCK_SIZE - 1] = '\0';
    const char* host = block + NET_CONNECT_HOST_OFFSET;
    const char* service = block + NET_CONNECT_SERVICE_OFFSET;
    NetTraceFormat(this, NET_TRACE_CONNECT,
                   "NetServer::CreateConnection  Host %s\n\t  Service %s\n\t  Port %d", host,
                   service, port);

    NetHostHndl* handle = nullptr;
    NetRegisterNode* node = nullptr;
    std::uint64_t serial = 0;
    {
        ZoLock lock(m_TableLock);
        handle = FindFreeHndl(host, service, port);
        node = FindService(*this, service, port);
        if (node != nullptr) {
            serial = node->m_ullSerial;
            if (handle != nullptr) {
                handle->m_bConnecting = true;  // no other handshake may take it now
            }
        }
    }
    if (node == nullptr) {
        WriteCode(this, socket, NET_REPLY_NO_SERVICE,
                  "NetServer::CreateConnection write error loc 6");
        NetTraceFormat(this, NET_TRACE_ERROR,
                       "NetServer::CreateConnection - Service %s port %d Not Found", service, port);
        return nullptr;
    }
    if (handle == nullptr) {
        handle = CreateHndl(host, service);  // reserved from birth: m_bConnecting is set
        if (handle == nullptr) {
            handle = RebindFreeHndl(host, service);  // the table is at its limit
        }
        if (handle == nullptr) {
            Trace(NET_TRACE_ERROR, "NetServer::CreateConnection out of memory");
            WriteCode(this, socket, NET_REPLY_NO_MEMORY,
                      "NetServer::CreateConnection write error loc 7");
            return nullptr;
        }
    }

    // The handle gets a descriptor of its own for the same connection (see NetInputThread::Run).
    const int handleSocket = fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (handleSocket == -1) {
        Trace(NET_TRACE_ERROR, "NetServer::CreateConnection out of memory");
        WriteCode(this, socket, NET_REPLY_NO_MEMORY,
                  "NetServer::CreateConnection write error loc 8");
        GiveBack(*this, handle);
        return nullptr;
    }
    {
        ZoLock lock(m_TableLock);
        handle->m_nServerSocket = handleSocket;
        handle->m_ulPeerAddress = address;
    }

    const std::int32_t number = handle->m_lHandle;
    bool connUnicode = false;
    if (version < 2) {
        std::int32_t reply = number;
        if (!m_pXdr->Long(socket, XDR_ENCODE, reply)) {
            Trace(NET_TRACE_ERROR, "NetServer::CreateConnection write error loc 9");
        }
    } else {
        if (!WriteNumberAndUnicode(this, socket, number, serverUnicode)) {
            // "read error" although it is the write: the log's established text.
            Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 3");
            GiveBack(*this, handle);
            return nullptr;
        }
        connUnicode = serverUnicode;
    }
    handle->m_bConnUnicode = connUnicode;
    handle->m_bUnicode = connUnicode;
    // "Uning" is the log's established spelling.
    NetTraceFormat(this, NET_TRACE_CONNECT, "Handle %d%s", number,
                   connUnicode ? " Uning Unicode" : "");

    // Waits until the main thread has bound the connection: no call is read before the
    // application has seen the connection.
    NetConnection connection{socket, this, node, handle, serial, false};
    if (SendToMainThread(handle, MSG_NETCONNECT, nullptr, &connection) != 0 ||
        connection.bRefused) {
        GiveBack(*this, handle);
        return nullptr;
    }
    return handle;
}

void NetServerImp::ConnectMsg(int socket) {
    Trace(NET_TRACE_DEBUG, "NetServer::ConnectMsg");
    std::uint32_t version = 0;
    if (!m_pXdr->ULong(socket, XDR_DECODE, version)) {
        // "CreateMsg": the log's established text for this step.
        Trace(NET_TRACE_ERROR, "NetServer::CreateMsg read error loc 1");
        return;
    }
    char block[NET_CONNECT_BLOCK_SIZE];
    if (!m_pXdr->Read(socket, block, sizeof block)) {
        Trace(NET_TRACE_ERROR, "NetServer::ConnectMsg read loc 2");
        return;
    }
    NetHostHndl* handle = BoundHandle(socket);
    if (handle == nullptr) {
        Trace(NET_TRACE_ERROR, "NetServer::ConnectMsg bad handle");
        WriteCode(this, socket, NET_REPLY_NO_HANDLE, "NetServer::ConnectMsg write loc 4");
        return;
    }
    if (version < 2) {
        WriteCode(this, socket, handle->m_lHandle, "NetServer::ConnectMsg write loc 5");
    } else if (!WriteNumberAndUnicode(this, socket, handle->m_lHandle, handle->m_bConnUnicode)) {
        Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 3");
    }
}
