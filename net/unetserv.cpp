// SPDX-License-Identifier: Apache-2.0
// The main thread's events: input threads post fixed-size event records into a queue in memory
// and ring the doorbell, a pipe registered with the input loop, only when it is silent; the
// input loop calls InputSyncFunc on the main thread, which hands a batch of records to their
// handlers and silences the doorbell once the queue is empty.
#include "netservimp.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "netnode.h"

namespace {

// The doorbell holds a byte from the post that found it silent until the main thread has
// emptied the queue: the input loop sees it readable while any event waits, and a post that
// finds it ringing costs no system call. Each side stores first and then looks at the other's
// store (a full fence between), so either the poster sees the doorbell silenced and rings it,
// or the main thread sees the new event and serves it.
void RingDoorbell(NetServerImp& server) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (server.m_bRung.load(std::memory_order_relaxed) || server.m_bRung.exchange(true)) {
        return;
    }
    const char byte = 1;
    while (write(server.m_nPipeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
}

// Main thread. False when the doorbell was silent already.
bool SilenceDoorbell(NetServerImp& server) {
    if (!server.m_bRung.load(std::memory_order_relaxed)) {
        return false;
    }
    char bytes[64];  // one byte, or a few when a ring and a silencing crossed
    while (read(server.m_nPipeRead, bytes, sizeof bytes) < 0 && errno == EINTR) {
    }
    server.m_bRung.store(false, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return true;
}

}  // namespace

// Every event goes through here; record is all the event says.
static bool Post(NetServerImp& server, const NetEventRecord& record) {
    if (server.m_nPipeWrite == -1) {
        NetTraceFormat(&server, NET_TRACE_ERROR,
                       "NetServer::PostEvent no event pipe, event %x lost", record.usId);
        return false;
    }
    if (!server.m_Events.Push(record)) {
        NetTraceFormat(&server, NET_TRACE_ERROR, "NetServer::PostEvent out of memory event %x",
                       record.usId);
        return false;
    }
    RingDoorbell(server);
    return true;
}

bool NetServerImp::PostEvent(std::uint16_t id, void* data, NetHostHndl* sender) {
    return Post(*this, NetEventRecord{id, false, data, sender, 0});
}

bool NetServerImp::PostOneWay(MSGUSERCALL* call, std::uint64_t charge) {
    return Post(*this, NetEventRecord{MSG_NETUSER, true, call, nullptr, charge});
}

bool NetServerImp::SendToMainThread(NetHostHndl* handle, std::uint16_t id, void* data) {
    handle->m_Semaphore.Reset();
    // Checked after the reset: StopConnections sets the flag before it posts every semaphore,
    // so a stop that comes later still releases the wait below.
    if (Stopping() || !PostEvent(id, data, handle)) {
        return false;  // nobody will answer: do not wait
    }
    handle->m_Semaphore.Wait();
    // Woken by a stop, the event may still be queued, unanswered.
    return !Stopping();
}

namespace {

// The sender of a waited-for event is released by the handler that answers it; an event that
// no handle answered (27) releases it here, so no input thread waits for an answer never coming.
void ReleaseUnanswered(NetServerImp& server, const NetEventRecord& record, std::int32_t status) {
    if (status == NET_NO_HANDLE && record.pSender != nullptr) {
        server.ReleaseSender(record.pSender);
    }
}

void Dispatch(NetServerImp& server, const NetEventRecord& record) {
    NetHostHndl* sender = record.pSender;
    switch (record.usId) {
        case MSG_NETINTEGER:
            ReleaseUnanswered(
                server, record,
                server.ProcessIntegerMsg(static_cast<MSGINTCALL*>(record.pData), sender));
            break;
        case MSG_NETREAL:
            ReleaseUnanswered(
                server, record,
                server.ProcessRealMsg(static_cast<MSGREALCALL*>(record.pData), sender));
            break;
        case MSG_NETSTRING:
            ReleaseUnanswered(
                server, record,
                server.ProcessStringMsg(static_cast<MSGSTRINGCALL*>(record.pData), sender));
            break;
        case MSG_NETCONNECT:
            server.ProcessConnectMsg(static_cast<NetConnection*>(record.pData));
            break;
        case MSG_CLOSE:
            server.ProcessCloseMsg(
                static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(record.pData)));
            break;
        case MSG_NETUSER: {
            const std::int32_t status = server.ProcessUserMsg(
                static_cast<MSGUSERCALL*>(record.pData), record.bPosted, sender);
            if (!record.bPosted) {
                ReleaseUnanswered(server, record, status);
            } else {
                server.ReleasePosted(record.ullCharge);
            }
            break;
        }
        default:
            break;  // not an event of this server
    }
}

}  // namespace

void NetServerImp::ServeEvents() {
    m_bServing = true;
    ServeBatch();
    m_bServing = false;
    // The answered input threads go on together once the batch is done: one woken in the
    // middle of it could take the CPU from the main thread while other calls wait.
    for (NetHostHndl* handle : m_Released) {
        handle->m_Semaphore.Post();
    }
    m_Released.clear();
}

// What is left after a batch keeps the doorbell ringing, so the input loop calls again.
void NetServerImp::ServeBatch() {
    const std::uint32_t batch = m_Settings.ulEventBatch != 0 ? m_Settings.ulEventBatch : 1;
    NetEventRecord record;
    for (std::uint32_t served = 0; served < batch;) {
        if (m_Events.Pop(record)) {
            Dispatch(*this, record);
            ++served;
        } else if (!SilenceDoorbell(*this) || !m_Events.Ready()) {
            return;
        } else {
            // Posted while the doorbell was being silenced: those posts found it still ringing.
            RingDoorbell(*this);
        }
    }
}

void NetServerImp::ReleaseSender(NetHostHndl* handle) {
    if (m_bServing) {
        try {
            m_Released.push_back(handle);
            return;
        } catch (const std::bad_alloc&) {
            // released at once instead
        }
    }
    handle->m_Semaphore.Post();
}

extern "C" void InputSyncFunc(void* server, int /*fd*/) {
    static_cast<NetServerImp*>(server)->ServeEvents();
}

namespace {

// A call on the main thread: the handle its record names answers it through deliver and, when
// the input thread waits for the answer (release), lets that thread go on. The waiting sender
// is that handle when the numbers agree (its input thread checked them); only other records
// are looked up. A record naming no handle is answered 27.
template <typename Record, typename Deliver>
std::int32_t ServeCall(NetServerImp& server, Record* record, NetHostHndl* sender,
                       const char* traceFormat, const char* badHandleFormat, bool release,
                       Deliver deliver) {
    NetTraceFormat(&server, NET_TRACE_DEBUG, traceFormat, record->lHandle);
    NetHostHndl* handle = sender != nullptr && sender->m_lHandle == record->lHandle
                              ? sender
                              : server.NetHost(record->lHandle);
    if (handle == nullptr) {
        record->ulStatus = NET_NO_HANDLE;
        NetTraceFormat(&server, NET_TRACE_ERROR, badHandleFormat, record->lHandle);
        return NET_NO_HANDLE;
    }
    record->ulStatus = static_cast<std::uint32_t>(deliver(*handle));
    if (release) {
        server.ReleaseSender(handle);
    }
    return NET_OK;
}

}  // namespace

std::int32_t NetServerImp::ProcessIntegerMsg(MSGINTCALL* record, NetHostHndl* sender) {
    return ServeCall(*this, record, sender, "NetServer::MsgUser  MSG_NETINTEGER handle %d",
                     kBadIntegerHandle, true, [record](NetHostHndl& handle) {
                         return handle.EventIntegerData(&record->lValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessRealMsg(MSGREALCALL* record, NetHostHndl* sender) {
    return ServeCall(*this, record, sender, "NetServer::MsgUser  MSG_NETREAL handle %d",
                     kBadRealHandle, true, [record](NetHostHndl& handle) {
                         return handle.EventRealData(&record->dValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessStringMsg(MSGSTRINGCALL* record, NetHostHndl* sender) {
    return ServeCall(*this, record, sender, "NetServer::MsgUser  MSG_NETSTRING %d",
                     kBadStringHandle, true, [record](NetHostHndl& handle) {
                         return handle.EventStringData(&record->pszValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessUserMsg(MSGUSERCALL* record, bool posted, NetHostHndl* sender) {
    const std::int32_t result =
        ServeCall(*this, record, sender, "NetServer::MsgUser  MSG_NETUSER handle %d",
                  kBadUserHandle, !posted, [record](NetHostHndl& handle) {
                      return handle.EventUserData(record->pData, record->ulFlags);
                  });
    if (posted) {
        // The input thread went on without waiting: the copy and its values are ours to release.
        m_pXdr->UserCall(-1, XDR_FREE, *record, 0);
        delete record;
    }
    return result;
}

// Main thread. The table lock is held through the release for the reason given at
// ProcessConnectMsg (netserv_handshake.cpp): CloseServer is what makes the handle free for the next
// connection.
std::int32_t NetServerImp::ProcessCloseMsg(std::int32_t number) {
    ZoLock lock(m_TableLock);
    NetHostHndl* handle = NetHost(number);
    if (handle == nullptr) {
        Trace(NET_TRACE_ERROR, "NetServer::MsgUser  MSG_CLOSE Can't get handle");
        return NET_NO_HANDLE;
    }
    NetTraceFormat(this, NET_TRACE_DEBUG, "NetServer::MsgUser  MSG_CLOSE handle %d",
                   handle->m_lHandle);
    if (!handle->m_bActive) {
        // CloseServer only forgets the descriptor of a handle out of service; this close event
        // is the last chance to give the handle's duplicate back.
        handle->CloseServerSocket();
    }
    handle->CloseServer();
    // Posted at once, under the table lock: the handle is free from here, and a post deferred to
    // the end of the batch would wake the next connection that takes it before its own answer.
    handle->m_Semaphore.Post();
    Trace(NET_TRACE_DEBUG, "ProcessCloseMsg complete");
    return NET_OK;
}

namespace {

// What an event still queued owns when nobody will handle it: only the heap copy of a posted
// user call. Every other record points at a stack that is gone, or carries a number.
void DiscardEvent(NetXDR* xdr, const NetEventRecord& record) {
    if (record.usId != MSG_NETUSER || !record.bPosted) {
        return;
    }
    auto* call = static_cast<MSGUSERCALL*>(record.pData);
    if (xdr != nullptr) {
        xdr->UserCall(-1, XDR_FREE, *call, 0);
    }
    delete call;
}

}  // namespace

void NetServerImp::DrainEvents() {
    NetEventRecord record;
    while (m_Events.Pop(record)) {
        DiscardEvent(m_pXdr, record);
    }
}
