// SPDX-License-Identifier: Apache-2.0
// One registration: a service name on a port, served by an event object.
#include "netnode.h"

#include <cstdlib>
#include <cstring>

#include "net/nethndl.h"
#include "netport.h"
#include "zo/zostring.h"

NetRegisterNode::NetRegisterNode(const char* name, NetServerPort* port, NetEvent* event)
    : m_pszName(name != nullptr ? strdup(name) : nullptr),
      m_pEvent(event),
      m_bListener(false),
      m_pPort(port),
      m_pNext(nullptr),
      m_ullSerial(0) {}

NetRegisterNode::~NetRegisterNode() {
    if (m_pPort != nullptr) {
        --m_pPort->m_usUseCount;
    }
    free(m_pszName);
    // The listener's event object belongs to the listen handle.
    if (!m_bListener && m_pEvent != nullptr) {
        delete m_pEvent;
    }
}

bool NetRegisterNode::Match(const char* name, std::uint16_t port) const {
    if (m_pPort == nullptr || port != m_pPort->m_usPort) {
        return false;  // a record without a port serves nothing
    }
    const bool nameGiven = name != nullptr && *name != '\0';
    if (m_pszName != nullptr && *m_pszName != '\0') {
        return nameGiven && ZOR_NLS_stricmp(name, m_pszName) == 0;
    }
    return !nameGiven;
}
