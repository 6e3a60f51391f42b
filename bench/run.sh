#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the benchmark (Release, in build-bench) and runs it twice: free-running, and pinned with
# client and server on one CPU (taskset -c 0). Prints one table.
# Usage: bench/run.sh [--smoke] [--repeat N]
#   --smoke     every benchmark for a tiny bounded count, no timing claims; exits 0 when all ran
#   --repeat N  runs per mode (default 3); the table shows medians and the library's min-max
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZORNET_BENCH_BUILD:-$root/build-bench}
smoke=0
repeat=3
while (($#)); do
    case $1 in
        --smoke) smoke=1 ;;
        --repeat) repeat=$2; shift ;;
        *) echo "usage: $0 [--smoke] [--repeat N]" >&2; exit 2 ;;
    esac
    shift
done

"$root/tools/setup-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORNET_BENCH=ON \
    -DZORNET_TESTS=OFF -DZORNET_TOOLS=OFF >/dev/null
cmake --build "$build" --target zornet_bench -j2
bin=$build/bench/zornet_bench
out=$build/bench-results
mkdir -p "$out"

# The measuring runs' standard output carries only the lines the packer prints for every handle
# value it packs (the user calls carry one); the figures go to the --out files.
if ((smoke)); then
    "$bin" --smoke --mode free --out "$out/smoke-free.tsv" >/dev/null
    taskset -c 0 "$bin" --smoke --mode pinned --latency-only --out "$out/smoke-pinned.tsv" >/dev/null
    "$bin" --table "$out/smoke-free.tsv" "$out/smoke-pinned.tsv"
    echo "benchmark smoke: every benchmark ran"
    exit 0
fi

# Each process is bounded: the figures run for fixed counts and windows (see Budget).
"$bin" --mode free --repeat "$repeat" --out "$out/free.tsv" >/dev/null
taskset -c 0 "$bin" --mode pinned --latency-only --repeat "$repeat" --out "$out/pinned.tsv" >/dev/null
echo
echo "zornet benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPU(s)"
"$bin" --table "$out/free.tsv" "$out/pinned.tsv"
