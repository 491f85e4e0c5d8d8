#!/bin/bash
# The cgroup v2 lab: boots Debian's own kernel under QEMU with an initramfs
# that holds busybox, the programs built in BUILD_DIR and the lab's tests,
# runs the tests on a cgroup v2 host (the unified hierarchy at
# /sys/fs/cgroup, cpu, memory and pids enabled at the root, no v1 hierarchy)
# and prints their summary.  Exits non-zero when a test failed, the guest did
# not finish in time or printed no summary (a guest whose kernel broke down
# before its results is booted once more first).
#
#   bash scripts/lab.sh [BUILD_DIR]          (default: build/ of this tree)
#
# Needs root only for apt-get (the kernel package is downloaded, never
# installed), qemu-system-x86_64, busybox-static and cpio (scripts/setup.sh).
# Everything it makes lives in BUILD_DIR/lab/: the unpacked kernel package
# (kernel/, kept and reused), the initramfs and the guest's console log.
#
# Environment:
#   TQ_LAB_TIMEOUT        seconds the whole guest may run (default 1200: a guard
#                         against a hung guest, wide enough for a busy host)
#   TQ_LAB_TEST_TIMEOUT   seconds one test may run in the guest (default 300)
#   TQ_LAB_SILENCE        seconds of a silent console after which the guest is
#                         taken as stuck and stopped (default 420).  A guest
#                         whose kernel panicked or went silent before it printed
#                         its results is booted once more, and says so; results
#                         are never retried
#   TQ_LAB_BENCH_TIMEOUT  seconds the bench may run in the guest (default 300)
#   TQ_LAB_APPEND         more words for the kernel command line
#   TQ_LAB_GTEST_FILTER   a GoogleTest filter for the guest's test programs (by hand only)
#   TQ_LAB_SYSTEM_FILTER  the GoogleTest filter of the system-test programs in the
#                         guest (default: all but the floods, which need no hierarchy)
#   TQ_LAB_SYSTEMD        0: skip the systemd guests (scripts/lab-systemd.sh,
#                         run after this one; its own settings are listed there)
#   TQ_LAB_SYSTEMD_SUITES the Debian releases of the systemd guests, one guest
#                         each (default "bookworm trixie"); they run side by
#                         side, each guest being mostly one thread under TCG
#                         (TQ_LAB_SYSTEMD_SERIAL=1: one after the other)
set -euo pipefail

BUILD=
if [ -n "${1:-}" ]; then
  BUILD=$(cd "$1" 2>/dev/null && pwd) || { echo "lab: no build folder $1" >&2; exit 1; }
fi
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-$ROOT/build}

LAB=$BUILD/lab
KERNEL_CACHE=$LAB/kernel
STAGE=$LAB/initramfs
INITRD=$LAB/initramfs.cpio.gz
LOG=$LAB/console.log
TIMEOUT=${TQ_LAB_TIMEOUT:-1200}
MODULES="inet_diag tcp_diag"   # tqd's peer check; a Debian host loads them on demand

# kernel_package, fetch_kernel: Debian's kernel, unpacked under $KERNEL_CACHE.
# shellcheck source=scripts/lab/kernel.sh
. "$ROOT/scripts/lab/kernel.sh"

