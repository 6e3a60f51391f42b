// SPDX-License-Identifier: Apache-2.0
#include "neteventqueue.h"

#include <new>

namespace {

std::size_t PowerOfTwoAtLeast(std::size_t n) {
    std::size_t size = 2;
    while (size < n) {
        size *= 2;
    }
    return size;
}

}  // namespace

NetEventQueue::NetEventQueue(std::size_t capacity)
    : m_pSlots(new Slot[PowerOfTwoAtLeast(capacity)]), m_nMask(PowerOfTwoAtLeast(capacity) - 1) {
    for (std::size_t i = 0; i <= m_nMask; ++i) {
        m_pSlots[i].seq.store(i, std::memory_order_relaxed);
    }
}

bool NetEventQueue::Push(const NetEventRecord& record) {
    if (!m_bListed.load(std::memory_order_acquire) && PushRing(record)) {
        return true;
    }
    std::lock_guard<std::mutex> lock(m_ListMutex);
    // While events wait in the list, later ones join them there: each poster's order holds.
    if (m_List.empty() && PushRing(record)) {
        return true;
    }
    try {
        m_List.push_back(record);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_bListed.store(true, std::memory_order_release);
    m_nOverflowed.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// A slot is claimed by moving the tail past it, then filled, then published through its
// sequence number, so the consumer never reads a half-written event.
bool NetEventQueue::PushRing(const NetEventRecord& record) {
    std::size_t pos = m_nTail.load(std::memory_order_relaxed);
    for (;;) {
        Slot& slot = m_pSlots[pos & m_nMask];
        const std::size_t seq = slot.seq.load(std::memory_order_acquire);
        const auto lag = static_cast<std::ptrdiff_t>(seq - pos);
        if (lag == 0) {
            if (m_nTail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                slot.record = record;
                slot.seq.store(pos + 1, std::memory_order_release);
                return true;
            }
        } else if (lag < 0) {
            return false;  // full: the consumer has not taken this slot's previous event yet
        } else {
            pos = m_nTail.load(std::memory_order_relaxed);  // another poster took it
        }
    }
}

bool NetEventQueue::Pop(NetEventRecord& record) {
    if (RingReady()) {
        Slot& slot = m_pSlots[m_nHead & m_nMask];
        record = slot.record;
        slot.seq.store(m_nHead + m_nMask + 1, std::memory_order_release);
        ++m_nHead;
        return true;
    }
    if (!ListReady()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_ListMutex);
    if (m_List.empty()) {
        return false;
    }
    record = m_List.front();
    m_List.pop_front();
    if (m_List.empty()) {
        m_bListed.store(false, std::memory_order_release);
    }
    return true;
}

bool NetEventQueue::Ready() const {
    return RingReady() || ListReady();
}

bool NetEventQueue::RingReady() const {
    return m_pSlots[m_nHead & m_nMask].seq.load(std::memory_order_acquire) == m_nHead + 1;
}

// The list's events come after everything in the ring, including slots still being filled.
bool NetEventQueue::ListReady() const {
    return m_bListed.load(std::memory_order_acquire) &&
           m_nTail.load(std::memory_order_acquire) == m_nHead;
}
