#!/bin/sh
# On this host the cgconfig service answers "status" with success, and that
# service is either ours or the host's own.
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
