// SPDX-License-Identifier: Apache-2.0
// Decode accounting: every allocation a decode makes is charged here first, so a peer can make
// the library hold no more memory than the budget of the message being read allows, and all
// peers of a server together no more than the server's pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "net/netsettings.h"

constexpr std::size_t NetAllocCost(std::size_t bytes, std::size_t count = 1) {
    // What count heap blocks of bytes each take: glibc's chunk is the payload and an 8-byte
    // header rounded up to 16, and at least 32 bytes. Charging this rather than the payload is
    // what makes a budget bound resident memory (a 16-byte reference link takes 32).
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    if (bytes > kMax - 32) {
        return kMax;
    }
    const std::size_t chunk = bytes + 8 <= 32 ? 32 : (bytes + 8 + 15) & ~std::size_t{15};
    return count > kMax / chunk ? kMax : chunk * count;
}

constexpr std::uint64_t kNetLargeDecode = 1ull << 20;
// A message whose decode holds this much is large: its release returns the freed heap to the
// system (NetDecodePool::Give). Ordinary calls stay far below it and never pay for that.

bool NetDecodeCharge(std::size_t bytes);
// Calling thread. Counts bytes (pass NetAllocCost of what is allocated) against the thread's
// active budget and its pool; false, with nothing counted, when they do not fit. Always true
// while no budget is active (no limit).

template <typename T, typename... Args>
T* NewCharged(Args&&... args) {
    // A new T, or null when its heap block does not fit the decode budget or cannot be had.
    return NetDecodeCharge(NetAllocCost(sizeof(T))) ? new (std::nothrow) T{args...} : nullptr;
}

std::int32_t NetDecodeDepthLimit();
// Calling thread. The most references a received value may have in front of its data under the
// active budget; any depth the wire can carry while none is active.

// Memory that the messages of all of a server's connections hold together.
class NetDecodePool {
public:
    bool Take(std::uint64_t bytes, std::uint64_t limit);
    // Any thread. False, with nothing taken, when the pool would pass limit.
    void Give(std::uint64_t bytes);
    // Any thread, once what the bytes paid for is released. A large release also returns the
    // freed heap to the system, so a burst of big calls does not keep the process at its peak;
    // release a large decode on the thread that decoded it, whose heap holds its blocks.
    std::uint64_t Used() const { return m_ullUsed.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> m_ullUsed{0};
};

// A decoded message's share of a pool, given back when the hold is destroyed or reset. Declare
// it before the records it pays for, so it goes after they are released.
class NetDecodeHold {
public:
    NetDecodeHold() = default;
    NetDecodeHold(NetDecodePool* pool, std::uint64_t bytes) : m_pPool(pool), m_ullBytes(bytes) {}
    ~NetDecodeHold() { Reset(); }
    NetDecodeHold(NetDecodeHold&& other) noexcept { *this = static_cast<NetDecodeHold&&>(other); }
    NetDecodeHold& operator=(NetDecodeHold&& other) noexcept;

    std::uint64_t Bytes() const { return m_ullBytes; }
    bool Grow(std::uint64_t bytes, std::uint64_t limit);
    // Owning thread. Takes more from the pool; false, unchanged, when it is short.
    std::uint64_t Release();
    // Owning thread. Hands the share on (returned) to whoever gives it back later.
    void Reset();  // owning thread; gives the share back now

private:
    NetDecodePool* m_pPool = nullptr;
    std::uint64_t m_ullBytes = 0;
};

// Sets the calling thread's decode budget for its lifetime; the previous one (or none) returns
// at destruction, so scopes nest. Charges are never refunded: the budget is per message. With a
// pool, each charge is also taken from it (in steps); what the scope took goes back at its end
// unless Hold() has moved it into a hold.
class NetDecodeBudget {
public:
    explicit NetDecodeBudget(std::uint64_t limit,
                             std::int32_t maxDepth = NetSettings::kDefaultMaxReferenceDepth,
                             NetDecodePool* pool = nullptr, std::uint64_t poolLimit = 0);
    ~NetDecodeBudget();
    NetDecodeBudget(const NetDecodeBudget&) = delete;
    NetDecodeBudget& operator=(const NetDecodeBudget&) = delete;

    std::uint64_t Used() const;
    // Owning thread. Bytes charged since this scope began.
    NetDecodeHold Hold();
    // Owning thread. What this scope took from its pool so far, to be held until the decoded
    // message is released.

private:
    struct State {
        bool bActive;
        std::uint64_t ullRemaining;  // of the message budget
        std::int32_t lMaxDepth;
        NetDecodePool* pPool;
        std::uint64_t ullPoolLimit;
        std::uint64_t ullPoolTaken;   // taken from the pool by this scope
        std::uint64_t ullPoolUnused;  // of ullPoolTaken, not charged yet
    };
    friend bool NetDecodeCharge(std::size_t bytes);
    friend std::int32_t NetDecodeDepthLimit();
    static State& Current();

    State m_Prev;
    std::uint64_t m_ullLimit;
};
