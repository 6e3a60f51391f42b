// Connection input threads: one per accepted connection, reading one message at a time, handing
// each call to the main thread and writing its answer back.
#include "netservimp.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <sys/socket.h>
#include <typeinfo>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "net_xdr_budget.h"
#include "net_xdr_io.h"

// Descriptor ownership. The accepted socket belongs to its input thread: only that thread reads
// and writes it, and closing it is the thread's very last act (or the accept thread's, when no
// input thread starts). The handle holds a duplicate (m_nServerSocket), which only the handle
// side closes: CloseServerSocket on the main thread, or the handshake when it gives a reserved
// handle back. Either side may shut the connection down, which wakes the other; neither ever
// closes a descriptor the other still uses, so no number is closed twice or closed while a
// later connection has been given it.

namespace {

thread_local NetInputThread* t_pCurrentThread = nullptr;

// What tells the kinds of call apart on the input thread.
struct CallKind {
    const char* pszOperation;  // as the traces name it: "NetServer::<operation> ..."
    std::uint16_t usEvent;     // the main-thread event that carries the call
    const char* pszBadHandle;  // traced when the record names another handle
};
constexpr CallKind kIntegerCall{"IntegerMsg", MSG_NETINTEGER, kBadIntegerHandle};
constexpr CallKind kRealCall{"RealMsg", MSG_NETREAL, kBadRealHandle};
constexpr CallKind kStringCall{"StringMsg", MSG_NETSTRING, kBadStringHandle};
constexpr CallKind kUserCall{"UserMsg", MSG_NETUSER, kBadUserHandle};

// The connection is over for its input thread. The closed bit and the close event go together
// under the table lock; after the post the handle is the main thread's alone and may serve a
// new connection.
void PostClose(NetServerImp& server, NetHostHndl* handle) {
    ZoLock lock(server.m_TableLock);
    handle->m_bPeerClosed = true;
    server.PostEvent(MSG_CLOSE, nullptr,
                     reinterpret_cast<void*>(static_cast<std::intptr_t>(handle->m_lHandle)));
}

// Every call's receipt begins alike.
void BeginCall(NetServerImp& server, int socket, const CallKind& kind) {
    NetTraceFormat(&server, NET_TRACE_CONNECT, "NetServer::%s socket %d", kind.pszOperation,
                   socket);
    server.MessageHook();
}

// Reads one call record under the per-message decode budget. A record read only in part leaves
// the stream at no message boundary, so the connection is shut down and what arrived behind the
// record is dropped: the next identifier read fails and the connection closes the usual way.
template <typename Decode>
bool DecodeCall(NetServerImp& server, int socket, const CallKind& kind, Decode decode,
                std::uint64_t* used = nullptr) {
    NetDecodeBudget budget(server.m_Settings.ullDecodeBudget);
    if (decode()) {
        if (used != nullptr) {
            *used = budget.Used();
        }
        return true;
    }
    const int error = errno;
    shutdown(socket, SHUT_RDWR);
    if (NetRecvBuffer* received = NetRecvBuffer::Bound(socket)) {
        received->Discard();
    }
    NetTraceFormat(&server, NET_TRACE_ERROR,
                   "NetServer::%s record unreadable error %d, connection ended "
                   "(decode used %llu of %llu budget bytes)",
                   kind.pszOperation, error, static_cast<unsigned long long>(budget.Used()),
                   static_cast<unsigned long long>(server.m_Settings.ullDecodeBudget));
    errno = error;
    return false;
}

// Hands a decoded call to the main thread and waits for its answer. A record that names another
// handle than its connection's would reach another connection's event object and release the
// wrong input thread: it is answered 27 here, with the text the main thread's check would trace.
template <typename Record>
void HandOver(NetServerImp& server, NetHostHndl* handle, const CallKind& kind, Record& request) {
    if (request.lHandle != handle->m_lHandle) {
        request.ulStatus = NET_NO_HANDLE;
        NetTraceFormat(&server, NET_TRACE_ERROR, kind.pszBadHandle, request.lHandle);
        return;
    }
    const std::int32_t lost = server.SendToMainThread(handle, kind.usEvent, nullptr, &request);
    if (lost != 0) {
        request.ulStatus = static_cast<std::uint32_t>(lost);
    }
}

// The reply of an integer, real or string call: the answer alone, or with the return-data bit
// the flags, the handle number and the value as the application left them.
template <typename Record, typename Value>
void BuildReply(const Record& request, Record& reply, Value Record::*value) {
    reply.ulStatus = request.ulStatus;
    if (request.ulFlags & NET_FLAG_RETURNDATA) {
        reply.ulFlags = request.ulFlags;
        reply.lHandle = request.lHandle;
        reply.*value = request.*value;
    }
}

// An integer or real call, whose value travels inside the record: read it, hand it to the main
// thread and, unless it is one-way, write back the reply BuildReply makes of the answer.
template <typename Record, typename Value, typename Codec>
void ReceiveValueCall(NetServerImp& server, int socket, NetHostHndl* handle, const CallKind& kind,
                      Value Record::*value, Codec code) {
    BeginCall(server, socket, kind);
    Record request{};
    if (!DecodeCall(server, socket, kind, [&] { return code(XDR_DECODE, request); })) {
        return;
    }
    const bool noReply = (request.ulFlags & NET_FLAG_NOREPLY) != 0;
    HandOver(server, handle, kind, request);
    if (noReply) {
        return;
    }
    Record reply{};
    BuildReply(request, reply, value);
    code(XDR_ENCODE, reply);
}

}  // namespace

