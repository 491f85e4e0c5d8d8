#!/bin/bash
# The systemd lab: boots a Debian release's own kernel under QEMU with a root
# filesystem of that release (debootstrap, systemd as PID 1, cgroup v2, the
# node exporter) as its initramfs, installs the packages tqrcgmgr and
# libtqrcgmgr-dev there with dpkg -i and checks what an operator of a
# systemd host meets: tqd runs, every tqrcg subcommand works, a cap holds,
# the node exporter serves tqd's metrics, `systemctl restart|stop tqd`,
# `dpkg -r` and `dpkg --purge` leave the groups and the capped processes
# alone, and a program built against the installed headers works.  Then it
# installs an older build of the packages, caps groups with processes in
# them, and upgrades with `apt-get install ./tqrcgmgr_*.deb`.  Prints the
# checks' summary; exits non-zero when a check failed, the guest did not
# finish in time or printed no summary.  scripts/lab.sh runs it after the
# busybox lab, once for Debian 12 (bookworm) and once for Debian 13 (trixie).
#
#   bash scripts/lab-systemd.sh [BUILD_DIR]      (default: build/ of this tree)
#
# Needs root (debootstrap, apt-get download), network access to the Debian
# mirror apt uses, and what scripts/setup.sh installs for the lab (QEMU,
# cpio, debootstrap, the packaging tools).  Everything it makes lives in
# BUILD_DIR/lab/systemd/ (bookworm) or BUILD_DIR/lab/systemd-SUITE/, and the
# kernel of a release other than the host's in BUILD_DIR/lab/kernel-SUITE/:
#   rootfs.cpio.gz  the root filesystem, kept between runs (rootfs.key says
#                   what it was made from; a change makes it again)
#   debs/           the packages built from this tree, unless BUILD_DIR/debs
#                   (kept by ctest's package test) holds them for the tree as
#                   it is; kept while the tree's files are unchanged
#   debs-old/       the older packages of the upgrade check: the ones given in
#                   TQ_LAB_OLD_DEBS, else these packages with a lower version
#   pkgclient       the program built against them; overlay.cpio.gz, console.log,
#                   summary (the summary line, for scripts/lab.sh)
#
# Environment:
#   TQ_LAB_DEBS              a folder with tqrcgmgr_*.deb and
#                            libtqrcgmgr-dev_*.deb to test instead of building them
#   TQ_LAB_DEBS_ONLY         a file: only make (or reuse) the packages built
#                            from this tree and write their folder into it, so
#                            that guests run side by side share one build
#   TQ_LAB_MIRROR            Debian mirror (default: apt's, from
#                            /etc/apt/sources.list.d/debian.sources or sources.list)
#   TQ_LAB_SUITE             Debian suite of the guest and its kernel (default
#                            bookworm; trixie is the other one the lab runs)
#   TQ_LAB_OLD_DEBS          a folder with older tqrcgmgr_*.deb and
#                            libtqrcgmgr-dev_*.deb (e.g. built from the commit
#                            before a change of debian/) for the upgrade check
#   TQ_LAB_SYSTEMD_MEMORY    MiB of the guest (default 2048; 3072 for trixie)
#   TQ_LAB_SYSTEMD_TIMEOUT   seconds the guest may run (default 1800: a guard
#                            against a hung guest, wide enough for a busy host)
#   TQ_LAB_SILENCE           seconds of a silent console after which the guest
#                            is taken as stuck (default 420); as in scripts/lab.sh,
#                            a guest that broke down before its results is
#                            booted once more
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
if [ -n "${TQ_LAB_OLD_DEBS:-}" ]; then
  TQ_LAB_OLD_DEBS=$(cd "$TQ_LAB_OLD_DEBS" 2>/dev/null && pwd) || { echo "lab-systemd: no folder TQ_LAB_OLD_DEBS" >&2; exit 1; }
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

SUITE=${TQ_LAB_SUITE:-bookworm}
LAB=$BUILD/lab/systemd
[ "$SUITE" = bookworm ] || LAB=$BUILD/lab/systemd-$SUITE
ROOTFS=$LAB/rootfs.cpio.gz
OVERLAY=$LAB/overlay
LOG=$LAB/console.log
TIMEOUT=${TQ_LAB_SYSTEMD_TIMEOUT:-1800}
MEMORY=${TQ_LAB_SYSTEMD_MEMORY:-2048}
[ -n "${TQ_LAB_SYSTEMD_MEMORY:-}" ] || [ "$SUITE" = bookworm ] || MEMORY=3072
# The guest's packages beyond minbase: systemd as PID 1, modprobe for the
# socket diagnostics modules tqd's peer check loads on demand, ps and ss,
# the node exporter that serves tqd's metrics file; and what the packages to
# test depend on (read from them).
BASE_INCLUDE=systemd-sysv,udev,iproute2,kmod,procps,prometheus-node-exporter
MODULES="inet_diag tcp_diag"
GUEST_FILES=tests/lab/systemd

