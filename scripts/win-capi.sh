#!/usr/bin/env bash
# Runs the C interface's C99 test program, cross-built (capi_test.exe),
# under wine64 against oam-sim (a Linux program, started here with its
# alarm peer), as tests/sim's sim_run does on Linux; then checks the DLL's
# exported oam_ functions against oamsdk_c.h, and everything both DLLs
# export against the installed headers (nothing internal leaves them).
#
#   bash scripts/win-capi.sh [build-win] [build]    exit 0 when both passed
#
# WINEPREFIX and friends come from the caller (scripts/test.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
WBUILD=${1:-build-win}
LBUILD=${2:-build}
WINE=${OAM_WINE:-/usr/lib/wine/wine64}
SIM="$LBUILD/bin/oam-sim"
PROG="$WBUILD/bin/capi_test.exe"
[ -x "$SIM" ] || { echo "win-capi: no $SIM (build the Linux tree first)"; exit 2; }
[ -f "$PROG" ] || { echo "win-capi: no $PROG"; exit 2; }

rc=0
if python3 tests/capi/check_symbols.py "$WBUILD/bin/liboamsdk.dll" sdk/include/oamsdk_c.h; then
  echo "win-capi: symbols passed"
else
  echo "win-capi: symbols FAILED"
  rc=1
fi
HEADERS=$(ls sdk/include/*.h platform/include/*.h | grep -v 'oam_win_posix\.h$'; echo corbex/include/Corbex.h)
for pair in OAMSDK_API:liboamsdk.dll CORBEX_API:libcorbex.dll; do
  # shellcheck disable=SC2086
  if python3 tests/capi/check_symbols.py --all "${pair%%:*}" "$WBUILD/bin/${pair#*:}" $HEADERS; then
    echo "win-capi: exports of ${pair#*:} passed"
  else
    echo "win-capi: exports of ${pair#*:} FAILED"
    rc=1
  fi
done

WORK=$(mktemp -d)
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# The alarm peer on an address of its own (no other test's peer is met).
PEER=127.0.4.2
mkdir -p "$WORK/modules"
"$SIM" --port 0 --port-file "$WORK/port" --storage "$WORK/storage" --alarm-bind "$PEER" \
  --alarm-rate 20 -q 2>"$WORK/sim.log" &
SIM_PID=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
[ -s "$WORK/port" ] || { echo "win-capi: oam-sim did not start"; cat "$WORK/sim.log"; exit 1; }

OAM_SIM_HOST=127.0.0.1 OAM_SIM_PORT=$(cat "$WORK/port") OAM_SIM_STORAGE="$WORK/storage" \
  OAM_SIM_ALARM_PEER=$PEER OAMSDK_MODULE_DIR="$WORK/modules" \
  timeout 240 "$WINE" "$PROG" >"$WORK/capi.log" 2>&1
prc=$?
sed 's/^/  capi: /' "$WORK/capi.log" | tail -n 60
if [ "$prc" -eq 0 ]; then
  echo "win-capi: C program passed"
else
  echo "win-capi: C program FAILED (exit $prc); oam-sim's log:"
  tail -n 20 "$WORK/sim.log"
  rc=1
fi
exit $rc
