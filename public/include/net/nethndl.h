// SPDX-License-Identifier: Apache-2.0
// A connection handle and the application's event interface.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "net/netclnt.h"
#include "net/netexport.h"
#include "zo/zosemaphore.h"

class NetHostHndl;
class NetServerImp;

// The application's side of a connection. Every operation is called on the main thread (inside
// the input loop's callback). The defaults accept connections and answer calls with 11.
class ZORNET_API NetEvent {
public:
    virtual ~NetEvent() = default;
    virtual NetEvent* Clone() { return nullptr; }
    // A connection for the registered service completed its handshake: return the event object
    // that serves it (the handle owns it) or null to refuse.
    virtual void SetHndl(NetHostHndl* /*handle*/) {}
    virtual std::int32_t NetCreate() { return 1; }  // zero refuses
    virtual std::int32_t NetDestroy() { return 1; }
    virtual std::int32_t IntegerData(std::int32_t* /*value*/, std::uint32_t& /*flags*/) {
        return 11;
    }
    virtual std::int32_t RealData(double* /*value*/, std::uint32_t& /*flags*/) { return 11; }
    virtual std::int32_t StringData(char** /*text*/, std::uint32_t& /*flags*/) { return 11; }
    // *text is malloc'd; a replacement must come from malloc, and the replaced text is yours.
    virtual std::int32_t UserData(void* /*data*/, std::uint32_t& /*flags*/) { return 11; }
    // data is the call's MSGUSERDATA* (may be null); change its values in place.
    virtual std::int32_t ConnectionCreated() { return 1; }  // zero refuses
    virtual std::int32_t ConnectionClosed() { return 1; }
    // The result of each data operation is the call's status; setting NET_FLAG_RETURNDATA in
    // flags sends value, flags and handle back with an integer, real or string answer.
};

// One connection: its accepted socket, the event object serving it, and the callback accounting
// that keeps both alive while a callback runs. Also a NetClient, for calls the other way.
// Unless noted, operations are main-thread only; the server owns the handle.
class ZORNET_API NetHostHndl : public NetClient {
public:
    NetHostHndl(std::int32_t handle, NetServerImp* server, NetHostHndl* listener);
    virtual ~NetHostHndl();
    // Main thread. The server deletes handles directly; Destroy() and DestroyData() delete
    // their own. Sends the close message if the client side is connected.

    void Destroy();  // deletes now, or once no callback counts on the handle
    void UseHandle(const char* host, const char* service);
    // Any thread (the handshake, the table). Binds host and "service[:port]" before use.

    void SetEventFunc(NetEvent* event);         // own event object (from Clone)
    void SetListen(NetEvent* event);            // the generic listener's handle only
    void SetListenHndl(NetHostHndl* listener);  // served through the generic listener
    std::int32_t AcceptConnection(NetEvent* event);
    // From inside a callback of this listener-served handle: take the connection over with an
    // event object of its own (not null). 11, changing nothing, when not served through a
    // listener, not active, or no such callback runs; the callback's return then detaches it.

    unsigned char MatchHost(const char* host);        // null matches only null
    unsigned char MatchService(const char* service);  // null and empty are the same

    std::int32_t CloseServer();  // ends the server side; returns 1
    void CloseServerSocket();    // shuts down and closes the accepted socket
    std::int32_t CloseClient();  // ends the client side; NetClient::CloseMsg's result

    void MakeCall();
    unsigned char InCall();
    void ReturnCall();      // may delete this handle
    void DestroyData();     // may delete this handle
    void DropConnection();  // on a listener: one connection (or the server) fewer; may delete this

    // Event operations: 11 without an event object (or, for data, while not active). Each may
    // delete the handle on its way out; do not touch it after they return.
    virtual std::int32_t EventNetCreate();
    virtual std::int32_t EventNetDestroy();
    virtual std::int32_t EventConnectionCreated();
    virtual std::int32_t EventConnectionClosed();
    virtual std::int32_t EventIntegerData(std::int32_t* value, std::uint32_t& flags);
    virtual std::int32_t EventRealData(double* value, std::uint32_t& flags);
    virtual std::int32_t EventStringData(char** text, std::uint32_t& flags);
    virtual std::int32_t EventUserData(void* data, std::uint32_t& flags);

    // Client face, traced through the server. Thread that uses the client.
    std::int32_t ConnectMsg(std::int32_t& handle);  // with version fall-back
    MSGINTCALL IntegerMsg(MSGINTCALL& call, ZoErrorCode& error);
    MSGREALCALL RealMsg(MSGREALCALL& call, ZoErrorCode& error);
    MSGSTRINGCALL StringMsg(MSGSTRINGCALL& call, ZoErrorCode& error);
    MSGUSERCALL UserMsg(MSGUSERCALL& call, ZoErrorCode& error);
    std::int32_t CloseMsg();
    using NetClient::CreateSocket;

    // Fields, in declared order. The counters and flags are the main thread's, except where the
    // connection's input thread and handshake write them (noted).
    NetEvent* m_pEvent;
    NetServerImp* m_pServerImp;
    sockaddr_in m_Address;  // cached target address; port 0: none cached
    int m_nServerSocket;    // accepted socket, -1 if none; input thread writes -1
    std::uint16_t m_usServicePort;
    std::uint32_t m_ulPeerAddress;  // network byte order; written by the handshake
    std::int32_t m_lHandle;
    NetHostHndl* m_pListener;
    char* m_pszHost;
    char* m_pszService;
    std::uint16_t m_usCallCount;
    std::uint16_t m_usConnectCount;
    // The flags are whole bytes, not bit-fields: different threads write different flags.
    bool m_bActive;
    bool m_bListenServed;
    bool m_bDestroyData;
    bool m_bDeletePending;
    bool m_bConnecting;               // the handshake writes it under the table lock
    bool m_bPeerClosed;               // the input thread sets it
    bool m_bConnUnicode;              // the handshake writes it
    ZoEventSemiphore m_Semaphore;     // the input thread waits here while the main thread serves
    std::uint16_t m_usListenerCalls;  // callbacks of this handle counted on its listener

private:
    bool BorrowsEvent() const;  // m_pEvent is the listener's, not this handle's own
};
