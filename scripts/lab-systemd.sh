#!/bin/bash
# The systemd lab: boots Debian's own kernel under QEMU with a Debian root
# filesystem (debootstrap, systemd as PID 1, cgroup v2) as its initramfs,
# installs the packages tqrcgmgr and libtqrcgmgr-dev there with dpkg -i and
# checks what an operator of a systemd host meets: tqd runs, every tqrcg
# subcommand works, a cap holds, `systemctl restart|stop tqd`, `dpkg -r` and
# `dpkg --purge` leave the groups and the capped processes alone, and a
# program built against the installed headers works.  Prints the checks'
# summary; exits non-zero when a check failed, the guest did not finish in
# time or printed no summary.  scripts/lab.sh runs it after the busybox lab.
#
#   bash scripts/lab-systemd.sh [BUILD_DIR]      (default: build/ of this tree)
#
# Needs root (debootstrap, apt-get download), network access to the Debian
# mirror apt uses, and what scripts/setup.sh installs for the lab (QEMU,
# cpio, debootstrap, the packaging tools).  Everything it makes lives in
# BUILD_DIR/lab/systemd/:
#   rootfs.cpio.gz  the root filesystem, kept between runs (rootfs.key says
#                   what it was made from; a change makes it again)
#   debs/           the packages built from this tree, unless BUILD_DIR/debs
#                   (kept by ctest's package test) holds them for the tree as
#                   it is; kept while the tree's files are unchanged
#   pkgclient       the program built against them; overlay.cpio.gz, console.log
#
# Environment:
#   TQ_LAB_DEBS              a folder with tqrcgmgr_*.deb and
#                            libtqrcgmgr-dev_*.deb to test instead of building them
#   TQ_LAB_MIRROR            Debian mirror (default: apt's, from
#                            /etc/apt/sources.list.d/debian.sources or sources.list)
#   TQ_LAB_SUITE             Debian suite of the guest (default bookworm)
#   TQ_LAB_SYSTEMD_TIMEOUT   seconds the guest may run (default 900)
#   TQ_LAB_APPEND            more words for the kernel command line
#   TQ_LAB_CHECKS            another checks script to run in the guest instead
#                            of tests/lab/systemd/run-checks (for experiments)
#   TQ_LAB_COMPARE_UNIT      a unit file (e.g. an older tqd.service) whose
#                            systemd-analyze security exposure the guest
#                            prints beside the installed unit's
set -euo pipefail

BUILD=
if [ -n "${1:-}" ]; then
  BUILD=$(cd "$1" 2>/dev/null && pwd) || { echo "lab-systemd: no build folder $1" >&2; exit 1; }
fi
# Paths given in the environment hold from the caller's folder.
if [ -n "${TQ_LAB_DEBS:-}" ]; then
  TQ_LAB_DEBS=$(cd "$TQ_LAB_DEBS" 2>/dev/null && pwd) || { echo "lab-systemd: no folder TQ_LAB_DEBS" >&2; exit 1; }
fi
if [ -n "${TQ_LAB_CHECKS:-}" ]; then
  TQ_LAB_CHECKS=$(realpath -e "$TQ_LAB_CHECKS") || { echo "lab-systemd: no file TQ_LAB_CHECKS" >&2; exit 1; }
fi
if [ -n "${TQ_LAB_COMPARE_UNIT:-}" ]; then
  TQ_LAB_COMPARE_UNIT=$(realpath -e "$TQ_LAB_COMPARE_UNIT") || { echo "lab-systemd: no file TQ_LAB_COMPARE_UNIT" >&2; exit 1; }
fi
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-$ROOT/build}

LAB=$BUILD/lab/systemd
KERNEL_CACHE=$BUILD/lab/kernel
ROOTFS=$LAB/rootfs.cpio.gz
OVERLAY=$LAB/overlay
LOG=$LAB/console.log
SUITE=${TQ_LAB_SUITE:-bookworm}
TIMEOUT=${TQ_LAB_SYSTEMD_TIMEOUT:-900}
# The guest's packages beyond minbase: systemd as PID 1, modprobe for the
# socket diagnostics modules tqd's peer check loads on demand, ps and ss;
# and what the packages to test depend on (read from them).
BASE_INCLUDE=systemd-sysv,udev,iproute2,kmod,procps
MODULES="inet_diag tcp_diag"
GUEST_FILES=tests/lab/systemd

