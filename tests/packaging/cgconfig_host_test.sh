#!/bin/sh
# On a cgroup v1 host the cgconfig service answers "status" with success, and
# that service is either ours or the host's own.  On a host with the unified
# hierarchy only, our cgconfig script's "status" exits non-zero and says that
# the unified hierarchy is in use (it starts nothing there).
if ! grep -q ' cgroup .*[ ,]cpu[, ]' /proc/mounts && grep -q '^cgroup2 /sys/fs/cgroup cgroup2 ' /proc/mounts; then
  out=$(sh "$(dirname "$0")/../../packaging/cgconfig" status 2>&1)
  status=$?
  echo "$out"
  [ "$status" -ne 0 ] || { echo "FAIL: cgconfig status exited 0 on a cgroup2 host"; exit 1; }
  printf '%s' "$out" | grep -qi unified || { echo "FAIL: cgconfig status does not name the unified hierarchy"; exit 1; }
  exit 0
fi
if [ "$(id -u)" -ne 0 ] || ! grep -q ' cgroup .*[ ,]cpu[, ]' /proc/mounts; then
  if [ "${TQ_REQUIRE_SYSTEM_TESTS:-}" = 1 ]; then
    echo "FAIL: needs root and a cgroup v1 cpu hierarchy"; exit 1
  fi
  echo "SKIPPED: needs root and a cgroup v1 cpu hierarchy"; exit 0
fi
out=$(service cgconfig status 2>&1)
status=$?
echo "$out"
[ "$status" -eq 0 ] || { echo "FAIL: service cgconfig status returned $status"; exit 1; }
