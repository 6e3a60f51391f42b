// The memory of list elements (sLIST_NODE), kept for reuse: a list received, released and
// received again takes its nodes from here instead of from the system, whose allocator would
// otherwise hand the freed pages back after every call and fault them in again on the next.
//
// Each thread keeps two magazines (arrays of up to kNodeBatch free nodes) and trades whole
// magazines with one store shared by all threads, so a node freed on one thread (a list decoded
// on an input thread and released on the main thread) is reused on another, at the cost of one
// lock per magazine. The store keeps at most kNodeStoreBatches magazines of nodes; nodes beyond
// that go back to the system.
#pragma once

#include <cstddef>

constexpr std::size_t kNodeBatch = 256;
constexpr std::size_t kNodeStoreBatches = 128;
// 32,768 nodes of 32 bytes in the store, 1.5 MiB of heap with their block headers: a list of
// 10,000 values decoded and released on either side of a connection in one process, and more.

void NetNodeFlush() noexcept;
// Calling thread. Its magazines go to the store (their nodes to the system when it is full), so
// a thread that waits for its next message holds none. Also done when the thread ends.

std::size_t NetNodesStored() noexcept;
// Any thread. Nodes in the store now.