log() { printf '[lab-systemd] %s\n' "$*"; }
fail() { printf 'lab-systemd: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# kernel_package, fetch_kernel: Debian's kernel, shared with the busybox lab.
# shellcheck source=scripts/lab/kernel.sh
. "$ROOT/scripts/lab/kernel.sh"

check_tools() {
  local tool
  for tool in qemu-system-x86_64 cpio gzip debootstrap chroot apt-get apt-cache dpkg-deb \
              pkg-config g++ timeout; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup.sh"
  done
  if [ -z "${TQ_LAB_DEBS:-}" ]; then
    command -v dpkg-buildpackage >/dev/null || fail "dpkg-buildpackage is missing: run scripts/setup.sh"
  fi
  [ "$(id -u)" = 0 ] || fail "run as root (debootstrap)"
}

# The mirror apt uses for the suite: the first URI of the deb822 stanza
# whose Suites list it, else of a one-line "deb URI SUITE" entry.
apt_mirror() {
  local mirror=
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    mirror=$(awk -v suite="$SUITE" '
      function flush() { if (uri != "" && hit && found == "") found = uri; uri = ""; hit = 0 }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) hit = 1 }
      END { flush(); print found }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$mirror" ] && [ -r /etc/apt/sources.list ]; then
    mirror=$(awk -v suite="$SUITE" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list)
  fi
  echo "$mirror"
}

# The packages that the .deb files given depend on (first alternatives, no
# versions, without the ones given), comma-separated: the guest has them
# installed, as apt would before dpkg -i.
package_dependencies() {
  local deb field
  for deb in "$@"; do
    for field in Pre-Depends Depends; do
      dpkg-deb -f "$deb" "$field"
    done
  done | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/:any//' -e 's/[[:space:]]//g' \
    | grep -v '^$' | grep -vxF -e tqrcgmgr -e libtqrcgmgr-dev | sort -u | paste -sd, -
}

