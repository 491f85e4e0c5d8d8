#!/bin/bash
# The main job: installs what is missing, builds, starts tqd when it is not
# running, runs a busy command (two CPU-bound loops) for a few seconds with
# "tqrcg run" capped at 25 % of the machine, prints its measured CPU use
# beside the cap, and cleans up: the group is deleted, and tqd is stopped if
# this script started it.  Run as root.
#
#   bash scripts/demo.sh
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/setup.sh

BUILD=$ROOT/build
CAP=25
GROUP=tqdemo_$$
PORT=${TQDEMO_PORT:-}
started_tqd=""
run_pid=""

cleanup() {
  if [ -n "$run_pid" ]; then kill "$run_pid" 2>/dev/null || true; wait "$run_pid" 2>/dev/null || true; fi
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
echo "[demo] running two busy loops for 6 s in group $GROUP, capped at $CAP % of $NPROC processors"
"$BUILD/tqrcg" run "$GROUP" "$CAP" -- sh -c 'timeout 6 sh -c "while :; do :; done" & timeout 6 sh -c "while :; do :; done" & wait' &
run_pid=$!

# CPU time of the group's processes, in clock ticks, from /proc/<pid>/stat.
group_ticks() {
  local total=0 pid fields
  for pid in $(cat "/sys/fs/cgroup/cpu/$GROUP/tasks" 2>/dev/null); do
    fields=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null) || continue
    set -- $fields
    total=$((total + ${12} + ${13}))
  done
  echo "$total"
}

sleep 1.5
t0=$(group_ticks); s0=$(date +%s.%N)
sleep 2
t1=$(group_ticks); s1=$(date +%s.%N)
HZ=$(getconf CLK_TCK)
USED=$(awk -v a="$t0" -v b="$t1" -v s0="$s0" -v s1="$s1" -v hz="$HZ" -v n="$NPROC" \
  'BEGIN { printf "%.1f", 100 * (b - a) / hz / (s1 - s0) / n }')
echo "[demo] measured CPU use: $USED % of the machine (cap $CAP %)"

wait "$run_pid" && status=0 || status=$?
run_pid=""
echo "[demo] the command ended with status $status; deleting group $GROUP"
"$BUILD/tqrcg" delete "$GROUP"
