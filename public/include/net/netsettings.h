// SPDX-License-Identifier: Apache-2.0
// Limits and settings of a server, in one place, with their defaults.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "net/netexport.h"

struct ZORNET_API NetSettings {
    std::uint64_t ullDecodeBudget = 64ull << 20;
    // Memory one received message may make the library allocate (texts, blocks, lists,
    // reference links). A message over it fails its decode and its connection ends. Also the
    // most that no-reply user calls waiting for the main thread may hold together; beyond it
    // such a call waits for its turn. Clients decode answers under the same budget.
    // "ZOR_NET_DECODE_BUDGET" (bytes) overrides it.

    std::uint64_t ullServerDecodeBudget = 256ull << 20;
    // Memory the messages of all connections may hold together, from their decode until what
    // they decoded is released. A decode that would pass it fails and ends its own connection;
    // the other connections go on. "ZOR_NET_SERVER_DECODE_BUDGET" (bytes) overrides it.

    static constexpr std::uint16_t kDefaultMaxReferenceDepth = 64;
    std::uint16_t usMaxReferenceDepth = kDefaultMaxReferenceDepth;
    // References a received value may have in front of its data; a deeper value is malformed
    // input and ends its connection. "ZOR_NET_MAX_REFERENCE_DEPTH" (at most 32767) overrides it.

    std::int32_t lHandshakeTimeoutMs = 30000;
    // The whole handshake, from accept to the answer: a peer that has not sent its connect
    // message by then is dropped, however it spreads the bytes out. 0 turns the deadline off.
    // "ZOR_NET_HANDSHAKE_TIMEOUT_MS" overrides it.

    std::uint32_t ulMaxHandshakes = 1024;
    // Connections that may be in their handshake at once, from accept until their connect
    // message has arrived; 0: no quota. A legitimate peer spends one round trip there, so even a
    // burst of a thousand connects stays below it; silent or trickling peers can hold no more
    // threads than this, each until the handshake deadline. "ZOR_NET_MAX_HANDSHAKES" overrides it.

    std::uint32_t ulMaxConnections = 0;
    // Established connections (past their handshake) there may be at once; 0: no cap.
    // "ZOR_NET_MAX_CONNECTIONS" overrides it.
    // A peer over the quota or the cap is answered -3 (out of resources) in place of a handle
    // number, and the connection is closed once it has read that or after a second.

    std::uint32_t ulBindAddress = INADDR_ANY;
    // The local IPv4 address (network byte order) the listening ports are bound to; INADDR_ANY:
    // all of them; INADDR_NONE: none, every port fails to open. "ZOR_NET_BIND_ADDRESS" (dotted,
    // such as 127.0.0.1) overrides it; a value that is no address gives INADDR_NONE rather than
    // leave a server meant for one address listening on all.

    std::int32_t lListenBacklog = SOMAXCONN;
    // Connections the kernel queues on a listening port before the accept thread takes them.
    // Clients that connect at the same moment beyond it are dropped or reset by the kernel.
    // "ZOR_NET_LISTEN_BACKLOG" overrides it.

    std::uint32_t ulThreadStack = 64 * 1024;
    // Stack of each accept and input thread, in bytes; raised to the platform's floor.

    std::uint32_t ulEventBatch = 64;
    // Events one call of the input loop's callback serves at most (0 counts as 1): the main
    // thread pays one wait in its loop per batch instead of one per event, and the loop's other
    // descriptors wait at most one batch.

    bool bBatchInputThreads = false;
    // true: input threads are scheduled as batch threads (SCHED_BATCH, no privileges needed),
    // so one woken by its answer never preempts the main thread. That lets the main thread
    // answer more calls per wake-up on a machine the server has to itself, but where other
    // CPU-bound work runs, a woken input thread waits out that work's time slice: answers then
    // take milliseconds. "ZOR_NET_BATCH_INPUT_THREADS" set to 0 or 1 overrides it.

    static NetSettings FromEnvironment();
    // The defaults above, overridden by the environment variables named with each field.
};
