// SPDX-License-Identifier: Apache-2.0
// A listening port and its accept thread.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "zo/zothread.h"

class NetServerImp;
class NetServerPort;

void NetRefuse(NetServerImp* server, int socket);
// Any thread. Answers a connection that will not be served with -3 (out of resources) in place
// of a handle number, and ends what this side sends. Close the socket once NetRefusalRead.
bool NetRefusalRead(int socket);
// Any thread, never blocks. Reads and drops what a refused peer sent; true once the peer has
// closed its end (or the connection failed), when a close can no longer reset the connection
// under an answer the peer has not read.
constexpr int kNetRefusalLingerMs = 1000;
// How long a refused connection is kept open at most for its peer to read the answer.

// Accepts connections on one port and starts an input thread for each.
class NetPortThread : public ZoThread {
public:
    explicit NetPortThread(NetServerPort* port) : m_pPort(port) {}
    void Run() override;

    NetServerPort* m_pPort;  // not owned; outlives the thread (its destructor joins it)

private:
    short AwaitConnection(int listenSocket);
    // Waits a moment for the listening socket and the refused connections, and closes those
    // that are done; the listening socket's poll events (0: nothing to accept).
    bool Accept(int listenSocket, short events);
    // Accepts a connection and starts its input thread, or refuses it; false once the listening
    // socket accepts no more.
    void Refuse(int socket);

    struct Refused {
        int nSocket;
        std::chrono::steady_clock::time_point until;
    };
    std::vector<Refused> m_Refused;  // this thread only; answered, waiting for their peers
    std::vector<pollfd> m_Polls;     // this thread only
};

class NetServerPort {
public:
    NetServerPort(NetServerImp* server, std::uint16_t port);  // opens nothing yet
    bool Open();
    // The registering thread, once. Listens on the port and starts the accept thread; false
    // (traced) when the port cannot serve, and the caller deletes it.
    virtual ~NetServerPort();
    // Closes the listening socket, which wakes the accept thread, and joins it.
    void StopAccepting();
    // The thread that owns the port (table lock not needed). Wakes and joins the accept thread
    // and releases it; the socket stays open until the destructor. Idempotent.

    NetServerImp* m_pServer;  // not owned
    std::uint16_t m_usPort;
    int m_nSocket;               // -1 until listening
    std::uint16_t m_usUseCount;  // registrations on this port; guarded by the table lock
    NetServerPort* m_pPrev;      // port list, guarded by the table lock
    NetServerPort* m_pNext;
    NetPortThread* m_pThread;              // owned
    std::atomic<bool> m_bStopping{false};  // set before the accept thread is woken
};
