// SPDX-License-Identifier: Apache-2.0
#include "net/netclnt.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/net_xdr.h"
#include "net/netserv.h"
#include "net_xdr_budget.h"
#include "net_xdr_io.h"
#include "netservices.h"
#include "netservimp.h"
#include "netsocket.h"

namespace {

// A dotted IPv4 address is taken as it is; anything else is looked up (IPv4 only).
bool ResolveHost(const char* host, in_addr& address) {
    if (host == nullptr)
        return false;
    if (inet_pton(AF_INET, host, &address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    return true;
}

// What one answer may make the client allocate: the server's setting when the client has one,
// else the defaults and the environment, read once.
std::uint64_t DecodeBudget(NetServer* server) {
    static const std::uint64_t standalone = NetSettings::FromEnvironment().ullDecodeBudget;
    return server != nullptr ? server->Settings().ullDecodeBudget : standalone;
}

// Bounds every blocking connect, send and recv on the socket; 0 lifts the bound.
void SetWaitLimit(int socket, std::int32_t milliseconds) {
    const timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Copies at most NET_CONNECT_NAME_MAX characters; the field is already zeroed, so it stays
// NUL-terminated with at least two zero bytes.
void PutName(unsigned char* field, const char* name) {
    if (name != nullptr)
        std::memcpy(field, name, strnlen(name, NET_CONNECT_NAME_MAX));
}

// Where the four calls part ways; Call below holds the steps they share. The odd ones are
// deliberate: callers depend on which failure gives up the socket.
struct CallRules {
    bool bStatusZeroOnWire;    // the caller's status is cleared before the record goes out
    bool bWriteFailureCloses;  // a record that cannot be written gives up the socket
    bool bAnswerStatusPreset;  // the answer's status reads 1 until an answer overwrites it
    bool bReadFailureCloses;   // an answer that cannot be read gives up the socket
    bool bAnswerAllocates;     // the answer's text or values are read under the decode budget
};
// clang-format off
//                                status 0  write     status 1  read      answer
//                                on wire   closes    preset    closes    allocates
constexpr CallRules kValueCall  = {false,   true,     false,    true,     false};  // integer, real
constexpr CallRules kStringCall = {false,   true,     false,    false,    true};
constexpr CallRules kUserCall   = {true,    false,    true,     true,     true};
// clang-format on

// An answer that allocates is read under the decode budget, so a peer cannot make the client
// hold more than the budget of one message.
template <typename Read>
bool ReadAnswer(NetClient& client, bool allocates, Read read) {
    if (!allocates)
        return read();
    NetDecodeBudget budget(DecodeBudget(client.m_pNetServer));
    return read();
}

// Sends the identifier and the record, then, unless the call is one-way, reads the answer.
// code(op, record) runs the call's codec on the client's socket.
template <typename Record, typename Codec>
Record Call(NetClient& client, std::uint32_t id, Record& call, ZoErrorCode& error,
            const CallRules& rules, Codec code) {
    Record answer{};
    auto fail = [&](ZoErrorCode status, bool close) {
        if (close || client.m_lTimeoutMs > 0)
            client.CloseSocket();
        error = status;
        return answer;
    };
    if (!client.m_bConnected)
        return fail(NET_NOT_CONNECTED, false);
    {
        // The identifier and the record leave in one send (through the library's encoder):
        // one segment for the server to receive instead of two.
        NetSendGather gather(client.m_nSocket);
        if (!client.m_pXdr->ULong(client.m_nSocket, XDR_ENCODE, id))
            return fail(NET_SOCKET_ERROR, true);
        if (rules.bStatusZeroOnWire)
            call.ulStatus = 0;
        if (!code(XDR_ENCODE, call) || !gather.Send())
            return fail(NET_SOCKET_ERROR, rules.bWriteFailureCloses);
    }
    call.ulStatus = 0;
    const bool oneWay = (call.ulFlags & NET_FLAG_NOREPLY) != 0;
    if (oneWay || rules.bAnswerStatusPreset)
        answer.ulStatus = NET_OK;
    if (!oneWay &&
        !ReadAnswer(client, rules.bAnswerAllocates, [&] { return code(XDR_DECODE, answer); }))
        return fail(NET_SOCKET_ERROR, rules.bReadFailureCloses);
    error = NET_OK;
    return answer;
}

// The server's answer to a connect message: the handle number (or a refusal) and, from a
// version-2 server, the Unicode word, which that server writes together with the number.
struct HandshakeAnswer {
    std::int32_t lNumber = 0;
    unsigned char word[4] = {};  // the word's bytes that arrived with the number
    std::size_t nWordBytes = 0;
};

// Reads the number. With the library's own encoder one receive takes whatever of the number and
// the word has arrived, at most those 8 bytes, so nothing of a later message is taken.
bool ReadHandshakeAnswer(NetClient& client, bool wantWord, HandshakeAnswer& answer) {
    const int socket = client.m_nSocket;
    if (!NetOwnEncoder(*client.m_pXdr))
        return client.m_pXdr->Long(socket, XDR_DECODE, answer.lNumber) != 0;
    unsigned char bytes[8];
    const std::size_t got = NetRecvAtLeast(socket, bytes, 4, wantWord ? sizeof bytes : 4);
    if (got < 4)
        return false;
    std::uint32_t number;
    std::memcpy(&number, bytes, sizeof number);
    answer.lNumber = static_cast<std::int32_t>(ntohl(number));
    answer.nWordBytes = got - 4;
    std::memcpy(answer.word, bytes + 4, answer.nWordBytes);
    return true;
}

// Whether the Unicode word is on its way: some of it came with the number, or the socket holds
// more. A number that arrived alone comes from an older server.
bool WordWaiting(const NetClient& client, const HandshakeAnswer& answer) {
    if (answer.nWordBytes != 0)
        return true;
    pollfd ready{client.m_nSocket, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

// The waiting word: the bytes that came with the number, then the rest.
bool ReadUnicodeWord(NetClient& client, HandshakeAnswer& answer, std::uint32_t& word) {
    if (!NetOwnEncoder(*client.m_pXdr))
        return client.m_pXdr->ULong(client.m_nSocket, XDR_DECODE, word) != 0;
    const std::size_t missing = sizeof answer.word - answer.nWordBytes;
    if (missing != 0 && !client.m_pXdr->Read(client.m_nSocket, answer.word + answer.nWordBytes,
                                             static_cast<std::int32_t>(missing)))
        return false;
    std::memcpy(&word, answer.word, sizeof word);
    word = ntohl(word);
    return true;
}

// The client's traces go through its server, when it has one.
NetServerImp* Server(const NetClient& client) {
    return static_cast<NetServerImp*>(client.m_pNetServer);
}

// A socket the client holds already serves again while it is a socket.
bool ReuseSocket(NetClient& client) {
    client.Trace(NET_TRACE_DEBUG, "Attempting to reuse socket");
    if (!NetSetNoDelay(client.m_nSocket)) {
        client.m_nSocket = -1;  // not a usable socket any more; nothing of ours to close
        return false;
    }
    NetSetResetOnClose(client.m_nSocket);  // CloseSocket relies on it, as for a socket made here
    client.m_bConnected = true;
    client.Trace(NET_TRACE_DEBUG, "Socket reused");
    return true;
}

// Tries the cached address, which is forgotten either way: the host is resolved again after.
void TryCachedAddress(NetClient& client, sockaddr_in& address) {
    if (address.sin_port == 0)
        return;
    client.Trace(NET_TRACE_DEBUG, "Using cached address");
    const int rc = connect(client.m_nSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int err = errno;
    address.sin_port = 0;
    if (rc != 0)
        NetTraceFormat(Server(client), NET_TRACE_ERROR, kTraceCacheFailed, rc, err);
}

// The host's current address and port (0: the default) into address, the cache; false (traced,
// the cache cleared) when the host cannot be resolved.
bool ResolveTarget(NetClient& client, const char* host, std::uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    if (!ResolveHost(host, address.sin_addr)) {
        const int err = errno;
        std::memset(&address, 0, sizeof address);
        NetTraceFormat(Server(client), NET_TRACE_ERROR, kTraceLookupFailed,
                       host != nullptr ? host : "(null)", err);
        return false;
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(port != 0 ? port : NetDefaultPort());
    return true;
}

// The connect message, in one send: identifier, the offered version and the names.
bool SendConnectMessage(NetClient& client, const char* host, const char* service) {
    std::uint32_t id = NET_MSG_CONNECT;
    std::uint32_t version = client.m_ulVersion;
    unsigned char block[NET_CONNECT_BLOCK_SIZE] = {};
    PutName(block + NET_CONNECT_HOST_OFFSET, host);
    PutName(block + NET_CONNECT_SERVICE_OFFSET, service);
    const int socket = client.m_nSocket;
    NetSendGather gather(socket);
    return client.m_pXdr->ULong(socket, XDR_ENCODE, id) &&
           client.m_pXdr->ULong(socket, XDR_ENCODE, version) &&
           client.m_pXdr->Write(socket, block, sizeof block) && gather.Send();
}

// What an answer that is no handle number reports: a refusal by its magnitude; -1 would read as
// success and the lowest value has no magnitude, and a number above the highest handle is no
// handle number: a peer sending any of these does not speak this protocol. 0 for a handle number.
std::int32_t Refusal(std::int32_t answer) {
    if (answer < 0)
        return answer == -NET_OK || answer == INT32_MIN ? NET_SOCKET_ERROR : -answer;
    return answer > NET_LISTEN_HANDLE ? NET_SOCKET_ERROR : 0;
}

}  // namespace

NetClient::NetClient(NetServer* server, NetXDR* xdr, std::uint32_t version)
    : m_nSocket(-1),
      m_usPort(0),
      m_pXdr(xdr),
      m_pNetServer(server),
      m_ulVersion(version),
      m_bConnected(false),
      m_bUnicode(true),
      m_lTimeoutMs(0) {
    if (server != nullptr)
        m_bUnicode = server->UseUnicode() != 0;
}

NetClient::~NetClient() {
    CloseSocket();
}

void NetClient::SetTimeout(std::int32_t milliseconds) {
    m_lTimeoutMs = milliseconds > 0 ? milliseconds : 0;
    if (m_nSocket != -1)
        SetWaitLimit(m_nSocket, m_lTimeoutMs);
}

void NetClient::Trace(NETTraceLevel level, const char* message) {
    if (m_pNetServer != nullptr)
        m_pNetServer->Trace(level, message);
}

std::int32_t NetClient::CreateSocket(const char* host, sockaddr_in& address, std::uint16_t port) {
    if (m_nSocket != -1 && ReuseSocket(*this))
        return NET_OK;
    m_nSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_nSocket == -1)
        return NET_NO_SOCKET;
    if (m_lTimeoutMs > 0)
        SetWaitLimit(m_nSocket, m_lTimeoutMs);  // before connect: it bounds the connect too
    TryCachedAddress(*this, address);
    // Resolved again even after a cached connect: the cache follows the host's current address.
    if (!ResolveTarget(*this, host, port, address)) {
        close(m_nSocket);
        m_nSocket = -1;
        return NET_SOCKET_ERROR;
    }
    m_usPort = ntohs(address.sin_port);
    // EISCONN: the cached address above already connected this socket.
    if (connect(m_nSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EISCONN) {
        close(m_nSocket);
        m_nSocket = -1;
        return NET_SOCKET_ERROR;
    }
    // No TCP-level option 64 here: Linux has no option of that number.
    NetSetResetOnClose(m_nSocket);
    NetSetNoDelay(m_nSocket);
    m_bConnected = true;
    Trace(NET_TRACE_DEBUG, "Socket created");
    return NET_OK;
}

std::int32_t NetClient::CreateSocket(const char* host, std::uint16_t port) {
    sockaddr_in address{};
    return CreateSocket(host, address, port);
}

void NetClient::CloseSocket() {
    if (m_bConnected) {
        // CreateSocket gave the socket its zero linger: the close resets the connection.
        shutdown(m_nSocket, SHUT_WR);
        close(m_nSocket);
        m_nSocket = -1;
    }
    m_bConnected = false;
}

void NetClient::DestroySocket() {
    if (m_nSocket != -1) {
        NetSetResetOnClose(m_nSocket);
        shutdown(m_nSocket, SHUT_RDWR);
        close(m_nSocket);
        m_nSocket = -1;
    }
    m_bConnected = false;
}

std::int32_t NetClient::ConnectMsg(const char* host, const char* service, std::int32_t& handle) {
    if (!m_bConnected)
        return NET_NOT_CONNECTED;
    HandshakeAnswer answer;
    if (!SendConnectMessage(*this, host, service) ||
        !ReadHandshakeAnswer(*this, m_ulVersion >= 2, answer)) {
        CloseSocket();
        return NET_SOCKET_ERROR;
    }
    if (const std::int32_t refusal = Refusal(answer.lNumber)) {
        CloseSocket();
        return refusal;
    }
    if (m_ulVersion >= 2) {
        // The server sends the handle and the Unicode word in one write; a handle alone comes
        // from an older server, which the caller meets with a lower version.
        if (!WordWaiting(*this, answer)) {
            CloseSocket();
            return NET_BAD_VERSION;
        }
        std::uint32_t unicode = 0;
        if (!ReadUnicodeWord(*this, answer, unicode)) {
            CloseSocket();
            return NET_SOCKET_ERROR;
        }
        m_bUnicode = (unicode & 1) != 0;
    } else {
        m_bUnicode = false;  // below version 2 the server never uses Unicode strings
    }
    handle = answer.lNumber;
    return NET_OK;
}

MSGINTCALL NetClient::IntegerMsg(MSGINTCALL& call, ZoErrorCode& error) {
    return Call(
        *this, NET_MSG_INTEGER, call, error, kValueCall,
        [this](XDR_Op op, MSGINTCALL& record) { return m_pXdr->IntCall(m_nSocket, op, record); });
}

MSGREALCALL NetClient::RealMsg(MSGREALCALL& call, ZoErrorCode& error) {
    return Call(
        *this, NET_MSG_REAL, call, error, kValueCall,
        [this](XDR_Op op, MSGREALCALL& record) { return m_pXdr->RealCall(m_nSocket, op, record); });
}

MSGSTRINGCALL NetClient::StringMsg(MSGSTRINGCALL& call, ZoErrorCode& error) {
    return Call(*this, NET_MSG_STRING, call, error, kStringCall,
                [this](XDR_Op op, MSGSTRINGCALL& record) {
                    return m_pXdr->StringCall(m_nSocket, op, record);
                });
}

MSGUSERCALL NetClient::UserMsg(MSGUSERCALL& call, ZoErrorCode& error) {
    return Call(*this, NET_MSG_USER, call, error, kUserCall,
                [this](XDR_Op op, MSGUSERCALL& record) {
                    return m_pXdr->UserCall(m_nSocket, op, record, m_bUnicode);
                });
}

std::int32_t NetClient::CloseMsg(std::int32_t /*handle*/) {
    // The server knows the connection by its socket; the handle number is not sent.
    if (!m_bConnected)
        return NET_NOT_CONNECTED;
    std::uint32_t id = NET_MSG_CLOSE;
    std::int32_t answer = 0;
    if (!m_pXdr->ULong(m_nSocket, XDR_ENCODE, id) || !m_pXdr->Long(m_nSocket, XDR_DECODE, answer)) {
        if (m_lTimeoutMs > 0)
            CloseSocket();  // see SetTimeout
        return NET_SOCKET_ERROR;
    }
    CloseSocket();
    return NET_OK;
}
