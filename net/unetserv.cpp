// The main-thread event pipe: input threads post fixed-size event records, the input loop calls
// InputSyncFunc on the main thread, which reads one record and hands it to its handler.
#include "netservimp.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "netnode.h"

// A record shorter than PIPE_BUF is written all at once or not at all, so records never
// interleave and a reader always finds whole records in the pipe.
static_assert(sizeof(NetEventRecord) <= PIPE_BUF, "event records must be written atomically");

namespace {

NetEventRecord MakeRecord(std::uint16_t id, void* word, void* data, NetHostHndl* sender,
                          std::uint64_t charge) {
    NetEventRecord record;
    std::memset(&record, 0, sizeof record);  // no stray padding bytes go through the pipe
    record.usId = id;
    record.pWord = word;
    record.pData = data;
    record.pSender = sender;
    record.ullCharge = charge;
    return record;
}

// Moves queued records into the pipe while it takes them, oldest first. Caller holds m_PipeLock.
void FlushOverflow(NetServerImp& server) {
    while (!server.m_Overflow.empty()) {
        const ssize_t n =
            write(server.m_nPipeWrite, &server.m_Overflow.front(), sizeof(NetEventRecord));
        if (n == static_cast<ssize_t>(sizeof(NetEventRecord))) {
            server.m_Overflow.pop_front();
            server.m_bOverflow.store(!server.m_Overflow.empty());
        } else if (!(n < 0 && errno == EINTR)) {
            break;  // full again, or broken: what stays is read or drained later
        }
    }
}

}  // namespace

std::int32_t NetServerImp::PostEvent(std::uint16_t id, void* word, void* data, NetHostHndl* sender,
                                     std::uint64_t charge) {
    const NetEventRecord record = MakeRecord(id, word, data, sender, charge);
    ZoLock lock(m_PipeLock);
    // Once records wait in the overflow, later ones queue behind them to keep the order.
    if (m_Overflow.empty()) {
        for (;;) {
            const ssize_t written = write(m_nPipeWrite, &record, sizeof record);
            if (written == static_cast<ssize_t>(sizeof record)) {
                return 1;
            }
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;  // the pipe is full: the main thread is busy, queue instead of blocking
            }
            NetTraceFormat(this, NET_TRACE_ERROR, "NetServer::PostEvent write error %d event %x",
                           written < 0 ? errno : 0, id);
            return 0;
        }
    }
    try {
        m_Overflow.push_back(record);
        m_bOverflow.store(true);
    } catch (const std::bad_alloc&) {
        NetTraceFormat(this, NET_TRACE_ERROR, "NetServer::PostEvent out of memory event %x", id);
        return 0;
    }
    // The main thread may have emptied the pipe before it could see the flag: try once more, so
    // a record never waits in the overflow behind an empty pipe.
    FlushOverflow(*this);
    return 1;
}

std::int32_t NetServerImp::SendToMainThread(NetHostHndl* handle, std::uint32_t id, void* word,
                                            void* data) {
    if (handle != nullptr) {
        handle->m_Semaphore.Reset();
    } else {
        fputs("Handle == NULL\n", stderr);
    }
    // Checked after the reset: StopConnections sets the flag before it posts every semaphore,
    // so a stop that comes later still releases the wait below.
    if (Stopping()) {
        return NET_SOCKET_ERROR;
    }
    if (!PostEvent(static_cast<std::uint16_t>(id), word, data, handle)) {
        return NET_SOCKET_ERROR;  // nobody will answer: do not wait
    }
    if (handle == nullptr) {
        return 0;
    }
    handle->m_Semaphore.Wait();
    // Woken by a stop, the event may still be in the pipe, unanswered.
    return Stopping() ? NET_SOCKET_ERROR : 0;
}

