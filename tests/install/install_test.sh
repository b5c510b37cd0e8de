#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what landed there,
# builds examples/ out of tree against it (find_package and pkg-config),
# and runs both builds and the installed oamctl against the installed
# oam-sim on loopback.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
TMP=$(mktemp -d "${TMPDIR:-/tmp}/oamsdk-install-XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
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
for h in oamsdk.h ClientSocket.h AlarmSocket.h UDPSocket.h OamCommand.h OamRecords.h oam_api.h oam_win.h oam_string.h Corbex.h; do
  [ -f "$PREFIX/include/oamsdk/$h" ] || fail "header $h not installed"
done
[ -f "$LIBDIR/cmake/oamsdk/oamsdkConfig.cmake" ] || fail "no CMake package"
[ -f "$LIBDIR/cmake/oamsdk/oamsdkConfigVersion.cmake" ] || fail "no CMake package version file"
[ -f "$LIBDIR/pkgconfig/oamsdk.pc" ] || fail "no oamsdk.pc"
[ -x "$PREFIX/bin/oamctl" ] || fail "oamctl not installed"
[ -x "$PREFIX/bin/oam-sim" ] || fail "oam-sim not installed"
[ -f "$PREFIX/share/oamsdk/oam-sim-default-config.json" ] || fail "oam-sim's default site not installed"
# Nothing internal: only the exported headers.
expected=$( (cd "$SRC/sdk/include" && ls *.h; echo Corbex.h) | sort)
installed=$(ls "$PREFIX/include/oamsdk" | sort)
[ "$expected" = "$installed" ] || fail "installed headers differ from the exported ones: $(diff <(echo "$expected") <(echo "$installed") | tr '\n' ' ')"

# Out of tree, twice.
cmake -S "$SRC/examples" -B "$TMP/ex-cmake" -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_BUILD_TYPE=Release >"$TMP/ex-cmake.log" 2>&1 \
  || { cat "$TMP/ex-cmake.log"; fail "configuring the example with find_package(oamsdk)"; }
cmake --build "$TMP/ex-cmake" >>"$TMP/ex-cmake.log" 2>&1 || { cat "$TMP/ex-cmake.log"; fail "building the example (CMake)"; }
mkdir -p "$TMP/ex-pc"
PKG_CONFIG_PATH="$LIBDIR/pkgconfig" make -s -C "$SRC/examples" OUT="$TMP/ex-pc" >"$TMP/ex-pc.log" 2>&1 \
  || { cat "$TMP/ex-pc.log"; fail "building the example (pkg-config)"; }
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
  out=$(LD_LIBRARY_PATH="$LIBDIR" "$exe" 127.0.0.1 "$PORT" admin admin) || fail "$exe failed"
  [ "$(echo "$out" | head -1)" = "$count stations" ] || fail "$exe printed: $(echo "$out" | head -3)"
  echo "$out" | grep -q '^  device ' || fail "$exe listed no devices"
done
# A wrong password is the server's refusal, seen by the example too.
set +e
LD_LIBRARY_PATH="$LIBDIR" "$TMP/ex-cmake/station_list" 127.0.0.1 "$PORT" admin wrong >/dev/null 2>&1
rc=$?
set -e
[ "$rc" = 4 ] || fail "refused login gave exit $rc"
echo "install test: package, CMake and pkg-config builds, installed tools: ok"
