// SPDX-License-Identifier: Apache-2.0
// The handshake: binds an accepted connection to a service and a handle on its input thread,
// lets the main thread bind the application's event object to it (or refuse it), and answers a
// connect message that arrives on an established connection.
#include "netservimp.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "net_xdr_io.h"
#include "netnode.h"
#include "netport.h"
#include "netsocket.h"

namespace {

// The connect message: identifier, version and block.
constexpr std::size_t kConnectMessageSize = 2 * sizeof(std::uint32_t) + NET_CONNECT_BLOCK_SIZE;
constexpr std::size_t kBlockAt = 2 * sizeof(std::uint32_t);
using Deadline = std::chrono::steady_clock::time_point;

// What a peer's connect message asks for.
struct ConnectRequest {
    std::uint32_t ulVersion = 0;
    char message[kConnectMessageSize];  // the block from kBlockAt
    const char* Host() const { return message + kBlockAt + NET_CONNECT_HOST_OFFSET; }
    const char* Service() const { return message + kBlockAt + NET_CONNECT_SERVICE_OFFSET; }
};

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
int ReadParts(NetXDR& xdr, int socket, const std::optional<Deadline>& deadline,
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
    return xdr.Read(socket, message + kBlockAt, NET_CONNECT_BLOCK_SIZE) ? 3 : 2;
}

void TraceNoData(NetServerImp& server, std::uint32_t address) {
    if (!server.Tracing()) {
        return;
    }
    in_addr peer{};
    peer.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer, text, sizeof text);
    NetTraceFormat(&server, NET_TRACE_ERROR, kTraceNoData, text);
}

// A refusal code in place of a handle number.
void WriteCode(NetServerImp& server, int socket, std::int32_t code, const char* failureTrace) {
    if (!server.Xdr()->Long(socket, XDR_ENCODE, code)) {
        server.Trace(NET_TRACE_ERROR, failureTrace);
    }
}

// The handle number and the Unicode word in one write: a version-2 client takes a reply whose
// word does not arrive with the number as coming from an older server.
bool WriteNumberAndUnicode(NetServerImp& server, int socket, std::int32_t number, bool unicode) {
    const std::uint32_t words[2] = {htonl(static_cast<std::uint32_t>(number)),
                                    htonl(unicode ? 1u : 0u)};
    return server.Xdr()->Write(socket, words, sizeof words) != 0;
}

// The identifier, the version and the connect block, within the handshake's deadline; false
// (traced) when the peer did not send them all. The peer's texts are terminated here whatever
// it sent.
bool ReadConnectMessage(NetServerImp& server, const NetInputThread& thread,
                        ConnectRequest& request) {
    std::optional<Deadline> deadline;
    if (server.m_Settings.lHandshakeTimeoutMs > 0) {
        deadline =
            thread.m_Accepted + std::chrono::milliseconds(server.m_Settings.lHandshakeTimeoutMs);
    }
    switch (
        ReadParts(*server.Xdr(), thread.m_nSocket, deadline, request.message, request.ulVersion)) {
        case 0:
            TraceNoData(server, thread.m_ulPeerAddress);
            return false;
        case 1:
            server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 1");
            return false;
        case 2:
            server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection read error loc 2");
            return false;
        default:
            break;
    }
    char* block = request.message + kBlockAt;
    block[NET_CONNECT_SERVICE_OFFSET - 1] = '\0';
    block[NET_CONNECT_BLOCK_SIZE - 1] = '\0';
    return true;
}

// A version this server speaks, and room under the connection cap, which the connection counts
// against from here instead of the handshake quota; false once the peer has been told why not.
bool Admit(NetServerImp& server, NetInputThread& thread, const ConnectRequest& request) {
    const int socket = thread.m_nSocket;
    if (request.ulVersion > NET_PROTOCOL_VERSION) {
        server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection Version mismatch");
        WriteCode(server, socket, NET_REPLY_BAD_VERSION,
                  "NetServer::CreateConnection write error loc 4");
        return false;
    }
    if (!server.Establish(thread)) {
        NetTraceFormat(&server, NET_TRACE_ERROR,
                       "NetServer::CreateConnection connection limit %u reached",
                       server.m_Settings.ulMaxConnections);
        WriteCode(server, socket, NET_REPLY_NO_MEMORY,
                  "NetServer::CreateConnection write error loc 10");
        return false;
    }
    return true;
}

// Table lock held. The registration serving name on port, else the generic listener when it
// listens on that port.
NetRegisterNode* FindService(NetServerImp& server, const char* name, std::uint16_t port) {
    NetRegisterNode* node = server.m_pNodeList != nullptr ? server.FindFunc(name, port) : nullptr;
    if (node == nullptr && server.m_pListenNode != nullptr && server.m_pListenPort != nullptr &&
        server.m_pListenPort->m_usPort == port) {
        node = server.m_pListenNode;
    }
    return node;
}

