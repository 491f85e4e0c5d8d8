#!/bin/sh
# Measures the client functions against a real tqd and the real cgroup tools.
#
#   bench/run.sh [BUILD_DIR] [SECONDS]
#
# Starts tqd from BUILD_DIR (default: $TQ_BUILD_DIR, else ./build) on a free
# loopback port with a temporary configuration store, runs tqrcg_bench for
# SECONDS (default 60), stops tqd and removes the store.  Needs root, a
# cgroup v1 hierarchy with the cpu controller and a cgconfig service
# (install packaging/cgconfig as /etc/init.d/cgconfig when there is none).
set -u

build=${1:-${TQ_BUILD_DIR:-./build}}
seconds=${2:-60}

for program in tqd tqrcg_bench; do
    if [ ! -x "$build/$program" ]; then
        echo "run.sh: $build/$program is missing: build the targets tqd and tqrcg_bench first" >&2
        exit 1
    fi
done
if [ "$(id -u)" != 0 ]; then
    echo "run.sh: the cgroup tools need root" >&2
    exit 1
fi
if ! service cgconfig status >/dev/null 2>&1; then
    echo "run.sh: 'service cgconfig status' fails: install packaging/cgconfig as /etc/init.d/cgconfig" >&2
    exit 1
fi

work=$(mktemp -d /tmp/tqbench-XXXXXX) || exit 1
tqd_pid=
cleanup() {
    if [ -n "$tqd_pid" ]; then
        kill -TERM "$tqd_pid" 2>/dev/null
        wait "$tqd_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port=$("$build/tqrcg_bench" --free-port) || exit 1
cat > "$work/tq.conf" <<CONF
[Base]
sTQLOGDIR=$work/log
[Session]
nTQDPORT=$port
sTQDHOST=127.0.0.1
CONF
TQ_CONFIG="$work/tq.conf"
export TQ_CONFIG

"$build/tqd" --foreground --port "$port" 2>"$work/tqd.err" &
tqd_pid=$!

# tqrcg_bench waits for tqd to answer before it measures.
"$build/tqrcg_bench" --seconds "$seconds"
status=$?
if [ "$status" != 0 ]; then
    echo "run.sh: tqrcg_bench failed; tqd said:" >&2
    tail -20 "$work/tqd.err" >&2
fi
exit "$status"
