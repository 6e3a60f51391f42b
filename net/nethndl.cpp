// SPDX-License-Identifier: Apache-2.0
#include "net/nethndl.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "netservices.h"
#include "netservimp.h"
#include "zo/zostring.h"

namespace {

const char* Printable(const char* name) {
    return name != nullptr ? name : "(null)";
}

// Brackets one call into the application with the callback accounting. The handle may be gone
// when this returns.
template <typename Call>
std::int32_t Deliver(NetHostHndl* handle, NetEvent* event, Call call) {
    if (event == nullptr)
        return NET_NO_EVENT;
    handle->MakeCall();
    std::int32_t result = call(event);
    handle->ReturnCall();
    return result;
}

}  // namespace

NetHostHndl::NetHostHndl(std::int32_t handle, NetServerImp* server, NetHostHndl* listener)
    : NetClient(server, server->Xdr(), NET_PROTOCOL_VERSION),
      m_pEvent(nullptr),
      m_pServerImp(server),
      m_Address{},
      m_nServerSocket(-1),
      m_usServicePort(0),
      m_ulPeerAddress(0),
      m_lHandle(handle),
      m_pListener(listener),
      m_pszHost(nullptr),
      m_pszService(nullptr),
      m_usCallCount(0),
      m_usConnectCount(0),
      m_bActive(false),
      m_bListenServed(false),
      m_bDestroyData(false),
      m_bDeletePending(false),
      m_bConnecting(true),
      m_bPeerClosed(false),
      m_bConnUnicode(server->UseUnicode() != 0),
      m_usListenerCalls(0) {
    m_bUnicode = m_bConnUnicode;
}

NetHostHndl::~NetHostHndl() {
    CloseClient();
    NetEvent* event = m_pEvent;
    m_pEvent = nullptr;
    if (!BorrowsEvent())
        delete event;
    free(m_pszHost);
    free(m_pszService);
    m_pszHost = m_pszService = nullptr;
    m_Semaphore.Post();  // an input thread still waiting for this handle must not stay blocked
    CloseServerSocket();
}

bool NetHostHndl::BorrowsEvent() const {
    return m_pListener != nullptr && m_bListenServed;
}

void NetHostHndl::Destroy() {
    if (!InCall() && m_usConnectCount == 0) {
        delete this;
        return;
    }
    m_bDeletePending = true;
}

void NetHostHndl::UseHandle(const char* host, const char* service) {
    m_bDestroyData = false;
    m_bDeletePending = false;
    m_usCallCount = 0;
    m_usListenerCalls = 0;
    if (m_pszHost == nullptr && host != nullptr)
        m_pszHost = strdup(host);

    char name[NET_CONNECT_FIELD_SIZE] = {};
    if (service != nullptr)
        std::strncpy(name, service, sizeof name - 1);
    char* colon = std::strchr(name, ':');
    if (colon != nullptr)
        *colon = '\0';
    // Names already held stay: a reused handle was found by matching them.
    if (m_pszService == nullptr && service != nullptr)
        m_pszService = strdup(name);

    m_usServicePort = colon == nullptr ? m_pServerImp->Port() : NetPortFromText(colon + 1);
}

void NetHostHndl::SetEventFunc(NetEvent* event) {
    m_pEvent = event;
    m_bListenServed = false;  // an own event object, even on a handle the listener once served
    if (event != nullptr)
        event->SetHndl(this);
    m_bActive = true;
}

void NetHostHndl::SetListen(NetEvent* event) {
    m_pEvent = event;
    m_bActive = true;
}

void NetHostHndl::SetListenHndl(NetHostHndl* listener) {
    m_pListener = listener;
    ++listener->m_usConnectCount;
    m_pEvent = listener->m_pEvent;
    if (m_pEvent != nullptr)
        m_pEvent->SetHndl(this);
    m_bActive = true;
    m_bListenServed = true;
}

std::int32_t NetHostHndl::AcceptConnection(NetEvent* event) {
    // Only from inside a callback of this connection on the listener's event object: that
    // callback's return settles the takeover with the listener.
    if (m_pListener == nullptr || !m_bListenServed || !m_bActive || m_usListenerCalls == 0 ||
        event == nullptr)
        return NET_NO_EVENT;
    m_bListenServed = false;
    m_pEvent = event;
    event->SetHndl(this);
    EventNetCreate();
    return NET_OK;
}

unsigned char NetHostHndl::MatchHost(const char* host) {
    if (host == nullptr || m_pszHost == nullptr)
        return host == nullptr && m_pszHost == nullptr;
    return ZOR_NLS_stricmp(host, m_pszHost) == 0;
}

