#!/bin/sh
# The postinst's rule for installing the cgconfig script (needs_cgconfig,
# taken out of the script): only where the manager takes the cgroup v1 path,
# never where no cgroup hierarchy is mounted at all (a chroot, an image).
#   postinst_cgconfig_test.sh <debian/tqrcgmgr.postinst>
set -u
POSTINST=$1
failures=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sed -n '/^needs_cgconfig() {$/,/^}$/p' "$POSTINST" > "$tmp/rule.sh"
grep -q . "$tmp/rule.sh" || { echo "FAIL: no needs_cgconfig() in $POSTINST"; exit 1; }
. "$tmp/rule.sh"

# Two cgroup2 mount points: one whose root offers cpu, one that does not.
mkdir -p "$tmp/v2cpu" "$tmp/v2"
echo "cpuset cpu io memory pids" > "$tmp/v2cpu/cgroup.controllers"
echo "memory pids" > "$tmp/v2/cgroup.controllers"
V1CPU="cgroup /sys/fs/cgroup/cpu cgroup rw,relatime,cpu 0 0"
V1CPUACCT="cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,nosuid,cpu,cpuacct 0 0"
V1MEM="cgroup /sys/fs/cgroup/memory cgroup rw,relatime,memory 0 0"
V2CPU="cgroup2 $tmp/v2cpu cgroup2 rw,nosuid,nodev 0 0"
V2="cgroup2 $tmp/v2 cgroup2 rw,nosuid,nodev 0 0"
ROOT="/dev/vda / ext4 rw,relatime 0 0"
PROC="proc /proc proc rw 0 0"

# case EXPECTED TITLE MOUNT-LINE...: yes when the script is to be installed.
case_() {
  expected=$1 title=$2
  shift 2
  : > "$tmp/mounts"
  for line in "$@"; do printf '%s\n' "$line" >> "$tmp/mounts"; done
  if needs_cgconfig "$tmp/mounts"; then got=yes; else got=no; fi
  if [ "$got" != "$expected" ]; then
    echo "FAIL: $title: needs_cgconfig says $got"
    failures=$((failures + 1))
  fi
}

case_ no  "an empty mount table (a chroot)"
case_ no  "no cgroup mount at all"                  "$ROOT" "$PROC"
case_ yes "v1 cpu mounted"                          "$ROOT" "$V1CPU" "$V1MEM"
case_ yes "v1 cpu,cpuacct mounted"                  "$ROOT" "$V1CPUACCT"
case_ yes "v1 without cpu: cgconfig mounts it"      "$ROOT" "$V1MEM"
case_ yes "hybrid: v1 beside a cgroup2 without cpu" "$ROOT" "$V1MEM" "$V2"
case_ yes "v1 cpu beside a cgroup2 with cpu"        "$ROOT" "$V1CPU" "$V2CPU"
case_ no  "cgroup2 offering cpu"                    "$ROOT" "$V2CPU"
case_ no  "v1 without cpu beside a cgroup2 with cpu" "$ROOT" "$V1MEM" "$V2CPU"
case_ no  "only a cgroup2 without cpu"              "$ROOT" "$V2"

[ "$failures" -eq 0 ] && echo "postinst cgconfig rule: all cases pass"
exit "$failures"
