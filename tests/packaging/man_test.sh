#!/bin/sh
# The man pages render without warnings (groff -ww, and mandoc's lint where
# it is installed) and keep up with the code: every subcommand and option
# that `tqrcg --help` and `tqd --help` list, every client function, and
# every store key of the README's configuration table.
#   man_test.sh <man folder> <tqrcg> <tqd> <README.md>
set -u
MAN=$1
TQRCG=$2
TQD=$3
README=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for page in tqrcg.1 libtqrcgmgr.3 tq.conf.5 tqd.8; do
  [ -f "$MAN/$page" ] || { fail "no $page"; continue; }
  warnings=$(groff -ww -z -t -man "$MAN/$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
  if command -v mandoc >/dev/null 2>&1; then
    warnings=$(mandoc -T lint -W warning "$MAN/$page" 2>&1)
    [ -z "$warnings" ] || fail "mandoc warns about $page: $warnings"
  fi
  text=$(MANWIDTH=80 man -l "$MAN/$page" 2>/dev/null)
  [ -n "$text" ] || fail "man -l $page shows nothing"
done

# mentions PAGE WORD...: the page's source holds each word, its dashes
# written as roff's \-.
mentions() {
  page=$1
  shift
  for word in "$@"; do
    grep -qF -- "$(printf '%s' "$word" | sed 's/-/\\-/g')" "$MAN/$page" || fail "$page does not mention $word"
  done
}

subcommands=$("$TQRCG" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { exit }')
[ -n "$subcommands" ] || fail "tqrcg --help lists no subcommands"
for sub in $subcommands; do
  grep -q "^\.B.* $sub\b\|^\.B $sub\$\|^\.BI $sub " "$MAN/tqrcg.1" || fail "tqrcg.1 does not describe '$sub'"
done
mentions tqrcg.1 --version --delete --set

options=$("$TQD" --help | grep -oE -- '--[a-z]+' | sort -u)
# shellcheck disable=SC2086
mentions tqd.8 $options

for function in createRcgGroup deleteRcgGroup setRcgCPUShare assignPidsTo removePidsFrom checkRcgEnable; do
  grep -q "^\.BI \"CQiError $function(" "$MAN/libtqrcgmgr.3" || fail "libtqrcgmgr.3 has no synopsis of $function"
  grep -q "^\.BI $function(" "$MAN/libtqrcgmgr.3" || fail "libtqrcgmgr.3 does not describe $function"
done
grep -q '368 bytes' "$MAN/libtqrcgmgr.3" || fail "libtqrcgmgr.3 does not give the frame"

keys=$(sed -n 's/^| \(Base\|Session\) | `\([A-Za-z0-9]*\)`.*/\2/p' "$README")
[ -n "$keys" ] || fail "no keys found in $README"
for key in $keys sTQRCGMGRCGROUP2BASE sTQRCGMGRCAPS; do
  grep -q "^\.B $key\$" "$MAN/tq.conf.5" || fail "tq.conf.5 does not describe $key"
done

[ "$failures" -eq 0 ] && echo "man page checks passed"
exit "$failures"
