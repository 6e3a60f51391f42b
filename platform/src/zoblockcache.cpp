// SPDX-License-Identifier: Apache-2.0
#include "zo/zoblockcache.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define ZORNET_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORNET_ASAN 1
#endif
#endif
#ifdef ZORNET_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

// A free block links to the next through its last word. Under AddressSanitizer the rest of it is
// poisoned while cached, so a use after delete is still reported, and a block freed twice is
// caught here instead of entering the cache twice; the link stays readable, so the leak checker
// (which ignores poisoned memory) still sees cached blocks as held.
void* NextOf(void* block, std::size_t link) {
    void* next;
    std::memcpy(&next, static_cast<char*>(block) + link, sizeof next);
    return next;
}

void Poison(void* block, std::size_t link) {
#ifdef ZORNET_ASAN
    ASAN_POISON_MEMORY_REGION(block, link);
#else
    (void)block;
    (void)link;
#endif
}

void Unpoison(void* block, std::size_t link) {
#ifdef ZORNET_ASAN
    ASAN_UNPOISON_MEMORY_REGION(block, link);
#else
    (void)block;
    (void)link;
#endif
}

void RefuseDoubleFree(void* block, const char* name) {
#ifdef ZORNET_ASAN
    if (__asan_address_is_poisoned(block)) {
        std::fprintf(stderr, "%s %p deleted twice\n", name, block);
        std::abort();
    }
#else
    (void)block;
    (void)name;
#endif
}

// A stack of free blocks, linked at offset link of each.
struct Magazine {
    void* pTop = nullptr;
    std::size_t nCount = 0;

    void Push(void* block, std::size_t link) {
        std::memcpy(static_cast<char*>(block) + link, &pTop, sizeof pTop);
        Poison(block, link);
        pTop = block;
        ++nCount;
    }
    void* Pop(std::size_t link) {
        void* block = pTop;
        Unpoison(block, link);
        pTop = NextOf(block, link);
        --nCount;
        return block;
    }
    void Release(std::size_t link) {
        while (nCount != 0) {
            std::free(Pop(link));
        }
    }
};

// A thread's two magazines of one cache: blocks are taken from and given to loaded; spare is
// empty or full, so a thread that frees and allocates around a batch boundary does not trade
// with the store on every block.
struct Pair {
    Magazine loaded;
    Magazine spare;
};

// Trivially destructible, so it stays usable while the thread's other objects are destroyed at
// its end: from then on blocks go straight to the system.
struct ThreadCache {
    Pair pairs[ZoBlockCache::kMaxCaches];
    bool bGuarded = false;  // a ThreadEnd hands the magazines in when the thread ends
    bool bEnded = false;
};
thread_local ThreadCache t_cache;

std::atomic<ZoBlockCache*> g_Caches[ZoBlockCache::kMaxCaches];
std::atomic<std::size_t> g_nCaches{0};

struct ThreadEnd {
    ~ThreadEnd() {
        t_cache.bEnded = true;
        ZoBlockCache::FlushThread();
    }
};

// Called before the thread's cache holds blocks.
void Guard(ThreadCache& c) {
    if (!c.bGuarded) {
        thread_local ThreadEnd end;
        (void)end;
        c.bGuarded = true;
    }
}

}  // namespace

// Magazines that threads handed in, for any thread to take.
struct ZoBlockCache::Store {
    explicit Store(std::size_t most) : nMost(most), pFull(new Magazine[most]) {}

    // Takes m's blocks, leaving it empty; false, with m unchanged, when the store is full.
    bool Put(Magazine& m) {
        std::lock_guard<std::mutex> lock(mLock);
        if (nFull == nMost) {
            return false;
        }
        pFull[nFull++] = std::exchange(m, Magazine{});
        return true;
    }
    // Fills the empty m; false when the store has nothing.
    bool Get(Magazine& m) {
        std::lock_guard<std::mutex> lock(mLock);
        if (nFull == 0) {
            return false;
        }
        m = pFull[--nFull];
        return true;
    }

