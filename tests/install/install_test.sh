#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what landed there,
# builds examples/ out of tree against it (find_package and pkg-config,
# both with --as-needed), and runs both builds (with no LD_LIBRARY_PATH)
# and the installed oamctl against the installed oam-sim on loopback.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
TMP=$(mktemp -d "${TMPDIR:-/tmp}/oamsdk-install-XXXXXX")
SIM_PID=
ALARM_SIM_PID=
cleanup() {
  for pid in $SIM_PID $ALARM_SIM_PID; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

PREFIX=$TMP/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >"$TMP/install.log" || { cat "$TMP/install.log"; fail "cmake --install"; }

# What a host developer relies on.
LIBDIR=$(dirname "$(find "$PREFIX" -name 'liboamsdk.so' -print -quit)")
[ -d "$LIBDIR" ] || fail "no liboamsdk.so installed"
for lib in oamsdk corbex; do
  [ -L "$LIBDIR/lib$lib.so" ] || fail "lib$lib.so is not a link to the versioned library"
  soname=$(readelf -d "$LIBDIR/lib$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib soname is '$soname'"
  [ -e "$LIBDIR/$soname" ] || fail "$soname missing"
done
for h in oamsdk.h oamsdk_version.h OamSession.h ClientSocket.h AlarmSocket.h UDPSocket.h OamCommand.h OamRecords.h oam_api.h oam_win.h oam_string.h Corbex.h; do
  [ -f "$PREFIX/include/oamsdk/$h" ] || fail "header $h not installed"
done
[ -f "$LIBDIR/cmake/oamsdk/oamsdkConfig.cmake" ] || fail "no CMake package"
[ -f "$LIBDIR/cmake/oamsdk/oamsdkConfigVersion.cmake" ] || fail "no CMake package version file"
[ -f "$LIBDIR/pkgconfig/oamsdk.pc" ] || fail "no oamsdk.pc"
[ -x "$PREFIX/bin/oamctl" ] || fail "oamctl not installed"
[ -x "$PREFIX/bin/oam-sim" ] || fail "oam-sim not installed"
[ -f "$PREFIX/share/oamsdk/oam-sim-default-config.json" ] || fail "oam-sim's default site not installed"
for t in oamctl oam-sim; do
  [ -f "$PREFIX/share/bash-completion/completions/$t" ] || fail "no bash completion for $t"
  bash -n "$PREFIX/share/bash-completion/completions/$t" || fail "the bash completion for $t does not parse"
  # Built only where help2man is found.
  if command -v help2man >/dev/null; then
    [ -f "$PREFIX/share/man/man1/$t.1" ] || fail "no man page for $t"
  fi
done
# Nothing internal: only the exported headers.
expected=$( (cd "$SRC/sdk/include" && ls *.h; cd "$SRC/platform/include" && ls *.h; echo oamsdk_version.h; echo Corbex.h) | sort)
installed=$(ls "$PREFIX/include/oamsdk" | sort)
[ "$expected" = "$installed" ] || fail "installed headers differ from the exported ones: $(diff <(echo "$expected") <(echo "$installed") | tr '\n' ' ')"

# liboamsdk finds libcorbex beside itself, wherever the prefix is.
readelf -d "$LIBDIR/liboamsdk.so.1" | grep -q 'RUNPATH.*\[\$ORIGIN\]' || fail "liboamsdk.so.1 has no \$ORIGIN RUNPATH"

# Out of tree, twice. With --as-needed the example (which uses liboamsdk
# only) does not itself need libcorbex: liboamsdk must find it.
cmake -S "$SRC/examples" -B "$TMP/ex-cmake" -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed >"$TMP/ex-cmake.log" 2>&1 \
  || { cat "$TMP/ex-cmake.log"; fail "configuring the example with find_package(oamsdk)"; }
cmake --build "$TMP/ex-cmake" >>"$TMP/ex-cmake.log" 2>&1 || { cat "$TMP/ex-cmake.log"; fail "building the example (CMake)"; }
mkdir -p "$TMP/ex-pc"
PKG_CONFIG_PATH="$LIBDIR/pkgconfig" make -s -C "$SRC/examples" OUT="$TMP/ex-pc" \
  LDFLAGS="-Wl,--as-needed -Wl,-rpath,$LIBDIR" >"$TMP/ex-pc.log" 2>&1 \
  || { cat "$TMP/ex-pc.log"; fail "building the example (pkg-config)"; }
for exe in "$TMP/ex-cmake/station_list" "$TMP/ex-pc/station_list"; do
  ! readelf -d "$exe" | grep -q 'NEEDED.*libcorbex' || fail "$exe needs libcorbex itself: the case under test is not reached"
done
[ -z "$(git -C "$SRC" status --porcelain --ignored examples 2>/dev/null || true)" ] || fail "the example build wrote into the source tree"

# The installed simulator, with its installed default site.
"$PREFIX/bin/oam-sim" --port 0 --port-file "$TMP/port" --storage "$TMP/storage" --no-alarms -q &
SIM_PID=$!
for _ in $(seq 200); do [ -s "$TMP/port" ] && break; sleep 0.05; done
[ -s "$TMP/port" ] || fail "installed oam-sim did not start"
PORT=$(cat "$TMP/port")

count=$("$PREFIX/bin/oamctl" -p "$PORT" --json stations | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["stations"]))')
[ "$count" -gt 0 ] || fail "installed oamctl saw no stations"
for exe in "$TMP/ex-cmake/station_list" "$TMP/ex-pc/station_list"; do
  out=$(env -u LD_LIBRARY_PATH "$exe" 127.0.0.1 "$PORT" admin admin) || fail "$exe failed"
  [ "$(echo "$out" | head -1)" = "$count stations" ] || fail "$exe printed: $(echo "$out" | head -3)"
  echo "$out" | grep -q '^  device ' || fail "$exe listed no devices"
done
# A wrong password is the server's refusal, seen by the example too.
set +e
env -u LD_LIBRARY_PATH "$TMP/ex-cmake/station_list" 127.0.0.1 "$PORT" admin wrong >/dev/null 2>&1
rc=$?
set -e
[ "$rc" = 4 ] || fail "refused login gave exit $rc"
# The C interface from the installed headers, compiled as C99.
PC="env PKG_CONFIG_PATH=$LIBDIR/pkgconfig pkg-config"
cc -std=c99 -pedantic-errors -Wall -Wextra $($PC --cflags oamsdk) -o "$TMP/stations_c" "$SRC/examples/stations.c" \
  $($PC --libs oamsdk) >"$TMP/ex-c.log" 2>&1 || { cat "$TMP/ex-c.log"; fail "building the C example (pkg-config)"; }
out=$(LD_LIBRARY_PATH="$LIBDIR" "$TMP/stations_c" 127.0.0.1 "$PORT") || fail "the C example failed"
[ "$(echo "$out" | grep -c ' devices$')" = "$count" ] || fail "the C example printed: $(echo "$out" | head -3)"

# The file-transfer host: progress of every phase, the file back intact.
for exe in "$TMP/ex-cmake/transfer_host" "$TMP/ex-pc/transfer_host"; do
  mkdir -p "$TMP/files" "$TMP/dl"
  head -c 300000 /dev/urandom >"$TMP/files/payload.bin"
  rm -f "$TMP/dl/payload.bin"
  out=$(LD_LIBRARY_PATH="$LIBDIR" "$exe" 127.0.0.1 "$PORT" admin admin S1 "$TMP/files/payload.bin" "$TMP/dl") \
    || fail "$exe failed: $out"
  for phase in packing sending receiving unpacking; do
    echo "$out" | grep -q "^$phase " || fail "$exe showed no $phase progress: $out"
  done
  cmp -s "$TMP/files/payload.bin" "$TMP/dl/payload.bin" || fail "$exe brought back a different file"
done

# The alarm host, against an alarm peer of its own (port 20000 on an
# address of this test's).
"$PREFIX/bin/oam-sim" --port 0 --port-file "$TMP/alarm-port" --storage "$TMP/alarm-storage" \
  --alarm-bind 127.0.2.9 --alarm-rate 10 -q &
ALARM_SIM_PID=$!
for _ in $(seq 200); do [ -s "$TMP/alarm-port" ] && break; sleep 0.05; done
[ -s "$TMP/alarm-port" ] || fail "the alarm peer did not start"
for exe in "$TMP/ex-cmake/alarm_host" "$TMP/ex-pc/alarm_host"; do
  out=$(LD_LIBRARY_PATH="$LIBDIR" "$exe" 127.0.2.9 3 20) || fail "$exe failed: $out"
  [ "$(echo "$out" | tail -1)" = "3 alarms" ] || fail "$exe printed: $out"
  [ "$(echo "$out" | grep -c '^alarm ')" -ge 3 ] || fail "$exe printed no alarms: $out"
done
kill "$ALARM_SIM_PID"; wait "$ALARM_SIM_PID" 2>/dev/null || true; ALARM_SIM_PID=

# The reconnecting host across a restart of the server on the same port.
LD_LIBRARY_PATH="$LIBDIR" "$TMP/ex-cmake/reconnecting_host" 127.0.0.1 "$PORT" admin admin 7 >"$TMP/reconnect.out" 2>&1 &
HOST_PID=$!
sleep 1.5
kill "$SIM_PID"; wait "$SIM_PID" 2>/dev/null || true; SIM_PID=
sleep 1
"$PREFIX/bin/oam-sim" --port "$PORT" --storage "$TMP/storage" --no-alarms -q &
SIM_PID=$!
rc=0
wait "$HOST_PID" || rc=$?
[ "$rc" = 0 ] || fail "reconnecting_host ended with $rc: $(cat "$TMP/reconnect.out")"
for state in connected lost restored; do
  grep -q "^state: $state" "$TMP/reconnect.out" || fail "reconnecting_host never reported '$state': $(cat "$TMP/reconnect.out")"
done
last=$(grep '^stations:' "$TMP/reconnect.out" | tail -1)
[ "$last" = "stations: 3" ] || fail "reconnecting_host's last read: $last"
echo "install test: package, CMake and pkg-config builds, examples, C interface, installed tools: ok"
