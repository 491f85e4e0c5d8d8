#!/bin/sh
# The cgconfig script's status follows the mount table; start mounts nothing
# when a cpu hierarchy is there and asks cgconfigparser when a configuration
# file exists.  Runs against fake mount tables and a fake cgconfigparser.
set -u
SCRIPT=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

check() { # description expected-status actual-status
  if [ "$2" -ne "$3" ]; then
    echo "FAIL: $1: expected status $2, got $3"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

status_with() { # mount-table-text
  printf '%s\n' "$1" > "$WORK/mounts"
  CGCONFIG_MOUNTS=$WORK/mounts sh "$SCRIPT" status >/dev/null
  echo $?
}

check "cpu alone mounted" 0 "$(status_with 'cgroup /sys/fs/cgroup/cpu cgroup rw,relatime,cpu 0 0')"
check "cpu with cpuacct" 0 "$(status_with 'cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,nosuid,cpu,cpuacct 0 0')"
check "cpuacct alone is not cpu" 3 "$(status_with 'cgroup /sys/fs/cgroup/cpuacct cgroup rw,relatime,cpuacct 0 0')"
check "cpuset alone is not cpu" 3 "$(status_with 'cgroup /sys/fs/cgroup/cpuset cgroup rw,cpuset 0 0')"
check "cgroup2 only" 3 "$(status_with 'cgroup2 /sys/fs/cgroup cgroup2 rw,nosuid 0 0')"
check "a tmpfs named cpu" 3 "$(status_with 'tmpfs /sys/fs/cgroup/cpu tmpfs rw,cpu 0 0')"
check "empty mount table" 3 "$(status_with '')"

# start with a cpu hierarchy present: nothing to do, parser not called.
mkdir -p "$WORK/bin"
cat > "$WORK/bin/cgconfigparser" <<'PARSER'
#!/bin/sh
echo "$*" >> "$(dirname "$0")/../parser-calls"
PARSER
chmod +x "$WORK/bin/cgconfigparser"
printf 'cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n' > "$WORK/mounts"
: > "$WORK/cgconfig.conf"
sed "s|^PATH=.*|PATH=$WORK/bin:/usr/sbin:/usr/bin:/sbin:/bin|" "$SCRIPT" > "$WORK/cgconfig"
CGCONFIG_MOUNTS=$WORK/mounts CGCONFIG_CONF=$WORK/cgconfig.conf sh "$WORK/cgconfig" start >/dev/null
check "start with cpu mounted succeeds" 0 $?
if [ -e "$WORK/parser-calls" ]; then
  echo "FAIL: start ran cgconfigparser although cpu was mounted"; failures=$((failures + 1))
fi

# start without a cpu hierarchy but with a configuration file: the parser is
# asked with -l <file>; as the fake mounts nothing, start reports failure.
printf 'cgroup /sys/fs/cgroup/memory cgroup rw,memory 0 0\n' > "$WORK/mounts"
CGCONFIG_MOUNTS=$WORK/mounts CGCONFIG_CONF=$WORK/cgconfig.conf sh "$WORK/cgconfig" start >/dev/null 2>&1
check "start whose parser mounts nothing fails" 1 $?
if [ "$(cat "$WORK/parser-calls" 2>/dev/null)" != "-l $WORK/cgconfig.conf" ]; then
  echo "FAIL: cgconfigparser not called as '-l $WORK/cgconfig.conf'"; failures=$((failures + 1))
fi

# stop removes nothing and succeeds; unknown verbs are usage errors.
CGCONFIG_MOUNTS=$WORK/mounts sh "$SCRIPT" stop >/dev/null
check "stop succeeds" 0 $?
sh "$SCRIPT" frobnicate >/dev/null 2>&1
check "unknown verb" 2 $?
if grep -Eq 'cgdelete|cgclear|rmdir|cgclassify|cgcreate' "$SCRIPT"; then
  echo "FAIL: the script must never create, move or remove groups"; failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "all cgconfig checks passed"
exit "$failures"
