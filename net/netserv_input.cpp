// SPDX-License-Identifier: Apache-2.0
// Connection input threads: one per accepted connection, reading one message at a time, handing
// each call to the main thread and writing its answer back.
#include "netservimp.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "net_xdr_budget.h"
#include "net_xdr_io.h"
#include "netnodecache.h"
#include "netport.h"

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
    server.PostEvent(MSG_CLOSE,
                     reinterpret_cast<void*>(static_cast<std::intptr_t>(handle->m_lHandle)));
}

// Every call's receipt begins alike.
void BeginCall(NetServerImp& server, int socket, const CallKind& kind) {
    NetTraceFormat(&server, NET_TRACE_CONNECT, "NetServer::%s socket %d", kind.pszOperation,
                   socket);
    server.MessageHook();
}

// Reads one call record with code(XDR_DECODE, record) under the per-message decode budget and
// the server's pool. A record read only in part leaves the stream at no message boundary, so the
// connection is shut down and what arrived behind the record is dropped: the next identifier read
// fails and the connection closes the usual way. hold, when given, receives the record's share of
// the pool, to be given back once the record is released.
template <typename Record, typename Codec>
bool DecodeCall(NetServerImp& server, int socket, const CallKind& kind, Codec code, Record& record,
                NetDecodeHold* hold = nullptr) {
    const NetSettings& limits = server.m_Settings;
    NetDecodeBudget budget(limits.ullDecodeBudget, limits.usMaxReferenceDepth, &server.m_DecodePool,
                           limits.ullServerDecodeBudget);
    const bool decoded = code(XDR_DECODE, record) != 0;
    if (hold != nullptr) {
        *hold = budget.Hold();
    }
    if (decoded) {
        return true;
    }
    const int error = errno;
    shutdown(socket, SHUT_RDWR);
    if (NetRecvBuffer* received = NetRecvBuffer::Bound(socket)) {
        received->Discard();
    }
    NetTraceFormat(&server, NET_TRACE_ERROR,
                   "NetServer::%s record unreadable error %d, connection ended "
                   "(decode used %llu of %llu budget bytes, server-wide %llu of %llu)",
                   kind.pszOperation, error, static_cast<unsigned long long>(budget.Used()),
                   static_cast<unsigned long long>(limits.ullDecodeBudget),
                   static_cast<unsigned long long>(server.m_DecodePool.Used()),
                   static_cast<unsigned long long>(limits.ullServerDecodeBudget));
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
    if (!server.SendToMainThread(handle, kind.usEvent, &request)) {
        request.ulStatus = NET_SOCKET_ERROR;  // nobody answered
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
    if (!DecodeCall(server, socket, kind, code, request)) {
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

// After a failed handshake the peer may still have an answer to read (a refusal): this side
// stops sending and waits a moment for the peer to close, so that the close does not reset the
// connection under an answer the peer has not read.
void AwaitPeerClose(int socket) {
    shutdown(socket, SHUT_WR);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kNetRefusalLingerMs);
    pollfd readable{socket, POLLIN, 0};
    while (!NetRefusalRead(socket)) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        poll(&readable, 1, static_cast<int>(left.count()));
    }
}

}  // namespace

NetInputThread* NetInputThread::Current() {
    return t_pCurrentThread;
}

void NetInputThread::ShutdownSocket() {
    std::lock_guard<std::mutex> lock(m_SocketMutex);
    if (m_nSocket != -1) {
        shutdown(m_nSocket, SHUT_RDWR);
    }
}