# Makes $ROOTFS unless the one there was made from the same suite, mirror,
# packages and kernel: debootstrap into a scratch folder, drop what the
# guest never reads, add the kernel's socket diagnostics modules, pack.
make_rootfs() {
  local kernel=$1 mirror key tree module source
  mirror=${TQ_LAB_MIRROR:-$(apt_mirror)}
  [ -n "$mirror" ] || fail "no Debian mirror for $SUITE in apt's sources; set TQ_LAB_MIRROR"
  key="suite=$SUITE mirror=$mirror include=$INCLUDE kernel=$KERNEL_RELEASE recipe=3"
  if [ -f "$ROOTFS" ] && [ "$(cat "$LAB/rootfs.key" 2>/dev/null)" = "$key" ]; then
    log "root filesystem: reusing $ROOTFS ($(du -h "$ROOTFS" | cut -f1))"
    return
  fi
  tree=$LAB/rootfs.tmp
  rm -rf "$tree" "$ROOTFS" "$LAB/rootfs.key"
  log "debootstrap --variant=minbase --include=$INCLUDE $SUITE ($mirror)"
  if ! debootstrap --variant=minbase --include="$INCLUDE" "$SUITE" "$tree" "$mirror" \
      > "$LAB/debootstrap.log" 2>&1; then
    tail -n 20 "$LAB/debootstrap.log" >&2
    fail "debootstrap failed; see $LAB/debootstrap.log"
  fi
  # The guest compiles nothing (the client program is built on this host):
  # headers, static libraries and the compiler's support files go, while the
  # packages stay installed for dpkg's dependency checks.  So do the
  # documentation and apt's lists and caches.
  rm -rf "$tree"/usr/share/{doc,man,info,locale}/* "$tree"/var/lib/apt/lists/* \
         "$tree"/var/cache/apt/*.bin "$tree"/var/cache/apt/archives/*.deb \
         "$tree"/usr/include/* "$tree"/usr/lib/gcc
  find "$tree/usr/lib" -name '*.a' -delete
  mkdir -p "$tree/lib/modules/$KERNEL_RELEASE/kernel/net/ipv4"
  for module in $MODULES; do
    source=$(find "$kernel/lib/modules/$KERNEL_RELEASE/kernel" -name "$module.ko*" | head -1)
    [ -n "$source" ] || fail "the kernel package has no module $module"
    cp "$source" "$tree/lib/modules/$KERNEL_RELEASE/kernel/net/ipv4/"
  done
  cp "$kernel/lib/modules/$KERNEL_RELEASE"/modules.{builtin,builtin.modinfo,order} \
     "$tree/lib/modules/$KERNEL_RELEASE/" 2>/dev/null || true
  chroot "$tree" depmod -a "$KERNEL_RELEASE" || fail "depmod in the root filesystem failed"
  ln -sfn /lib/systemd/systemd "$tree/init"
  (cd "$tree" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 > "$ROOTFS.partial"
  mv "$ROOTFS.partial" "$ROOTFS"
  rm -rf "$tree"
  echo "$key" > "$LAB/rootfs.key"
}

# Prints the folder of packages built from this tree as it is: BUILD_DIR/debs
# (the package test of ctest keeps them there) or $LAB/debs, when its digest
# is the tree's; else builds them into $LAB/debs from a copy of the tree
# (dpkg-buildpackage writes them beside the source folder).
current_debs() {
  local digest src folder
  command -v git >/dev/null && git -C "$ROOT" rev-parse >/dev/null 2>&1 \
    || fail "building the packages needs a git checkout; or set TQ_LAB_DEBS"
  [ -d "$ROOT/debian" ] || fail "this tree has no debian/ folder; set TQ_LAB_DEBS to a folder of built packages"
  digest=$(sh "$ROOT/scripts/lab/tree-digest.sh" "$ROOT")
  for folder in "$BUILD/debs" "$LAB/debs"; do
    if [ -n "$digest" ] && [ "$(cat "$folder/.digest" 2>/dev/null)" = "$digest" ]; then
      log "packages: reusing $folder (built from this tree as it is)" >&2
      echo "$folder"
      return
    fi
  done
  rm -rf "$LAB/debs" "$LAB/src"
  src=$LAB/src/tqrcgmgr
  mkdir -p "$src" "$LAB/debs"
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard \
     | cpio -0 -pdm --quiet "$src") || fail "copying the tree to $src failed"
  log "dpkg-buildpackage -us -uc -b in $src (log: $LAB/dpkg-buildpackage.log)" >&2
  if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b) \
      > "$LAB/dpkg-buildpackage.log" 2>&1; then
    tail -n 30 "$LAB/dpkg-buildpackage.log" >&2
    fail "dpkg-buildpackage failed; see $LAB/dpkg-buildpackage.log"
  fi
  mv "$LAB"/src/*.deb "$LAB/debs/"
  rm -rf "$LAB/src"
  echo "$digest" > "$LAB/debs/.digest"
  echo "$LAB/debs"
}

# The package file NAME_*.deb in FOLDER (exactly one).
deb_of() {
  local found
  found=$(find "$2" -maxdepth 1 -name "$1_*.deb" | sort)
  [ -n "$found" ] || fail "no $1_*.deb in $2"
  [ "$(wc -l <<<"$found")" = 1 ] || fail "more than one $1_*.deb in $2: $(echo $found)"
  echo "$found"
}

# Compiles the lab's client program on this host against the unpacked
# packages, as a user would against installed ones: the compiler and linker
# flags come from `pkg-config --cflags --libs tqrcgmgr`.  Prints nothing and
# leaves no program when it fails (the guest then reports the check failed).
build_client() {
  local sysroot=$LAB/sysroot pcdir flags
  rm -rf "$sysroot" "$LAB/pkgclient"
  mkdir -p "$sysroot"
  dpkg-deb -x "$RUNTIME_DEB" "$sysroot"
  dpkg-deb -x "$DEV_DEB" "$sysroot"
  pcdir=$(find "$sysroot" -name tqrcgmgr.pc -printf '%h\n' | head -1)
  if [ -z "$pcdir" ]; then
    log "FAILED: ${DEV_DEB##*/} holds no tqrcgmgr.pc"
    return
  fi
  if ! flags=$(PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs tqrcgmgr); then
    log "FAILED: pkg-config --cflags --libs tqrcgmgr"
    return
  fi
  log "client program: g++ ... $flags"
  # shellcheck disable=SC2086  # the flags are words
  if ! g++ -std=c++17 -Wall -Wextra -Werror -o "$LAB/pkgclient" "$ROOT/$GUEST_FILES/pkgclient.cpp" \
       $flags -Wl,-rpath-link,"$sysroot/usr/lib/$(gcc -print-multiarch)" 2> "$LAB/pkgclient.log"; then
    cat "$LAB/pkgclient.log" >&2
    log "FAILED: compiling $GUEST_FILES/pkgclient.cpp against the packages (see above)"
    rm -f "$LAB/pkgclient"
  fi
}

