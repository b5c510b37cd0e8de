#!/usr/bin/env bash
# Renews the committed ABI baseline (abi/liboamsdk.abi, abi/libcorbex.abi)
# from a build tree (default build/, RelWithDebInfo: abidw reads the debug
# information).
#
#   bash scripts/abi-baseline.sh [build]
#
# Renew it only with a release that may break the ABI: then the major
# version in CMakeLists.txt (project VERSION) goes up first, so that the
# sonames move (liboamsdk.so.N), and the new baseline is committed with
# that change. A compatible addition needs no renewal (the check passes
# it); renewing then only records the additions.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/abi-common.sh
B=${1:-build}
mkdir -p abi
for lib in $ABI_LIBS; do
  [ -f "$B/lib/$lib.so.1" ] || ls "$B"/lib/"$lib".so.* >/dev/null
  abi_dump "$B" "$lib" "abi/$lib.abi"
  echo "abi/$lib.abi: $(abi_soname "abi/$lib.abi")"
done
