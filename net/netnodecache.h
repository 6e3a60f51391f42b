// SPDX-License-Identifier: Apache-2.0
// The memory of list elements (sLIST_NODE), kept for reuse in a ZoBlockCache (zo/zoblockcache.h):
// a list of thousands of values received and released on every call reuses its nodes.
#pragma once

#include <cstddef>

#include "zo/zoblockcache.h"

constexpr std::size_t kNodeBatch = ZoBlockCache::kBatch;
constexpr std::size_t kNodeStoreBatches = 128;
// 32,768 nodes of 32 bytes in the store, 1.5 MiB of heap with their block headers: a list of
// 10,000 values decoded and released on either side of a connection in one process, and more.

void NetNodeFlush() noexcept;
// Calling thread. Its magazines of list nodes and of strings go to the stores (their blocks to
// the system when full), so a thread that waits for its next message holds none. Also done when
// the thread ends.

std::size_t NetNodesStored() noexcept;
// Any thread. Nodes in the store now.
