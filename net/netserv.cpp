// SPDX-License-Identifier: Apache-2.0
// The server object: construction, start, shutdown, accessors, settings and the trace log.
#include "netservimp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>

#include "net/net_xdr.h"
#include "net/nethndl.h"
#include "net/netproto.h"
#include "netnode.h"
#include "netport.h"
#include "netservices.h"

namespace {

// Writing to a connection whose peer has gone must fail the write, not end the process.
// Re-installs itself for systems that reset a handler once it has run.
void sigHandler(int) {
    const int savedErrno = errno;
    signal(SIGPIPE, sigHandler);
    errno = savedErrno;
}

constexpr std::size_t kHostNameSize = 64;

// The prefix of an entry, or null when the mask filters the level out. The prefixes are
// exactly 10 characters wide; log readers cut the time stamp at that column.
const char* TracePrefix(NETTraceLevel level, std::uint16_t flags) {
    const char* prefix;
    switch (level) {
        case NET_TRACE_ERROR:
            prefix = "ERROR:    ";
            break;
        case NET_TRACE_CONNECT:
            prefix = "CONNECT:  ";
            break;
        case NET_TRACE_CLIENT:
            prefix = "CLIENT:   ";
            break;
        case NET_TRACE_INFO:
            prefix = "INFO:     ";
            break;
        case NET_TRACE_DEBUG:
            prefix = "DEBUG:    ";
            break;
        case NET_TRACE_APP:
            prefix = "APP:      ";
            break;
        default:
            return "OTHER:    ";  // never filtered
    }
    return (flags & static_cast<unsigned>(level)) != 0 ? prefix : nullptr;
}

void StopAllPorts(NetServerImp& server) {
    if (server.m_pListenPort != nullptr) {
        server.m_pListenPort->StopAccepting();
    }
    for (NetServerPort* port = server.m_pPortList; port != nullptr; port = port->m_pNext) {
        port->StopAccepting();
    }
}

void DeleteHandles(NetServerImp& server, const NetHostHndl* listenHandle) {
    // A listen handle that SetListen replaced lives on while connections hang on it; with
    // the connections gone, nobody else would free it.
    std::set<NetHostHndl*> replacedListeners;
    for (std::uint32_t i = 0; i < server.m_ulHandleCount; ++i) {
        NetHostHndl* handle = server.m_ppHandles[i];
        if (handle == nullptr) {
            continue;
        }
        if (handle->m_pListener != nullptr && handle->m_pListener != listenHandle) {
            replacedListeners.insert(handle->m_pListener);
        }
        handle->CloseSocket();
        delete handle;
        server.m_ppHandles[i] = nullptr;
    }
    for (NetHostHndl* listener : replacedListeners) {
        delete listener;
    }
    free(server.m_ppHandles);
    server.m_ppHandles = nullptr;
    server.m_ulHandleCount = 0;
}

}  // namespace

NetSettings& NetServer::Settings() {
    return static_cast<NetServerImp*>(this)->m_Settings;
}

NetServer* NetServer::CreateServer() {
    return new (std::nothrow) NetServerImp;
}

NetServerImp::NetServerImp()
    : m_Settings(NetSettings::FromEnvironment()),
      m_pszLocalHost(nullptr),
      m_pUserData(nullptr),
      m_pXdr(nullptr),
      m_pListenNode(nullptr),
      m_pNodeList(nullptr),
      m_pListenHndl(nullptr),
      m_ppHandles(nullptr),
      m_ulHandleCount(0),
      m_lStatus(11),
      m_usPort(0),
      m_pPortList(nullptr),
      m_pListenPort(nullptr),
      m_pTraceFile(nullptr),
      m_usTraceFlags(0xFFFF),
      m_bRunning(0),
      m_bUseUnicode(0),
      m_pInputReg(nullptr),
      m_nPipeRead(-1),  // -1, not 0: a server that never started must not close stdin
      m_nPipeWrite(-1),
      m_InputId(0) {
    if (getenv("ZOR_NET_USE_UNICODE") != nullptr) {
        m_bUseUnicode = 1;
    }
    signal(SIGPIPE, sigHandler);

    char host[kHostNameSize] = "";
    gethostname(host, sizeof host);
    host[sizeof host - 1] = '\0';  // a truncated name need not be terminated
    m_pszLocalHost = strdup(host);

    m_ppHandles = static_cast<NetHostHndl**>(calloc(10, sizeof(NetHostHndl*)));
    m_ulHandleCount = m_ppHandles != nullptr ? 10 : 0;  // the table grows on first use

    m_lStatus = NET_OK;
    Trace(NET_TRACE_DEBUG, "NetServer::NetServer Complete");
}

std::int32_t NetServerImp::Init(NetXDR* xdr, std::uint16_t port) {
    m_pXdr = xdr;
    m_usPort = port;
    Trace(NET_TRACE_DEBUG, "NetServer::Init Complete");
    return m_lStatus;
}

std::int32_t NetServerImp::StartServer(ZoInputRegistration* reg) {
    if (m_nPipeRead == -1) {
        int fds[2];
        // Non-blocking both ways: a post never waits for the main thread, and a callback
        // called while nothing waits returns at once.
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_nPipeRead = fds[0];
            m_nPipeWrite = fds[1];
        } else {
            NetTraceFormat(this, NET_TRACE_ERROR,
                           "NetServer::StartServer pipe creation failed error %d", errno);
        }
    }
    // A second start moves the one pipe to the new loop, so no posted event is lost.
    if (m_pInputReg != nullptr && m_InputId != 0) {
        m_pInputReg->RemoveInput(m_InputId);
        m_InputId = 0;
    }
    m_pInputReg = reg;
    if (reg != nullptr && m_nPipeRead != -1) {
        m_InputId = reg->AddInput(m_nPipeRead, InputSyncFunc, this);
    }

    if (m_usPort == 0) {
        m_usPort = NetDefaultPort();
    }

    NetTraceFormat(this, NET_TRACE_INFO, "NET server started - default port %d Unicode = %s",
                   m_usPort, UseUnicode() ? "On" : "Off");
    m_bRunning = 1;
    return NET_OK;
}

