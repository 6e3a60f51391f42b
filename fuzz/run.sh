#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang and runs each for SECONDS on a copy of its seed corpus
# (the repository's corpus is never written). Exits non-zero when a target finds a crash, a leak
# or a hang; the reproducer is left in BUILD_DIR/fuzz-run/TARGET/.
#
# usage: fuzz/run.sh BUILD_DIR [SECONDS]   (SECONDS defaults to 60)
# FUZZ_JOBS=N runs N jobs per target; FUZZ_TARGETS="a b" picks targets.
set -euo pipefail
if [[ $# -lt 1 ]]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
seconds=${2:-60}
targets=${FUZZ_TARGETS:-"xdr_fuzz server_fuzz client_fuzz"}
jobs=${FUZZ_JOBS:-1}
max_len=16384

cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZORNET_FUZZ=ON -DZORNET_TESTS=OFF -DZORNET_TOOLS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

status=0
for target in $targets; do
    corpus=${target%_fuzz}
    work="$build/fuzz-run/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp "$src/fuzz/corpus/$corpus/"* "$work/corpus/"
    echo "=== $target: ${seconds}s, $jobs job(s), max_len $max_len"
    # -timeout: one input taking longer than this is a hang. -rss_limit_mb: the decode budget
    # keeps every input far below it, so reaching it is a finding.
    parallel=()
    if [[ $jobs -gt 1 ]]; then
        parallel=(-jobs="$jobs" -workers="$jobs")
    fi
    failed=0
    if ! (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$target" \
            -max_total_time="$seconds" -max_len="$max_len" -timeout=60 -rss_limit_mb=2560 \
            "${parallel[@]}" -print_final_stats=1 -artifact_prefix="$work/" \
            corpus >"$work/log" 2>&1); then
        failed=1
    fi
    # With -jobs, the jobs' own logs hold the results.
    cat "$work"/fuzz-*.log >>"$work/log" 2>/dev/null || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^Done ' \
        "$work/log" || true
    if compgen -G "$work/crash-*" >/dev/null || compgen -G "$work/leak-*" >/dev/null ||
        compgen -G "$work/timeout-*" >/dev/null || compgen -G "$work/oom-*" >/dev/null; then
        failed=1
    fi
    if [[ $failed -ne 0 ]]; then
        status=1
        echo "$target FAILED; the log and reproducers are in $work" >&2
        grep -E 'ERROR|SUMMARY|server_fuzz:|Test unit written' "$work/log" | head -20 >&2 || true
    fi
done
exit $status
