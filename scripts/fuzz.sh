#!/usr/bin/env bash
# Builds every libFuzzer target with clang (preset "fuzz": ASan + UBSan) and
# runs each for a bounded time, starting from its committed seed corpus.
# OAM_FUZZ_SECONDS overrides every target's own run time (the codec's is 60).
# New inputs go to build-fuzz/corpus-<name>/, findings to build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, skipped"
  exit 0
fi

BUILD=build-fuzz
JOBS=$(nproc 2>/dev/null || echo 2)
cmake --preset fuzz >/dev/null
cmake --build "$BUILD" -j"$JOBS"

LIST="$BUILD/fuzzers.list"
if [ ! -s "$LIST" ]; then
  echo "fuzz: no fuzz targets"
  exit 0
fi

mkdir -p "$BUILD/artifacts"
status=0
while IFS=$'\t' read -r name exe corpus seconds; do
  secs=${OAM_FUZZ_SECONDS:-$seconds}
  work="$BUILD/corpus-$name"
  log="$BUILD/$name.log"
  mkdir -p "$work"
  echo "fuzz: $name for ${secs}s"
  dirs=("$work")
  if [ "$corpus" != "-" ]; then dirs+=("$corpus"); fi
  if "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$BUILD/artifacts/$name-" "${dirs[@]}" </dev/null >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" || true
  else
    echo "fuzz: $name FAILED (log: $log)"
    tail -n 60 "$log"
    status=1
  fi
done <"$LIST"
exit $status