// The service the connection asks for, noted in connection; false once the peer has been told
// there is none.
bool FindServiceFor(NetServerImp& server, const ConnectRequest& request, std::uint16_t port,
                    NetConnection& connection) {
    {
        ZoLock lock(server.m_TableLock);
        connection.pService = FindService(server, request.Service(), port);
        if (connection.pService != nullptr) {
            connection.ullServiceSerial = connection.pService->m_ullSerial;
            return true;
        }
    }
    WriteCode(server, connection.nSocket, NET_REPLY_NO_SERVICE,
              "NetServer::CreateConnection write error loc 6");
    NetTraceFormat(&server, NET_TRACE_ERROR,
                   "NetServer::CreateConnection - Service %s port %d Not Found", request.Service(),
                   port);
    return false;
}

// Input thread. Gives a handle that this handshake reserved back to the free state: its
// duplicate of the socket closed, no longer connecting. The thread closes its own socket.
void GiveBack(NetServerImp& server, NetHostHndl* handle) {
    ZoLock lock(server.m_TableLock);
    handle->CloseServerSocket();
    handle->m_bConnecting = false;
}

// A handle for the peer's host and service, reserved (m_bConnecting) so that no other handshake
// takes it, with a descriptor of its own for the connection (see NetInputThread::Run); false
// once the peer has been told there is none.
bool ReserveHandle(NetServerImp& server, const NetInputThread& thread,
                   const ConnectRequest& request, NetHostHndl*& handle) {
    const char* host = request.Host();
    const char* service = request.Service();
    {
        ZoLock lock(server.m_TableLock);
        handle = server.FindFreeHndl(host, service, thread.m_usPort);
        if (handle != nullptr) {
            handle->m_bConnecting = true;  // found and reserved under one hold of the lock
        }
    }
    if (handle == nullptr) {
        handle = server.CreateHndl(host, service);  // reserved from birth
    }
    if (handle == nullptr) {
        handle = server.RebindFreeHndl(host, service);  // the table is at its limit
    }
    const int socket = thread.m_nSocket;
    if (handle == nullptr) {
        server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection out of memory");
        WriteCode(server, socket, NET_REPLY_NO_MEMORY,
                  "NetServer::CreateConnection write error loc 7");
        return false;
    }
    const int handleSocket = fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (handleSocket == -1) {
        server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection out of memory");
        WriteCode(server, socket, NET_REPLY_NO_MEMORY,
                  "NetServer::CreateConnection write error loc 8");
        GiveBack(server, handle);
        return false;
    }
    ZoLock lock(server.m_TableLock);
    handle->m_nServerSocket = handleSocket;
    handle->m_ulPeerAddress = thread.m_ulPeerAddress;
    return true;
}

// The handle number, with the Unicode word from version 2 on, and the connection's Unicode
// setting in the handle; false when a version-2 peer could not be told its number.
bool Answer(NetServerImp& server, int socket, std::uint32_t version, NetHostHndl* handle) {
    const std::int32_t number = handle->m_lHandle;
    bool unicode = false;
    if (version < 2) {
        std::int32_t reply = number;
        if (!server.Xdr()->Long(socket, XDR_ENCODE, reply)) {
            server.Trace(NET_TRACE_ERROR, "NetServer::CreateConnection write error loc 9");
        }
    } else if (WriteNumberAndUnicode(server, socket, number, server.UseUnicode() != 0)) {
        unicode = server.UseUnicode() != 0;
    } else {
        server.Trace(NET_TRACE_ERROR, kTraceAnswerFailed);
        return false;
    }
    handle->m_bConnUnicode = unicode;
    handle->m_bUnicode = unicode;
    NetTraceFormat(&server, NET_TRACE_CONNECT, unicode ? kTraceHandleUnicode : "Handle %d", number);
    return true;
}

// Main thread, table lock held. Detaches what the binding attached, without the close events of
// a connection that never opened: an own event object hears NetDestroy only if it accepted
// NetCreate. The input thread then closes the connection and frees the handle.
std::int32_t Refuse(NetServerImp& server, NetConnection& connection, bool created,
                    std::int32_t status) {
    NetHostHndl* handle = connection.pHandle;
    handle->m_bActive = false;
    if (handle->m_bListenServed && handle->m_pListener != nullptr) {
        NetHostHndl* listener = handle->m_pListener;
        handle->m_pEvent = nullptr;
        handle->m_pListener = nullptr;
        handle->m_bListenServed = false;
        listener->DropConnection();  // a replaced listener goes with its last connection
    } else if (handle->m_pEvent != nullptr) {
        handle->m_bDestroyData = true;
        if (created) {
            handle->EventNetDestroy();  // its return releases the event object
        } else {
            handle->DestroyData();
        }
    }
    connection.bRefused = true;
    server.ReleaseSender(handle);
    return status;
}

}  // namespace