log() { printf '[lab-systemd] %s\n' "$*"; }
fail() { printf 'lab-systemd: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# The release's own kernel (shared with the busybox lab for the host's release).
KERNEL_SUITE=$SUITE
KERNEL_CACHE=$BUILD/lab/kernel
# shellcheck source=scripts/lab/kernel.sh
. "$ROOT/scripts/lab/kernel.sh"
[ "$SUITE" = "$(host_suite)" ] || KERNEL_CACHE=$BUILD/lab/kernel-$SUITE

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
  mirror=${TQ_LAB_MIRROR:-$(apt_mirror "$SUITE")}
  [ -n "$mirror" ] || fail "no Debian mirror for $SUITE in apt's sources; set TQ_LAB_MIRROR"
  key="suite=$SUITE mirror=$mirror include=$INCLUDE kernel=$KERNEL_RELEASE recipe=4"
  if [ -f "$ROOTFS" ] && [ "$(cat "$LAB/rootfs.key" 2>/dev/null)" = "$key" ]; then
    log "root filesystem: reusing $ROOTFS ($(du -h "$ROOTFS" | cut -f1))"
    return
  fi
  tree=$LAB/rootfs.tmp
  rm -rf "$tree" "$ROOTFS" "$LAB/rootfs.key"
  log "debootstrap --variant=minbase --include=$INCLUDE $SUITE ($mirror)"
  # In a mount namespace of its own: the proc and sys that debootstrap mounts
  # in the tree go with it, whatever happens.
  if ! unshare --mount --propagation private \
      debootstrap --variant=minbase --include="$INCLUDE" "$SUITE" "$tree" "$mirror" \
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
  # apt-get install ./PACKAGE.deb (the upgrade check) wants its lists folder.
  mkdir -p "$tree/var/lib/apt/lists/partial"
  mkdir -p "$tree/lib/modules/$KERNEL_RELEASE/kernel/net/ipv4"
  for module in $MODULES; do
    source=$(find "$KERNEL_MODULES/kernel" -name "$module.ko*" | head -1)
    [ -n "$source" ] || fail "the kernel package has no module $module"
    cp "$source" "$tree/lib/modules/$KERNEL_RELEASE/kernel/net/ipv4/"
  done
  cp "$KERNEL_MODULES"/modules.{builtin,builtin.modinfo,order} \
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

# The older packages of the upgrade check, in $LAB/debs-old: those of
# TQ_LAB_OLD_DEBS, else the packages under test with the lower version
# <version>~lab0, as a copy of this tree with that version in
# debian/changelog would build them.
make_old_debs() {
  local deb version work
  rm -rf "$LAB/debs-old"
  mkdir -p "$LAB/debs-old"
  if [ -n "${TQ_LAB_OLD_DEBS:-}" ]; then
    cp "$(deb_of tqrcgmgr "$TQ_LAB_OLD_DEBS")" "$(deb_of libtqrcgmgr-dev "$TQ_LAB_OLD_DEBS")" "$LAB/debs-old/"
    return
  fi
  version=$(dpkg-deb -f "$RUNTIME_DEB" Version)
  work=$LAB/debs-old/tree
  for deb in "$RUNTIME_DEB" "$DEV_DEB"; do
    rm -rf "$work"
    dpkg-deb -R "$deb" "$work"
    sed -i -e "s/^Version: .*/Version: $version~lab0/" -e "s/(= $version)/(= $version~lab0)/" "$work/DEBIAN/control"
    dpkg-deb -Zgzip --build "$work" "$LAB/debs-old/" >/dev/null || fail "repacking ${deb##*/} as $version~lab0 failed"
  done
  rm -rf "$work"
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
  mkdir -p "$stage/lab/debs-old"
  cp "$LAB"/debs-old/*.deb "$stage/lab/debs-old/"
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
  boot_guest "$MEMORY" "$LAB/initramfs.cpio.gz" || status=$?
  rm -f "$LAB/initramfs.cpio.gz"
  return "$status"
}

check_tools
mkdir -p "$LAB"
started=$(now)
if [ -n "${TQ_LAB_DEBS_ONLY:-}" ]; then
  current_debs > "$TQ_LAB_DEBS_ONLY"
  exit 0
fi

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
make_old_debs
log "older packages for the upgrade check: $(cd "$LAB/debs-old" && echo *.deb)"
make_overlay

log "booting the guest (TCG, 2 processors, 2 GiB; at most $TIMEOUT s); console log: $LOG"
step=$(now)
guest_status=0
run_guest_with_second_boot || guest_status=$?
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
if [ "$guest_status" = 125 ]; then
  fail "the guest's console went silent (TQ_LAB_SILENCE); see $LOG"
fi
if [ "$guest_status" != 0 ]; then
  fail "qemu-system-x86_64 exited with status $guest_status; see $LOG"
fi
echo "$SUITE: ${summary:-no summary}" > "$LAB/summary"
[ -n "$summary" ] || fail "the guest printed no summary; see $LOG"
read -r passed _ failed _ <<<"$summary"
[ "$failed" = 0 ] || fail "$summary"
[ "$passed" != 0 ] || fail "no check ran in the guest"
log "$summary"