NetServerImp::~NetServerImp() {
    Trace(NET_TRACE_DEBUG, "NetServer::~NetServer Enter shutdown");

    // No thread may use what follows once it is freed: accept threads first, so no new
    // connection starts, then the input threads, then whatever they left in the pipe.
    StopAllPorts(*this);
    StopConnections();
    DrainEvents();

    delete m_pListenNode;
    m_pListenNode = nullptr;
    while (m_pNodeList != nullptr) {
        NetRegisterNode* node = m_pNodeList;
        m_pNodeList = node->m_pNext;
        delete node;
    }
    Trace(NET_TRACE_DEBUG, "NetServer::~NetServer Nodes deleted");

    NetHostHndl* const listenHandle = m_pListenHndl;
    delete m_pListenHndl;
    m_pListenHndl = nullptr;
    Trace(NET_TRACE_DEBUG, kTraceListenDeleted);

    DeleteHandles(*this, listenHandle);
    free(m_pszLocalHost);
    m_pszLocalHost = nullptr;

    while (m_pPortList != nullptr) {
        NetServerPort* port = m_pPortList;
        m_pPortList = port->m_pNext;
        delete port;
    }
    delete m_pListenPort;
    m_pListenPort = nullptr;

    if (m_pInputReg != nullptr && m_InputId != 0) {
        m_pInputReg->RemoveInput(m_InputId);
    }
    if (m_nPipeRead != -1) {
        close(m_nPipeRead);
        close(m_nPipeWrite);
    }
    delete m_pXdr;

    Trace(NET_TRACE_INFO, "Net DLL shutdown Complete");
    if (FILE* stream = m_pTraceFile.exchange(nullptr)) {
        fclose(stream);
    }
}

char* NetServerImp::MessageBuffer() {
    // One per thread: every thread composes its trace lines here without a lock.
    thread_local char buffer[kMessageBufferSize];
    return buffer;
}

void NetTraceFormat(NetServerImp* server, NETTraceLevel level, const char* format, ...) {
    if (server == nullptr || !server->Tracing()) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(NetServerImp::MessageBuffer(), NetServerImp::kMessageBufferSize, format, args);
    va_end(args);
    server->Trace(level, nullptr);
}

void NetServer::TraceHandler(NetTraceHandler handler, void* context) {
    auto* server = static_cast<NetServerImp*>(this);
    std::lock_guard<std::mutex> lock(server->m_TraceMutex);
    server->m_pTraceHandler = handler;
    server->m_pTraceContext = context;
    server->m_bTraceHandler.store(handler != nullptr, std::memory_order_release);
}

void NetServerImp::Trace(NETTraceLevel level, const char* message) {
    if (!Tracing()) {
        return;
    }
    const char* prefix = TracePrefix(level, m_usTraceFlags.load(std::memory_order_relaxed));
    if (prefix == nullptr) {
        return;
    }
    if (message == nullptr) {
        message = MessageBuffer();
    }
    NetInputThread* connection = NetInputThread::Current();
    if (connection != nullptr && connection->m_pServer == this) {
        NetTraceFold& fold = connection->m_TraceFold;
        if (fold.bWritten && fold.level == level && fold.text == message) {
            if (++fold.ulRepeats == UINT32_MAX) {
                FlushTraceFold(fold);
            }
            return;
        }
        FlushTraceFold(fold);
        fold.bWritten = true;
        fold.level = level;
        fold.text = message;
    }
    WriteTraceEntry(level, prefix, message);
}

void NetServerImp::FlushTraceFold(NetTraceFold& fold) {
    if (fold.ulRepeats == 0) {
        return;
    }
    char text[64];
    snprintf(text, sizeof text, "last message repeated %u times",
             static_cast<unsigned>(fold.ulRepeats));
    fold.ulRepeats = 0;
    WriteTraceEntry(fold.level, TracePrefix(fold.level, 0xFFFF), text);
}

void NetServerImp::WriteTraceEntry(NETTraceLevel level, const char* prefix, const char* message) {
    const time_t now = time(nullptr);
    char stamp[64];
    if (ctime_r(&now, stamp) == nullptr) {
        strcpy(stamp, "\n");  // a clock beyond year 9999; keep the entry's two lines
    }

    // Composed whole and written at once, so entries of different threads never mix.
    std::string entry;
    entry.reserve(64 + strlen(message));
    entry.append(prefix).append(stamp).append(10, ' ').append(message).append(1, '\n');

    std::lock_guard<std::mutex> lock(m_TraceMutex);
    if (FILE* stream = m_pTraceFile.load(std::memory_order_relaxed)) {
        fwrite(entry.data(), 1, entry.size(), stream);
        fflush(stream);
    }
    if (m_pTraceHandler != nullptr) {
        m_pTraceHandler(m_pTraceContext, level, message);
    }
}

void NetServerImp::TraceFile(FILE* stream) {
    {
        std::lock_guard<std::mutex> lock(m_TraceMutex);
        FILE* old = m_pTraceFile.exchange(stream, std::memory_order_acq_rel);
        if (old != nullptr && old != stream) {  // the same stream again stays open
            fclose(old);
        }
    }
    if (stream != nullptr) {
        Trace(NET_TRACE_INFO, LocalHost());
    }
}
