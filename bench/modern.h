// SPDX-License-Identifier: Apache-2.0
// The zornet:: layer's side of the benchmark: its integer call, measured as the library's is.
#pragma once

#include "bench_util.h"

namespace bench {

Latencies ModernIntegerLatency(const Budget& budget);
// zornet::Client calling a zornet::Server in this process, whose loop runs on the calling (the
// main) thread; the handler answers at once, as the library figure's event object does. Empty
// when the server or the connection could not be set up.

}  // namespace bench
