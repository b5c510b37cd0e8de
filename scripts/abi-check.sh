#!/usr/bin/env bash
# The ABI of the built libraries against the committed baseline
# (abi/*.abi, renewed by scripts/abi-baseline.sh) and against the 1.0.0
# release (abi/1.0.0/, whose sonames 1.x keeps), with abi/suppressions (the
# private implementations behind pointer members). Additions pass; an
# incompatible change (a type's layout, a removed or changed function) fails
# unless the soname moved and the baseline was renewed with it: a soname
# that differs from the baseline's fails too, until the baseline is renewed.
#
#   bash scripts/abi-check.sh [build]        exit 0 when compatible
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/abi-common.sh
B=${1:-build}
command -v abidiff >/dev/null || { echo "abi-check: abidiff not found (Debian: abigail-tools)"; exit 2; }
rc=0
# abidiff's exit status is a bit set: 1 error, 2 usage, 4 ABI change, 8
# incompatible change. Bit 8 stands only for removals; a changed layout or
# signature is bit 4, as an addition is, so the summary decides: anything
# removed or changed fails, additions alone pass.
compare() {  # what baseline library [suppressions]
  local what=$1 base=$2 lib=$3 supp=${4:-} out status summary
  out=$(abidiff --no-show-locs --suppressions abi/suppressions ${supp:+--suppressions "$supp"} "$base" "$lib" 2>&1)
  status=$?
  summary=$(echo "$out" | grep -E '^(Functions|Variables|Function symbols|Variable symbols) changes summary:')
  if [ $((status & 3)) -ne 0 ]; then
    echo "abi-check: $what: abidiff failed ($status)"; echo "$out"; rc=1
  elif [ $((status & 8)) -ne 0 ] || echo "$summary" | grep -qE '(^|[:,] )[1-9][0-9]* (Removed|Changed)'; then
    echo "abi-check: $what: INCOMPATIBLE change"; echo "$out" | grep -v '^  \[A\]'; rc=1
  elif [ $((status & 4)) -ne 0 ]; then
    echo "abi-check: $what: additions only ($(echo "$summary" | head -n 1 | sed 's/^.*summary: //'))"
  else
    echo "abi-check: $what: unchanged"
  fi
}
for lib in $ABI_LIBS; do
  so=$(ls "$B"/lib/"$lib".so.[0-9]* 2>/dev/null | grep -E '\.so\.[0-9]+$' | head -n 1)
  [ -n "$so" ] || { echo "abi-check: no $lib in $B/lib"; rc=1; continue; }
  built=$(abi_soname "$so")
  base=$(abi_soname "abi/$lib.abi")
  if [ "$built" != "$base" ]; then
    echo "abi-check: $lib: soname $built, the baseline's is $base: renew it (scripts/abi-baseline.sh $B)"
    rc=1
    continue
  fi
  compare "$lib against abi/$lib.abi" "abi/$lib.abi" "$so"
  # 1.x keeps 1.0.0's ABI; the suppressions name what left the exports
  # that no 1.0.0 header could reach.
  if [ -f "abi/1.0.0/$lib.abi" ] && [ "$(abi_soname "abi/1.0.0/$lib.abi")" = "$built" ]; then
    compare "$lib against 1.0.0" "abi/1.0.0/$lib.abi" "$so" abi/1.0.0/suppressions
  fi
done
exit $rc
