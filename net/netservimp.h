// SPDX-License-Identifier: Apache-2.0
// The server object's implementation: lifecycle, trace, handshake, input threads, event pipe,
// registry and handle table. Operations are spread over netserv*.cpp and unetserv.cpp by subject.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/netmsg.h"
#include "net/netserv.h"
#include "net/netsettings.h"
#include "neteventqueue.h"
#include "net_xdr_budget.h"
#include "nettracetexts.h"
#include "zo/zoinput.h"
#include "zo/zosemaphore.h"
#include "zo/zothread.h"

class NetHostHndl;
class NetRegisterNode;
class NetServerPort;
class NetServerImp;

// Main-thread event identifiers.
enum : std::uint16_t {
    MSG_NETINTEGER = 0x1500,
    MSG_NETREAL = 0x1501,
    MSG_NETSTRING = 0x1502,
    MSG_NETCONNECT = 0x1503,
    MSG_CLOSE = 0x1504,
    MSG_NETUSER = 0x1505
};

// Carries a new connection to the main thread.
struct NetConnection {
    int nSocket;
    NetServerImp* pServer;
    NetRegisterNode* pService;  // a registered service or the listener service
    NetHostHndl* pHandle;
    std::uint64_t ullServiceSerial;  // pService's serial when the handshake found it
    bool bRefused;  // set by the main thread: the connection was not bound and is to be closed
};

// Identical trace entries from one connection are folded: the first is written, the repeats are
// counted and written as one "last message repeated N times" entry when a different entry comes
// or the connection ends, so a peer that repeats a fault cannot multiply the log.
struct NetTraceFold {
    bool bWritten = false;  // text and level hold the last entry written from this connection
    std::string text;
    NETTraceLevel level = NET_TRACE_ERROR;
    std::uint32_t ulRepeats = 0;  // identical entries since, not yet written
};

// What a connection counts against while its thread runs.
enum class NetStage : std::uint8_t {
    kNone,
    kHandshake,   // the handshake quota, from accept until the connect message has arrived
    kEstablished  // the connection cap, from then until the thread ends
};

// What became of an accepted connection.
enum class NetAdmission { kStarted, kRefused, kFailed };

// A connection's thread: runs the handshake, then reads one message at a time.
class NetInputThread : public ZoThread {
public:
    void Run() override;

    static NetInputThread* Current();
    // Any thread. The calling thread's own input thread object, or null on other threads: the
    // trace folds repeats per connection.
    void ShutdownSocket();
    // Any thread. Wakes the thread out of a read or write on its socket; the socket stays open.

    int m_nSocket;  // owned by this thread, which closes it last; -1 once closed
    std::uint16_t m_usPort;
    std::uint32_t m_ulPeerAddress;                     // network byte order
    NetServerImp* m_pServer;                           // not owned
    NetTraceFold m_TraceFold;                          // this thread only
    std::chrono::steady_clock::time_point m_Accepted;  // set before the thread starts
    NetStage m_eStage = NetStage::kNone;               // guarded by the server's m_StageMutex

private:
    void Serve();  // the handshake, then the messages until the connection ends
    bool ReadMessages(NetHostHndl* handle);
    // Serves the connection's messages: true when a close message ended it, false when it broke.
    void CloseSocket();
    std::mutex m_SocketMutex;  // orders ShutdownSocket against the close of m_nSocket
};

class NetServerImp : public NetServer {
public:
    NetServerImp();
    ~NetServerImp() override;

    // Lifecycle and accessors.
    std::int32_t Init(NetXDR* xdr, std::uint16_t port) override;
    std::int32_t StartServer(ZoInputRegistration* reg) override;
    unsigned char IsServerRunning() override { return m_bRunning; }
    std::int32_t ErrorStatus() override { return m_lStatus; }
    void* UserData() override { return m_pUserData; }
    void UserData(void* data) override { m_pUserData = data; }
    NetXDR* Xdr() override { return m_pXdr; }
    unsigned char UseUnicode() override { return m_bUseUnicode; }
    void MessageHook() override {}
    virtual std::uint16_t Port() { return m_usPort; }
    virtual char* LocalHost() { return m_pszLocalHost; }

    // Registry (main thread).
    int RegisterFunc(const char* service, NetEvent* ev) override;
    int UnRegisterFunc(const char* service) override;
    int SetListen(NetEvent* ev) override;
    int RemoveListen() override;
    int ParseService(const char* service, char* name, std::uint16_t& port);
    // Any thread. name has room for 257 bytes. 1, or 29 for a bad port.
    NetRegisterNode* FindFunc(const char* name, std::uint16_t port);        // table lock held
    bool ServiceExists(const NetRegisterNode* node, std::uint64_t serial);  // table lock held

