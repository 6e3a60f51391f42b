// The server object, as an application sees it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/netsettings.h"
#include "net/nettrace.h"

class NetXDR;
class NetEvent;
class NetHostHndl;
class ZoInputRegistration;

class NetServer {
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
    // Any thread. A null message traces this thread's message buffer.
    virtual void TraceFile(FILE* stream) = 0;
    // Application thread. The server owns and closes the stream; null switches tracing off.
    virtual void TraceFlags(std::uint16_t flags) = 0;  // Application thread. The level mask.

    virtual unsigned char IsServerRunning() = 0;
    virtual std::int32_t ErrorStatus() = 0;
    virtual void* UserData() = 0;  // the application's own pointer; never read
    virtual void UserData(void* data) = 0;
    virtual NetXDR* Xdr() = 0;
    virtual unsigned char UseUnicode() = 0;  // fixed by "ZOR_NET_USE_UNICODE" at construction
    virtual void MessageHook() = 0;          // input threads, before each call is read

    NetSettings& Settings();
    // Application thread, before StartServer. Limits of this server; see netsettings.h.
};