NetInputThread* NetInputThread::Current() {
    return t_pCurrentThread;
}

NetHostHndl* NetServerImp::BoundHandle(int socket) {
    NetInputThread* thread = NetInputThread::Current();
    return thread != nullptr && thread->m_nSocket == socket ? thread->m_pHandle
                                                            : NetHostFromSocket(socket);
}

void NetInputThread::ShutdownSocket() {
    std::lock_guard<std::mutex> lock(m_SocketMutex);
    if (m_nSocket != -1) {
        shutdown(m_nSocket, SHUT_RDWR);
    }
}

void NetInputThread::CloseSocket() {
    std::lock_guard<std::mutex> lock(m_SocketMutex);
    if (m_nSocket != -1) {
        close(m_nSocket);
        m_nSocket = -1;
    }
}

void NetInputThread::Run() {
    t_pCurrentThread = this;
    Serve();
    m_pServer->FlushTraceFold(m_TraceFold);
}

void NetInputThread::Serve() {
    NetServerImp* server = m_pServer;
    const int socket = m_nSocket;
    NetHostHndl* handle = server->CreateConnection(socket, m_usPort, m_ulPeerAddress);
    if (handle == nullptr) {
        server->Trace(NET_TRACE_DEBUG, "Thread handle == NULL");
        CloseSocket();
        return;
    }
    m_pHandle = handle;
    SetPriority(ZoPriorityHigh);
    if (server->m_Settings.bBatchInputThreads) {
        SetBatchScheduling(true);  // see NetSettings: a choice for machines the server owns
    }

    // One message at a time, each answered before the next identifier is read. Reads block
    // without a time-out; a shutdown from the main thread or a stopping server wakes them.
    NetXDR* xdr = server->Xdr();
    // The library's own encoder reads this connection through a buffer of its own, so that an
    // identifier and the record behind it cost one receive. An application's encoder sees every
    // read as before.
    std::optional<NetRecvBuffer> received;
    if (typeid(*xdr) == typeid(NetXDRImp)) {
        received.emplace(socket);
    }
    for (;;) {
        std::uint32_t id = 0;
        if (!xdr->ULong(socket, XDR_DECODE, id)) {
            break;
        }
        switch (id) {
            case NET_MSG_CONNECT:
                server->ConnectMsg(socket);
                break;
            case NET_MSG_INTEGER:
                server->IntegerMsg(socket, handle);
                break;
            case NET_MSG_REAL:
                server->RealMsg(socket, handle);
                break;
            case NET_MSG_STRING:
                server->StringMsg(socket, handle);
                break;
            case NET_MSG_USER:
                server->UserMsg(socket, handle);
                break;
            case NET_MSG_CLOSE:
                server->CloseMsg(socket, handle);
                CloseSocket();
                return;
            default:
                NetTraceFormat(server, NET_TRACE_ERROR,
                               "NetServer::MsgUser Unknown network message ID %ld",
                               static_cast<long>(id));
                break;
        }
    }

    // The connection is gone.
    NetTraceFormat(server, NET_TRACE_DEBUG, "ConnectionThread socket %d detected closed", socket);
    PostClose(*server, handle);
    CloseSocket();
}

