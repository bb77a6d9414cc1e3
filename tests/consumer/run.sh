#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks an installed copy as an outside user gets it: the tools run without
# help, find their translations, and the command-line tool finds peers, and a C program builds against
# the library with pkg-config and with CMake, and finds a peer too.
#   run.sh --install BUILD-DIR   install the build tree into a fresh prefix first
#   run.sh --prefix PREFIX       check an existing installation (e.g. /usr)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
case "${1:-}" in
    --install) prefix="$work/prefix"; cmake --install "$2" --prefix "$prefix" >/dev/null ;;
    --prefix) prefix="$2" ;;
    *) echo "usage: run.sh --install BUILD-DIR | --prefix PREFIX" >&2; exit 2 ;;
esac
export -n LD_LIBRARY_PATH

for tool in ombrix-discovery-cli ombrix-discovery-gtk; do
    if ldd "$prefix/bin/$tool" | grep "not found"; then
        echo "$tool cannot find its libraries when installed" >&2
        exit 1
    fi
done
"$prefix/bin/ombrix-discovery-cli" --help >/dev/null
# Its translations are found under the same prefix.
LC_ALL=de_DE.UTF-8 LANGUAGE= "$prefix/bin/ombrix-discovery-cli" --help |
    grep -q "Ausführlichere Ausgabe" || { echo "cli --help is not translated" >&2; exit 1; }
# It hears its own announcement, so its own address is the first line.
first_line=$(timeout -s INT 2 "$prefix/bin/ombrix-discovery-cli" | head -n 1 || true)
[ "$first_line" = "${OBX_TESTNET_ADDRS%% *}" ] || { echo "cli printed: $first_line" >&2; exit 1; }

pc_file=$(find "$prefix" -path '*/pkgconfig/obx_discovery.pc' | head -n 1)
export PKG_CONFIG_PATH="$(dirname "$pc_file")"
cc -std=c99 -Wall -Werror -o "$work/with-pkg-config" "$here/find_peer.c" \
    $(pkg-config --cflags --libs obx_discovery) -pthread \
    -Wl,-rpath,"$(pkg-config --variable=libdir obx_discovery)"
"$work/with-pkg-config"

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/find_peer"
