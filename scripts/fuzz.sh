#!/usr/bin/env bash
# Builds every libFuzzer target with clang (preset "fuzz": ASan + UBSan) and
# runs each for a bounded time, starting from its committed seed corpus.
#
#   bash scripts/fuzz.sh                  every target, each for its own time
#   bash scripts/fuzz.sh NAME...          only the targets named
#   OAM_FUZZ_SECONDS=1800 bash scripts/fuzz.sh reply_fuzzer    a long run
#
# OAM_FUZZ_SECONDS overrides every target's own run time (see each
# fuzz/<area>/CMakeLists.txt). New inputs go to build-fuzz/corpus-<name>/,
# findings to build-fuzz/artifacts/. Prints one "fuzz: NAME passed" or
# "fuzz: NAME FAILED" line per target.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, skipped"
  exit 0
fi

BUILD=build-fuzz
JOBS=$(nproc 2>/dev/null || echo 2)
mkdir -p "$BUILD"
if ! { cmake --preset fuzz && cmake --build "$BUILD" -j"$JOBS"; } >"$BUILD/build.log" 2>&1; then
  tail -n 60 "$BUILD/build.log"
  echo "fuzz: build FAILED (log: $BUILD/build.log)"
  exit 1
fi

LIST="$BUILD/fuzzers.list"
if [ ! -s "$LIST" ]; then
  echo "fuzz: no fuzz targets"
  exit 0
fi

wanted() {
  [ $# -eq 1 ] && return 0
  local n=$1 w
  shift
  for w in "$@"; do [ "$w" = "$n" ] && return 0; done
  return 1
}

mkdir -p "$BUILD/artifacts"
status=0
while IFS=$'\t' read -r name exe corpus seconds; do
  wanted "$name" "$@" || continue
  secs=${OAM_FUZZ_SECONDS:-$seconds}
  work="$BUILD/corpus-$name"
  log="$BUILD/$name.log"
  mkdir -p "$work"
  echo "fuzz: $name for ${secs}s"
  dirs=("$work")
  if [ "$corpus" != "-" ]; then dirs+=("$corpus"); fi
  if "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$BUILD/artifacts/$name-" "${dirs[@]}" </dev/null >"$log" 2>&1; then
    runs=$(sed -n -E 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
    cov=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -n -E 's/.* cov: ([0-9]+).*/\1/p')
    echo "fuzz: $name passed (${runs:-?} runs, coverage ${cov:-?})"
  else
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (log: $log; inputs: $BUILD/artifacts/$name-*)"
    status=1
  fi
done <"$LIST"
exit $status
