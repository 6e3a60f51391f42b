// SPDX-License-Identifier: Apache-2.0
// The client face: one TCP connection to a remote server and synchronous calls on it.
// A client is used by one thread at a time; every call blocks that thread until its answer
// has been read, with no time-out unless SetTimeout gives one. Status codes are those of
// netproto.h.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "net/netexport.h"
#include "net/netmsg.h"
#include "net/netproto.h"
#include "net/nettrace.h"

class NetServer;
class NetXDR;

class ZORNET_API NetClient {
public:
    NetClient(NetServer* server, NetXDR* xdr, std::uint32_t version);
    // server may be null (no trace, Unicode offered); xdr is not owned.
    ~NetClient();  // closes the socket without a close message

    std::int32_t CreateSocket(const char* host, sockaddr_in& address, std::uint16_t port);
    // Opens and connects the socket, trying a cached address first and refreshing it.
    // Port 0 selects the "olmnet" services entry, or 5001. Returns 1, 10 or 32.
    std::int32_t CreateSocket(const char* host, std::uint16_t port);  // nothing cached

    std::int32_t ConnectMsg(const char* host, const char* service, std::int32_t& handle);
    // The handshake. On 1, handle holds the number to put in every call record. A version-2
    // answer sets m_bUnicode from the server's word; below version 2 it is cleared. Every
    // failure closes the socket; 30 also when a version-2 answer lacks the word, 32 when the
    // answer cannot be a handle number (above 65535: not a server of this protocol).

    void CloseSocket();    // closes the socket if connected, without a close message
    void DestroySocket();  // closes any descriptor held

    MSGINTCALL IntegerMsg(MSGINTCALL& call, ZoErrorCode& error);
    MSGREALCALL RealMsg(MSGREALCALL& call, ZoErrorCode& error);
    MSGSTRINGCALL StringMsg(MSGSTRINGCALL& call, ZoErrorCode& error);
    // The answer's text is the caller's: release it with free() or StringCall(XDR_FREE).
    MSGUSERCALL UserMsg(MSGUSERCALL& call, ZoErrorCode& error);
    // The answer's argument block is the caller's: release it with UserCall(XDR_FREE).
    std::int32_t CloseMsg(std::int32_t handle);  // handle is not sent

    void SetTimeout(std::int32_t milliseconds);
    // The thread that uses the client. 0, the default, is no time-out: the protocol waits for a
    // peer as long as the connection lasts. Above 0, each wait for the peer (the connect, a
    // write the peer does not take, a read of the handshake answer or of a call's answer) ends
    // after this long and the operation reports 32. Applies to the open socket and to every
    // later one. It bounds each wait, not a whole call: a peer trickling bytes keeps a call
    // going. While it is on, any failed read or write closes the socket, even where the
    // protocol keeps it (a string call's answer, a user call's record, the close message):
    // after a partial answer the stream position is unknown.

    void Trace(NETTraceLevel level, const char* message);  // through the server, if any

    // Fields, in declared order. Written only by the thread that uses the client.
    int m_nSocket;              // -1 when there is none
    std::uint16_t m_usPort;     // port of the last address connected to
    NetXDR* m_pXdr;             // not owned
    NetServer* m_pNetServer;    // not owned; may be null
    std::uint32_t m_ulVersion;  // offered in the handshake
    bool m_bConnected;
    bool m_bUnicode;            // user-call strings travel as UTF-16
    std::int32_t m_lTimeoutMs;  // 0: off; set through SetTimeout
};
