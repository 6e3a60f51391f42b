// SPDX-License-Identifier: Apache-2.0
#include "netnodecache.h"

#include <new>

#include "net/netvalue.h"

namespace {

ZoBlockCache& Nodes() {
    static ZoBlockCache* const cache =
        new ZoBlockCache(sizeof(sLIST_NODE), kNodeStoreBatches, "sLIST_NODE");
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
    return Nodes().AllocOrThrow(size);
}

void* sLIST_NODE::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Nodes().Alloc(size);
}

void sLIST_NODE::operator delete(void* node, std::size_t size) noexcept {
    Nodes().Free(node, size);
}
