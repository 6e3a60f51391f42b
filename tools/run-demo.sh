#!/usr/bin/env bash
# First thing to run on a new machine: installs the Debian packages the build needs when they are
# missing, builds netecho and netcall, and runs the demo session (tools/demo.sh).
# Usage: tools/run-demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
missing=()
if command -v dpkg >/dev/null; then
    for p in "${packages[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
fi
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
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