unsigned char NetHostHndl::MatchService(const char* service) {
    bool none = service == nullptr || *service == '\0';
    bool mineNone = m_pszService == nullptr || *m_pszService == '\0';
    if (none || mineNone)
        return none && mineNone;
    return ZOR_NLS_stricmp(service, m_pszService) == 0;
}

// Callback accounting. A call into a listener-served connection counts on the listener, whose
// event object is running; m_usListenerCalls remembers how many of those this handle started,
// so that their returns find the listener again after a takeover or a close.
void NetHostHndl::MakeCall() {
    if (m_bListenServed && m_pListener != nullptr) {
        m_pListener->MakeCall();
        ++m_usListenerCalls;
    } else {
        ++m_usCallCount;
    }
}

unsigned char NetHostHndl::InCall() {
    NetHostHndl* handle = this;
    while (handle->m_lHandle != NET_LISTEN_HANDLE && handle->m_pListener != nullptr)
        handle = handle->m_pListener;
    return handle->m_usCallCount > 0;
}

void NetHostHndl::ReturnCall() {
    // Calls counted here: any call without a listener, and after a takeover those made since,
    // which return before the listener's call that encloses them.
    if (m_pListener == nullptr || m_usListenerCalls == 0 ||
        (!m_bListenServed && m_usCallCount > 0)) {
        --m_usCallCount;
        DestroyData();  // may delete this handle
        return;
    }

    NetHostHndl* listener = m_pListener;
    --m_usListenerCalls;
    // The last listener call of a connection taken over, or closed inside its own callback,
    // detaches it from the listener.
    bool detach = m_usListenerCalls == 0 && (!m_bListenServed || !m_bActive);
    if (detach) {
        if (m_bListenServed)
            m_pEvent = nullptr;  // the listener's event object, only borrowed
        m_pListener = nullptr;
        listener->DropConnection();
    }
    listener->ReturnCall();  // may delete the listener
    if (detach)
        DestroyData();  // may delete this handle
}

void NetHostHndl::DropConnection() {
    if (m_usConnectCount == 0) {  // the accounting never gets here; a wrap would keep it forever
        m_pServerImp->Trace(NET_TRACE_ERROR,
                            "NetHostHndl::DropConnection assertion m_usConnectCount != 0");
        return;
    }
    if (--m_usConnectCount == 0) {
        m_bDestroyData = true;
        Destroy();  // may delete this handle
    }
}

void NetHostHndl::DestroyData() {
    if (!m_bDestroyData || InCall() || m_usConnectCount != 0)
        return;
    NetEvent* event = m_pEvent;
    m_pEvent = nullptr;
    if (!BorrowsEvent())
        delete event;
    m_bDestroyData = false;
    if (m_bDeletePending)
        delete this;
}

std::int32_t NetHostHndl::EventNetCreate() {
    return Deliver(this, m_pEvent, [](NetEvent* e) { return e->NetCreate(); });
}

std::int32_t NetHostHndl::EventNetDestroy() {
    return Deliver(this, m_pEvent, [](NetEvent* e) { return e->NetDestroy(); });
}

std::int32_t NetHostHndl::EventConnectionCreated() {
    return Deliver(this, m_pEvent, [](NetEvent* e) { return e->ConnectionCreated(); });
}

std::int32_t NetHostHndl::EventConnectionClosed() {
    return Deliver(this, m_pEvent, [](NetEvent* e) { return e->ConnectionClosed(); });
}

std::int32_t NetHostHndl::EventIntegerData(std::int32_t* value, std::uint32_t& flags) {
    return Deliver(this, m_bActive ? m_pEvent : nullptr,
                   [&](NetEvent* e) { return e->IntegerData(value, flags); });
}

std::int32_t NetHostHndl::EventRealData(double* value, std::uint32_t& flags) {
    return Deliver(this, m_bActive ? m_pEvent : nullptr,
                   [&](NetEvent* e) { return e->RealData(value, flags); });
}

std::int32_t NetHostHndl::EventStringData(char** text, std::uint32_t& flags) {
    return Deliver(this, m_bActive ? m_pEvent : nullptr,
                   [&](NetEvent* e) { return e->StringData(text, flags); });
}

std::int32_t NetHostHndl::EventUserData(void* data, std::uint32_t& flags) {
    return Deliver(this, m_bActive ? m_pEvent : nullptr,
                   [&](NetEvent* e) { return e->UserData(data, flags); });
}

