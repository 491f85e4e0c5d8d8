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
case "$(printf 'cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n' > "$WORK/mounts"; CGCONFIG_MOUNTS=$WORK/mounts sh "$SCRIPT" status)" in
  *"unified cgroup hierarchy (cgroup2) is in use at /sys/fs/cgroup"*) echo "ok: status names the unified hierarchy" ;;
  *) echo "FAIL: status on a cgroup2 host does not say that the unified hierarchy is in use"; failures=$((failures + 1)) ;;
esac
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

# start on a cgroup2 host: nothing is mounted or created, and it says why.
# The fake mount point offers cpu, or is the only hierarchy.
mkdir -p "$WORK/cg2" "$WORK/sbin"
printf 'cpuset cpu io memory pids\n' > "$WORK/cg2/cgroup.controllers"
for tool in mount mkdir cgconfigparser; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/forbidden-calls"\nexit 1\n' "$tool" "$WORK" > "$WORK/sbin/$tool"
  chmod +x "$WORK/sbin/$tool"
done
sed "s|^PATH=.*|PATH=$WORK/sbin:/usr/sbin:/usr/bin:/sbin:/bin|" "$SCRIPT" > "$WORK/cgconfig2"
for table in "cgroup2 $WORK/cg2 cgroup2 rw 0 0" \
             "cgroup2 /nonexistent cgroup2 rw 0 0" \
             "$(printf 'cgroup /x/cpuacct cgroup rw,cpuacct 0 0\ncgroup2 %s cgroup2 rw 0 0' "$WORK/cg2")"; do
  printf '%s\n' "$table" > "$WORK/mounts"
  CGCONFIG_MOUNTS=$WORK/mounts CGCONFIG_CONF=$WORK/cgconfig.conf CGCONFIG_CPU_MOUNTPOINT=$WORK/cg2/cpu \
    sh "$WORK/cgconfig2" start > "$WORK/start-out" 2>&1
  check "start on cgroup2 ($(echo "$table" | tail -1 | cut -d' ' -f2))" 0 $?
  grep -q "nothing mounted" "$WORK/start-out" || { echo "FAIL: start does not say why"; failures=$((failures + 1)); }
  CGCONFIG_MOUNTS=$WORK/mounts sh "$WORK/cgconfig2" status >/dev/null
  check "status on cgroup2 fails" 3 $?
done
# A hybrid host whose unified mount lacks cpu: the v1 fall-back never makes
# the cpu folder inside the cgroup2 mount.
printf 'cpuset memory\n' > "$WORK/cg2/cgroup.controllers"
printf 'cgroup /x/memory cgroup rw,memory 0 0\ncgroup2 %s cgroup2 rw 0 0\n' "$WORK/cg2" > "$WORK/mounts"
CGCONFIG_MOUNTS=$WORK/mounts CGCONFIG_CONF=/nonexistent CGCONFIG_CPU_MOUNTPOINT=$WORK/cg2/cpu \
  sh "$WORK/cgconfig2" start >/dev/null 2>&1
check "start refuses a cpu folder inside cgroup2" 1 $?
if [ -e "$WORK/forbidden-calls" ] || [ -e "$WORK/cg2/cpu" ]; then
  echo "FAIL: start on a cgroup2 host ran: $(cat "$WORK/forbidden-calls" 2>/dev/null)"; failures=$((failures + 1))
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
