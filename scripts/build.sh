#!/usr/bin/env bash
# Configures and builds the project in build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
