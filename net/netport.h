// A listening port and its accept thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "zo/zothread.h"

class NetServerImp;
class NetServerPort;

// Accepts connections on one port and starts an input thread for each.
class NetPortThread : public ZoThread {
public:
    explicit NetPortThread(NetServerPort* port) : m_pPort(port) {}
    void Run() override;

    NetServerPort* m_pPort;  // not owned; outlives the thread (its destructor joins it)
};

class NetServerPort {
public:
    NetServerPort(NetServerImp* server, std::uint16_t port);
    // Opens the port and starts its accept thread; the outcome is in m_nStatus (1 or 10).
    virtual ~NetServerPort();
    // Closes the listening socket, which wakes the accept thread, and joins it.
    void StopAccepting();
    // The thread that owns the port (table lock not needed). Wakes and joins the accept thread
    // and releases it; the socket stays open until the destructor. Idempotent.

    NetServerImp* m_pServer;     // not owned
    std::uint16_t m_usPort;
    int m_nSocket;               // -1 until listening
    std::uint16_t m_usUseCount;  // registrations on this port; guarded by the table lock
    NetServerPort* m_pPrev;      // port list, guarded by the table lock
    NetServerPort* m_pNext;
    int m_nStatus;
    NetPortThread* m_pThread;    // owned
    std::atomic<bool> m_bStopping{false};  // set before the accept thread is woken
};
