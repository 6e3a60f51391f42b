// SPDX-License-Identifier: Apache-2.0
// One registration: a service name on a port, served by an event object.
#pragma once

#include <cstdint>

class NetEvent;
class NetServerPort;

class NetRegisterNode {
public:
    NetRegisterNode(const char* name, NetServerPort* port, NetEvent* event);
    // Keeps a copy of name (null stays null). Counts on port's use count already being held.
    virtual ~NetRegisterNode();
    // Drops one use of the port (never deletes it) and deletes the event object unless this is
    // the listener service.

    bool Match(const char* name, std::uint16_t port) const;
    // A named record matches its name (any case) on its port; an unnamed one matches only an
    // absent or empty name.

    char* m_pszName;           // owned; null for the listener service
    NetEvent* m_pEvent;        // owned unless m_bListener
    bool m_bListener;
    NetServerPort* m_pPort;    // not owned
    NetRegisterNode* m_pNext;  // service list, guarded by the server's table lock
    std::uint64_t m_ullSerial; // unique per record, so a pending connection can tell it still exists
};
