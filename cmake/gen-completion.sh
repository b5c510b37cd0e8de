#!/bin/bash
# Writes a bash completion script for a built tool from its own --help:
# gen-completion.sh TOOL OUTPUT. Commands (CLI11's "Subcommands:" lists, one
# level of nesting) complete after the global options; each command
# completes its options, and file names where an argument is a FILE, DIR or
# path-like option value.
set -euo pipefail
tool=$1
out=$2
name=$(basename "$tool")
fn="_$(tr -c 'A-Za-z0-9_\n' _ <<<"$name")"

# Options of one help text, without the global ones that follow a
# "Global options" heading.
# Only the option column counts, not the descriptions.
options() {
  sed '/^Global options/,$d' | { grep -E '^ +-' || true; } | sed -E 's/^ +//; s/  .*//' |
    grep -oE -- '(^|,)--?[A-Za-z][A-Za-z0-9-]*' | tr -d ',' | sort -u | tr '\n' ' '
}
commands() { sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }' | tr '\n' ' '; }
# Whether a command takes files: a FILE or DIR argument or option.
wantsfiles() { grep -qE '(FILE|DIR|--dir|--config|--storage|-file)' && echo 1 || echo 0; }

top=$("$tool" --help)
globals=$(options <<<"$(sed '/^Subcommands:/,$d' <<<"$top")")
cmds=$(commands <<<"$top")

{
  echo "# bash completion for $name, generated from its --help at build time."
  echo "$fn() {"
  echo '    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} key="" w i'
  echo "    local cmds=\"$cmds\""
  echo '    for ((i = 1; i < COMP_CWORD; i++)); do'
  echo '        w=${COMP_WORDS[i]}'
  echo '        case "$w" in -*) continue ;; esac'
  echo '        if [ -z "$key" ]; then'
  echo '            case " $cmds " in *" $w "*) key=$w ;; esac'
  echo '        else'
  echo '            case " $('"${fn}"'_subs "$key") " in *" $w "*) key="$key $w" ;; esac'
  echo '        fi'
  echo '    done'
  echo '    local words files=0'
  echo '    case "$key" in'
  echo "        \"\") words=\"$globals $cmds\"; files=$(wantsfiles <<<"$globals") ;;"
  for c in $cmds; do
    h=$("$tool" "$c" --help)
    subs=$(commands <<<"$h")
    echo "        \"$c\") words=\"$(options <<<"$h") $subs $globals\"; files=$(wantsfiles <<<"$(sed '/^Global options/,$d' <<<"$h")") ;;"
    for s in $subs; do
      hs=$("$tool" "$c" "$s" --help)
      echo "        \"$c $s\") words=\"$(options <<<"$hs") $globals\"; files=$(wantsfiles <<<"$(sed '/^Global options/,$d' <<<"$hs")") ;;"
    done
  done
  echo '    esac'
  echo '    case "$prev" in --dir|-d|--config|-c|--storage|-s|--port-file) COMPREPLY=($(compgen -f -- "$cur")); return ;; esac'
  echo '    COMPREPLY=($(compgen -W "$words" -- "$cur"))'
  echo '    if [ "$files" = 1 ] && [[ "$cur" != -* ]]; then COMPREPLY+=($(compgen -f -- "$cur")); fi'
  echo '}'
  echo "${fn}_subs() {"
  echo '    case "$1" in'
  for c in $cmds; do
    subs=$("$tool" "$c" --help | commands)
    [ -n "$subs" ] && echo "        \"$c\") echo \"$subs\" ;;"
  done
  echo '    esac'
  echo '}'
  echo "complete -o filenames -F $fn $name"
} >"$out.tmp"
mv "$out.tmp" "$out"
