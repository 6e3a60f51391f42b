#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, tests and benchmarks need, when they are missing.
# tshark runs the Wireshark dissector's test (tools/wireshark).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev python3
          pkg-config doxygen help2man tshark libcli11-dev nlohmann-json3-dev
          libasio-dev libevent-dev libuv1-dev libglib2.0-dev)  # the last four: loop adapters
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    # Wireshark's package asks whether users may capture; answer no instead of waiting for one.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        "${sudo_cmd[@]}" debconf-set-selections
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
