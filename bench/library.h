// SPDX-License-Identifier: Apache-2.0
// The library's side of the benchmark: a server whose main thread runs ZoInputLoop, and clients
// of this library making calls on it, all in this process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loophost.h"
#include "net/net.h"

namespace bench {

// What the server's event objects count; read by the driver thread.
struct LibCounters {
    std::atomic<std::uint64_t> connected{0};
    std::atomic<std::uint64_t> closed{0};
    std::atomic<std::uint64_t> oneWayDone{0};
};

enum class TraceMode {
    kNone,       // no trace stream: the default
    kFlagsOff,   // a stream (/dev/null) with every level masked off
    kAllLevels,  // a stream (/dev/null) taking every level
};

// The server and its input loop. Construct, Start, RunLoop and destroy on the main thread.
class LibServer {
public:
    explicit LibServer(std::uint32_t threadStack, loophost::Host* host = nullptr);
    // host: an event loop with an adapter, which outlives this object; null: ZoInputLoop.
    ~LibServer();  // deletes the server
    bool Start(TraceMode trace);
    void RunLoop() { m_host != nullptr ? m_host->Run() : m_loop.Run(); }
    void StopLoop() { m_host != nullptr ? m_host->Stop() : m_loop.Stop(); }  // any thread
    std::uint16_t Port() const { return m_port; }
    LibCounters& Counters() { return m_counters; }

private:
    ZoInputLoop m_loop;
    loophost::Host* m_host;
    NetServer* m_server = nullptr;  // owned
    std::uint16_t m_port = 0;
    std::uint32_t m_stack;
    LibCounters m_counters;
};

// An argument block for user calls, owned here (values, lists and their nodes).
class ValueBlock {
public:
    static std::unique_ptr<ValueBlock> Mixed();  // 10 values of mixed kinds
    // One list of count integers (NET_TYPE_INTEGER) or 16-byte strings (NET_TYPE_STRING).
    static std::unique_ptr<ValueBlock> List(std::uint16_t elementType, int count);
    ~ValueBlock();
    MSGUSERDATA* Data() { return m_data; }

private:
    explicit ValueBlock(int count);
    sLIST_HEADER* NewList(std::uint16_t elementType, int count);

    MSGUSERDATA* m_data;
    std::vector<sLIST_HEADER*> m_lists;
};

// One client connection; one thread at a time.
class LibClient {
public:
    LibClient();
    ~LibClient();  // closes the socket without a close message
    bool Connect(std::uint16_t port);
    bool Integer();
    bool Real();
    bool String(const std::string& text);
    bool User(ValueBlock& block, bool oneWay);
    bool Close();  // close message and socket
    int Socket() const { return m_client.m_nSocket; }

private:
    NetXDRImp m_xdr;
    NetClient m_client;
    std::int32_t m_handle = -1;
    std::int32_t m_next = 0;
};

}  // namespace bench
