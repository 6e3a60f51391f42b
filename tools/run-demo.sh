#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# First thing to run on a new machine: installs the Debian packages that are missing
# (tools/setup-deps.sh), builds netecho and netcall, and runs the demo session (tools/demo.sh).
# Usage: tools/run-demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

# setup-deps.sh asks dpkg what is missing: on a machine without it, install by hand.
if command -v dpkg >/dev/null; then
    "$root/tools/setup-deps.sh"
fi

echo "building netecho and netcall in $build"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j"$(nproc)" --target netecho netcall; } >"$log" 2>&1; then
    cat "$log"
    echo "run-demo: the build failed" >&2
    exit 1
fi
"$root/tools/demo.sh" "$build"
