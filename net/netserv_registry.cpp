// SPDX-License-Identifier: Apache-2.0
// The registry: service texts, registrations with their ports, and the generic listener.
#include "netservimp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <vector>

#include "net/nethndl.h"
#include "net/netproto.h"
#include "netnode.h"
#include "netport.h"
#include "netservices.h"

namespace {

constexpr std::size_t kServiceNameMax = 256;

void UnlinkPort(NetServerImp& server, NetServerPort* port) {
    if (port->m_pPrev != nullptr) {
        port->m_pPrev->m_pNext = port->m_pNext;
    } else {
        server.m_pPortList = port->m_pNext;
    }
    if (port->m_pNext != nullptr) {
        port->m_pNext->m_pPrev = port->m_pPrev;
    }
    port->m_pPrev = port->m_pNext = nullptr;
}

void LinkPort(NetServerImp& server, NetServerPort* port) {
    port->m_pNext = server.m_pPortList;
    if (server.m_pPortList != nullptr) {
        server.m_pPortList->m_pPrev = port;
    }
    server.m_pPortList = port;
}

// Table lock held. A new port on number, listening and kept where the server keeps its ports;
// null when there is none, with status saying why and doomed what to delete once the lock is
// released.
NetServerPort* OpenPort(NetServerImp& server, std::uint16_t number, int& status,
                        NetServerPort*& doomed) {
    auto* port = new (std::nothrow) NetServerPort(&server, number);
    if (port == nullptr) {
        status = NET_NO_MEMORY;
        return nullptr;
    }
    if (!port->Open()) {
        status = NET_NO_SOCKET;
        doomed = port;
        return nullptr;
    }
    if (number == server.Port() && server.m_pListenPort == nullptr) {
        server.m_pListenPort = port;
    } else {
        LinkPort(server, port);
    }
    return port;
}

// Table lock held. A registration of name on number served by ev, or ev handed to the
// registration that serves them already; status 1, or why not. doomed: as at OpenPort.
int AddService(NetServerImp& server, const char* name, std::uint16_t number, NetEvent* ev,
               NetServerPort*& doomed) {
    if (NetRegisterNode* existing = server.FindFunc(name, number)) {
        if (existing->m_pEvent != nullptr && existing->m_pEvent != ev) {
            delete existing->m_pEvent;
        }
        existing->m_pEvent = ev;
        return NET_OK;
    }
    NetServerPort* port = server.FindPort(number);
    const bool opened = port == nullptr;
    int status = NET_OK;
    if (opened && (port = OpenPort(server, number, status, doomed)) == nullptr) {
        return status;
    }
    if (!opened) {
        ++port->m_usUseCount;
    }
    auto* node = new (std::nothrow) NetRegisterNode(name, port, ev);
    if (node == nullptr || (name[0] != '\0' && node->m_pszName == nullptr)) {
        // Without its name the record would serve every name on the port: give it up.
        if (node != nullptr) {
            node->m_pEvent = nullptr;  // still the caller's
            delete node;               // drops the port use counted above
        } else {
            --port->m_usUseCount;
        }
        if (opened && port != server.m_pListenPort) {
            UnlinkPort(server, port);
            doomed = port;
        }
        return NET_NO_MEMORY;
    }
    node->m_ullSerial = server.m_ullNextSerial++;
    node->m_pNext = server.m_pNodeList;
    server.m_pNodeList = node;
    return NET_OK;
}

// Table lock held. The generic listener's port and service record, ev serving it; status 1, or
// why not (traced).
int ListenOnDefaultPort(NetServerImp& server, NetEvent* ev) {
    const bool opened = server.m_pListenPort == nullptr;
    if (opened) {
        int status = NET_OK;
        NetServerPort* doomed = nullptr;
        if (OpenPort(server, server.Port(), status, doomed) == nullptr) {
            delete doomed;
            server.Trace(NET_TRACE_ERROR, "NetServer::SetListen - Can't create listen port");
            return NET_NO_SOCKET;
        }
    }
    if (server.m_pListenNode != nullptr) {
        server.m_pListenNode->m_pEvent = ev;  // the previous event goes with the previous handle
        return NET_OK;
    }
    auto* node = new (std::nothrow) NetRegisterNode(nullptr, server.m_pListenPort, ev);
    if (node == nullptr) {
        server.Trace(NET_TRACE_ERROR, "NetServer::SetListen out of memory");
        return NET_NO_MEMORY;
    }
    node->m_bListener = true;
    node->m_ullSerial = server.m_ullNextSerial++;
    // The record drops a use of the port when deleted, so it counts one here, except on a port
    // it just opened, which starts counted.
    if (!opened) {
        ++server.m_pListenPort->m_usUseCount;
    }
    server.m_pListenNode = node;
    return NET_OK;
}

// Without the table lock: the application hears NetDestroy. The server lets go of the handle;
// connections still served through it keep it alive until the last of them closes. kept: an
// event object that serves on under a new listen handle, which this one must not take along.
void RetireListenHandle(NetHostHndl* handle, const NetEvent* kept = nullptr) {
    handle->EventNetDestroy();
    if (kept != nullptr && handle->m_pEvent == kept) {
        handle->m_pEvent = nullptr;
    }
    handle->DropConnection();
}

// Without the table lock, so handshakes go on meanwhile: the application's NetCreate on the new
// listen handle decides whether the listener is set.
int StartListener(NetServerImp& server, NetHostHndl* handle, NetEvent* ev) {
    ev->SetHndl(handle);
    handle->UseHandle(server.LocalHost(), "");
    handle->SetListen(ev);
    ++handle->m_usConnectCount;  // the server's own reference
    if (handle->EventNetCreate() != 0) {
        NetTraceFormat(&server, NET_TRACE_CONNECT, "Generic listener set port %d", server.Port());
        return NET_OK;
    }
    {
        ZoLock lock(server.m_TableLock);
        delete server.m_pListenNode;
        server.m_pListenNode = nullptr;
        server.m_pListenHndl = nullptr;
    }
    RetireListenHandle(handle);  // deletes the handle and ev with it
    server.Trace(NET_TRACE_ERROR, "NetServer::SetListen - Creating refused");
    return NET_NO_SOCKET;
}

}  // namespace

