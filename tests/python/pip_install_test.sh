#!/usr/bin/env bash
# pip installs the package from a checkout with nothing but the standard
# library and the interpreter's own setuptools (no index is reachable), and
# the installed copy loads the library named by OAMSDK_LIBRARY.
#   pip_install_test.sh PYTHON PACKAGE_DIR LIBRARY
set -euo pipefail
PY=$1 SRC=$2 LIB=$3
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
# A copy: building leaves build/ and *.egg-info beside the sources.
cp -r "$SRC" "$TMP/src"
if ! "$PY" -m pip install --no-build-isolation --no-deps --no-index --target "$TMP/site" "$TMP/src" >"$TMP/pip.log" 2>&1; then
  cat "$TMP/pip.log"
  echo "pip install failed"
  exit 1
fi
[ -f "$TMP/site/oamsdk/py.typed" ] || { echo "py.typed not installed"; exit 1; }
cd "$TMP"
PYTHONPATH="$TMP/site" OAMSDK_LIBRARY="$LIB" "$PY" - "$TMP/site" <<'PYEOF'
import sys
import oamsdk
assert oamsdk.__file__.startswith(sys.argv[1]), oamsdk.__file__
assert oamsdk.library_version()[0] == 1
assert oamsdk.md5(b"abc") == "900150983cd24fb0d6963f7d28e17f72"
print("installed oamsdk from", oamsdk.__file__)
PYEOF
# A wrong library path is a clear import error, not a crash.
if PYTHONPATH="$TMP/site" OAMSDK_LIBRARY="$TMP/none.so" "$PY" -c "import oamsdk" 2>"$TMP/err"; then
  echo "import succeeded without a library"
  exit 1
fi
grep -q "OAMSDK_LIBRARY" "$TMP/err" || { cat "$TMP/err"; exit 1; }
