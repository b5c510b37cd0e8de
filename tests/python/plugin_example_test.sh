#!/usr/bin/env bash
# The plugin's example as a host developer runs it: the package pip
# installed on its own, the example copied to a directory of its own, and
# plain pytest there (the pytest11 entry point loads oamsdk.testing; the
# oam-sim beside the library is found by itself).
#   plugin_example_test.sh PYTHON PACKAGE_DIR EXAMPLE_DIR LIBRARY
set -euo pipefail
PY=$1 SRC=$2 EXAMPLE=$3 LIB=$4
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
cp -r "$SRC" "$TMP/src"
if ! "$PY" -m pip install --no-build-isolation --no-deps --no-index --target "$TMP/site" "$TMP/src" >"$TMP/pip.log" 2>&1; then
  cat "$TMP/pip.log"
  echo "pip install failed"
  exit 1
fi
mkdir "$TMP/host"
cp "$EXAMPLE"/*.py "$TMP/host/"
cd "$TMP/host"
unset OAM_SIM
PYTHONPATH="$TMP/site" OAMSDK_LIBRARY="$LIB" PYTHONDONTWRITEBYTECODE=1 "$PY" -m pytest -v -p no:cacheprovider
