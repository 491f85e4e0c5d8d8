#!/bin/bash
# The main job: installs what building and running the product needs (only
# that: scripts/setup.sh --product), builds the product's targets, starts tqd
# when none is answering, runs a busy command (two CPU-bound loops) for a few
# seconds with "tqrcg run" capped at 25 % of the machine, prints its measured
# CPU use beside the cap, and cleans up: the group is deleted, and tqd is
# stopped if this script started it.  Run as root.
#
#   bash scripts/demo.sh
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/setup.sh --product

BUILD=$ROOT/build
CAP=25
GROUP=tqdemo_$$
started_tqd=""
run_pid=""

# The processes below PID.  tqrcg run moves the command into the group before
# the command runs, so the command and its children are the group's
# processes, on either hierarchy.
descendants() {
  local child
  for child in $(pgrep -P "$1"); do
    echo "$child"
    descendants "$child"
  done
}

# Ends the busy loops (each under a timeout of its own, a child of the
# command); the command then ends with status 0.
end_loops() {
  local command
  for command in $(pgrep -P "$run_pid"); do
    pkill -TERM -P "$command" 2>/dev/null || true
  done
}

cleanup() {
  if [ -n "$run_pid" ]; then
    end_loops
    kill "$run_pid" 2>/dev/null || true
    wait "$run_pid" 2>/dev/null || true
  fi
  "$BUILD/tqrcg" delete "$GROUP" >/dev/null 2>&1 || true
  if [ -n "$started_tqd" ]; then
    kill -TERM "$started_tqd" 2>/dev/null || true
    wait "$started_tqd" 2>/dev/null || true
    echo "[demo] stopped the tqd this demo started"
  fi
}
trap cleanup EXIT

# Is a tqd answering on the configured port?  "tqrcg enabled" is local, so
# probe with a request that changes nothing: deleting a group that does not
# exist succeeds only when the daemon answers.
if "$BUILD/tqrcg" delete "$GROUP" >/dev/null 2>&1; then
  echo "[demo] using the running tqd"
else
  "$BUILD/tqd" --foreground >/tmp/tqdemo-tqd-$$.log 2>&1 &
  started_tqd=$!
  for _ in $(seq 50); do
    "$BUILD/tqrcg" delete "$GROUP" >/dev/null 2>&1 && break
    sleep 0.1
  done
  echo "[demo] started tqd (pid $started_tqd, log /tmp/tqdemo-tqd-$$.log)"
fi

NPROC=$(nproc)
echo "[demo] running two busy loops in group $GROUP, capped at $CAP % of $NPROC processors"
# The timeout only bounds the loops should this script be killed: they are
# ended once measured.
loop="timeout 30 sh -c 'while :; do :; done'"
"$BUILD/tqrcg" run "$GROUP" "$CAP" -- sh -c "$loop & $loop & wait" &
run_pid=$!

# CPU time of the group's processes, in clock ticks, from /proc/<pid>/stat.
group_ticks() {
  local total=0 pid fields
  for pid in $(descendants "$run_pid"); do
    fields=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null) || continue
    # shellcheck disable=SC2086  # the fields, split on blanks
    set -- $fields
    total=$((total + ${12} + ${13}))
  done
  echo "$total"
}

# A second and a half for the group to be made and the loops to start, then
# two seconds of measuring.
sleep 1.5
t0=$(group_ticks); s0=$(date +%s.%N)
sleep 2
t1=$(group_ticks); s1=$(date +%s.%N)
end_loops
HZ=$(getconf CLK_TCK)
USED=$(awk -v a="$t0" -v b="$t1" -v s0="$s0" -v s1="$s1" -v hz="$HZ" -v n="$NPROC" \
  'BEGIN { printf "%.1f", 100 * (b - a) / hz / (s1 - s0) / n }')
echo "[demo] measured CPU use over $(awk -v a="$s0" -v b="$s1" 'BEGIN { printf "%.1f", b - a }') s: $USED % of the machine (cap $CAP %)"

wait "$run_pid" && status=0 || status=$?
run_pid=""
echo "[demo] the command ended with status $status; deleting group $GROUP"
"$BUILD/tqrcg" delete "$GROUP"