void NetServerImp::IntegerMsg(int socket, NetHostHndl* handle) {
    ReceiveValueCall(
        *this, socket, handle, kIntegerCall, &MSGINTCALL::lValue,
        [&](XDR_Op op, MSGINTCALL& record) { return m_pXdr->IntCall(socket, op, record); });
}

void NetServerImp::RealMsg(int socket, NetHostHndl* handle) {
    ReceiveValueCall(
        *this, socket, handle, kRealCall, &MSGREALCALL::dValue,
        [&](XDR_Op op, MSGREALCALL& record) { return m_pXdr->RealCall(socket, op, record); });
}

// Whatever text the request holds once the application has answered is released with free():
// the decoder made it with malloc, and an answer that replaces it must have done the same.
void NetServerImp::StringMsg(int socket, NetHostHndl* handle) {
    BeginCall(*this, socket, kStringCall);
    MSGSTRINGCALL request{};
    MSGSTRINGCALL reply{};
    if (!DecodeCall(*this, socket, kStringCall,
                    [&] { return m_pXdr->StringCall(socket, XDR_DECODE, request); })) {
        m_pXdr->StringCall(-1, XDR_FREE, request);
        return;
    }
    const bool noReply = (request.ulFlags & NET_FLAG_NOREPLY) != 0;
    HandOver(*this, handle, kStringCall, request);
    if (noReply) {
        free(request.pszValue);
        return;
    }
    BuildReply(request, reply, &MSGSTRINGCALL::pszValue);
    if (reply.pszValue == nullptr) {
        free(request.pszValue);  // not sent back: without the return-data bit the reply has none
    }
    m_pXdr->StringCall(socket, XDR_ENCODE, reply);
    m_pXdr->StringCall(-1, XDR_FREE, reply);
}

// A no-reply user call goes to the main thread without waiting while the posted calls' decoded
// bytes stay within one decode budget; false, with the request untouched, beyond it.
bool NetServerImp::PostUserCall(NetHostHndl* handle, MSGUSERCALL& request, std::uint64_t used,
                                unsigned char unicode) {
    const std::uint64_t charge = std::max<std::uint64_t>(used, sizeof(MSGUSERCALL));
    if (m_ullPostedBytes.fetch_add(charge) + charge > m_Settings.ullDecodeBudget) {
        m_ullPostedBytes.fetch_sub(charge);
        return false;
    }
    NetTraceFormat(this, NET_TRACE_DEBUG, "NetServerImp::UserMsg posted handle %d",
                   request.lHandle);
    // Not waited for: the main thread gets a copy of its own, values included, and releases it
    // after the application's answer.
    MSGUSERCALL* copy = nullptr;
    if (request.lHandle != handle->m_lHandle) {
        NetTraceFormat(this, NET_TRACE_ERROR, kBadUserHandle, request.lHandle);
    } else if ((copy = new (std::nothrow) MSGUSERCALL(request)) == nullptr) {
        Trace(NET_TRACE_ERROR, "NetServer::UserMsg out of memory, call dropped");
    } else if (PostEvent(MSG_NETUSER, reinterpret_cast<void*>(1), copy, nullptr, charge)) {
        return true;
    }
    m_ullPostedBytes.fetch_sub(charge);
    m_pXdr->UserCall(-1, XDR_FREE, request, unicode);
    delete copy;
    return true;
}

void NetServerImp::UserMsg(int socket, NetHostHndl* handle) {
    BeginCall(*this, socket, kUserCall);
    const unsigned char unicode = handle->m_bConnUnicode ? 1 : 0;
    MSGUSERCALL request{};
    MSGUSERCALL reply{};
    std::uint64_t used = 0;
    if (!DecodeCall(
            *this, socket, kUserCall,
            [&] { return m_pXdr->UserCall(socket, XDR_DECODE, request, unicode); }, &used)) {
        NetTraceFormat(this, NET_TRACE_DEBUG, "NetServer::UserMsg read failed error %d", errno);
        m_pXdr->UserCall(-1, XDR_FREE, request, unicode);  // what the failed decode had built
        return;
    }

    if (request.ulFlags & NET_FLAG_NOREPLY) {
        if (PostUserCall(handle, request, used, unicode)) {
            return;
        }
        // Posted calls already hold a whole budget: this one waits for the main thread, so a
        // peer cannot queue calls faster than the application handles them.
        NetTraceFormat(this, NET_TRACE_DEBUG, "NetServerImp::UserMsg handle %d waits its turn",
                       request.lHandle);
        HandOver(*this, handle, kUserCall, request);
        m_pXdr->UserCall(-1, XDR_FREE, request, unicode);
        return;
    }

    HandOver(*this, handle, kUserCall, request);
    // The values go back as the application left them, whatever the return-data bit.
    reply.ulStatus = request.ulStatus;
    reply.lHandle = request.lHandle;
    reply.ulFlags = request.ulFlags;
    reply.pData = request.pData;
    m_pXdr->UserCall(socket, XDR_ENCODE, reply, unicode);
    m_pXdr->UserCall(-1, XDR_FREE, reply, unicode);
}