    const std::size_t nMost;
    Magazine* const pFull;  // guarded by mLock
    std::size_t nFull = 0;  // guarded by mLock
    mutable std::mutex mLock;
};

ZoBlockCache::ZoBlockCache(std::size_t blockSize, std::size_t storeBatches, const char* name)
    : m_nSize(blockSize),
      m_nSlot(g_nCaches.fetch_add(1)),
      m_pName(name),
      m_pStore(new Store(storeBatches)) {
    if (blockSize < sizeof(void*) || m_nSlot >= kMaxCaches) {
        std::fprintf(stderr, "ZoBlockCache %s cannot be made\n", name);
        std::abort();
    }
    g_Caches[m_nSlot].store(this);
}

void* ZoBlockCache::Alloc(std::size_t size) noexcept {
    Magazine& loaded = t_cache.pairs[m_nSlot].loaded;
    if (size == m_nSize && loaded.nCount != 0) {  // most calls: no call out, nothing to save
        return loaded.Pop(m_nSize - sizeof(void*));
    }
    return AllocSlow(size);
}

[[gnu::noinline]] void* ZoBlockCache::AllocSlow(std::size_t size) noexcept {
    if (size != m_nSize) {
        return std::malloc(size);
    }
    ThreadCache& c = t_cache;
    Pair& p = c.pairs[m_nSlot];
    if (p.spare.nCount != 0) {
        std::swap(p.loaded, p.spare);
    } else {
        if (c.bEnded) {
            return std::malloc(m_nSize);
        }
        Guard(c);
        if (!m_pStore->Get(p.loaded)) {
            return std::malloc(m_nSize);
        }
    }
    return p.loaded.Pop(m_nSize - sizeof(void*));
}

void* ZoBlockCache::AllocOrThrow(std::size_t size) {
    void* block = Alloc(size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void ZoBlockCache::Free(void* block, std::size_t size) noexcept {
    ThreadCache& c = t_cache;
    Magazine& loaded = c.pairs[m_nSlot].loaded;
    // Most calls: a guarded, living thread with room in its magazine.
    if (block != nullptr && size == m_nSize && c.bGuarded && !c.bEnded && loaded.nCount < kBatch) {
        RefuseDoubleFree(block, m_pName);
        loaded.Push(block, m_nSize - sizeof(void*));
        return;
    }
    FreeSlow(block, size);
}

[[gnu::noinline]] void ZoBlockCache::FreeSlow(void* block, std::size_t size) noexcept {
    if (block == nullptr || size != m_nSize) {
        std::free(block);
        return;
    }
    RefuseDoubleFree(block, m_pName);
    ThreadCache& c = t_cache;
    if (c.bEnded) {
        std::free(block);
        return;
    }
    Guard(c);
    Pair& p = c.pairs[m_nSlot];
    const std::size_t link = m_nSize - sizeof(void*);
    if (p.loaded.nCount == kBatch) {
        if (p.spare.nCount != 0 && !m_pStore->Put(p.spare)) {
            p.spare.Release(link);
        }
        std::swap(p.loaded, p.spare);
    }
    p.loaded.Push(block, link);
}

std::size_t ZoBlockCache::Stored() const noexcept {
    std::lock_guard<std::mutex> lock(m_pStore->mLock);
    std::size_t blocks = 0;
    for (std::size_t i = 0; i < m_pStore->nFull; ++i) {
        blocks += m_pStore->pFull[i].nCount;
    }
    return blocks;
}

void ZoBlockCache::FlushThread() noexcept {
    ThreadCache& c = t_cache;
    const std::size_t caches = g_nCaches.load() < kMaxCaches ? g_nCaches.load() : kMaxCaches;
    for (std::size_t i = 0; i < caches; ++i) {
        ZoBlockCache* cache = g_Caches[i].load();
        if (cache == nullptr) {
            continue;  // still being made; its magazines are empty
        }
        const std::size_t link = cache->m_nSize - sizeof(void*);
        for (Magazine* m : {&c.pairs[i].loaded, &c.pairs[i].spare}) {
            if (m->nCount != 0 && !cache->m_pStore->Put(*m)) {
                m->Release(link);
            }
        }
    }
}
