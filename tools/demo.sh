#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A scripted session with netecho and netcall: every call kind, a user call with a list and a
# reference, a one-way call, refusals, and the Unicode negotiation. Prints a transcript and exits
# 0 only when every step behaved as expected.
# Usage: tools/demo.sh BUILD_DIR   (BUILD_DIR holds tools/netecho and tools/netcall)
set -euo pipefail

build=${1:?usage: demo.sh BUILD_DIR}
netecho=$build/tools/netecho
netcall=$build/tools/netcall
for program in "$netecho" "$netcall"; do
    [[ -x $program ]] || { echo "demo: $program is not built" >&2; exit 2; }
done

work=$(mktemp -d)
servers=()
steps=0
failures=()

cleanup() {
    local pid
    for pid in "${servers[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

section() { printf '\n## %s\n' "$*"; }

# Arguments as a person would type them: single quotes only where the shell needs them.
quoted() {
    local arg out=()
    for arg in "$@"; do
        if [[ $arg =~ ^[A-Za-z0-9_./:@=+-]+$ ]]; then
            out+=("$arg")
        else
            out+=("'${arg//\'/\'\\\'\'}'")
        fi
    done
    echo "${out[*]}"
}

# start_echo NAME [VAR=VALUE]... : starts netecho on a free loopback port, trying random ports
# until one serves. Sets NAME_port and NAME_pid.
start_echo() {
    local name=$1 try port pid i
    shift
    for try in {1..20}; do
        port=$((20000 + RANDOM % 30000))
        env -u ZOR_NET_USE_UNICODE "$@" "$netecho" --port "$port" \
            >"$work/$name.out" 2>"$work/$name.err" &
        pid=$!
        for i in {1..100}; do  # at most 5 s
            if grep -qx "listening on port $port" "$work/$name.out"; then
                servers+=("$pid")
                printf -v "${name}_port" '%s' "$port"
                printf -v "${name}_pid" '%s' "$pid"
                echo "\$ ${*:+$* }netecho --port $port &"
                echo "listening on port $port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break  # the port was taken: try another
            sleep 0.05
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "demo: netecho did not start: $(cat "$work/$name.err")" >&2
    exit 1
}

# call DESCRIPTION EXIT PATTERNS ARG... : runs netcall, shows it, and checks its exit status and
# that each line of PATTERNS, an extended regular expression, matches a line of its output
# (standard output and error together).
call() {
    local what=$1 expect=$2 patterns=$3 status=0 pattern matched=1
    shift 3
    steps=$((steps + 1))
    echo "\$ netcall $(quoted "$@")"
    timeout 20 "$netcall" "$@" >"$work/out" 2>"$work/err" || status=$?
    cat "$work/out"
    grep -v '^Pack Handle' "$work/err" || true  # the library's own line per packed handle
    while IFS= read -r pattern; do
        # Not a pipe into grep -q: under pipefail, a writer cut short by SIGPIPE would fail it.
        if ! grep -Eqh -- "$pattern" "$work/out" "$work/err"; then
            matched=0
            echo "  ^^^ no line matches: $pattern"
        fi
    done <<<"$patterns"
    if [[ $status -ne $expect || $matched -eq 0 ]]; then
        failures+=("$what (exit $status, expected $expect)")
        [[ $status -eq $expect ]] || echo "  ^^^ exit status $status, expected $expect"
    fi
}

# stop_echo NAME : SIGTERM, then a bounded wait for exit status 0.
stop_echo() {
    local name=$1 pid status=0 i
    pid=${name}_pid
    pid=${!pid}
    steps=$((steps + 1))
    echo "\$ kill -TERM $pid   # $name"
    kill -TERM "$pid"
    for i in {1..200}; do  # at most 10 s
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    wait "$pid" || status=$?
    echo "netecho exited with status $status"
    [[ $status -eq 0 ]] || failures+=("$name did not stop cleanly (exit $status)")
}

host=127.0.0.1

section "An echo server"
start_echo echo
svc=echo:$echo_port

section "Every call kind on one connection ('--' separates calls)"
call "call kinds" 0 'int: status 1 \(success\), flags 0x2, handle 0, value 42
real: .*value 2\.5
string: .*value "hello, world"
connect: handle 0, version 2, unicode off' \
    "$host" "$svc" int 42 -- real 2.5 -- string "hello, world" -- connect
[[ $(grep -c '' "$work/out") -eq 4 ]] || failures+=("call kinds: not four answers")

section "A user call: typed values, a list with its cursor, a reference of depth 2"
call "user call" 0 'values: 7 "text\\n" \[1, 2, 3 @2\] &&2\.5 t12:30:05 d2024/1205 h7:42 true none \[:int @0\]$' \
    "$host" "$svc" user 7 '"text\n"' '[1, 2, 3 @2]' '&&2.5' t12:30:05 d2024/1205 h7:42 true none \
    '[:int @0]'

section "One-way calls: nothing is read back (flag 0x1)"
call "one-way" 0 '^int: sent, no reply$
^user: sent, no reply$' --no-reply "$host" "$svc" int 5 -- user '[1.5, 2.5 @1]'

section "The noreturn service answers status 7 and sends no value back: exit status 1"
call "noreturn" 1 'int: status 7 .*value 0$' "$host" "noreturn:$echo_port" int 5

section "JSON output and a timed run"
call "json" 0 '^\{"call":"real","status":1,"status_text":"success","flags":2,"handle":[0-9]+,"value":0\.1\}$' \
    --json "$host" "$svc" real 0.1
call "repeat" 0 'repeat 500: 500 calls in .* calls/s, latency p50 .* p99 .* max' \
    --repeat 500 "$host" "$svc" int 1

section "Refusals: each has one line on standard error and its own exit status"
call "refused service" 5 'does not serve "nosuch".*status 31' "$host" "nosuch:$echo_port" int 1
call "refused version" 6 'does not speak protocol version 3.*status 30' \
    --protocol 3 --no-fallback "$host" "$svc" int 1
call "version fall-back" 0 'connect: handle [0-9]+, version 2' --protocol 3 "$host" "$svc" connect
call "bad literal" 2 'position 5: every element of a list of int' "$host" "$svc" user '[1, "a"]'
call "unknown host" 3 'unknown host' no..such..host "$svc" int 1

section "Unicode: a server started with ZOR_NET_USE_UNICODE offers UTF-16 to version-2 clients"
start_echo wide ZOR_NET_USE_UNICODE=1
call "unicode on" 0 'connect: handle [0-9]+, version 2, unicode on
user: .*values: "grüße ✓"$' "$host" "echo:$wide_port" connect -- user '"grüße ✓"'
call "unicode off below version 2" 0 'connect: handle [0-9]+, version 1, unicode off
user: .*values: "grüße ✓"$' --protocol 1 "$host" "echo:$wide_port" connect -- user '"grüße ✓"'

section "Stopping: SIGTERM ends each server with status 0; its port then refuses connections"
stop_echo wide
stop_echo echo
servers=()
call "refused connection" 4 'cannot connect to 127\.0\.0\.1 port [0-9]+: connection refused' \
    "$host" "$svc" int 1

echo
if ((${#failures[@]})); then
    echo "demo: ${#failures[@]} of $steps steps misbehaved:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
echo "demo: all $steps steps behaved as expected"
