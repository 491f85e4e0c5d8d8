#!/bin/sh
# Lab guest check: packaging/cgconfig on a host with the unified hierarchy
# only.  "status" exits non-zero and says the unified hierarchy is in use;
# "start" mounts nothing, creates no directory inside the cgroup2 mount and
# says why; "status" still exits non-zero afterwards.
#
# Runs inside the lab guest only (scripts/lab.sh).  Whatever a faulty start
# mounted or created is taken away again.
set -u

if [ "${TQ_LAB:-}" != 1 ]; then
    echo "check_cgconfig_v2.sh: runs inside the lab guest only (scripts/lab.sh)" >&2
    exit 1
fi
script=${TQ_SOURCE_DIR:?TQ_SOURCE_DIR names the source tree}/packaging/cgconfig
unset CGCONFIG_MOUNTS CGCONFIG_CONF CGCONFIG_CPU_MOUNTPOINT
work=$(mktemp -d /tmp/labcgconfig.XXXXXX)
failures=0

ok() { echo "ok: $*"; }
bad() { echo "FAILED: $*"; failures=$((failures + 1)); }

directories() { find /sys/fs/cgroup -type d | sort; }
mounts() { awk '{ print $2 }' /proc/mounts | sort; }

# Takes away the mounts and directories that appeared since the snapshot.
undo() {
    mounts > "$work/mounts.after"
    grep -vxFf "$work/mounts.before" "$work/mounts.after" | sort -r | while read -r point; do
        umount "$point" && echo "took away the mount at $point"
    done
    directories > "$work/dirs.after"
    grep -vxFf "$work/dirs.before" "$work/dirs.after" | sort -r | while read -r dir; do
        rmdir "$dir" && echo "took away $dir"
    done
}
trap 'undo; rm -rf "$work"' EXIT

# The reason on a v2-only host: the unified hierarchy is in use.
says_why() {
    printf '%s' "$1" | grep -qi 'unified'
}

directories > "$work/dirs.before"
mounts > "$work/mounts.before"

output=$(sh "$script" status 2>&1)
status=$?
echo "status -> exit $status: $output"
if [ "$status" != 0 ] && says_why "$output"; then
    ok "status exits non-zero and names the unified hierarchy"
else
    bad "status must exit non-zero and say that the unified hierarchy is in use"
fi

output=$(sh "$script" start 2>&1)
status=$?
echo "start -> exit $status: $output"
directories > "$work/dirs.after"
mounts > "$work/mounts.after"
created=$(grep -vxFf "$work/dirs.before" "$work/dirs.after")
mounted=$(grep -vxFf "$work/mounts.before" "$work/mounts.after")
if [ -z "$created" ]; then
    ok "start created no directory inside the cgroup2 mount"
else
    bad "start created inside the cgroup2 mount: $(echo "$created" | tr '\n' ' ')"
fi
if [ -z "$mounted" ]; then
    ok "start mounted nothing"
else
    bad "start mounted: $(echo "$mounted" | tr '\n' ' ')"
fi
if says_why "$output"; then
    ok "start says why it does nothing"
else
    bad "start must say that the unified hierarchy is in use"
fi

output=$(sh "$script" status 2>&1)
status=$?
if [ "$status" != 0 ]; then
    ok "status still exits non-zero after start"
else
    bad "status exits 0 after start: $output"
fi

[ "$failures" = 0 ]