    NetServerPort* FindPort(std::uint16_t port);  // table lock held

    // Handle table. Any thread; each takes the table lock.
    NetHostHndl* NetHost(std::int32_t handle) override;
    NetHostHndl* CreateHndl(const char* host, const char* service) override;
    NetHostHndl* FindHndl(const char* host, const char* service) override;
    NetHostHndl* FindFreeHndl(const char* host, const char* service, std::uint16_t port);
    NetHostHndl* RebindFreeHndl(const char* host, const char* service);
    // Any thread. For a table that cannot grow: any handle nothing uses, bound to the new host
    // and service and reserved (m_bConnecting); null when every handle is in use.

    // Trace. Any thread.
    void Trace(NETTraceLevel level, const char* message) override;
    void TraceFile(FILE* stream) override;
    void TraceFlags(std::uint16_t flags) override { m_usTraceFlags = flags; }
    bool Tracing() const {
        return m_pTraceFile.load(std::memory_order_acquire) != nullptr ||
               m_bTraceHandler.load(std::memory_order_acquire);
    }
    void FlushTraceFold(NetTraceFold& fold);
    // The thread that owns fold. Writes the count of folded repeats, if any.
    void WriteTraceEntry(NETTraceLevel level, const char* prefix, const char* message);
    // Any thread. One entry to the stream and the handler, under m_TraceMutex.
    static constexpr std::size_t kMessageBufferSize = 1024;
    static char* MessageBuffer();
    // This thread's message buffer: compose there and Trace(level, nullptr).

    // Handshake and message reception: the connection's input thread.
    NetHostHndl* CreateConnection(NetInputThread& thread);
    // The handshake of the thread's connection: the handle it bound, or null (traced, the peer
    // told why where it can be) when the connection is not to be served.
    void ConnectMsg(int socket, NetHostHndl* handle);
    void IntegerMsg(int socket, NetHostHndl* handle);
    void RealMsg(int socket, NetHostHndl* handle);
    void StringMsg(int socket, NetHostHndl* handle);
    void UserMsg(int socket, NetHostHndl* handle);
    bool PostUserCall(NetHostHndl* handle, MSGUSERCALL& request, NetDecodeHold& hold);
    // Input thread. Posts a no-reply user call of handle without waiting: true once posted (the
    // request's values then belong to the main thread and hold's share travels with them), or
    // false, with request untouched, when it cannot be posted (it names another handle, posted
    // calls hold a budget already, or the copy or the post failed): HandOver then serves it.
    void ReleasePosted(std::uint64_t charge);
    // Main thread, once a posted user call is released: gives back what it held.
    void CloseMsg(int socket, NetHostHndl* handle);

    // Events to the main thread: a queue in memory, and the pipe as its doorbell, readable
    // while any event waits.
    bool PostEvent(std::uint16_t id, void* data, NetHostHndl* sender = nullptr);
    // Any thread, never blocks. False (traced) when the event is lost. sender: the handle whose
    // input thread waits for the event, released if no handler answers it.
    bool PostOneWay(MSGUSERCALL* call, std::uint64_t charge);
    // Input threads, as PostEvent: a user call nobody waits for, the main thread's to release.
    // charge: what it holds, given back to m_ullPostedBytes once handled.
    bool SendToMainThread(NetHostHndl* handle, std::uint16_t id, void* data);
    // Input threads. Posts and waits for the main thread: true once a handler has answered,
    // false when the event was lost or the server is stopping (answer 32 then).
    void ServeEvents();
    // Main thread (InputSyncFunc). Handles up to m_Settings.ulEventBatch events in arrival order.
    void ServeBatch();
    void ReleaseSender(NetHostHndl* handle);
    // Main thread. Lets the input thread that waits on handle go on: once the batch is served
    // while ServeEvents runs, at once otherwise.
    std::int32_t ProcessConnectMsg(NetConnection* connection);  // main thread, as below
    // sender: the handle whose input thread waits for the answer; it answers the call when it is
    // the handle the record names, with no look-up in the table.
    std::int32_t ProcessIntegerMsg(MSGINTCALL* record, NetHostHndl* sender = nullptr);
    std::int32_t ProcessRealMsg(MSGREALCALL* record, NetHostHndl* sender = nullptr);
    std::int32_t ProcessStringMsg(MSGSTRINGCALL* record, NetHostHndl* sender = nullptr);
    std::int32_t ProcessUserMsg(MSGUSERCALL* record, bool posted, NetHostHndl* sender = nullptr);
    std::int32_t ProcessCloseMsg(std::int32_t handle);