// Input thread. Read the connect message, admit the connection, find the service, reserve the
// handle, answer, and hand the connection over to the main thread: no call is read before the
// application has seen the connection.
NetHostHndl* NetServerImp::CreateConnection(NetInputThread& thread) {
    const int socket = thread.m_nSocket;
    NetTraceFormat(this, NET_TRACE_CONNECT, "NetServer::CreateConnection  Server socket %d",
                   socket);
    NetSetResetOnClose(socket);
    NetSetNoDelay(socket);
    ConnectRequest request;
    if (!ReadConnectMessage(*this, thread, request) || !Admit(*this, thread, request)) {
        return nullptr;
    }
    NetTraceFormat(this, NET_TRACE_CONNECT,
                   "NetServer::CreateConnection  Host %s\n\t  Service %s\n\t  Port %d",
                   request.Host(), request.Service(), thread.m_usPort);
    NetConnection connection{socket, this, nullptr, nullptr, 0, false};
    if (!FindServiceFor(*this, request, thread.m_usPort, connection) ||
        !ReserveHandle(*this, thread, request, connection.pHandle)) {
        return nullptr;
    }
    NetHostHndl* handle = connection.pHandle;
    if (!Answer(*this, socket, request.ulVersion, handle) ||
        !SendToMainThread(handle, MSG_NETCONNECT, &connection) || connection.bRefused) {
        GiveBack(*this, handle);
        return nullptr;
    }
    return handle;
}

// Main thread. Serialises the handles' binding and release with the handshakes' search for a
// free handle: both change the fields that FindFreeHndl reads, and a handle must never look free
// half-way through, or a new connection could take it while it is still being released.
std::int32_t NetServerImp::ProcessConnectMsg(NetConnection* connection) {
    Trace(NET_TRACE_DEBUG, "NetServer::ProcessConnectionMsg");
    NetHostHndl* handle = connection->pHandle;
    bool listenServed = false;
    {
        ZoLock lock(m_TableLock);
        NetRegisterNode* service = connection->pService;
        // The registry may have dropped the service while the connection waited in the pipe.
        const bool serviceKept = ServiceExists(service, connection->ullServiceSerial) &&
                                 (service != m_pListenNode || m_pListenHndl != nullptr);
        if (!serviceKept) {
            return Refuse(*this, *connection, false, NET_NO_SERVICE);
        }
        if (service == m_pListenNode) {
            handle->SetListenHndl(m_pListenHndl);
            listenServed = true;
        } else {
            NetEvent* event = service->m_pEvent != nullptr ? service->m_pEvent->Clone() : nullptr;
            if (event == nullptr) {
                return Refuse(*this, *connection, false, NET_NO_MEMORY);
            }
            handle->SetEventFunc(event);
        }
        handle->m_bConnecting = false;
    }
    // The listener's event object heard its NetCreate when it was set.
    const bool created = listenServed || handle->EventNetCreate() != 0;
    if (!created || handle->EventConnectionCreated() == 0) {
        Trace(NET_TRACE_ERROR, "NetServer::MsgUser MSG_CONNECT - Connection refused");
        ZoLock lock(m_TableLock);
        return Refuse(*this, *connection, created, NET_REFUSED);
    }
    ReleaseSender(handle);
    Trace(NET_TRACE_DEBUG, "NetServer::MsgUser  MSG_NETCONNECT complete");
    return NET_OK;
}

// A connect message on an established connection reports the binding the handshake made.
void NetServerImp::ConnectMsg(int socket, NetHostHndl* handle) {
    Trace(NET_TRACE_DEBUG, "NetServer::ConnectMsg");
    std::uint32_t version = 0;
    if (!m_pXdr->ULong(socket, XDR_DECODE, version)) {
        Trace(NET_TRACE_ERROR, kTraceConnectVersion);
        return;
    }
    char block[NET_CONNECT_BLOCK_SIZE];
    if (!m_pXdr->Read(socket, block, sizeof block)) {
        Trace(NET_TRACE_ERROR, "NetServer::ConnectMsg read loc 2");
        return;
    }
    if (version < 2) {
        WriteCode(*this, socket, handle->m_lHandle, "NetServer::ConnectMsg write loc 5");
    } else if (!WriteNumberAndUnicode(*this, socket, handle->m_lHandle, handle->m_bConnUnicode)) {
        Trace(NET_TRACE_ERROR, kTraceAnswerFailed);
    }
}
