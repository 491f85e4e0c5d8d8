#!/bin/sh
# Measures the client functions against a real tqd.
#
#   bench/run.sh [--v2] [--history] [BUILD_DIR] [SECONDS]
#
# Starts tqd from BUILD_DIR (default: $TQ_BUILD_DIR, else ./build) on a free
# loopback port with a temporary configuration store, runs tqrcg_bench for
# SECONDS (default 60), stops tqd and removes the store.  Needs root.
# tqd writes its metrics file into the temporary folder as it does when
# deployed, every TQ_BENCH_METRICS_SECONDS (default 15).
# Without --v2: a cgroup v1 hierarchy with the cpu controller and a cgconfig
# service (install packaging/cgconfig as /etc/init.d/cgconfig when there is
# none); each request is set beside its command lines.  With --v2: a cgroup2
# mount whose root lists the cpu controller (the lab's guest); each request
# is set beside a request that only travels.
# With --history (on either hierarchy; add --v2 on a cgroup2 host): two tqds,
# one on a store whose group list holds TQ_BENCH_HISTORY (default 200000)
# names of earlier creations, one on a store with an empty list; create +
# delete is timed against both in turns, and the ratio printed.
set -u

mode=
history=
while :; do
    case "${1:-}" in
        --v2) mode=--v2; shift ;;
        --history) history=yes; shift ;;
        *) break ;;
    esac
done
build=${1:-${TQ_BUILD_DIR:-./build}}
seconds=${2:-60}

for program in tqd tqrcg_bench; do
    if [ ! -x "$build/$program" ]; then
        echo "run.sh: $build/$program is missing: build the targets tqd and tqrcg_bench first" >&2
        exit 1
    fi
done
if [ "$(id -u)" != 0 ]; then
    if [ -n "$mode" ]; then
        echo "run.sh: changing control groups needs root" >&2
    else
        echo "run.sh: the cgroup tools need root" >&2
    fi
    exit 1
fi
if [ -z "$mode" ] && ! service cgconfig status >/dev/null 2>&1; then
    echo "run.sh: 'service cgconfig status' fails: install packaging/cgconfig as /etc/init.d/cgconfig" >&2
    exit 1
fi

work=$(mktemp -d /tmp/tqbench-XXXXXX) || exit 1
tqd_pid=
history_pid=
bench_pid=
cleanup() {
    # The bench first: it removes its group while tqd still answers.
    if [ -n "$bench_pid" ]; then
        kill -TERM "$bench_pid" 2>/dev/null
        wait "$bench_pid" 2>/dev/null
    fi
    for pid in $tqd_pid $history_pid; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A store in folder $1 for a tqd on port $2; more [Base] lines on standard input.
write_store() {
    mkdir -p "$1/metrics"
    {
        echo "[Base]"
        echo "sTQLOGDIR=$1/log"
        cat
        echo "[Session]"
        echo "nTQDPORT=$2"
        echo "sTQDHOST=127.0.0.1"
        echo "sTQDMETRICSDIR=$1/metrics"
        echo "dTQDMETRICSINTERVAL=${TQ_BENCH_METRICS_SECONDS:-15}"
    } > "$1/tq.conf"
}

port=$("$build/tqrcg_bench" --free-port) || exit 1
write_store "$work" "$port" </dev/null
TQ_CONFIG="$work/tq.conf" "$build/tqd" --foreground --port "$port" 2>"$work/tqd.err" &
tqd_pid=$!
TQ_CONFIG="$work/tq.conf"
export TQ_CONFIG

bench_args="$mode"
if [ -n "$history" ]; then
    # The names of earlier creations: groups that no longer exist.
    history_port=$("$build/tqrcg_bench" --free-port) || exit 1
    awk -v n="${TQ_BENCH_HISTORY:-200000}" 'BEGIN {
        printf "sTQRCGMGRGROUPS="
        for (i = 0; i < n; i++) printf " tqbench_gone_%07d", i
        printf "\n" }' | write_store "$work/history" "$history_port"
    TQ_CONFIG="$work/history/tq.conf" "$build/tqd" --foreground --port "$history_port" 2>"$work/history.err" &
    history_pid=$!
    bench_args="--history $work/history/tq.conf $work/tq.conf"
fi

# tqrcg_bench waits for tqd to answer before it measures.  It runs in the
# background so that a SIGTERM to this script reaches it through cleanup.
"$build/tqrcg_bench" $bench_args --seconds "$seconds" &
bench_pid=$!
wait "$bench_pid"
status=$?
bench_pid=
if [ "$status" != 0 ]; then
    echo "run.sh: tqrcg_bench failed; tqd said:" >&2
    tail -20 "$work/tqd.err" >&2
    [ -z "$history" ] || tail -20 "$work/history.err" >&2
fi
exit "$status"
