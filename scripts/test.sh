#!/usr/bin/env bash
# Builds everything and runs the whole test suite, in stages:
#   plain  the RelWithDebInfo build (build/) and its ctest run;
#   uchar  the codec and Corbex tests built with -funsigned-char (build-uchar/);
#   asan   the suite again under AddressSanitizer + UndefinedBehaviorSanitizer
#          with LeakSanitizer (build-asan/);
#   tsan   the suite again under ThreadSanitizer (build-tsan/);
#   fuzz   a bounded run of every libFuzzer target (scripts/fuzz.sh);
#   win64  the Windows DLLs cross-built with mingw-w64 (build-win/) and the
#          portable part of the suite run under wine64, one Wine process
#          per test program (OAM_WIN64=0 leaves it out); the Linux programs
#          those tests use (oam-sim, python3, zip) run in a peer on the
#          Linux side (scripts/win-tool-peer.py).
# A sanitizer stage is skipped, with a line saying why, when the compiler
# cannot build and run a small program with it; fuzzing needs clang.
#
#   bash scripts/test.sh            all stages
#   bash scripts/test.sh --quick    the plain stage only (or OAM_QUICK=1)
#   OAM_STAGES="plain win64" bash scripts/test.sh    the stages named only
#          (win64 builds oam-sim in build/ when plain is not among them)
#
# OAM_FUZZ_SECONDS sets each fuzz target's run time here (default 40).
# OAM_SOAK=1 adds the soak run (tests/soak, OAM_SOAK_SECONDS long, 180 by
# default) to the plain stage.
# Every stage runs even when an earlier one failed, so that all results are
# shown; the exit status is 1 if any stage failed. The last line printed is
# always "tests: N passed, M failed", summed over the stages (each fuzz
# target counts as one test; a stage that could not be built counts as one
# failure).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

QUICK=${OAM_QUICK:-0}
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    -h|--help) sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
  esac
done

JOBS=$(nproc 2>/dev/null || echo 2)
PASSED=0
FAILED=0
STATUS=0
TIMINGS=()
LOGDIR=$ROOT/build-logs
mkdir -p "$LOGDIR"

summary() {
  local t
  echo
  for t in "${TIMINGS[@]}"; do echo "  $t"; done
  echo "tests: $PASSED passed, $FAILED failed"
}

fail_stage() {  # name reason
  echo "== $1: FAILED ($2)"
  FAILED=$((FAILED + 1))
  STATUS=1
}