bool NetServerImp::ReadEvent(NetEventRecord& record) {
    auto* bytes = reinterpret_cast<unsigned char*>(&record);
    std::size_t got = 0;
    while (got < sizeof record) {
        const ssize_t n = read(m_nPipeRead, bytes + got, sizeof record - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Empty (a non-blocking read end) or closed: nothing to dispatch. Records go in whole, so
        // a part of one can only be the sign of a broken pipe.
        if (got != 0) {
            NetTraceFormat(this, NET_TRACE_ERROR, "NetServer::ReadEvent short record error %d",
                           n < 0 ? errno : 0);
        }
        return false;
    }

    // The room just made goes to the records that found the pipe full, oldest first. The flag
    // spares the common case the lock: the writer that just woke us may still hold it.
    if (!m_bOverflow.load()) {
        return true;
    }
    ZoLock lock(m_PipeLock);
    FlushOverflow(*this);
    return true;
}

namespace {

// The sender of a waited-for event is released by the handler that answers it; an event that
// no handle answered (27) releases it here, so no input thread waits for an answer never coming.
void ReleaseUnanswered(const NetEventRecord& record, std::int32_t status) {
    if (status == NET_NO_HANDLE && record.pSender != nullptr) {
        record.pSender->m_Semaphore.Post();
    }
}

void Dispatch(NetServerImp& server, const NetEventRecord& record) {
    switch (record.usId) {
        case MSG_NETINTEGER:
            ReleaseUnanswered(record,
                              server.ProcessIntegerMsg(static_cast<MSGINTCALL*>(record.pData)));
            break;
        case MSG_NETREAL:
            ReleaseUnanswered(record,
                              server.ProcessRealMsg(static_cast<MSGREALCALL*>(record.pData)));
            break;
        case MSG_NETSTRING:
            ReleaseUnanswered(record,
                              server.ProcessStringMsg(static_cast<MSGSTRINGCALL*>(record.pData)));
            break;
        case MSG_NETCONNECT:
            server.ProcessConnectMsg(static_cast<NetConnection*>(record.pData));
            break;
        case MSG_CLOSE:
            server.ProcessCloseMsg(
                static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(record.pData)));
            break;
        case MSG_NETUSER: {
            const unsigned char posted = record.pWord != nullptr ? 1 : 0;
            const std::int32_t status =
                server.ProcessUserMsg(static_cast<MSGUSERCALL*>(record.pData), posted);
            if (!posted) {
                ReleaseUnanswered(record, status);
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

extern "C" void InputSyncFunc(void* server, int /*fd*/) {
    auto* self = static_cast<NetServerImp*>(server);
    NetEventRecord record;
    if (self->ReadEvent(record)) {
        Dispatch(*self, record);
    }
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
            return RefuseConnection(connection, false, NET_NO_SERVICE);
        }
        if (service == m_pListenNode) {
            handle->SetListenHndl(m_pListenHndl);
            listenServed = true;
        } else {
            NetEvent* event = service->m_pEvent != nullptr ? service->m_pEvent->Clone() : nullptr;
            if (event == nullptr) {
                return RefuseConnection(connection, false, NET_NO_MEMORY);
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
        return RefuseConnection(connection, created, NET_REFUSED);
    }
    handle->m_Semaphore.Post();
    Trace(NET_TRACE_DEBUG, "NetServer::MsgUser  MSG_NETCONNECT complete");
    return NET_OK;
}

// Main thread, table lock held. Detaches what the binding attached, without the close events of
// a connection that never opened: an own event object hears NetDestroy only if it accepted
// NetCreate. The input thread then closes the connection and frees the handle.
std::int32_t NetServerImp::RefuseConnection(NetConnection* connection, bool created,
                                            std::int32_t status) {
    NetHostHndl* handle = connection->pHandle;
    handle->m_bActive = false;
    if (handle->m_bListenServed && handle->m_pListener != nullptr) {
        NetHostHndl* listener = handle->m_pListener;
        handle->m_pEvent = nullptr;
        handle->m_pListener = nullptr;
        handle->m_bListenServed = false;
        if (listener->m_usConnectCount != 0 && --listener->m_usConnectCount == 0) {
            listener->m_bDestroyData = true;
            listener->Destroy();  // a replaced listener goes with its last connection
        }
    } else if (handle->m_pEvent != nullptr) {
        handle->m_bDestroyData = true;
        if (created) {
            handle->EventNetDestroy();  // its return releases the event object
        } else {
            handle->DestroyData();
        }
    }
    connection->bRefused = true;
    handle->m_Semaphore.Post();
    return status;
}

namespace {

// A call on the main thread: the handle its record names answers it through deliver and, when
// the input thread waits for the answer (release), lets that thread go on. A record naming no
// handle is answered 27.
template <typename Record, typename Deliver>
std::int32_t ServeCall(NetServerImp& server, Record* record, const char* traceFormat,
                       const char* badHandleFormat, bool release, Deliver deliver) {
    NetTraceFormat(&server, NET_TRACE_DEBUG, traceFormat, record->lHandle);
    NetHostHndl* handle = server.NetHost(record->lHandle);
    if (handle == nullptr) {
        record->ulStatus = NET_NO_HANDLE;
        NetTraceFormat(&server, NET_TRACE_ERROR, badHandleFormat, record->lHandle);
        return NET_NO_HANDLE;
    }
    record->ulStatus = static_cast<std::uint32_t>(deliver(*handle));
    if (release) {
        handle->m_Semaphore.Post();
    }
    return NET_OK;
}

}  // namespace

std::int32_t NetServerImp::ProcessIntegerMsg(MSGINTCALL* record) {
    return ServeCall(*this, record, "NetServer::MsgUser  MSG_NETINTEGER handle %d",
                     kBadIntegerHandle, true, [record](NetHostHndl& handle) {
                         return handle.EventIntegerData(&record->lValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessRealMsg(MSGREALCALL* record) {
    return ServeCall(*this, record, "NetServer::MsgUser  MSG_NETREAL handle %d", kBadRealHandle,
                     true, [record](NetHostHndl& handle) {
                         return handle.EventRealData(&record->dValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessStringMsg(MSGSTRINGCALL* record) {
    return ServeCall(*this, record, "NetServer::MsgUser  MSG_NETSTRING %d", kBadStringHandle, true,
                     [record](NetHostHndl& handle) {
                         return handle.EventStringData(&record->pszValue, record->ulFlags);
                     });
}

std::int32_t NetServerImp::ProcessUserMsg(MSGUSERCALL* record, unsigned char posted) {
    const std::int32_t result =
        ServeCall(*this, record, "NetServer::MsgUser  MSG_NETUSER handle %d", kBadUserHandle,
                  !posted, [record](NetHostHndl& handle) {
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
// ProcessConnectMsg: CloseServer is what makes the handle free for the next connection.
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
    handle->m_Semaphore.Post();
    Trace(NET_TRACE_DEBUG, "ProcessCloseMsg complete");
    return NET_OK;
}

namespace {

// What a record still in the pipe owns when nobody will handle it: only the heap copy of a
// posted user call. Every other record points at a stack that is gone, or carries a number.
void DiscardEvent(NetXDR* xdr, const NetEventRecord& record) {
    if (record.usId != MSG_NETUSER || record.pWord == nullptr) {
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
    if (m_nPipeRead != -1) {
        // The read end blocks for the input loop's sake; emptying it must not.
        const int flags = fcntl(m_nPipeRead, F_GETFL);
        if (flags != -1) {
            fcntl(m_nPipeRead, F_SETFL, flags | O_NONBLOCK);
        }
        NetEventRecord record;
        while (ReadEvent(record)) {
            DiscardEvent(m_pXdr, record);
        }
    }
    ZoLock lock(m_PipeLock);
    for (const NetEventRecord& record : m_Overflow) {
        DiscardEvent(m_pXdr, record);
    }
    m_Overflow.clear();
    m_bOverflow.store(false);
}
