#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
oam_ensure_deps

BUILD=${OAM_BUILD_DIR:-build}
JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$JOBS"
ctest --test-dir "$BUILD" --output-on-failure -j"$JOBS"
if command -v clang++ >/dev/null 2>&1; then bash scripts/fuzz.sh; fi