void NetInputThread::CloseSocket() {
    m_pServer->LeaveStage(*this);
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
    NetHostHndl* handle = server->CreateConnection(*this);
    if (handle == nullptr) {
        server->Trace(NET_TRACE_DEBUG, "Thread handle == NULL");
        server->LeaveStage(*this);  // the wait below counts against no quota
        AwaitPeerClose(m_nSocket);
        CloseSocket();
        return;
    }
    SetPriority(ZoPriorityHigh);
    if (server->m_Settings.bBatchInputThreads) {
        SetBatchScheduling(true);  // see NetSettings: a choice for machines the server owns
    }
    if (!ReadMessages(handle)) {
        NetTraceFormat(server, NET_TRACE_DEBUG, "ConnectionThread socket %d detected closed",
                       m_nSocket);
        PostClose(*server, handle);
    }
    CloseSocket();
}

// One message at a time, each answered before the next identifier is read. Reads block without
// a time-out; a shutdown from the main thread or a stopping server wakes them.
bool NetInputThread::ReadMessages(NetHostHndl* handle) {
    NetServerImp* server = m_pServer;
    const int socket = m_nSocket;
    NetXDR* xdr = server->Xdr();
    // The library's own encoder reads this connection through a buffer of its own, so that an
    // identifier and the record behind it cost one receive. An application's encoder sees every
    // read as before.
    std::optional<NetRecvBuffer> received;
    if (NetOwnEncoder(*xdr)) {
        received.emplace(socket);
    }
    std::uint32_t id = 0;
    while (xdr->ULong(socket, XDR_DECODE, id)) {
        switch (id) {
            case NET_MSG_CONNECT:
                server->ConnectMsg(socket, handle);
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
                NetNodeFlush();  // a thread waiting for its next message holds no list nodes
                break;
            case NET_MSG_CLOSE:
                server->CloseMsg(socket, handle);
                return true;
            default:
                NetTraceFormat(server, NET_TRACE_ERROR,
                               "NetServer::MsgUser Unknown network message ID %ld",
                               static_cast<long>(id));
                break;
        }
    }
    return false;  // the connection is gone
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
    NetDecodeHold hold;  // given back once the texts below are released
    MSGSTRINGCALL request{};
    MSGSTRINGCALL reply{};
    const auto code = [&](XDR_Op op, MSGSTRINGCALL& record) {
        return m_pXdr->StringCall(socket, op, record);
    };
    if (!DecodeCall(*this, socket, kStringCall, code, request, &hold)) {
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

// A no-reply user call goes to the main thread without waiting while the posted calls' shares
// of the pool stay within one decode budget.
bool NetServerImp::PostUserCall(NetHostHndl* handle, MSGUSERCALL& request, NetDecodeHold& hold) {
    if (request.lHandle != handle->m_lHandle) {
        return false;  // posted, it would reach the handle it names: HandOver answers it
    }
    // The share travels with the call and pays for the copy the main thread gets as well.
    if (!hold.Grow(NetAllocCost(sizeof(MSGUSERCALL)), m_Settings.ullServerDecodeBudget)) {
        return false;
    }
    const std::uint64_t charge = hold.Bytes();
    if (m_ullPostedBytes.fetch_add(charge) + charge <= m_Settings.ullDecodeBudget) {
        // The main thread gets a copy of its own, values included, and releases it after the
        // application's answer.
        auto* copy = new (std::nothrow) MSGUSERCALL(request);
        if (copy != nullptr && PostOneWay(copy, charge)) {
            NetTraceFormat(this, NET_TRACE_DEBUG, "NetServerImp::UserMsg posted handle %d",
                           request.lHandle);
            hold.Release();  // ReleasePosted gives it back
            return true;
        }
        delete copy;
    }
    m_ullPostedBytes.fetch_sub(charge);
    return false;
}

void NetServerImp::ReleasePosted(std::uint64_t charge) {
    m_ullPostedBytes.fetch_sub(charge);
    m_DecodePool.Give(charge);
}

void NetServerImp::UserMsg(int socket, NetHostHndl* handle) {
    BeginCall(*this, socket, kUserCall);
    const unsigned char unicode = handle->m_bConnUnicode ? 1 : 0;
    NetDecodeHold hold;  // given back once the values below are released
    MSGUSERCALL request{};
    MSGUSERCALL reply{};
    const auto code = [&](XDR_Op op, MSGUSERCALL& record) {
        return m_pXdr->UserCall(socket, op, record, unicode);
    };
    if (!DecodeCall(*this, socket, kUserCall, code, request, &hold)) {
        NetTraceFormat(this, NET_TRACE_DEBUG, "NetServer::UserMsg read failed error %d", errno);
        m_pXdr->UserCall(-1, XDR_FREE, request, unicode);  // what the failed decode had built
        return;
    }

    if (request.ulFlags & NET_FLAG_NOREPLY) {
        // A large call is not queued: it waits and is released here, where its heap is. So does
        // a call while posted calls hold a whole budget, so that a peer cannot queue calls
        // faster than the application handles them.
        if (hold.Bytes() >= kNetLargeDecode || !PostUserCall(handle, request, hold)) {
            NetTraceFormat(this, NET_TRACE_DEBUG, "NetServerImp::UserMsg handle %d waits its turn",
                           request.lHandle);
            HandOver(*this, handle, kUserCall, request);
            m_pXdr->UserCall(-1, XDR_FREE, request, unicode);
        }
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

NetAdmission NetServerImp::StartInputThread(int socket, std::uint16_t port, std::uint32_t address) {
    ReapInputThreads();
    std::lock_guard<std::mutex> lock(m_ThreadMutex);
    if (Stopping()) {
        return NetAdmission::kFailed;
    }
    std::lock_guard<std::mutex> stages(m_StageMutex);
    const std::uint32_t quota = m_Settings.ulMaxHandshakes;
    if (quota != 0 && m_ulHandshakes >= quota) {
        NetTraceFormat(this, NET_TRACE_ERROR,
                       "NetServer::StartInputThread handshake quota %u reached", quota);
        return NetAdmission::kRefused;
    }
    const std::uint32_t cap = m_Settings.ulMaxConnections;
    if (cap != 0 && m_ulEstablished >= cap) {
        NetTraceFormat(this, NET_TRACE_ERROR,
                       "NetServer::StartInputThread connection limit %u reached", cap);
        return NetAdmission::kRefused;
    }
    std::unique_ptr<NetInputThread> thread(new (std::nothrow) NetInputThread);
    if (thread == nullptr) {
        return NetAdmission::kFailed;
    }
    thread->m_nSocket = socket;
    thread->m_usPort = port;
    thread->m_ulPeerAddress = address;
    thread->m_pServer = this;
    thread->m_Accepted = std::chrono::steady_clock::now();
    thread->m_eStage = NetStage::kHandshake;  // the thread needs m_StageMutex to leave it
    try {
        m_InputThreads.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        return NetAdmission::kFailed;
    }
    if (thread->Create(m_Settings.ulThreadStack, 1) == 0) {
        m_InputThreads.pop_back();
        return NetAdmission::kFailed;
    }
    ++m_ulHandshakes;
    m_InputThreads.back() = std::move(thread);
    return NetAdmission::kStarted;
}

// Caller holds m_StageMutex.
static void Uncount(NetServerImp& server, NetInputThread& thread) {
    if (thread.m_eStage == NetStage::kHandshake) {
        --server.m_ulHandshakes;
    } else if (thread.m_eStage == NetStage::kEstablished) {
        --server.m_ulEstablished;
    }
    thread.m_eStage = NetStage::kNone;
}

bool NetServerImp::Establish(NetInputThread& thread) {
    std::lock_guard<std::mutex> lock(m_StageMutex);
    Uncount(*this, thread);
    const std::uint32_t cap = m_Settings.ulMaxConnections;
    if (cap != 0 && m_ulEstablished >= cap) {
        return false;
    }
    ++m_ulEstablished;
    thread.m_eStage = NetStage::kEstablished;
    return true;
}

void NetServerImp::LeaveStage(NetInputThread& thread) {
    std::lock_guard<std::mutex> lock(m_StageMutex);
    Uncount(*this, thread);
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
