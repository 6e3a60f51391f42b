// SPDX-License-Identifier: Apache-2.0
// Decode accounting: the thread's active budget, the server's pool and the holds on it.
#include "net_xdr_budget.h"

#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// A message takes its share of the pool in steps of this size, so that small messages touch the
// pool once and large ones once per step, not once per allocation.
constexpr std::uint64_t kPoolStep = 4 * 1024;

// glibc keeps freed blocks for reuse, so without this a burst of big calls would leave the
// process at its peak for good. malloc_trim returns free pages inside every heap but not the free
// top of a thread's own heap, where a decode's blocks end up once freed; freeing a block above
// glibc's consolidation size (64 KiB) and below its mmap threshold (128 KiB at least) into it
// makes glibc shrink that heap too. One trim runs at a time; releases during it make it run again.
void ReturnFreedMemory() {
#ifdef __GLIBC__
    static std::atomic<std::uint32_t> requests{0};
    if (requests.fetch_add(1, std::memory_order_acq_rel) == 0) {
        std::uint32_t seen;
        do {
            seen = requests.load(std::memory_order_acquire);
            malloc_trim(0);
        } while (requests.fetch_sub(seen, std::memory_order_acq_rel) != seen);
    }
    constexpr std::size_t kShrinkBlock = 96 * 1024;
    if (void* block = std::malloc(kShrinkBlock)) {
        static_cast<volatile char*>(block)[0] = 0;  // the pair must not be optimised away
        std::free(block);
    }
#endif
}

}  // namespace

NetDecodeBudget::State& NetDecodeBudget::Current() {
    thread_local State state{false, 0, std::numeric_limits<std::int16_t>::max(), nullptr, 0, 0, 0};
    return state;
}

bool NetDecodeCharge(std::size_t bytes) {
    NetDecodeBudget::State& b = NetDecodeBudget::Current();
    if (!b.bActive) {
        return true;
    }
    if (bytes > b.ullRemaining) {
        return false;
    }
    if (b.pPool != nullptr && bytes > b.ullPoolUnused) {
        const std::uint64_t need = bytes - b.ullPoolUnused;
        std::uint64_t step = (need + kPoolStep - 1) / kPoolStep * kPoolStep;
        if (!b.pPool->Take(step, b.ullPoolLimit)) {
            step = need;  // what is left of the pool may still hold this allocation
            if (!b.pPool->Take(step, b.ullPoolLimit)) {
                return false;
            }
        }
        b.ullPoolTaken += step;
        b.ullPoolUnused += step;
    }
    if (b.pPool != nullptr) {
        b.ullPoolUnused -= bytes;
    }
    b.ullRemaining -= bytes;
    return true;
}

std::int32_t NetDecodeDepthLimit() {
    return NetDecodeBudget::Current().lMaxDepth;
}

bool NetDecodePool::Take(std::uint64_t bytes, std::uint64_t limit) {
    std::uint64_t used = m_ullUsed.load(std::memory_order_relaxed);
    do {
        if (bytes > limit || used > limit - bytes) {
            return false;
        }
    } while (!m_ullUsed.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void NetDecodePool::Give(std::uint64_t bytes) {
    m_ullUsed.fetch_sub(bytes, std::memory_order_relaxed);
    if (bytes >= kNetLargeDecode) {
        ReturnFreedMemory();
    }
}

NetDecodeHold& NetDecodeHold::operator=(NetDecodeHold&& other) noexcept {
    if (this != &other) {
        Reset();
        m_pPool = other.m_pPool;
        m_ullBytes = other.Release();
    }
    return *this;
}

bool NetDecodeHold::Grow(std::uint64_t bytes, std::uint64_t limit) {
    if (m_pPool == nullptr || !m_pPool->Take(bytes, limit)) {
        return false;
    }
    m_ullBytes += bytes;
    return true;
}

std::uint64_t NetDecodeHold::Release() {
    const std::uint64_t bytes = m_ullBytes;
    m_ullBytes = 0;
    return bytes;
}

void NetDecodeHold::Reset() {
    if (m_pPool != nullptr && m_ullBytes != 0) {
        m_pPool->Give(Release());
    }
}

NetDecodeBudget::NetDecodeBudget(std::uint64_t limit, std::int32_t maxDepth, NetDecodePool* pool,
                                 std::uint64_t poolLimit)
    : m_Prev(Current()), m_ullLimit(limit) {
    Current() = State{true, limit, maxDepth, pool, poolLimit, 0, 0};
}

NetDecodeBudget::~NetDecodeBudget() {
    Hold().Reset();
    Current() = m_Prev;
}

std::uint64_t NetDecodeBudget::Used() const {
    return m_ullLimit - Current().ullRemaining;
}

NetDecodeHold NetDecodeBudget::Hold() {
    State& b = Current();
    NetDecodeHold hold(b.pPool, b.ullPoolTaken);
    b.ullPoolTaken = 0;
    b.ullPoolUnused = 0;
    return hold;
}