    // Threads the server starts. Any thread.
    NetAdmission StartInputThread(int socket, std::uint16_t port, std::uint32_t address);
    // Accept threads. kRefused (traced) over the handshake quota or the connection cap, kFailed
    // when no thread could be started; the socket stays the caller's unless kStarted.
    bool Establish(NetInputThread& thread);
    // The connection's input thread, once its connect message has arrived: leaves the handshake
    // quota and counts against the cap; false, counting against neither, over the cap.
    void LeaveStage(NetInputThread& thread);  // the input thread, as it ends
    void ReapInputThreads();                  // joins input threads that have ended
    void StopConnections();
    // Application thread, in the destructor once the ports accept no more: wakes and joins
    // every input thread.
    void DrainEvents();
    // Application thread, after StopConnections: frees what events still queued own (heap copies
    // of posted user calls).
    bool Stopping() const { return m_bStopping.load(std::memory_order_acquire); }

    NetSettings m_Settings;  // application thread, before StartServer

    // Fields, in declared order.
    char* m_pszLocalHost;  // owned
    void* m_pUserData;
    NetXDR* m_pXdr;                  // owned
    NetRegisterNode* m_pListenNode;  // owned; guarded by m_TableLock
    NetRegisterNode* m_pNodeList;    // owned; guarded by m_TableLock
    NetHostHndl* m_pListenHndl;      // owned; guarded by m_TableLock
    NetHostHndl** m_ppHandles;       // owned; guarded by m_TableLock
    std::uint32_t m_ulHandleCount;   // capacity of m_ppHandles; guarded by m_TableLock
    std::int32_t m_lStatus;
    std::uint16_t m_usPort;
    NetServerPort* m_pPortList;       // owned; guarded by m_TableLock
    NetServerPort* m_pListenPort;     // owned; guarded by m_TableLock
    std::atomic<FILE*> m_pTraceFile;  // owned once set; swapped under m_TraceMutex
    std::atomic<std::uint16_t> m_usTraceFlags;
    unsigned char m_bRunning;
    unsigned char m_bUseUnicode;
    ZoMutexSemiphore m_TableLock;
    ZoInputRegistration* m_pInputReg;  // not owned
    int m_nPipeRead;                   // the doorbell: holds a byte while m_bRung is set
    int m_nPipeWrite;
    ZoInputId m_InputId;

    // Beyond the classic fields.
    NetEventQueue m_Events{1024};               // posted by any thread, served by the main thread
    std::atomic<bool> m_bRung{false};           // the doorbell rang and is not silenced yet
    bool m_bServing = false;                    // main thread: ServeEvents is under way
    std::vector<NetHostHndl*> m_Released;       // main thread: to release when the batch is done
    std::mutex m_TraceMutex;                    // keeps each trace entry whole
    NetTraceHandler m_pTraceHandler = nullptr;  // guarded by m_TraceMutex
    void* m_pTraceContext = nullptr;            // guarded by m_TraceMutex
    std::atomic<bool> m_bTraceHandler{false};   // a handler is set; written under m_TraceMutex
    std::mutex m_ThreadMutex;                   // guards m_InputThreads
    std::list<std::unique_ptr<NetInputThread>> m_InputThreads;
    std::mutex m_StageMutex;            // after m_ThreadMutex; never held while joining a thread
    std::uint32_t m_ulHandshakes = 0;   // threads in NetStage::kHandshake; m_StageMutex
    std::uint32_t m_ulEstablished = 0;  // threads in NetStage::kEstablished; m_StageMutex
    std::atomic<bool> m_bStopping{false};
    std::atomic<std::uint64_t> m_ullPostedBytes{0};  // posted user calls' decoded bytes still
                                                     // queued; kept within one decode budget
    NetDecodePool m_DecodePool;         // what the messages of all connections hold; any thread
    std::uint64_t m_ullNextSerial = 1;  // registration serials; m_TableLock
};

void NetTraceFormat(NetServerImp* server, NETTraceLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Any thread. Composes in this thread's message buffer and traces it; composes nothing while no
// trace stream is set, so the call path pays one test when tracing is off.
