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

// The port of a services-database entry over "tcp", in host order; false when there is none.
// The reentrant lookup: clients, handshakes and the registry look ports up from any thread.
bool ServicePort(const char* name, std::uint16_t& port) {
    std::vector<char> buffer(1024);
    for (;;) {
        servent entry;
        servent* found = nullptr;
        const int rc = getservbyname_r(name, "tcp", &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < 65536) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr) {
            return false;
        }
        port = ntohs(static_cast<std::uint16_t>(found->s_port));
        return true;
    }
}

// Drops the server's reference to a listen handle it no longer holds. Connections still
// served through the handle keep it alive until the last of them closes.
void DropListenHandle(NetServerImp& server, NetHostHndl* handle) {
    if (handle->m_usConnectCount == 0) {
        server.Trace(NET_TRACE_ERROR, "NetServer::SetListen assertion m_usConnectCount != 0");
        return;
    }
    if (--handle->m_usConnectCount == 0) {
        handle->m_bDestroyData = true;
        handle->Destroy();
    }
}

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

}  // namespace

std::uint16_t NetDefaultPort() {
    std::uint16_t port = NET_DEFAULT_PORT;
    ServicePort("olmnet", port);
    return port;
}

std::uint16_t NetPortFromText(const char* text) {
    std::uint16_t port = 0;
    if (ServicePort(text, port)) {
        return port;
    }
    // atoi's reading, kept to the low 16 bits.
    return static_cast<std::uint16_t>(strtoll(text, nullptr, 10));
}

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
        Trace(NET_TRACE_ERROR, "NetServer::CreateConnection - Bad port");
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
    m_TableLock.Acquire();
    const int parsed = ParseService(service, name, port);
    if (parsed != NET_OK) {
        m_TableLock.Release();
        return parsed;
    }

    if (NetRegisterNode* existing = FindFunc(name, port)) {
        if (existing->m_pEvent != nullptr && existing->m_pEvent != ev) {
            delete existing->m_pEvent;
        }
        existing->m_pEvent = ev;
    } else {
        NetServerPort* netPort = FindPort(port);
        bool newPort = false;
        if (netPort != nullptr) {
            ++netPort->m_usUseCount;
        } else {
            netPort = new (std::nothrow) NetServerPort(this, port);
            if (netPort == nullptr) {
                m_TableLock.Release();
                Trace(NET_TRACE_ERROR, "NetServer::RegisterFunc out of memory");
                return NET_NO_MEMORY;
            }
            if (netPort->m_nStatus != NET_OK) {
                m_TableLock.Release();
                const int status = netPort->m_nStatus;
                delete netPort;
                return status;
            }
            newPort = true;
            if (port == Port() && m_pListenPort == nullptr) {
                m_pListenPort = netPort;
            } else {
                LinkPort(*this, netPort);
            }
        }

        auto* node = new (std::nothrow) NetRegisterNode(name, netPort, ev);
        if (node == nullptr || (name[0] != '\0' && node->m_pszName == nullptr)) {
            // Without its name the record would serve every name on the port: give it up.
            if (node != nullptr) {
                node->m_pEvent = nullptr;  // still the caller's
                delete node;               // drops the port use counted above
            } else {
                --netPort->m_usUseCount;
            }
            NetServerPort* doomed = nullptr;
            if (newPort && netPort != m_pListenPort) {
                UnlinkPort(*this, netPort);
                doomed = netPort;
            }
            m_TableLock.Release();
            delete doomed;
            Trace(NET_TRACE_ERROR, "NetServer::RegisterFunc out of memory");
            return NET_NO_MEMORY;
        }
        node->m_ullSerial = m_ullNextSerial++;
        node->m_pNext = m_pNodeList;
        m_pNodeList = node;
    }

    NetTraceFormat(this, NET_TRACE_CONNECT, "Register service %s port %d", name, port);
    m_TableLock.Release();
    return NET_OK;
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
        bool newPort = false;
        if (m_pListenPort == nullptr) {
            auto* port = new (std::nothrow) NetServerPort(this, Port());
            if (port == nullptr || port->m_nStatus != NET_OK) {
                delete port;
                Trace(NET_TRACE_ERROR, "NetServer::SetListen - Can't create listen port");
                return NET_NO_SOCKET;
            }
            m_pListenPort = port;
            newPort = true;
        }
        if (m_pListenNode != nullptr) {
            m_pListenNode->m_pEvent = ev;  // the previous event goes with the previous handle
        } else {
            auto* node = new (std::nothrow) NetRegisterNode(nullptr, m_pListenPort, ev);
            if (node == nullptr) {
                Trace(NET_TRACE_ERROR, "NetServer::SetListen out of memory");
                return NET_NO_MEMORY;
            }
            node->m_bListener = true;
            node->m_ullSerial = m_ullNextSerial++;
            // The record drops a use of the port when deleted, so it counts one here, except
            // on a port it just opened, which starts counted.
            if (!newPort) {
                ++m_pListenPort->m_usUseCount;
            }
            m_pListenNode = node;
        }
        previous = m_pListenHndl;
        m_pListenHndl = nullptr;
        handle = new (std::nothrow) NetHostHndl(NET_LISTEN_HANDLE, this, nullptr);
        if (handle == nullptr) {
            delete m_pListenNode;  // no half-set listener; ev stays the caller's
            m_pListenNode = nullptr;
            Trace(NET_TRACE_ERROR, "NetServer::SetListen out of memory");
        }
        m_pListenHndl = handle;
    }
    // The application is called without the lock, so handshakes go on meanwhile.
    if (previous != nullptr) {
        previous->EventNetDestroy();
        if (previous->m_pEvent == ev) {
            previous->m_pEvent = nullptr;  // the same object again: the new handle keeps it
        }
        DropListenHandle(*this, previous);
    }
    if (handle == nullptr) {
        return NET_NO_MEMORY;
    }

    ev->SetHndl(handle);
    handle->UseHandle(LocalHost(), "");
    handle->SetListen(ev);
    ++handle->m_usConnectCount;  // the server's own reference
    if (handle->EventNetCreate() != 0) {
        NetTraceFormat(this, NET_TRACE_CONNECT, "Generic listener set port %d", Port());
        return NET_OK;
    }

    {
        ZoLock lock(m_TableLock);
        delete m_pListenNode;
        m_pListenNode = nullptr;
        m_pListenHndl = nullptr;
    }
    handle->EventNetDestroy();
    DropListenHandle(*this, handle);  // deletes the handle and ev with it
    Trace(NET_TRACE_ERROR, "NetServer::SetListen - Creating refused");
    return NET_NO_SOCKET;
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
        handle->EventNetDestroy();
        DropListenHandle(*this, handle);
    }
    Trace(NET_TRACE_CONNECT, "Generic listener removed");
    return NET_OK;
}