# The second archive of the initramfs: the packages, the checks and the
# unit that runs them, the client program, and settings for a console guest.
make_overlay() {
  local stage=$OVERLAY etc
  rm -rf "$stage"
  mkdir -p "$stage/lab/debs"
  etc=$stage/etc/systemd/system
  mkdir -p "$etc/multi-user.target.wants"
  cp "$RUNTIME_DEB" "$DEV_DEB" "$stage/lab/debs/"
  install -m 0755 "${TQ_LAB_CHECKS:-$GUEST_FILES/run-checks}" "$stage/lab/run-checks"
  install -m 0644 "$GUEST_FILES/tq-lab.service" "$etc/tq-lab.service"
  ln -s ../tq-lab.service "$etc/multi-user.target.wants/tq-lab.service"
  [ -f "$LAB/pkgclient" ] && install -m 0755 "$LAB/pkgclient" "$stage/lab/pkgclient"
  # The serial console belongs to the checks: no login prompts.
  ln -s /dev/null "$etc/serial-getty@ttyS0.service"
  ln -s /dev/null "$etc/getty@tty1.service"
  echo tqlab > "$stage/etc/hostname"
  printf '127.0.0.1\tlocalhost\n127.0.1.1\ttqlab\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
    > "$stage/etc/hosts"
  if [ -n "${TQ_LAB_COMPARE_UNIT:-}" ]; then
    install -m 0644 "$TQ_LAB_COMPARE_UNIT" "$etc/tqd-compare.service"
  fi
  (cd "$stage" && find . -print0 | cpio --null -o -H newc -R 0:0 --quiet) | gzip -1 > "$LAB/overlay.cpio.gz"
}

run_guest() {
  local status=0
  cat "$ROOTFS" "$LAB/overlay.cpio.gz" > "$LAB/initramfs.cpio.gz"
  boot_guest 2048 "$LAB/initramfs.cpio.gz" || status=$?
  rm -f "$LAB/initramfs.cpio.gz"
  return "$status"
}

check_tools
mkdir -p "$LAB"
started=$(now)

step=$(now)
ready_kernel
log "kernel $KERNEL_RELEASE, ready in $(since "$step") s"

step=$(now)
DEBS=${TQ_LAB_DEBS:-}
[ -n "$DEBS" ] || DEBS=$(current_debs)
RUNTIME_DEB=$(deb_of tqrcgmgr "$DEBS")
DEV_DEB=$(deb_of libtqrcgmgr-dev "$DEBS")
debs_seconds=$(since "$step")
log "packages ${RUNTIME_DEB##*/} and ${DEV_DEB##*/}, ready in $debs_seconds s"

INCLUDE=$BASE_INCLUDE,$(package_dependencies "$RUNTIME_DEB" "$DEV_DEB")

step=$(now)
make_rootfs "$KERNEL_FOLDER"
rootfs_seconds=$(since "$step")
log "root filesystem ready in $rootfs_seconds s"

build_client
make_overlay

log "booting the guest (TCG, 2 processors, 2 GiB; at most $TIMEOUT s); console log: $LOG"
step=$(now)
guest_status=0
run_guest || guest_status=$?
guest_seconds=$(since "$step")

results=$(awk '/^==== tq lab results ====$/ { on = 1; next } /^==== tq lab end ====$/ { on = 0 } on' "$LOG")
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$results" | tail -1 || true)
boot=$(sed -n 's/.*lab: guest up \([0-9.]*\) s.*/\1/p' "$LOG" | head -1)

echo
log "qemu ran $guest_seconds s (systemd reached the checks at ${boot:-?} s);" \
    "whole run $(since "$started") s (root filesystem $rootfs_seconds s, packages $debs_seconds s)"
if [ -n "$results" ]; then
  printf '%s\n' "$results" | grep -vE '^[0-9]+ passed, [0-9]+ failed$' | sed 's/^/[lab-systemd] /' || true
fi
if [ "$guest_status" = 124 ] || [ "$guest_status" = 137 ]; then
  fail "the guest did not finish within $TIMEOUT s (TQ_LAB_SYSTEMD_TIMEOUT); see $LOG"
fi
if [ "$guest_status" != 0 ]; then
  fail "qemu-system-x86_64 exited with status $guest_status; see $LOG"
fi
[ -n "$summary" ] || fail "the guest printed no summary; see $LOG"
read -r passed _ failed _ <<<"$summary"
[ "$failed" = 0 ] || fail "$summary"
[ "$passed" != 0 ] || fail "no check ran in the guest"
log "$summary"