int NetServerImp::ParseService(const char* service, char* name, std::uint16_t& port) {
    strncpy(name, service != nullptr ? service : "", kServiceNameMax);
    name[kServiceNameMax] = '\0';
    char* colon = strchr(name, ':');
    if (colon == nullptr) {
        port = Port();
        return NET_OK;
    }
    *colon = '\0';
    port = NetPortFromText(colon + 1);
    if (port == 0) {
        Trace(NET_TRACE_ERROR, kTraceBadPort);
        return NET_BAD_PORT;
    }
    return NET_OK;
}

NetRegisterNode* NetServerImp::FindFunc(const char* name, std::uint16_t port) {
    for (NetRegisterNode* node = m_pNodeList; node != nullptr; node = node->m_pNext) {
        if (node->Match(name, port)) {
            return node;
        }
    }
    // An unnamed registration serves every name on its port that no named one serves.
    for (NetRegisterNode* node = m_pNodeList; node != nullptr; node = node->m_pNext) {
        if (node->Match(nullptr, port)) {
            return node;
        }
    }
    return nullptr;
}

bool NetServerImp::ServiceExists(const NetRegisterNode* node, std::uint64_t serial) {
    if (node == nullptr) {
        return false;
    }
    if (node == m_pListenNode) {
        return node->m_ullSerial == serial;
    }
    for (const NetRegisterNode* n = m_pNodeList; n != nullptr; n = n->m_pNext) {
        if (n == node) {
            return n->m_ullSerial == serial;
        }
    }
    return false;
}

int NetServerImp::RegisterFunc(const char* service, NetEvent* ev) {
    char name[kServiceNameMax + 1];
    std::uint16_t port = 0;
    NetServerPort* doomed = nullptr;
    int status;
    {
        ZoLock lock(m_TableLock);
        status = ParseService(service, name, port);
        if (status == NET_OK) {
            status = AddService(*this, name, port, ev, doomed);
        }
    }
    // Unlinked, so no one finds it; joining its accept thread needs no lock held.
    delete doomed;
    if (status == NET_OK) {
        NetTraceFormat(this, NET_TRACE_CONNECT, "Register service %s port %d", name, port);
    } else if (status == NET_NO_MEMORY) {
        Trace(NET_TRACE_ERROR, "NetServer::RegisterFunc out of memory");
    }
    return status;
}

int NetServerImp::UnRegisterFunc(const char* service) {
    char name[kServiceNameMax + 1];
    std::uint16_t port = 0;
    NetServerPort* doomed = nullptr;
    {
        ZoLock lock(m_TableLock);
        if (m_pNodeList == nullptr) {
            return NET_NOTHING_TO_REMOVE;
        }
        const int parsed = ParseService(service, name, port);
        if (parsed != NET_OK) {
            return parsed;
        }
        NetRegisterNode** link = &m_pNodeList;
        while (*link != nullptr && !(*link)->Match(name, port)) {
            link = &(*link)->m_pNext;
        }
        NetRegisterNode* node = *link;
        if (node == nullptr) {
            return NET_NOTHING_TO_REMOVE;
        }
        *link = node->m_pNext;
        NetServerPort* netPort = node->m_pPort;
        delete node;
        if (netPort->m_usUseCount == 0 && netPort != m_pListenPort) {
            UnlinkPort(*this, netPort);
            doomed = netPort;
        }
    }
    // Unlinked, so no one finds it; joining its accept thread needs no lock held.
    delete doomed;

    NetTraceFormat(this, NET_TRACE_CONNECT, "Remove service %s port %d", name, port);
    return NET_OK;
}

int NetServerImp::SetListen(NetEvent* ev) {
    NetHostHndl* previous = nullptr;
    NetHostHndl* handle = nullptr;
    {
        ZoLock lock(m_TableLock);
        const int status = ListenOnDefaultPort(*this, ev);
        if (status != NET_OK) {
            return status;
        }
        previous = m_pListenHndl;
        handle = new (std::nothrow) NetHostHndl(NET_LISTEN_HANDLE, this, nullptr);
        if (handle == nullptr) {
            delete m_pListenNode;  // no half-set listener; ev stays the caller's
            m_pListenNode = nullptr;
            Trace(NET_TRACE_ERROR, "NetServer::SetListen out of memory");
        }
        m_pListenHndl = handle;
    }
    if (previous != nullptr) {
        RetireListenHandle(previous, ev);
    }
    return handle != nullptr ? StartListener(*this, handle, ev) : NET_NO_MEMORY;
}

int NetServerImp::RemoveListen() {
    NetHostHndl* handle = nullptr;
    {
        ZoLock lock(m_TableLock);
        if (m_pListenNode == nullptr) {
            return NET_NOTHING_TO_REMOVE;
        }
        delete m_pListenNode;  // leaves the event object to the listen handle
        m_pListenNode = nullptr;
        handle = m_pListenHndl;
        m_pListenHndl = nullptr;
    }
    if (handle != nullptr) {
        RetireListenHandle(handle);
    }
    Trace(NET_TRACE_CONNECT, "Generic listener removed");
    return NET_OK;
}
