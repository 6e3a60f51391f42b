// SPDX-License-Identifier: Apache-2.0
// The events on their way from the connections' threads to the main thread, in arrival order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

class NetHostHndl;

// One event, in this process's own layout.
struct NetEventRecord {
    std::uint16_t usId;
    bool bPosted;             // MSG_NETUSER: nobody waits, the main thread releases the call
    void* pData;              // the event's argument
    NetHostHndl* pSender;     // the handle whose input thread waits for this event, or null
    std::uint64_t ullCharge;  // posted MSG_NETUSER: its share of m_ullPostedBytes
};

// A ring that posters fill without a lock and one consumer empties. When the ring is full,
// events wait in a list behind it instead, so a poster never blocks however long the consumer
// is busy. Posting is wait-free while the ring has room; the list's lock is taken only while it
// holds events.
class NetEventQueue {
public:
    explicit NetEventQueue(std::size_t capacity);
    // capacity: ring slots, rounded up to a power of two.

    bool Push(const NetEventRecord& record);
    // Any thread, never blocks. False when the ring is full and the list cannot grow. The
    // events of one thread come out in the order that thread pushed them.

    bool Pop(NetEventRecord& record);
    // The consumer. The oldest event, or false when none can be taken now. An event whose push
    // is still under way is not waited for: its poster returns from Push() after it is ready.

    bool Ready() const;
    // The consumer. True when Pop() would give an event.

    std::size_t Overflowed() const { return m_nOverflowed.load(std::memory_order_relaxed); }
    // Any thread. Events that found the ring full so far.

private:
    struct Slot {
        std::atomic<std::size_t> seq;  // == position: free; position + 1: holds that event
        NetEventRecord record;
    };
    bool PushRing(const NetEventRecord& record);
    bool RingReady() const;
    bool ListReady() const;

    std::unique_ptr<Slot[]> m_pSlots;
    std::size_t m_nMask;
    alignas(64) std::atomic<std::size_t> m_nTail{0};  // next position a poster claims
    alignas(64) std::size_t m_nHead = 0;              // next position the consumer takes
    std::mutex m_ListMutex;                           // guards m_List
    std::deque<NetEventRecord> m_List;                // events behind the ring, oldest first
    std::atomic<bool> m_bListed{false};               // m_List is not empty; written under its lock
    std::atomic<std::size_t> m_nOverflowed{0};
};
