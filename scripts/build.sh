#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, then configures and builds the project in build/
# (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
