#!/usr/bin/env bash
# The README's first command: builds the library and its tools, starts the
# simulated management server (oam-sim) on loopback, and runs a scripted
# session with oamctl against it. Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
oam_ensure_deps

BUILD=${OAM_BUILD_DIR:-build}
JOBS=$(nproc 2>/dev/null || echo 2)
ALARM_BIND=${OAM_DEMO_ALARM_BIND:-127.0.0.1}

if [ -t 1 ]; then BOLD=$'\033[1m'; DIM=$'\033[2m'; OFF=$'\033[0m'; else BOLD=; DIM=; OFF=; fi
section() { printf '\n%s== %s ==%s\n' "$BOLD" "$*" "$OFF"; }
note() { printf '%s%s%s\n' "$DIM" "$*" "$OFF"; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/oamsdk-demo-XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section "Building oamsdk, oam-sim and oamctl"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log"; exit 1; }
cmake --build "$BUILD" -j"$JOBS" --target oamsdk oam-sim oamctl >"$WORK/build.log" 2>&1 || { tail -40 "$WORK/build.log"; exit 1; }
SIM=$BUILD/bin/oam-sim
CTL=$BUILD/bin/oamctl
note "built $(basename "$(readlink -f "$BUILD"/lib/liboamsdk.so)"), $SIM, $CTL"

section "Starting oam-sim on loopback"
"$SIM" --bind 127.0.0.1 --port 0 --port-file "$WORK/port" --storage "$WORK/server-files" \
  --alarm-bind "$ALARM_BIND" --alarm-rate 4 --alarm-count 4 2>"$WORK/oam-sim.log" &
SIM_PID=$!
# Ready when it accepts a connection (bounded: 10 s).
PORT=
for _ in $(seq 100); do
  if [ -z "$PORT" ] && [ -s "$WORK/port" ]; then PORT=$(cat "$WORK/port"); fi
  if [ -n "$PORT" ] && (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then break; fi
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/oam-sim.log"; echo "oam-sim did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$PORT" ] || { cat "$WORK/oam-sim.log"; echo "oam-sim did not become ready" >&2; exit 1; }
note "commands on 127.0.0.1:$PORT, alarm peer on $ALARM_BIND:20000/udp, default site (3 stations)"

ctl() {
  printf '%s$ oamctl %s%s\n' "$BOLD" "$*" "$OFF"
  "$CTL" --host 127.0.0.1 --port "$PORT" "$@"
}

section "Log in"
ctl login --user admin --password admin
printf '%s$ oamctl login --password wrong%s\n' "$BOLD" "$OFF"
rc=0; "$CTL" --port "$PORT" login --password wrong || rc=$?
note "(exit code $rc: the server refused)"

section "Stations"
ctl stations
STATION=$("$CTL" --port "$PORT" --json stations | python3 -c 'import json,sys; print(json.load(sys.stdin)["stations"][0]["id"])')

section "Devices of station $STATION"
ctl devices "$STATION"

section "Parameters"
ctl get "$STATION" Contrast
ctl set "$STATION" Contrast 70
ctl get "$STATION" Contrast
ctl control "$STATION" Zoom 4
printf '%s$ oamctl set %s Contrast 500%s\n' "$BOLD" "$STATION" "$OFF"
rc=0; "$CTL" --port "$PORT" set "$STATION" Contrast 500 || rc=$?
note "(exit code $rc: the server refused)"

section "File transfer"
mkdir -p "$WORK/local" "$WORK/downloaded"
{
  echo "# site notes for $STATION"
  for i in $(seq 1 200); do echo "camera $i: checked, lens clean, firmware 4.2.$((i % 7))"; done
} >"$WORK/local/site-notes.txt"
head -c 4096 /dev/urandom >>"$WORK/local/site-notes.txt"
ctl upload "$STATION" "$WORK/local/site-notes.txt"
ctl download "$STATION" site-notes.txt --dir "$WORK/downloaded"
sent=$(md5sum <"$WORK/local/site-notes.txt" | cut -d' ' -f1)
got=$(md5sum <"$WORK/downloaded/site-notes.txt" | cut -d' ' -f1)
if [ "$sent" = "$got" ]; then
  note "digest check: uploaded and downloaded copies are identical (md5 $got)"
else
  echo "digest check FAILED: $sent vs $got" >&2
  exit 1
fi

section "Alarms"
ctl alarms --peer "$ALARM_BIND" --oam-id demo --count 4 --wait 30

section "What the server saw"
tail -n 12 "$WORK/oam-sim.log"

section "Stopping oam-sim"
kill -TERM "$SIM_PID"
rc=0; wait "$SIM_PID" || rc=$?
SIM_PID=
note "oam-sim exited with code $rc"
[ "$rc" = 0 ]
printf '\n%sdemo finished%s\n' "$BOLD" "$OFF"