# Runs ctest in a build tree, shows failures and the totals, and adds the
# counts. Extra arguments go before ctest (e.g. setarch -R).
run_ctest() {  # stage builddir [prefix...]
  local stage=$1 dir=$2 log="$LOGDIR/ctest-$1.log"
  shift 2
  "$@" ctest --test-dir "$dir" --output-on-failure -j"$JOBS" >"$log" 2>&1
  local rc=$?
  # Progress lines of passing tests are only noise here; the log keeps all.
  LC_ALL=C grep -a -v -E '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log"
  local line total failed
  line=$(grep -a -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    fail_stage "$stage" "ctest gave no result, rc $rc; log: $log"
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  PASSED=$((PASSED + total - failed))
  FAILED=$((FAILED + failed))
  if [ "$failed" -ne 0 ] || [ "$rc" -ne 0 ]; then
    STATUS=1
    echo "== $stage: $failed of $total tests FAILED"
  else
    echo "== $stage: all $total tests passed"
  fi
}

build_tree() {  # stage builddir cmake-args...
  local stage=$1 dir=$2 log="$LOGDIR/build-$1.log"
  shift 2
  if ! cmake -S . -B "$dir" "$@" >"$log" 2>&1 || ! cmake --build "$dir" -j"$JOBS" >>"$log" 2>&1; then
    tail -n 60 "$log"
    fail_stage "$stage" "build failed; log: $log"
    return 1
  fi
  return 0
}

# Whether the C++ compiler CMake will use can build and run a small threaded
# program with the given sanitizer flags; prints the command prefix needed
# to run such programs (empty, or "setarch <arch> -R" when the sanitizer
# only starts with address randomisation off).
probe_sanitizer() {  # flags
  local cxx=${CXX:-c++} dir out
  command -v "$cxx" >/dev/null 2>&1 || cxx=g++
  dir=$(mktemp -d)
  cat >"$dir/p.cpp" <<'EOF'
#include <thread>
#include <vector>
int main() {
    std::vector<int> v(4);
    std::thread t([&] { v[1] = 1; });
    t.join();
    return v[1] - 1;
}
EOF
  out=1
  if "$cxx" $1 -g -pthread "$dir/p.cpp" -o "$dir/p" >/dev/null 2>&1; then
    if "$dir/p" >/dev/null 2>&1; then
      out=0
      PROBE_PREFIX=""
    elif command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R "$dir/p" >/dev/null 2>&1; then
      out=0
      PROBE_PREFIX="setarch $(uname -m) -R"
    fi
  fi
  rm -rf "$dir"
  return $out
}

want() { [ -z "${OAM_STAGES:-}" ] || [[ " ${OAM_STAGES//,/ } " == *" $1 "* ]]; }
stage_begin() { STAGE_START=$SECONDS; echo; echo "== $1: $2"; }
stage_end() { TIMINGS+=("$(printf '%-6s %4ds  %s' "$1" $((SECONDS - STAGE_START)) "$2")"); }

# --- dependencies ----------------------------------------------------------
. scripts/deps.sh
if ! oam_ensure_deps; then
  fail_stage deps "missing packages"
  summary
  exit 1
fi

# --- plain -----------------------------------------------------------------
if want plain; then
stage_begin plain "build/ (RelWithDebInfo) and the whole suite"
BUILD=${OAM_BUILD_DIR:-build}
SOAK=OFF
[ "${OAM_SOAK:-0}" = 1 ] && SOAK=ON
if build_tree plain "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOAMSDK_SOAK=$SOAK; then
  run_ctest plain "$BUILD"
fi
stage_end plain "$BUILD"
fi

if [ "$QUICK" = 1 ]; then
  echo
  echo "(quick run: sanitizer and fuzz stages skipped)"
  summary
  exit $STATUS
fi

# --- uchar -----------------------------------------------------------------
if want uchar; then
# The codec and Corbex tests again with char unsigned, as on ARM Linux, so
# that no decoder comes to depend on the signedness of char. Only those two
# programs are built (build-uchar/).
stage_begin uchar "build-uchar/ (-funsigned-char): the codec and Corbex tests"
UCHAR_LOG="$LOGDIR/build-uchar.log"
if cmake -S . -B build-uchar -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-funsigned-char \
     -DOAMSDK_BUILD_BENCH=OFF -DOAMSDK_BUILD_TOOLS=OFF >"$UCHAR_LOG" 2>&1 &&
   cmake --build build-uchar -j"$JOBS" --target corbex_test codec_test >>"$UCHAR_LOG" 2>&1; then
  run_ctest uchar-corbex build-uchar/tests/corbex
  run_ctest uchar-codec build-uchar/tests/codec
else
  tail -n 60 "$UCHAR_LOG"
  fail_stage uchar "build failed; log: $UCHAR_LOG"
fi
stage_end uchar build-uchar
fi

# --- asan ------------------------------------------------------------------
if want asan; then
stage_begin asan "build-asan/ (ASan + UBSan + LSan) and the whole suite"
if probe_sanitizer "-fsanitize=address,undefined"; then
  if build_tree asan build-asan -DCMAKE_BUILD_TYPE=Debug -DOAMSDK_SANITIZE=address -DOAMSDK_BUILD_BENCH=OFF; then
    ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1} \
    LSAN_OPTIONS=${LSAN_OPTIONS:-} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
      run_ctest asan build-asan $PROBE_PREFIX
  fi
  stage_end asan build-asan
else
  echo "== asan: SKIPPED (the compiler cannot build and run -fsanitize=address,undefined here)"
  stage_end asan "skipped"
fi
fi

# --- tsan ------------------------------------------------------------------
if want tsan; then
stage_begin tsan "build-tsan/ (ThreadSanitizer) and the whole suite"
if probe_sanitizer "-fsanitize=thread"; then
  [ -n "$PROBE_PREFIX" ] && echo "(ThreadSanitizer needs address randomisation off: running under $PROBE_PREFIX)"
  if build_tree tsan build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOAMSDK_SANITIZE=thread -DOAMSDK_BUILD_BENCH=OFF; then
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
      run_ctest tsan build-tsan $PROBE_PREFIX
  fi
  stage_end tsan build-tsan
