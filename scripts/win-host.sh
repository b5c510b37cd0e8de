#!/usr/bin/env bash
# Runs the Windows host example (win_host.exe) under wine64
# against oam-sim (a Linux program, started here): the host must see
# alarms through WM_OAM_ALARM, then, once oam-sim is stopped, the link
# break through WM_OAM_LINKBREAK, both in its own window's message loop.
#
#   bash scripts/win-host.sh [path/to/win_host.exe] [build]    exit 0 when it did
#
# Placed in an installed bin/, the program finds its DLLs there.
#
# WINEPREFIX and friends come from the caller (scripts/test.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
HOST=${1:-build-win/bin/win_host.exe}
LBUILD=${2:-build}
WINE=${OAM_WINE:-/usr/lib/wine/wine64}
SIM="$LBUILD/bin/oam-sim"
[ -x "$SIM" ] || { echo "win-host: no $SIM (build the Linux tree first)"; exit 2; }
[ -f "$HOST" ] || { echo "win-host: no $HOST"; exit 2; }

WORK=$(mktemp -d)
SIM_PID=
HOST_PID=
cleanup() {
  [ -n "$HOST_PID" ] && kill "$HOST_PID" 2>/dev/null
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# The alarm peer on an address of its own, so that no other test's peer on
# port 20000 is met.
PEER=127.0.4.1
"$SIM" --port 0 --port-file "$WORK/port" --storage "$WORK/storage" --alarm-bind "$PEER" \
  --alarm-rate 5 -q 2>"$WORK/sim.log" &
SIM_PID=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
[ -s "$WORK/port" ] || { echo "win-host: oam-sim did not start"; cat "$WORK/sim.log"; exit 1; }

"$WINE" "$HOST" 127.0.0.1 "$(cat "$WORK/port")" "$PEER" 3 >"$WORK/host.log" 2>&1 &
HOST_PID=$!
for _ in $(seq 600); do
  grep -q 'waiting for the link to break' "$WORK/host.log" && break
  kill -0 "$HOST_PID" 2>/dev/null || break
  sleep 0.1
done
kill "$SIM_PID" 2>/dev/null
wait "$SIM_PID" 2>/dev/null
SIM_PID=
rc=1
for _ in $(seq 600); do
  if ! kill -0 "$HOST_PID" 2>/dev/null; then
    wait "$HOST_PID"
    rc=$?
    break
  fi
  sleep 0.1
done
HOST_PID=
sed 's/^/  host: /' "$WORK/host.log"
if [ "$rc" -eq 0 ] && grep -q '^link break' "$WORK/host.log" && grep -q '^alarm ' "$WORK/host.log"; then
  echo "win-host: passed (alarms and the link break reached the window)"
  exit 0
fi
echo "win-host: FAILED (exit $rc)"
exit 1
