#!/bin/bash
# The lab's guest runner (scripts/lab/kernel.sh: boot_guest, guest_broke_down)
# against a fake qemu-system-x86_64 that plays one guest each: one that
# finishes, one whose kernel panics, one that hangs, one that overruns its
# time and one that hangs after its results.
#   boot_guest_test.sh <scripts/lab/kernel.sh>
set -u
KERNEL_SH=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
# The fake guest: FAKE_GUEST says what it does; it writes its pid down so
# that the test can see it is gone afterwards.
cat > "$tmp/bin/qemu-system-x86_64" <<'FAKE'
#!/bin/sh
echo $$ > "$FAKE_PID"
echo "[    0.000000] Linux version 6.1.0 (fake)"
case $FAKE_GUEST in
  finishes) printf '==== tq lab results ====\n1 passed, 0 failed\n==== tq lab end ====\n' ;;
  panics) echo "[   12.5] Kernel panic - not syncing: Fatal exception in interrupt" ;;
  fails) exit 3 ;;
  hangs) exec sleep 600 ;;
  chatters) while :; do echo "still here"; sleep 1; done ;;
  hangs-after-results) printf '==== tq lab results ====\n1 passed, 0 failed\n==== tq lab end ====\n'; exec sleep 600 ;;
esac
FAKE
chmod +x "$tmp/bin/qemu-system-x86_64"
export PATH="$tmp/bin:$PATH" FAKE_PID="$tmp/qemu.pid"

log() { printf '[test] %s\n' "$*"; }
# shellcheck source=/dev/null
. "$KERNEL_SH" || { echo "FAIL: cannot source $KERNEL_SH"; exit 1; }
VMLINUZ=$tmp/vmlinuz
LOG=$tmp/console.log
export TQ_LAB_SILENCE=3

# guest, time-out, boot_guest's status, whether it is booted once more
cases="
finishes 60 0 no
panics 60 0 yes
fails 60 3 no
hangs 60 125 yes
chatters 3 124 no
hangs-after-results 60 125 no
"
while read -r guest limit want_status want_again; do
  [ -n "$guest" ] || continue
  rm -f "$FAKE_PID"
  export FAKE_GUEST=$guest
  TIMEOUT=$limit
  status=0
  boot_guest 64 "$tmp/initrd" > "$tmp/out" 2>&1 || status=$?
  [ "$status" = "$want_status" ] || fail "$guest: boot_guest returned $status, not $want_status"
  grep -q "Linux version" "$LOG" || fail "$guest: the console log lacks the guest's first line"
  again=no
  reason=$(guest_broke_down "$status") && again=yes
  [ "$again" = "$want_again" ] || fail "$guest: booted once more: $again, not $want_again ($reason)"
  if [ "$want_again" = yes ] && [ -z "$reason" ]; then
    fail "$guest: booted once more without a reason"
  fi
  fake=$(cat "$FAKE_PID" 2>/dev/null || true)
  if [ -n "$fake" ] && kill -0 "$fake" 2>/dev/null; then
    fail "$guest: the fake qemu (pid $fake) still runs"
    kill -KILL "$fake" 2>/dev/null
  fi
  for leftover in "$LOG.qemu-pid" "$LOG.qemu-status" "$LOG.stalled"; do
    [ ! -e "$leftover" ] || fail "$guest: $leftover left behind"
  done
done <<<"$cases"

if [ "$failures" != 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "boot_guest: all cases passed"
