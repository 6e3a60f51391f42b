#include "netnodecache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "net/netvalue.h"

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

constexpr std::size_t kNodeSize = sizeof(sLIST_NODE);

// A free node links to the next through its last word. Under AddressSanitizer the rest of it is
// poisoned while cached, so a use after delete is still reported, and a node deleted twice is
// caught here instead of entering the cache twice; the link stays readable, so the leak checker
// (which ignores poisoned memory) still sees cached nodes as held.
constexpr std::size_t kLinkOffset = kNodeSize - sizeof(void*);

void* NextOf(void* node) {
    void* next;
    std::memcpy(&next, static_cast<char*>(node) + kLinkOffset, sizeof next);
    return next;
}

void Poison(void* node) {
#ifdef ZORNET_ASAN
    ASAN_POISON_MEMORY_REGION(node, kLinkOffset);
#else
    (void)node;
#endif
}

void Unpoison(void* node) {
#ifdef ZORNET_ASAN
    ASAN_UNPOISON_MEMORY_REGION(node, kLinkOffset);
#else
    (void)node;
#endif
}

void RefuseDoubleFree(void* node) {
#ifdef ZORNET_ASAN
    if (__asan_address_is_poisoned(node)) {
        std::fprintf(stderr, "sLIST_NODE %p deleted twice\n", node);
        std::abort();
    }
#else
    (void)node;
#endif
}

// A stack of free nodes.
struct Magazine {
    void* pTop = nullptr;
    std::size_t nCount = 0;

    void Push(void* node) {
        std::memcpy(static_cast<char*>(node) + kLinkOffset, &pTop, sizeof pTop);
        Poison(node);
        pTop = node;
        ++nCount;
    }
    void* Pop() {
        void* node = pTop;
        Unpoison(node);
        pTop = NextOf(node);
        --nCount;
        return node;
    }
    void Release() {
        while (nCount != 0) {
            std::free(Pop());
        }
    }
};

// Magazines that threads handed in, for any thread to take.
class Store {
public:
    // Takes m's nodes, leaving it empty; false, with m unchanged, when the store is full.
    bool Put(Magazine& m) {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_nFull == kNodeStoreBatches) {
            return false;
        }
        m_Full[m_nFull++] = std::exchange(m, Magazine{});
        return true;
    }
    // Fills the empty m; false when the store has nothing.
    bool Get(Magazine& m) {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_nFull == 0) {
            return false;
        }
        m = m_Full[--m_nFull];
        return true;
    }
    std::size_t Nodes() {
        std::lock_guard<std::mutex> lock(m_Lock);
        std::size_t nodes = 0;
        for (std::size_t i = 0; i < m_nFull; ++i) {
            nodes += m_Full[i].nCount;
        }
        return nodes;
    }

private:
    std::mutex m_Lock;
    Magazine m_Full[kNodeStoreBatches];  // guarded by m_Lock
    std::size_t m_nFull = 0;             // guarded by m_Lock
};

// Never destroyed: a thread may end, and hand in its magazines, after static destruction began.
Store& TheStore() {
    static Store* store = new Store;
    return *store;
}

void Hand(Magazine& m) {
    if (m.nCount != 0 && !TheStore().Put(m)) {
        m.Release();
    }
}

// A thread's two magazines: nodes are taken from and given to loaded; spare is empty or full,
// so a thread that frees and allocates around a batch boundary does not trade with the store on
// every node. Trivially destructible, so it stays usable while the thread's other objects are
// destroyed at its end: from then on nodes go straight to the system.
struct ThreadCache {
    Magazine loaded;
    Magazine spare;
    bool bGuarded = false;  // a ThreadEnd hands the magazines in when the thread ends
    bool bEnded = false;

    void Flush() {
        Hand(loaded);
        Hand(spare);
    }
};
thread_local ThreadCache t_cache;

struct ThreadEnd {
    ~ThreadEnd() {
        t_cache.bEnded = true;
        t_cache.Flush();
    }
};

// Called before the cache holds nodes.
void Guard(ThreadCache& c) {
    if (!c.bGuarded) {
        thread_local ThreadEnd end;
        (void)end;
        c.bGuarded = true;
    }
}

bool Refill(ThreadCache& c) {
    Guard(c);
    return TheStore().Get(c.loaded);
}

void* NetNodeAlloc() noexcept {
    ThreadCache& c = t_cache;
    if (c.loaded.nCount == 0) {
        if (c.spare.nCount != 0) {
            std::swap(c.loaded, c.spare);
        } else if (c.bEnded || !Refill(c)) {
            return std::malloc(kNodeSize);
        }
    }
    return c.loaded.Pop();
}

void NetNodeFree(void* node) noexcept {
    if (node == nullptr) {
        return;
    }
    RefuseDoubleFree(node);
    ThreadCache& c = t_cache;
    if (c.bEnded) {
        std::free(node);
        return;
    }
    Guard(c);
    if (c.loaded.nCount == kNodeBatch) {
        Hand(c.spare);
        std::swap(c.loaded, c.spare);
    }
    c.loaded.Push(node);
}

}  // namespace

void NetNodeFlush() noexcept {
    t_cache.Flush();
}

std::size_t NetNodesStored() noexcept {
    return TheStore().Nodes();
}

void* sLIST_NODE::operator new(std::size_t size) {
    void* memory = operator new(size, std::nothrow);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void* sLIST_NODE::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    // A class derived from sLIST_NODE is larger than what the cache keeps.
    return size == kNodeSize ? NetNodeAlloc() : std::malloc(size);
}

void sLIST_NODE::operator delete(void* node, std::size_t size) noexcept {
    if (size == kNodeSize) {
        NetNodeFree(node);
    } else {
        std::free(node);
    }
}
