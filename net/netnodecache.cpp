#include "netnodecache.h"

#include <cstdlib>
#include <new>

#include "net/netvalue.h"

namespace {

constexpr std::size_t kNodeSize = sizeof(sLIST_NODE);

ZoBlockCache& Nodes() {
    static ZoBlockCache* const cache = new ZoBlockCache(kNodeSize, kNodeStoreBatches, "sLIST_NODE");
    return *cache;
}

}  // namespace

void NetNodeFlush() noexcept {
    ZoBlockCache::FlushThread();
}

std::size_t NetNodesStored() noexcept {
    return Nodes().Stored();
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
    return size == kNodeSize ? Nodes().Alloc() : std::malloc(size);
}

void sLIST_NODE::operator delete(void* node, std::size_t size) noexcept {
    if (size == kNodeSize) {
        Nodes().Free(node);
    } else {
        std::free(node);
    }
}
