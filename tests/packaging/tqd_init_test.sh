#!/bin/sh
# The tqd init script knows tqd by its executable: a process that only calls
# itself tqd, at the pid that the pid file names, is not taken for it.
# Runs copies of sleep (ended by pid) and a fake daemon in a folder of its own.
set -u
SCRIPT=$1
WORK=$(mktemp -d)
pids=""
trap 'for pid in $pids; do kill "$pid" 2>/dev/null; done; rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs a copy of sleep as $1 (its comm is that file's name) into the pid file.
start_copy() {
  mkdir -p "$(dirname "$1")" && cp "$(command -v sleep)" "$1"
  "$1" 60 &
  pids="$pids $!"
  echo $! > "$WORK/tqd.pid"
  # Until the child has run the copy, its executable is still this shell's.
  tries=0
  while [ "$(readlink "/proc/$!/exe")" != "$(readlink -f "$1")" ] && [ $tries -lt 500 ]; do
    sleep 0.01
    tries=$((tries + 1))
  done
}
init() { # daemon-path action
  TQD_DAEMON=$1 TQD_PIDFILE=$WORK/tqd.pid SYSTEMCTL_SKIP_REDIRECT=1 sh "$SCRIPT" "$2" 2>&1
}
expect_status() { # description expected daemon-path
  init "$3" status >/dev/null
  status=$?
  [ "$status" -eq "$2" ] && echo "ok: $1" || fail "$1: status $status, not $2"
}

mkdir -p "$WORK/sbin"
printf '#!/bin/sh\nwhile [ $# -gt 0 ]; do [ "$1" = --pidfile ] && echo $$ > "$2"; shift; done\n' > "$WORK/sbin/tqd"
chmod +x "$WORK/sbin/tqd"

start_copy "$WORK/impostor/tqd"
expect_status "a process named tqd that is not the daemon is not tqd" 1 "$WORK/sbin/tqd"
case "$(init "$WORK/sbin/tqd" start)" in
  *"already running"*) fail "start took the impostor for tqd" ;;
  *started*) echo "ok: start starts tqd beside the impostor" ;;
  *) fail "start did not start tqd" ;;
esac

start_copy "$WORK/real/tqd"
expect_status "the daemon's own executable is tqd" 0 "$WORK/real/tqd"
ln -s "$WORK/real/tqd" "$WORK/link"
expect_status "also through a link to it" 0 "$WORK/link"
rm "$WORK/real/tqd" && cp "$(command -v sleep)" "$WORK/real/tqd"
expect_status "an executable replaced by an upgrade is still tqd" 0 "$WORK/real/tqd"

echo "$failures failures"
[ "$failures" -eq 0 ]
