#!/bin/bash
# Writes a help2man include file with each command's own --help (its
# global options and exit codes left to the main page):
# gen-man-include.sh TOOL OUTPUT.
set -euo pipefail
tool=$1
out=$2
commands() { sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'; }
page() {
  sed -E '/^Global options/,$d; /^Exit codes/,$d; s/^Usage: [^ ]*/Usage: '"$(basename "$tool")"'/; s/\\/\\\\/g; s/^\./\\\&./'
}
{
  echo "[COMMANDS]"
  for c in $("$tool" --help | commands); do
    echo ".SS $c"
    echo ".nf"
    "$tool" "$c" --help | page
    echo ".fi"
    for s in $("$tool" "$c" --help | commands); do
      echo ".SS $c $s"
      echo ".nf"
      "$tool" "$c" "$s" --help | page
      echo ".fi"
    done
  done
} >"$out.tmp"
mv "$out.tmp" "$out"