void NetServerImp::CloseMsg(int socket, NetHostHndl* handle) {
    NetTraceFormat(this, NET_TRACE_CONNECT, "NetServer::CloseMsg socket %d", socket);
    if (handle == nullptr) {
        handle = BoundHandle(socket);
    }
    if (handle == nullptr) {
        Trace(NET_TRACE_ERROR, "NetServer::CloseMsg Can't find handle");
        return;
    }
    bool active;
    {
        ZoLock lock(m_TableLock);
        active = handle->m_bActive;
    }
    if (active) {
        // Written before the close event is posted: the main thread's close shuts the
        // connection down. Not under the table lock: a peer that reads nothing could hold it.
        std::int32_t done = 1;
        m_pXdr->Long(socket, XDR_ENCODE, done);
    } else {
        NetTraceFormat(this, NET_TRACE_ERROR, "NetServer::CloseMsg Not server handle %d",
                       handle->m_lHandle);
    }
    // Posted for a handle out of service too: the main thread still has its duplicate
    // descriptor to close, and the input thread ends either way.
    PostClose(*this, handle);
}

bool NetServerImp::StartInputThread(int socket, std::uint16_t port, std::uint32_t address) {
    ReapInputThreads();
    std::lock_guard<std::mutex> lock(m_ThreadMutex);
    if (Stopping()) {
        return false;
    }
    if (m_Settings.ulMaxConnections != 0) {
        const auto live = std::count_if(m_InputThreads.begin(), m_InputThreads.end(),
                                        [](const auto& thread) { return !thread->Finished(); });
        if (static_cast<std::uint64_t>(live) >= m_Settings.ulMaxConnections) {
            NetTraceFormat(this, NET_TRACE_ERROR,
                           "NetServer::StartInputThread connection limit %u reached",
                           static_cast<unsigned>(m_Settings.ulMaxConnections));
            return false;
        }
    }
    std::unique_ptr<NetInputThread> thread(new (std::nothrow) NetInputThread);
    if (thread == nullptr) {
        return false;
    }
    thread->m_nSocket = socket;
    thread->m_usPort = port;
    thread->m_ulPeerAddress = address;
    thread->m_pServer = this;
    try {
        m_InputThreads.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (thread->Create(m_Settings.ulThreadStack, 1) == 0) {
        m_InputThreads.pop_back();
        return false;
    }
    m_InputThreads.back() = std::move(thread);
    return true;
}

void NetServerImp::ReapInputThreads() {
    std::lock_guard<std::mutex> lock(m_ThreadMutex);
    for (auto it = m_InputThreads.begin(); it != m_InputThreads.end();) {
        if ((*it)->Finished()) {
            (*it)->Join();
            it = m_InputThreads.erase(it);
        } else {
            ++it;
        }
    }
}

void NetServerImp::StopConnections() {
    // Set before any wake-up below: a thread about to hand over an event sees it after its
    // semaphore reset and does not wait (SendToMainThread).
    m_bStopping.store(true, std::memory_order_seq_cst);
    {
        std::lock_guard<std::mutex> lock(m_ThreadMutex);
        for (const auto& thread : m_InputThreads) {
            thread->ShutdownSocket();  // wakes reads and writes
        }
    }
    {
        ZoLock lock(m_TableLock);
        for (std::uint32_t i = 0; i < m_ulHandleCount && m_ppHandles[i] != nullptr; ++i) {
            m_ppHandles[i]->m_Semaphore.Post();  // wakes hand-overs the main thread will not answer
        }
        if (m_pListenHndl != nullptr) {
            m_pListenHndl->m_Semaphore.Post();
        }
    }
    std::lock_guard<std::mutex> lock(m_ThreadMutex);
    for (const auto& thread : m_InputThreads) {
        thread->Join();
    }
    m_InputThreads.clear();
}
