// SPDX-License-Identifier: Apache-2.0
// The handle table: connection handles numbered by their index, filled from 0 upward and
// searched linearly up to the first empty entry.
#include "netservimp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "net/nethndl.h"
#include "net/netproto.h"

namespace {

constexpr std::uint32_t kTableGrowth = 20;
// Indexes stay below the listen handle's number, so no handle can be mistaken for it.
constexpr std::uint32_t kTableLimit = NET_LISTEN_HANDLE;

// No connection, handshake or event object uses the handle.
bool Unused(const NetHostHndl& handle) {
    return !handle.m_bActive && handle.m_pEvent == nullptr && !handle.m_bConnecting &&
           !handle.m_bPeerClosed && handle.m_nServerSocket == -1;
}

// The first handle match accepts, in number order; the table ends at its first empty entry.
// Takes the table lock.
template <typename Match>
NetHostHndl* FirstHandle(NetServerImp& server, Match match) {
    ZoLock lock(server.m_TableLock);
    for (std::uint32_t i = 0; i < server.m_ulHandleCount && server.m_ppHandles[i] != nullptr; ++i) {
        if (match(*server.m_ppHandles[i])) {
            return server.m_ppHandles[i];
        }
    }
    return nullptr;
}

}  // namespace

NetHostHndl* NetServerImp::NetHost(std::int32_t handle) {
    ZoLock lock(m_TableLock);
    if (handle == NET_LISTEN_HANDLE) {
        return m_pListenHndl;
    }
    if (handle < 0 || static_cast<std::uint32_t>(handle) >= m_ulHandleCount) {
        return nullptr;
    }
    return m_ppHandles[handle];
}

NetHostHndl* NetServerImp::CreateHndl(const char* host, const char* service) {
    ZoLock lock(m_TableLock);
    std::uint32_t index = 0;
    while (index < m_ulHandleCount && m_ppHandles[index] != nullptr) {
        ++index;
    }
    if (index == m_ulHandleCount) {
        const std::uint32_t capacity = std::min(m_ulHandleCount + kTableGrowth, kTableLimit);
        if (capacity <= m_ulHandleCount) {
            return nullptr;
        }
        auto* grown =
            static_cast<NetHostHndl**>(realloc(m_ppHandles, capacity * sizeof(NetHostHndl*)));
        if (grown == nullptr) {
            return nullptr;
        }
        memset(grown + m_ulHandleCount, 0, (capacity - m_ulHandleCount) * sizeof(NetHostHndl*));
        m_ppHandles = grown;
        m_ulHandleCount = capacity;
    }
    auto* handle = new (std::nothrow) NetHostHndl(static_cast<std::int32_t>(index), this, nullptr);
    if (handle == nullptr) {
        return nullptr;
    }
    m_ppHandles[index] = handle;
    // Bound while the lock is still held: the searches read host, service and port.
    handle->UseHandle(host, service);
    return handle;
}

NetHostHndl* NetServerImp::FindHndl(const char* host, const char* service) {
    char name[257];
    std::uint16_t port = 0;
    ParseService(service, name, port);  // a bad port is traced there and leaves port 0
    return FirstHandle(*this, [&](NetHostHndl& h) {
        return h.MatchHost(host) && h.MatchService(name) && h.m_usServicePort == port;
    });
}

NetHostHndl* NetServerImp::FindFreeHndl(const char* host, const char* service,
                                        std::uint16_t /*port*/) {
    return FirstHandle(*this, [&](NetHostHndl& h) {
        return Unused(h) && h.MatchHost(host) && h.MatchService(service);
    });
}

// Peers choose the host names, so a table grown to its limit could otherwise refuse every new
// host for good. A handle that neither a connection nor the client face uses takes the new names.
NetHostHndl* NetServerImp::RebindFreeHndl(const char* host, const char* service) {
    ZoLock lock(m_TableLock);  // through the rebinding: no search may see it half-bound
    NetHostHndl* handle = FirstHandle(
        *this, [](NetHostHndl& h) { return Unused(h) && !h.m_bConnected && h.m_nSocket == -1; });
    if (handle != nullptr) {
        handle->m_bConnecting = true;
        free(handle->m_pszHost);
        free(handle->m_pszService);
        handle->m_pszHost = handle->m_pszService = nullptr;
        handle->UseHandle(host, service);
    }
    return handle;
}