std::int32_t NetHostHndl::CloseServer() {
    if (!m_bActive) {
        m_nServerSocket = -1;  // deliberate: forgotten here, not closed
        m_bPeerClosed = false;
        return NET_OK;
    }
    m_bActive = false;
    // The events below may release the last hold on this handle; it is deleted at the end.
    bool deletePending = m_bDeletePending;
    m_bDeletePending = false;

    if (m_lHandle != NET_LISTEN_HANDLE)
        EventConnectionClosed();
    if (!m_bListenServed) {
        m_bDestroyData = true;
        EventNetDestroy();  // its return releases the event object once no callback runs
    } else if (m_pListener != nullptr && m_usListenerCalls == 0) {
        m_pListener->DropConnection();
        m_pEvent = nullptr;
        m_pListener = nullptr;
    }
    // Otherwise closed inside one of its own callbacks: that callback's return detaches it.

    m_bPeerClosed = false;
    CloseServerSocket();
    if (deletePending || m_bDeletePending) {
        m_bDeletePending = false;
        Destroy();
    }
    return NET_OK;
}

void NetHostHndl::CloseServerSocket() {
    m_pServerImp->Trace(NET_TRACE_DEBUG, "Close server socket 1");
    if (m_nServerSocket != -1) {
        shutdown(m_nServerSocket, SHUT_RDWR);
        close(m_nServerSocket);
        m_nServerSocket = -1;
    }
}

std::int32_t NetHostHndl::CloseClient() {
    NetTraceFormat(m_pServerImp, NET_TRACE_DEBUG, kTraceCloseClient, m_lHandle);
    return NetClient::CloseMsg(m_lHandle);
}

std::int32_t NetHostHndl::ConnectMsg(std::int32_t& handle) {
    if (m_pServerImp == nullptr)
        return NET_NO_HANDLE;
    NetTraceFormat(
        m_pServerImp, NET_TRACE_CLIENT,
        "NetClient::ConnectMsg\n\t  host %s\n\t  service %s\n\t   port %d\n\t  handle %d",
        Printable(m_pszHost), Printable(m_pszService), m_usPort, m_lHandle);

    // The handshake names this host, not the one connected to.
    std::int32_t result = NetClient::ConnectMsg(m_pServerImp->LocalHost(), m_pszService, handle);
    while (result == NET_BAD_VERSION && m_ulVersion > 0) {
        // The lowered version stays: later handshakes of this handle start from it.
        --m_ulVersion;
        if (m_ulVersion < 2)
            m_bConnUnicode = m_bUnicode = false;
        if (CreateSocket(m_pszHost, m_Address, m_usServicePort) != NET_OK)
            break;
        result = NetClient::ConnectMsg(m_pServerImp->LocalHost(), m_pszService, handle);
    }
    int err = errno;

    if (result != NET_OK)
        NetTraceFormat(m_pServerImp, NET_TRACE_ERROR, "Connect message return %d Net Error %d",
                       result, err);
    m_pServerImp->Trace(NET_TRACE_DEBUG, m_bConnUnicode
                                             ? "Client connect message complete Using Unicode"
                                             : "Client connect message complete");
    return result;
}

MSGINTCALL NetHostHndl::IntegerMsg(MSGINTCALL& call, ZoErrorCode& error) {
    NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "Integer message handle %d", call.lHandle);
    return NetClient::IntegerMsg(call, error);
}

MSGREALCALL NetHostHndl::RealMsg(MSGREALCALL& call, ZoErrorCode& error) {
    NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "Real message handle %d", call.lHandle);
    return NetClient::RealMsg(call, error);
}

MSGSTRINGCALL NetHostHndl::StringMsg(MSGSTRINGCALL& call, ZoErrorCode& error) {
    NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "String message handle %d", call.lHandle);
    return NetClient::StringMsg(call, error);
}

MSGUSERCALL NetHostHndl::UserMsg(MSGUSERCALL& call, ZoErrorCode& error) {
    NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "User message handle %d", call.lHandle);
    MSGUSERCALL answer = NetClient::UserMsg(call, error);
    int err = errno;
    if (error == NET_OK)
        NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "User message handle %d returned %d",
                       call.lHandle, static_cast<int>(answer.ulStatus));
    else
        NetTraceFormat(m_pServerImp, NET_TRACE_ERROR,
                       "User message handle %d error %d net error %d", call.lHandle, error, err);
    return answer;
}

std::int32_t NetHostHndl::CloseMsg() {
    NetTraceFormat(m_pServerImp, NET_TRACE_CLIENT, "Close message handle %d", m_lHandle);
    std::int32_t result = NetClient::CloseMsg(m_lHandle);
    if (result != NET_OK)
        NetTraceFormat(m_pServerImp, NET_TRACE_ERROR, "Close message handle %d return %d",
                       m_lHandle, result);
    return result;
}
