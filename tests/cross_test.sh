#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library as a camera's firmware uses it, on the test network
# (tests/testnet.sh --hosts 3): the cross-built example camera (static
# library) runs under qemu-user on host 2 and must be listed by the native
# command-line tool on host 1 with its URLs completed; the cross-built probe
# (shared library) on host 2 must find a native camera on host 3.
#   cross_test.sh ARCH CROSS-BUILD-DIR NATIVE-BUILD-DIR
set -euo pipefail
arch="$1" cross="$2" native="$3"
case "$arch" in
    armhf) qemu=qemu-arm-static ;;
    arm64) qemu=qemu-aarch64-static ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
"$native/tests/support/obx-simulator" --check
read -r -a hosts <<< "$OBX_TESTNET_HOSTS"
read -r -a addresses <<< "$OBX_TESTNET_ADDRS"
on_host() { local host="$1"; shift; setpriv --pdeathsig TERM nsenter -t "${hosts[$((host - 1))]}" -n -- "$@"; }
peers=()
trap '[ ${#peers[@]} -eq 0 ] || kill "${peers[@]}" 2>/dev/null || true' EXIT
fail() { echo "$arch: $1" >&2; exit 1; }

on_host 2 "$qemu" "$cross/static/examples/obx-camera" --name "Camera $arch" \
    --rtsp rtsp:///live --http http://:80/ &
peers+=("$!")
sleep 1 # emulated start-up: its presence has gone out
line="$(timeout -s INT 1 "$native/tools/cli/ombrix-discovery-cli" | grep "^${addresses[1]} " || true)"
expected="${addresses[1]} Camera $arch http://${addresses[1]}:80/ rtsp://${addresses[1]}/live"
[ "$line" = "$expected" ] || fail "the tool printed \"$line\", not \"$expected\""
kill "${peers[@]}"
wait

on_host 3 "$native/examples/obx-camera" --name "Native camera" --http http://:80/ &
peers=("$!")
sleep 0.2
found="$(on_host 2 "$qemu" "$cross/shared/examples/obx-probe" 2 | grep "^${addresses[2]} " || true)"
[ "$found" = "${addresses[2]} Native camera http://${addresses[2]}:80/" ] ||
    fail "the probe printed \"$found\""
echo "$arch: the emulated camera was listed and the emulated probe found a camera"
