#!/usr/bin/env bash
# Builds the library and runs a short demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
oam_ensure_deps

BUILD=${OAM_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOAMSDK_BUILD_TESTS=OFF -DOAMSDK_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc 2>/dev/null || echo 2)"
echo "built: $(ls "$BUILD"/lib/liboamsdk.so* | head -1)"
