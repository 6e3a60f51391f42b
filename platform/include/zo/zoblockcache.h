// SPDX-License-Identifier: Apache-2.0
// Heap blocks of one size kept for reuse, for objects the library makes and releases by the
// thousand per message (list elements, strings): a message received, released and received
// again takes its blocks from here instead of from the system, whose allocator would otherwise
// hand the freed pages back after every call and fault them in again on the next.
//
// Each thread keeps two magazines (arrays of up to kBatch free blocks) per cache and trades whole
// magazines with the cache's store, shared by all threads, so a block freed on one thread (a list
// decoded on an input thread and released on the main thread) is reused on another, at the cost
// of one lock per magazine. The store keeps a bounded number of magazines; blocks beyond that go
// back to the system. Internal to the library.
#pragma once

#include <cstddef>

// Any thread; a cache lives as long as the process (make it with new and never delete it: a
// thread may end, and hand in its magazines, after static destruction began).
class ZoBlockCache {
public:
    static constexpr std::size_t kBatch = 256;
    static constexpr std::size_t kMaxCaches = 4;  // in one process

    ZoBlockCache(std::size_t blockSize, std::size_t storeBatches, const char* name);
    ZoBlockCache(const ZoBlockCache&) = delete;
    ZoBlockCache& operator=(const ZoBlockCache&) = delete;

    void* Alloc(std::size_t size) noexcept;
    // A block for an object of size bytes, or null when the system has none. Only blocks of the
    // cache's size are cached (a class derived from the one it serves is larger).
    void* AllocOrThrow(std::size_t size);  // std::bad_alloc instead of null
    void Free(void* block, std::size_t size) noexcept;
    // Takes a block from Alloc of the same size; null is ignored.

    std::size_t Stored() const noexcept;  // blocks in the store now

    static void FlushThread() noexcept;
    // Calling thread. Its magazines of every cache go to the stores (their blocks to the system
    // when a store is full), so a thread that waits for its next message holds none. Also done
    // when the thread ends.

private:
    struct Store;
    void* AllocSlow(std::size_t size) noexcept;  // Alloc with an empty magazine, or another size
    void FreeSlow(void* block, std::size_t size) noexcept;
    std::size_t m_nSize;
    std::size_t m_nSlot;  // of this cache in each thread's magazines
    const char* m_pName;  // in the message for a block freed twice
    Store* m_pStore;
};
