#!/bin/bash
# The bash completion of tqrcg: subcommands, options and the group names of
# the store's group list, including controller-qualified ones.
#   completion_test.sh <completion/tqrcg>
set -u
COMPLETION=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/store.conf" <<'STORE'
[Base]
sTQRCGMGRGROUPS=stale
# a comment
sTQRCGMGRGROUPS= backup jobs/nightly cpu:/web bulk
[Session]
sTQRCGMGRGROUPS= notagroup
STORE
export TQ_CONFIG=$tmp/store.conf

# shellcheck source=/dev/null
source "$COMPLETION" || { echo "FAIL: cannot source $COMPLETION"; exit 1; }
complete -p tqrcg >/dev/null 2>&1 || fail "no completion registered for tqrcg"

# Completes the line $1 (cursor at its end) as bash would, splitting the
# words at blanks and at the characters of COMP_WORDBREAKS.
complete_line() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
    local -a split
    read -r -a split <<< "${1//:/ : }"
    [[ $1 == *' ' ]] && split+=("")
    COMP_WORDS=("${split[@]}")
    COMP_CWORD=$((${#split[@]} - 1))
    COMPREPLY=()
    _tqrcg
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

# expect LINE WORD... : the completions are exactly these words.
expect() {
    local line=$1
    shift
    local got want
    got=$(complete_line "$line")
    want=$(printf '%s\n' "$@" | sort)
    [ -z "$*" ] && want=""
    [ "$got" = "$want" ] || fail "'$line' completes to [$(echo $got)], not [$*]"
}

# contains LINE WORD: the completions include WORD.
contains() {
    complete_line "$1" | grep -qxF -- "$2" || fail "'$1' does not offer '$2'"
}

expect "tqrcg " create cap set assign remove delete list top enabled run
expect "tqrcg c" create cap
expect "tqrcg s" set
expect "tqrcg set b" backup bulk
expect "tqrcg set backup mem" memory.max= memory.high= memory.swap.max= mem= memhigh=
expect "tqrcg set backup memory.max=64M cpu." cpu.weight= cpu.max.burst=
expect "tqrcg set backup p" pids.max= pids=
expect "tqrcg set backup pids.max=" ""
expect "tqrcg run --set pi" pids.max= pids=
expect "tqrcg run --set pids=20 bu" bulk
expect "tqrcg run --set pids=20 --set w" weight=
expect "tqrcg --v" --version
expect "tqrcg --help d" delete
expect "tqrcg cap b" backup bulk
expect "tqrcg delete jobs/" jobs/nightly
expect "tqrcg assign " backup jobs/nightly cpu:/web bulk
# bash completes only the part after ':'.
expect "tqrcg create cpu:/w" /web
expect "tqrcg cap backup " ""
expect "tqrcg list " ""
expect "tqrcg enabled --" --help
expect "tqrcg list -" -h --help --json
expect "tqrcg top -" -h --help -d --delay --once
expect "tqrcg top --o" --once
expect "tqrcg top " ""
expect "tqrcg run --d" --delete
expect "tqrcg run --s" --set
expect "tqrcg run --delete bu" bulk
contains "tqrcg assign backup $$" "$$"
contains "tqrcg assign backup 1 $$" "$$"
contains "tqrcg run backup 25 -- bas" bash
contains "tqrcg run backup 25 bas" bash
touch "$tmp/input.txt"
contains "tqrcg run backup 25 -- cat $tmp/inp" "$tmp/input.txt"

# No store: no names, nothing printed.
export TQ_CONFIG=$tmp/missing.conf
out=$(complete_line "tqrcg cap " 2>&1)
[ -z "$out" ] || fail "without a store 'tqrcg cap ' gives [$out]"

if [ "$failures" -eq 0 ]; then
  echo "completion checks passed"
fi
exit "$failures"
