// Limits and settings of a server, in one place, with their defaults.
#pragma once

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

    std::int32_t lHandshakeTimeoutMs = 0;
    // 0: off. Otherwise a peer whose handshake stops arriving for this long is dropped
    // (each read of the handshake waits at most this long).
    // "ZOR_NET_HANDSHAKE_TIMEOUT_MS" overrides it.

    std::uint32_t ulMaxConnections = 0;
    // 0: off. Otherwise connections beyond this many are closed as they are accepted.
    // "ZOR_NET_MAX_CONNECTIONS" overrides it.

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
