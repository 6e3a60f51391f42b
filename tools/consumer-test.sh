#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a built tree into a temporary prefix, moves the prefix (the packages must not remember
# where they were installed), and builds against it as an outside project would: every installed
# header on its own, a two-file program with pkg-config and with find_package, each shared and
# static, and the installed examples; then the same program with zornet as a subproject. Runs
# what it builds.
# Usage: tools/consumer-test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cxx=${CXX:-c++}

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/prefix"
prefix=$work/prefix
pcdir=$(dirname "$(find "$prefix" -name zornet.pc)")
libdir=$(dirname "$pcdir")
export PKG_CONFIG_PATH=$pcdir
echo "installed: $(cd "$prefix" && find . -type f | wc -l) files; zornet $(pkg-config --modversion zornet)"

echo "headers, each on its own"
loop_cflags() {  # an event-loop adapter's header also needs its loop's headers
    case $1 in
        net/loop/libevent.h) pkg-config --cflags libevent_core ;;
        net/loop/libuv.h) pkg-config --cflags libuv ;;
        net/loop/glib.h) pkg-config --cflags glib-2.0 ;;
    esac
}
while read -r header; do
    echo "#include \"$header\"" | "$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only \
        $(pkg-config --cflags zornet) $(loop_cflags "$header") -x c++ - ||
        { echo "does not stand alone: $header"; exit 1; }
done < <(cd "$prefix/include/zornet" && find . -name '*.h' | sed 's|^\./||' | sort)

run() {  # name, program: runs it with a time limit and checks how it links
    local name=$1 program=$2
    timeout 60 "$program" | sed "s/^/$name: /"
    local libraries symbols
    libraries=$(ldd "$program")
    symbols=$(nm -C "$program")
    if grep -q libzornet <<<"$libraries"; then
        [[ $name == *shared* ]] || { echo "$name links libzornet.so"; exit 1; }
    else
        [[ $name == *static* ]] || { echo "$name does not link libzornet.so"; exit 1; }
    fi
    if grep -q " [TW] ZoInputLoop::Run()" <<<"$symbols"; then
        [[ $name == *static* ]] || { echo "$name carries its own platform layer"; exit 1; }
    fi
}

sources=("$root/tests/consumer/main.cpp" "$root/tests/consumer/doubler.cpp")
"$cxx" -std=c++17 "${sources[@]}" $(pkg-config --cflags --libs zornet) -Wl,-rpath,"$libdir" \
    -o "$work/pkgconfig-shared"
run pkgconfig-shared "$work/pkgconfig-shared"
"$cxx" -std=c++17 "${sources[@]}" $(pkg-config --cflags zornet) \
    $(pkg-config --libs-only-L zornet) -Wl,-Bstatic -lzornet -Wl,-Bdynamic -pthread \
    -o "$work/pkgconfig-static"
run pkgconfig-static "$work/pkgconfig-static"

cmake -S "$root/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
run cmake-shared "$work/consumer/consumer_shared"
run cmake-static "$work/consumer/consumer_static"

echo "zornet inside another project (add_subdirectory): no tests or programs, zornet:: targets"
mkdir "$work/outer"
cat >"$work/outer/CMakeLists.txt" <<OUTER
cmake_minimum_required(VERSION 3.16)
project(outer LANGUAGES CXX)
add_subdirectory("$root" zornet)
add_executable(outer "${sources[0]}" "${sources[1]}")
target_link_libraries(outer PRIVATE zornet::zornet)
OUTER
cmake -S "$work/outer" -B "$work/outer/build" -G Ninja >/dev/null
grep -q "^ZORNET_TESTS:BOOL=OFF" "$work/outer/build/CMakeCache.txt"
cmake --build "$work/outer/build" --target outer >/dev/null
run subproject-shared "$work/outer/build/outer"

echo "the installed examples"
cmake -S "$prefix/share/doc/zornet/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
    >/dev/null
cmake --build "$work/examples" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$work/examples/minimal_server" "$port" >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
    grep -q serving "$work/server.out" && break
    sleep 0.1
done
timeout 30 "$work/examples/minimal_client" 127.0.0.1 "$port" | sed 's/^/minimal_client: /'
kill "$server_pid"
wait "$server_pid" || true
server_pid=

for page in netcall netecho; do
    [[ -s $prefix/share/man/man1/$page.1 ]] || { echo "no manual page for $page"; exit 1; }
done
echo "consumer test passed"
