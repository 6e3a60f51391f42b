// SPDX-License-Identifier: Apache-2.0
// The server object, as an application sees it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/netexport.h"
#include "net/netsettings.h"
#include "net/nettrace.h"

class NetXDR;
class NetEvent;
class NetHostHndl;
class ZoInputRegistration;

class ZORNET_API NetServer {
public:
    static NetServer* CreateServer();
    // Application thread. Null when memory cannot be had. The caller deletes the server.

    virtual ~NetServer() = default;
    // Application thread (the input loop's thread). Stops every connection and thread, then
    // releases registrations, handles, ports, the pipe, the encoder and the trace stream.

    virtual std::int32_t Init(NetXDR* xdr, std::uint16_t port) = 0;
    // Application thread, before StartServer. The server owns xdr from here on. Port 0 selects
    // the "olmnet" services entry, or 5001.
    virtual std::int32_t StartServer(ZoInputRegistration* reg) = 0;
    // Application thread. Registers the server's event descriptor with the input loop whose
    // thread becomes the main thread. Always 1. The descriptor stays readable while any event
    // (a call, a connection, a close) waits; each call of the registered callback serves the
    // waiting events in arrival order, at most NetSettings::ulEventBatch of them, so a loop that
    // calls it once whenever the descriptor is readable serves every event, and gives its other
    // descriptors a turn between batches.

    virtual int RegisterFunc(const char* service, NetEvent* ev) = 0;
    // Main thread. "name" or "name:port"; the registry owns ev once this returned 1.
    virtual int UnRegisterFunc(const char* service) = 0;  // Main thread.
    virtual int SetListen(NetEvent* ev) = 0;
    // Main thread. Serves unregistered services on the default port; ev belongs to the listen
    // handle once this returned 1, and is deleted when the application refuses it (10).
    virtual int RemoveListen() = 0;  // Main thread.

    virtual NetHostHndl* NetHost(std::int32_t handle) = 0;
    // Any thread. The handle with this number, 65535 for the generic listener; null if none.
    virtual NetHostHndl* CreateHndl(const char* host, const char* service) = 0;  // Any thread.
    virtual NetHostHndl* FindHndl(const char* host, const char* service) = 0;    // Any thread.

    virtual void Trace(NETTraceLevel level, const char* message) = 0;
    // Any thread. A null message traces this thread's message buffer. Entries that a
    // connection's input thread traces again and again, identical, are written once and then
    // counted: "last message repeated N times" follows when a different entry comes from that
    // connection or the connection ends.
    virtual void TraceFile(FILE* stream) = 0;
    // Application thread. The server owns the stream: it closes the stream it replaces and, when
    // deleted, the one set then. TraceFile(stdout) therefore closes the application's standard
    // output when the server is deleted; pass fdopen(dup(1), "w") to keep it. Null switches the
    // stream off.
    virtual void TraceFlags(std::uint16_t flags) = 0;  // Application thread. The level mask.

    virtual unsigned char IsServerRunning() = 0;
    virtual std::int32_t ErrorStatus() = 0;
    virtual void* UserData() = 0;  // the application's own pointer; never read
    virtual void UserData(void* data) = 0;
    virtual NetXDR* Xdr() = 0;
    virtual unsigned char UseUnicode() = 0;  // fixed by "ZOR_NET_USE_UNICODE" at construction
    virtual void MessageHook() = 0;          // input threads, before each call is read

    void TraceHandler(NetTraceHandler handler, void* context = nullptr);
    // Application thread. Hands every entry that passes the level mask to handler(context,
    // level, text) as well as to the trace stream, if any; null removes it. The handler runs on
    // the thread that traces (main, accept, input or client threads), one call at a time and in
    // the order the entries are written to the stream; it must not trace through this server
    // or change its tracing. Once this returns, the handler it replaced is not called again.

    NetSettings& Settings();
    // Application thread, before StartServer. Limits of this server; see netsettings.h.
};

extern "C" ZORNET_API void InputSyncFunc(void* server, int fd);
// Main thread. The input-loop callback that StartServer registers for the server's event pipe,
// with the server as its client data: serves a batch of queued events (see StartServer).
