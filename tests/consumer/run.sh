#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then checks what an outside
# user gets there: the tools run without help, and a C program builds
# against the library with pkg-config and with CMake, and finds a peer.
#   run.sh BUILD-DIR
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

for tool in ombrix-discovery-cli ombrix-discovery-gtk; do
    if env -u LD_LIBRARY_PATH ldd "$prefix/bin/$tool" | grep -q "not found"; then
        echo "$tool cannot find its libraries when installed" >&2
        exit 1
    fi
done
env -u LD_LIBRARY_PATH "$prefix/bin/ombrix-discovery-cli" --help >/dev/null

pc_dir=$(dirname "$(find "$prefix" -name obx_discovery.pc)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs obx_discovery)
libdir=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir obx_discovery)
cc -std=c99 -Wall -Werror -o "$work/with-pkg-config" "$here/find_peer.c" $flags \
    -pthread -Wl,-rpath,"$libdir"
"$work/with-pkg-config"

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/find_peer"
