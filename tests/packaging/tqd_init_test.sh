#!/bin/sh
# The tqd init script knows tqd by its executable: a process that only calls
# itself tqd, at the pid that the pid file names, is not taken for it.
# Runs against copies of sleep and a fake daemon in a folder of its own; the
# processes it starts are its own and ended by pid.
set -u
SCRIPT=$1
WORK=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
failures=0

check() { # description expected-status actual-status
  if [ "$2" -ne "$3" ]; then
    echo "FAIL: $1: expected status $2, got $3"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

# Starts a copy of sleep at $1 (its name, and so its comm, is that file's)
# and writes its pid into the pid file.
start_copy() {
  mkdir -p "$(dirname "$1")"
  cp "$(command -v sleep)" "$1"
  "$1" 60 &
  pid=$!
  pids="$pids $pid"
  echo "$pid" > "$WORK/tqd.pid"
}

status_of() { # daemon-path
  TQD_DAEMON=$1 TQD_PIDFILE=$WORK/tqd.pid SYSTEMCTL_SKIP_REDIRECT=1 sh "$SCRIPT" status >/dev/null 2>&1
  echo $?
}

# A fake tqd for start: writes its pid file and leaves.
mkdir -p "$WORK/sbin"
cat > "$WORK/sbin/tqd" <<'FAKE'
#!/bin/sh
while [ $# -gt 0 ]; do
  [ "$1" = "--pidfile" ] && { echo $$ > "$2"; shift; }
  shift
done
exit 0
FAKE
chmod +x "$WORK/sbin/tqd"

start_copy "$WORK/impostor/tqd"
check "a process named tqd that is not the daemon is not running tqd" 1 "$(status_of "$WORK/sbin/tqd")"
said=$(TQD_DAEMON=$WORK/sbin/tqd TQD_PIDFILE=$WORK/tqd.pid SYSTEMCTL_SKIP_REDIRECT=1 sh "$SCRIPT" start 2>&1)
case "$said" in
  *"already running"*) echo "FAIL: start took the impostor for tqd: $said"; failures=$((failures + 1)) ;;
  *"started"*) echo "ok: start starts tqd beside the impostor" ;;
  *) echo "FAIL: start said: $said"; failures=$((failures + 1)) ;;
esac

start_copy "$WORK/real/tqd"
check "the daemon's own executable is running tqd" 0 "$(status_of "$WORK/real/tqd")"
ln -s "$WORK/real/tqd" "$WORK/link-to-tqd"
check "through a link to the executable" 0 "$(status_of "$WORK/link-to-tqd")"
# An upgrade replaces the file under the running daemon.
rm "$WORK/real/tqd"
cp "$(command -v sleep)" "$WORK/real/tqd"
check "an executable replaced by an upgrade still runs tqd" 0 "$(status_of "$WORK/real/tqd")"

echo "$failures failures"
[ "$failures" -eq 0 ]