log() { printf '[lab] %s\n' "$*"; }
fail() { printf 'lab: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

check_tools() {
  local tool
  for tool in qemu-system-x86_64 cpio gzip apt-get apt-cache dpkg-deb ldd timeout; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup.sh (qemu-system-x86, busybox-static, cpio)"
  done
  [ -x /bin/busybox ] || fail "/bin/busybox is missing: install busybox-static"
  if ldd /bin/busybox >/dev/null 2>&1; then
    fail "/bin/busybox is linked dynamically: install busybox-static"
  fi
  for program in tqd tqrcg libtqrcgmgr.so libtqfw.so; do
    [ -f "$BUILD/$program" ] || fail "$BUILD/$program is missing: build the project first (cmake --build $BUILD)"
  done
}

# Where a file of this host lives in the guest: the build folder's files
# under /lab/build, everything else at the same path.
guest_path() {
  case "$1" in
    "$BUILD"/*) echo "/lab/build/${1#"$BUILD"/}" ;;
    *) echo "$1" ;;
  esac
}

# copy_file SOURCE: the file (symbolic links followed) at its guest path.
copy_file() {
  local target
  target=$STAGE$(guest_path "$1")
  mkdir -p "$(dirname "$target")"
  cp -L --preserve=mode "$1" "$target"
}

# Every library the dynamic programs and libraries given need, at the paths ldd names.
copy_libraries() {
  local file listing
  for file in "$@"; do
    if ! listing=$(ldd "$file" 2>&1); then
      grep -q 'not a dynamic executable' <<<"$listing" && continue
      fail "ldd $file: $listing"
    fi
    if grep -q 'not found' <<<"$listing"; then
      fail "ldd $file: $(grep 'not found' <<<"$listing" | tr -s ' \t' ' ')"
    fi
    awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' <<<"$listing"
  done | sort -u | while read -r library; do
    copy_file "$library"
  done
  copy_file /lib64/ld-linux-x86-64.so.2
}

# copy_module RELEASE_FOLDER NAME: NAME.ko of the kernel package, uncompressed.
copy_module() {
  local source target=$STAGE/lib/modules/$KERNEL_RELEASE/$2.ko
  source=$(find "$1/kernel" -name "$2.ko*" | head -1)
  [ -n "$source" ] || fail "the kernel package has no module $2"
  case "$source" in
    *.ko) cp "$source" "$target" ;;
    *.ko.xz) xz -dc "$source" > "$target" ;;
    *.ko.zst) zstd -qdc "$source" > "$target" ;;
    *.ko.gz) gzip -dc "$source" > "$target" ;;
    *) fail "unknown module format: $source" ;;
  esac
}

write_etc() {
  mkdir -p "$STAGE/etc"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$STAGE/etc/hosts"
  printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n' \
    > "$STAGE/etc/passwd"
  printf 'root:x:0:\nnobody:x:65534:\nnogroup:x:65534:\n' > "$STAGE/etc/group"
  printf 'passwd: files\ngroup: files\nhosts: files\n' > "$STAGE/etc/nsswitch.conf"
}

# The host's system-test programs (label "system"), which the guest runs on
# its cgroup2 hierarchy too.
SYSTEM_TESTS="rcg_system_tests tqd_system_tests tqrcg_cli_system_test tqrcg_figures_system_test tqrcg_properties_system_test"
# Their cases that need no hierarchy (a refused user's floods) run on the
# host only.
SYSTEM_FILTER=${TQ_LAB_SYSTEM_FILTER:--TqdPeersAsRoot.*}

# What the system tests call beyond busybox: tmux (with the C.UTF-8 locale
# and the terminal descriptions its panes use) and promtool, when this host
# has them.
copy_system_test_tools() {
  local tool entry
  for tool in /usr/bin/tmux "$BUILD/tools/promtool" "$(command -v promtool || true)"; do
    [ -n "$tool" ] && [ -x "$tool" ] || continue
    copy_file "$tool"
    copy_libraries "$tool"
  done
  # tmux wants a UTF-8 locale: C.UTF-8.
  if [ -d /usr/lib/locale/C.utf8 ]; then
    mkdir -p "$STAGE/usr/lib/locale"
    cp -r /usr/lib/locale/C.utf8 "$STAGE/usr/lib/locale/"
  fi
  for entry in s/screen s/screen-256color t/tmux t/tmux-256color d/dumb x/xterm x/xterm-256color; do
    for folder in /lib/terminfo /usr/share/terminfo; do
      [ -f "$folder/$entry" ] && copy_file "$folder/$entry"
    done
  done
  return 0
}

# The guest's root: busybox and its applets, the build's programs in
# /lab/build, the source tree's lab files in /lab/src.  /init links this
# host's paths of both folders to them (run paths name the build folder).
stage_root() {
  local kernel=$1 program programs=() applet
  rm -rf "$STAGE"
  mkdir -p "$STAGE"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,run,root,var/log,var/tmp,lab}
  cp /bin/busybox "$STAGE/bin/busybox"
  for applet in $(/bin/busybox --list-full); do
    [ -e "$STAGE/$applet" ] || ln -s /bin/busybox "$STAGE/$applet"
  done
  mknod -m 600 "$STAGE/dev/console" c 5 1 2>/dev/null || true

  for program in tqd tqrcg libtqrcgmgr.so libtqfw.so tqrcg_bench; do
    [ -f "$BUILD/$program" ] && programs+=("$BUILD/$program")
  done
  while IFS= read -r program; do
    programs+=("$program")
  done < <(find "$BUILD" -maxdepth 1 -type f -name 'lab_*' -perm -u+x | sort)
  : > "$STAGE/lab/system-tests"
  for program in $SYSTEM_TESTS; do
    [ -x "$BUILD/$program" ] || fail "$BUILD/$program is missing: build the project first (cmake --build $BUILD)"
    programs+=("$BUILD/$program")
    guest_path "$BUILD/$program" >> "$STAGE/lab/system-tests"
  done
  for program in "${programs[@]}"; do
    copy_file "$program"
  done
  copy_libraries "${programs[@]}"
  copy_system_test_tools

  for path in packaging tests/lab bench/run.sh; do
    if [ -e "$ROOT/$path" ]; then
      mkdir -p "$STAGE/lab/src/$(dirname "$path")"
      cp -a "$ROOT/$path" "$STAGE/lab/src/$path"
    fi
  done
  case "$BUILD" in
    "$ROOT"/*)
      mkdir -p "$(dirname "$STAGE/lab/src/${BUILD#"$ROOT"/}")"
      ln -s /lab/build "$STAGE/lab/src/${BUILD#"$ROOT"/}" ;;
  esac

  mkdir -p "$STAGE/lib/modules/$KERNEL_RELEASE"
  for module in $MODULES; do
    copy_module "$KERNEL_MODULES" "$module"
  done
  write_etc

  install -m 0755 scripts/lab/init "$STAGE/init"
  install -m 0755 scripts/lab/run-tests "$STAGE/lab/run-tests"
  cat > "$STAGE/lab/env" <<ENV
TQ_BUILD_DIR=/lab/build
TQ_SOURCE_DIR=/lab/src
LAB_HOST_BUILD_DIR='$BUILD'
LAB_HOST_SOURCE_DIR='$ROOT'
LAB_KERNEL_RELEASE='$KERNEL_RELEASE'
LAB_MODULES='$MODULES'
LAB_TEST_TIMEOUT='${TQ_LAB_TEST_TIMEOUT:-300}'
LAB_BENCH_TIMEOUT='${TQ_LAB_BENCH_TIMEOUT:-300}'
LAB_GTEST_FILTER='${TQ_LAB_GTEST_FILTER:-}'
LAB_SYSTEM_FILTER='$SYSTEM_FILTER'
ENV
  (cd "$STAGE" && find . -print0 | cpio --null -o -H newc -R 0:0 --quiet) | gzip -1 > "$INITRD"
}

# Boots the busybox guest.
run_guest() {
  boot_guest 1024 "$INITRD"
}

check_tools
mkdir -p "$LAB"
started=$(now)

step=$(now)
ready_kernel
kernel_seconds=$(since "$step")
log "kernel $KERNEL_RELEASE ($VMLINUZ), ready in $kernel_seconds s"

step=$(now)
stage_root "$KERNEL_FOLDER"
initrd_seconds=$(since "$step")
log "initramfs $INITRD ($(du -h "$INITRD" | cut -f1)), made in $initrd_seconds s"

log "booting the guest (TCG, 2 processors, 1 GiB; at most $TIMEOUT s); console log: $LOG"
step=$(now)
guest_status=0
run_guest_with_second_boot || guest_status=$?
guest_seconds=$(since "$step")

results=$(awk '/^==== tq lab results ====$/ { on = 1; next } /^==== tq lab end ====$/ { on = 0 } on' "$LOG")
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$results" | tail -1 || true)
boot=$(sed -n 's/.*lab: guest up \([0-9.]*\) s.*/\1/p' "$LOG" | head -1)
done_at=$(sed -n 's/.*lab: tests done at \([0-9.]*\) s.*/\1/p' "$LOG" | head -1)
tests=$(awk -v a="${boot:-0}" -v b="${done_at:-0}" 'BEGIN { if (b > 0) printf "%.1f", b - a; else print "?" }')

echo
log "qemu ran $guest_seconds s: the guest kernel was up ${boot:-?} s at the first test, the tests took $tests s;" \
    "whole run $(since "$started") s (kernel ready in $kernel_seconds s, initramfs in $initrd_seconds s)"
if [ -n "$results" ]; then
  printf '%s\n' "$results" | grep -vE '^[0-9]+ passed, [0-9]+ failed$' | sed 's/^/[lab] /' || true
fi
# The busybox guest's verdict (a failure is reported and remembered), then
# the systemd guest's.
busybox_status=0
(
  if [ "$guest_status" = 124 ] || [ "$guest_status" = 137 ]; then
    fail "the guest did not finish within $TIMEOUT s (TQ_LAB_TIMEOUT); see $LOG"
  fi
  if [ "$guest_status" = 125 ]; then
    fail "the guest's console went silent (TQ_LAB_SILENCE); see $LOG"
  fi
  if [ "$guest_status" != 0 ]; then
    fail "qemu-system-x86_64 exited with status $guest_status; see $LOG"
  fi
  if [ -z "$summary" ]; then
    fail "the guest printed no summary; see $LOG"
  fi
  read -r passed _ failed _ <<<"$summary"
  if [ "$failed" != 0 ]; then
    fail "$summary"
  fi
  if [ "$passed" = 0 ]; then
    fail "no test ran in the guest"
  fi
  log "$summary"
) || busybox_status=1

# The systemd guests: one per Debian release of TQ_LAB_SYSTEMD_SUITES, side
# by side after the packages are built once; each one's output is shown
# when all are done.
systemd_failed=
suites=${TQ_LAB_SYSTEMD_SUITES:-bookworm trixie}
if [ "${TQ_LAB_SYSTEMD:-1}" != 0 ]; then
  step=$(now)
  debs=${TQ_LAB_DEBS:-}
  if [ -z "$debs" ]; then
    TQ_LAB_DEBS_ONLY=$LAB/debs-folder bash "$ROOT/scripts/lab-systemd.sh" "$BUILD" \
      && debs=$(cat "$LAB/debs-folder") || systemd_failed+="the packages for the systemd guests; "
  fi
  declare -A guest_pids=()
  for suite in $suites; do
    rm -f "$LAB/systemd-$suite.out"
    [ -n "$debs" ] || break
    log "the systemd guest ($suite): scripts/lab-systemd.sh $BUILD (output: $LAB/systemd-$suite.out)"
    TQ_LAB_SUITE=$suite TQ_LAB_DEBS=$debs bash "$ROOT/scripts/lab-systemd.sh" "$BUILD" \
      > "$LAB/systemd-$suite.out" 2>&1 &
    guest_pids[$suite]=$!
    if [ "${TQ_LAB_SYSTEMD_SERIAL:-0}" = 1 ]; then
      wait "${guest_pids[$suite]}" || systemd_failed+="the $suite systemd guest; "
      guest_pids[$suite]=
    fi
  done
  for suite in $suites; do
    [ -n "${guest_pids[$suite]:-}" ] || continue
    wait "${guest_pids[$suite]}" || systemd_failed+="the $suite systemd guest; "
  done
  for suite in $suites; do
    echo
    [ -f "$LAB/systemd-$suite.out" ] && cat "$LAB/systemd-$suite.out"
  done
  echo
  log "the systemd guests took $(since "$step") s together"
  log "busybox guest: ${summary:-no summary}"
  for suite in $suites; do
    folder=$BUILD/lab/systemd
    [ "$suite" = bookworm ] || folder=$BUILD/lab/systemd-$suite
    log "systemd guest $(cat "$folder/summary" 2>/dev/null || echo "$suite: no summary")"
  done
fi
if [ "$busybox_status" != 0 ] || [ -n "$systemd_failed" ]; then
  fail "failed: $( [ "$busybox_status" != 0 ] && printf 'the busybox guest; ')${systemd_failed}see above"
fi