else
  echo "== tsan: SKIPPED (the compiler cannot build and run -fsanitize=thread here)"
  stage_end tsan "skipped"
fi
fi

# --- win64 -----------------------------------------------------------------
if want win64; then
# Counts are test cases (GoogleTest's own summary of each program); a
# program that ends without one counts as one failure.
stage_begin win64 "build-win/ (mingw-w64 DLLs) and the portable suite under wine64"
if [ "${OAM_WIN64:-1}" = 0 ]; then
  echo "== win64: SKIPPED (OAM_WIN64=0)"
  stage_end win64 "skipped"
else
  . scripts/deps-win.sh
  # The Linux peers (oam-sim) come from the plain stage's tree.
  LB=${OAM_BUILD_DIR:-build}
  if ! want plain && ! { cmake -S . -B "$LB" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$LOGDIR/build-peers.log" 2>&1 &&
                         cmake --build "$LB" -j"$JOBS" --target oam-sim >>"$LOGDIR/build-peers.log" 2>&1; }; then
    echo "win64: oam-sim could not be built; log: $LOGDIR/build-peers.log"
  fi
  WLOG="$LOGDIR/ctest-win64.log"
  if ! oam_win_ensure_deps; then
    fail_stage win64 "cross-build dependencies"
    stage_end win64 "deps failed"
  elif wstart=$SECONDS; build_tree win64 build-win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=Release -DOAMSDK_BUILD_BENCH=OFF -DOAMSDK_BUILD_FUZZ=OFF; then
    wbuild=$((SECONDS - wstart))
    wstart=$SECONDS
    # A prefix kept between runs: creating one takes longer than the suite.
    export WINEPREFIX=${OAM_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/oamsdk/wine64-prefix}
    export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [ ! -f "$WINEPREFIX/.oamsdk-ready" ]; then
      "$OAM_WINE" wineboot -i >/dev/null 2>&1
      # No display here: Wine's null graphics driver still gives real
      # top-level windows and their message loops.
      "$OAM_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      "$(dirname "$OAM_WINE")/wineserver" -k >/dev/null 2>&1
      touch "$WINEPREFIX/.oamsdk-ready"
    fi
    # One program at a time: under Wine, UDP sockets bind the wildcard
    # address, so programs using the same port on different loopback
    # addresses would meet.
    # The Linux programs the tests compare against or talk to (python3's
    # zipfile, zip, and oam-sim, one per test that asks) run in a peer on
    # the Linux side: a Windows program under Wine cannot wait for a Linux
    # process.
    WPEERS=$(mktemp -d)
    python3 scripts/win-tool-peer.py "$WPEERS/tool-port" "$WINEPREFIX" 1800 "$(cd "$LB" && pwd)/bin/oam-sim" &
    WTOOL_PID=$!
    for _ in $(seq 100); do [ -s "$WPEERS/tool-port" ] && break; sleep 0.1; done
    export OAM_TOOL_PEER=127.0.0.1:$(cat "$WPEERS/tool-port" 2>/dev/null)
    ctest --test-dir build-win -j1 -V >"$WLOG" 2>&1
    wrc=$?
    kill "$WTOOL_PID" 2>/dev/null
    wait "$WTOOL_PID" 2>/dev/null
    rm -rf "$WPEERS"
    unset OAM_TOOL_PEER
    wsum() { grep -a -E "^([0-9]+: )?\[  $1 *\] [0-9]+ tests?" "$WLOG" | sed -E 's/.*\] ([0-9]+) tests?.*/\1/' | awk '{n += $1} END {print n + 0}'; }
    wpass=$(wsum PASSED); wskip=$(wsum SKIPPED); wfail=$(wsum FAILED)
    wpass=${wpass:-0}; wskip=${wskip:-0}; wfail=${wfail:-0}
    wprogs=$(grep -a -c -E '^ *[0-9]+/[0-9]+ Test +#' "$WLOG")
    wbad=$(grep -a -c -E '^ *[0-9]+/[0-9]+ Test +#.*\*\*\*' "$WLOG")
    # Programs that failed without naming failed cases (a crash, a hang).
    [ "$wfail" -eq 0 ] && [ "$wbad" -gt 0 ] && wfail=$wbad
    echo "win64: $wprogs programs, $((wpass + wfail + wskip)) cases: $wpass passed, $wfail failed, $wskip skipped"
    wrun=$((SECONDS - wstart))
    echo "win64: skipped under Wine or on Windows (reason):"
    grep -a -E '(not under Wine|POSIX only): ' "$WLOG" | sed -E 's/^[0-9]+: //' | sort | uniq -c | sed 's/^/  /'
    echo "win64: sources left out of the Windows build: OAM_WIN_EXCLUDED_SOURCES in tests/CMakeLists.txt"
    # The install layout (DLLs, runtime DLLs) and the host example: placed
    # in the installed bin/, it runs against oam-sim with no search path.
    WPREFIX="$ROOT/build-win/stage-install"
    rm -rf "$WPREFIX"
    whost=1
    if cmake --install build-win --prefix "$WPREFIX" >"$LOGDIR/install-win64.log" 2>&1 &&
       cp build-win/bin/win_host.exe "$WPREFIX/bin/" &&
       env -u WINEPATH bash scripts/win-host.sh "$WPREFIX/bin/win_host.exe" "${OAM_BUILD_DIR:-build}"; then
      whost=0
      wpass=$((wpass + 1))
    else
      wfail=$((wfail + 1))
      wrc=1
    fi
    # The C interface: the DLL's exports against its header, and the C99
    # test program under Wine against an oam-sim started here.
    if bash scripts/win-capi.sh build-win "${OAM_BUILD_DIR:-build}" >"$LOGDIR/capi-win64.log" 2>&1; then
      wpass=$((wpass + 2))
      echo "win64: the C interface under Wine passed (exports, C program)"
    else
      wcapi=$(grep -c -E '^win-capi: .*FAILED' "$LOGDIR/capi-win64.log")
      [ "${wcapi:-0}" -ge 1 ] || wcapi=2
      wfail=$((wfail + wcapi))
      wpass=$((wpass + 2 - wcapi))
      wrc=1
      tail -n 40 "$LOGDIR/capi-win64.log"
      echo "win64: the C interface under Wine FAILED; log: $LOGDIR/capi-win64.log"
    fi
    PASSED=$((PASSED + wpass))
    FAILED=$((FAILED + wfail))
    if [ "$wrc" -ne 0 ] || [ "$wbad" -ne 0 ]; then
      STATUS=1
      grep -a -E '\[  FAILED  \] [A-Za-z]|\*\*\*' "$WLOG" | sort -u | head -n 40
      echo "== win64: $wbad of $wprogs programs FAILED; log: $WLOG"
    else
      echo "== win64: all $wprogs programs passed"
    fi
    [ "$whost" -eq 0 ] || echo "win64: the host example under Wine FAILED"
    stage_end win64 "build-win, build ${wbuild}s, suite ${wrun}s: $wpass passed, $wskip skipped, $wfail failed"
  else
    stage_end win64 "build failed"
  fi
fi
fi

# --- fuzz ------------------------------------------------------------------
if want fuzz; then
stage_begin fuzz "every libFuzzer target for ${OAM_FUZZ_SECONDS:-40}s"
FUZZLOG="$LOGDIR/fuzz.log"
OAM_FUZZ_SECONDS=${OAM_FUZZ_SECONDS:-40} bash scripts/fuzz.sh 2>&1 | tee "$FUZZLOG"
frc=${PIPESTATUS[0]}
fpass=$(grep -c -E '^fuzz: [^ ]+ passed' "$FUZZLOG")
ffail=$(grep -c -E '^fuzz: [^ ]+ FAILED' "$FUZZLOG")
PASSED=$((PASSED + fpass))
FAILED=$((FAILED + ffail))
if [ "$frc" -ne 0 ]; then
  STATUS=1
  [ "$ffail" -eq 0 ] && fail_stage fuzz "scripts/fuzz.sh exited with $frc"
fi
if grep -q '^fuzz: .*skipped' "$FUZZLOG"; then
  stage_end fuzz "skipped"
else
  stage_end fuzz "build-fuzz, $fpass passed, $ffail failed"
fi
fi

summary
exit $STATUS
