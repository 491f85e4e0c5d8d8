#!/bin/sh
# Lab guest check: the guest is the cgroup v2 host the product expects, and
# the built programs run there.  cgroup2 at /sys/fs/cgroup with no v1
# hierarchy; cpu listed and enabled at the root; a cpu.max of "50000 100000"
# holds two busy loops to half a processor; the socket diagnostics modules are
# loaded and loopback is up; tqd starts from TQ_BUILD_DIR on a loopback port
# with a store of its own and answers tqrcg; tqrcg --help works.
#
# Runs inside the lab guest only (scripts/lab.sh): it creates a control group
# at the root of the unified hierarchy.
set -u

if [ "${TQ_LAB:-}" != 1 ]; then
    echo "check_smoke.sh: runs inside the lab guest only (scripts/lab.sh)" >&2
    exit 1
fi
build=${TQ_BUILD_DIR:?TQ_BUILD_DIR names the build folder}
root=/sys/fs/cgroup
group=$root/labsmoke_$$
work=$(mktemp -d /tmp/labsmoke.XXXXXX)
failures=0
loops=
tqd_pid=

ok() { echo "ok: $*"; }
bad() { echo "FAILED: $*"; failures=$((failures + 1)); }

cleanup() {
    for pid in $loops $tqd_pid; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [ -d "$group" ] && rmdir "$group"
    rm -rf "$work"
}
trap cleanup EXIT

uptime_usec() {
    awk '{ printf "%d", $1 * 1000000 }' /proc/uptime
}

check_hierarchy() {
    if awk '$2 == "/sys/fs/cgroup" && $3 == "cgroup2" { found = 1 } END { exit !found }' /proc/mounts; then
        ok "cgroup2 is mounted at $root"
    else
        bad "no cgroup2 mount at $root"
    fi
    if awk '$3 == "cgroup" { found = 1 } END { exit !found }' /proc/mounts; then
        bad "a cgroup v1 hierarchy is mounted"
    fi
    if grep -qw cpu "$root/cgroup.controllers" && grep -qw cpu "$root/cgroup.subtree_control"; then
        ok "cpu is available and enabled at the root"
    else
        bad "cpu missing: controllers '$(cat "$root/cgroup.controllers")'," \
            "subtree_control '$(cat "$root/cgroup.subtree_control")'"
    fi
}

# Two busy loops in a group with cpu.max "50000 100000" for 3 s use at most
# about half of one processor, and the kernel throttles the group.
check_cpu_max() {
    if ! mkdir "$group" || ! echo "50000 100000" > "$group/cpu.max"; then
        bad "cannot create $group with cpu.max 50000 100000"
        return
    fi
    value=$(cat "$group/cpu.max")
    [ "$value" = "50000 100000" ] || bad "cpu.max reads '$value'"
    for _ in 1 2; do
        sh -c "echo \$\$ > '$group/cgroup.procs' && while :; do :; done" &
        loops="$loops $!"
    done
    sleep 0.5
    start_usage=$(awk '$1 == "usage_usec" { print $2 }' "$group/cpu.stat")
    start_throttled=$(awk '$1 == "nr_throttled" { print $2 }' "$group/cpu.stat")
    start=$(uptime_usec)
    sleep 3
    usage=$(awk '$1 == "usage_usec" { print $2 }' "$group/cpu.stat")
    throttled=$(awk '$1 == "nr_throttled" { print $2 }' "$group/cpu.stat")
    now=$(uptime_usec)
    share=$(awk -v u=$((usage - start_usage)) -v t=$((now - start)) 'BEGIN { printf "%d", 100 * u / t }')
    if [ "$(wc -w < "$group/cgroup.procs")" != 2 ]; then
        bad "the busy loops are not in $group"
    elif [ "$share" -le 60 ] && [ "$throttled" -gt "$start_throttled" ]; then
        ok "cpu.max 50000 100000 held two busy loops to $share % of one processor, throttled in $((throttled - start_throttled)) periods"
    else
        bad "two busy loops under cpu.max 50000 100000 used $share % of one processor, throttled in $((throttled - start_throttled)) periods"
    fi
    for pid in $loops; do
        kill -KILL "$pid"
        wait "$pid" 2>/dev/null
    done
    loops=
    rmdir "$group" || bad "cannot remove $group"
}

check_network() {
    for module in inet_diag tcp_diag; do
        grep -q "^$module " /proc/modules || bad "module $module is not loaded"
    done
    if ip link show lo | grep -q 'UP'; then ok "loopback is up"; else bad "loopback is down"; fi
}

# tqd on a port of its own with a store of its own; tqrcg reaches it.
check_tqd() {
    port=18461
    mkdir -p "$work/log"
    printf '[Base]\nsTQLOGDIR=%s/log\n[Session]\nnTQDPORT=%s\nsTQDHOST=127.0.0.1\n' "$work" "$port" \
        > "$work/tq.conf"
    TQ_CONFIG=$work/tq.conf
    export TQ_CONFIG
    "$build/tqd" --foreground --port "$port" 2> "$work/tqd.err" &
    tqd_pid=$!
    tries=0
    while :; do
        reply=$("$build/tqrcg" delete "labsmoke_missing_$$" 2>&1)
        case "$reply" in
            *"is not running on port"*) ;;
            *"gave no answer"*) bad "tqd closed the connection: $reply"; break ;;
            *) ok "tqd answers on 127.0.0.1:$port (delete of a missing group: ${reply:-Success})"; break ;;
        esac
        tries=$((tries + 1))
        if [ "$tries" -ge 50 ] || ! kill -0 "$tqd_pid" 2>/dev/null; then
            bad "tqd does not answer on port $port: $(tail -5 "$work/tqd.err")"
            break
        fi
        sleep 0.2
    done
    if "$build/tqrcg" --help > /dev/null; then ok "tqrcg --help"; else bad "tqrcg --help failed"; fi
}

check_hierarchy
check_cpu_max
check_network
check_tqd
[ "$failures" = 0 ]
