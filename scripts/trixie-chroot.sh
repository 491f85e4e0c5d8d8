#!/bin/bash
# Builds and tests this tree on Debian 13 ("trixie") in a chroot on this
# host: GCC 14, CMake 3.31, libcgroup 3 (cgroup-tools 3.1), debhelper 13.24,
# lintian 2.122.  In order, each step logged to BUILD_DIR/trixie/<step>.log:
#
#   configure  cmake, which must print no warning
#   build      cmake --build -j2 (unit tests, system tests, the product) into
#              the chroot's /src/build, kept between runs
#   unit       ctest -L unit
#   system     ctest -L system: the cgroup v1 system tests against trixie's
#              libcgroup tools on this host's v1 hierarchies
#   packages   dpkg-buildpackage -us -uc -b -j2 in a clean copy, then lintian,
#              which must report no error (its tags are printed)
#
# and prints one PASS or FAIL line per step and "N passed, N failed".
#
#   bash scripts/trixie-chroot.sh [BUILD_DIR] [STEP...]   (default: build/, every step)
#
# Run as root on a cgroup v1 host (the system tests create only their own
# tqtest_<pid>_... groups and remove them).  The root filesystem
# (debootstrap --variant=minbase with the build's packages, about 1 GB) is
# kept in BUILD_DIR/trixie/root and made again when its package list
# changes.  The chroot sees the host's /sys, and with it the v1 hierarchies,
# only inside a mount namespace of its own: every mount made for it goes
# with that namespace, and nothing is ever unmounted on the host.
#
# Environment: TQ_LAB_MIRROR (default: the mirror apt uses).
set -euo pipefail

BUILD=
if [ -n "${1:-}" ]; then
  BUILD=$(cd "$1" 2>/dev/null && pwd) || { echo "trixie-chroot: no build folder $1" >&2; exit 1; }
  shift
fi
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-$ROOT/build}
STEPS=${*:-configure build unit system packages}

HERE=$BUILD/trixie
TREE=$HERE/root
SUITE=trixie
# What the build, the tests and the packages need (scripts/setup.sh's list
# for Debian 12), promtool for the metrics-format tests, and
# perl-openssl-defaults, which debootstrap does not find for lintian by itself.
PACKAGES=build-essential,cmake,binutils,libboost-dev,libcli11-dev,nlohmann-json3-dev,libncurses-dev,tmux,\
libgtest-dev,libgmock-dev,cgroup-tools,init-system-helpers,procps,mawk,debhelper,dpkg-dev,fakeroot,lintian,\
man-db,mandoc,pkgconf,git,ca-certificates,iproute2,promtool,perl-openssl-defaults

log() { printf '[trixie-chroot] %s\n' "$*"; }
fail() { printf 'trixie-chroot: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || fail "run as root (debootstrap, chroot)"
for tool in debootstrap unshare chroot git; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done

# The mirror apt uses (shared with the lab).
KERNEL_CACHE=$HERE
# shellcheck source=scripts/lab/kernel.sh
. "$ROOT/scripts/lab/kernel.sh"

make_root() {
  local mirror key
  mirror=${TQ_LAB_MIRROR:-$(apt_mirror "$SUITE")}
  [ -n "$mirror" ] || fail "no Debian mirror in apt's sources; set TQ_LAB_MIRROR"
  key="suite=$SUITE mirror=$mirror packages=$PACKAGES"
  if [ -d "$TREE" ] && [ "$(cat "$HERE/root.key" 2>/dev/null)" = "$key" ]; then
    log "root filesystem: reusing $TREE"
    return
  fi
  rm -rf "$TREE" "$TREE.tmp" "$HERE/root.key"
  mkdir -p "$HERE"
  log "debootstrap --variant=minbase $SUITE ($mirror) into $TREE (a few minutes; log: $HERE/debootstrap.log)"
  if ! unshare --mount --propagation private \
      debootstrap --variant=minbase --include="$PACKAGES" "$SUITE" "$TREE.tmp" "$mirror" \
      > "$HERE/debootstrap.log" 2>&1; then
    tail -n 20 "$HERE/debootstrap.log" >&2
    fail "debootstrap failed; see $HERE/debootstrap.log"
  fi
  # The manager runs "service cgconfig status" on v1: the chroot's own
  # cgconfig script answers from the host's mount table.
  install -m 0755 packaging/cgconfig "$TREE.tmp/etc/init.d/cgconfig"
  mv "$TREE.tmp" "$TREE"
  echo "$key" > "$HERE/root.key"
}

# A fresh copy of the files git knows in the chroot's /src/tqrcgmgr (with
# their times, so that the build in /src/build, kept between runs, redoes
# only what changed).
copy_tree() {
  rm -rf "$TREE/src/tqrcgmgr" "$TREE/src/pkg"
  mkdir -p "$TREE/src/tqrcgmgr"
  git ls-files -z --cached --others --exclude-standard | cpio -0 -pdm --quiet "$TREE/src/tqrcgmgr"
}

# The steps, run inside the chroot by bash -c.
read -r -d '' STEP_SCRIPT <<'SCRIPT' || true
set -uo pipefail
cd /src/tqrcgmgr
export TQ_REQUIRE_SYSTEM_TESTS=1 LC_ALL=C.UTF-8
case "$1" in
  configure)
    cmake -S . -B /src/build -DCMAKE_BUILD_TYPE=RelWithDebInfo 2>&1 | tee /tmp/configure.txt
    ! grep -q 'CMake Warning' /tmp/configure.txt ;;
  build) cmake --build /src/build -j2 ;;
  unit) ctest --test-dir /src/build -L unit -j2 --output-on-failure ;;
  system) ctest --test-dir /src/build -L system --output-on-failure --timeout 300 ;;
  packages)
    rm -rf /src/pkg && mkdir -p /src/pkg && cp -a /src/tqrcgmgr /src/pkg/tqrcgmgr &&
      (cd /src/pkg/tqrcgmgr && dpkg-buildpackage -us -uc -b -j2 >/src/pkg/build.log 2>&1) &&
      (cd /src/pkg && dpkg-deb -c tqrcgmgr_*.deb | awk '{ print $6 }' | grep systemd) &&
      lintian --fail-on error --display-info /src/pkg/tqrcgmgr_*.changes ;;
  *) echo "unknown step $1"; exit 2 ;;
esac
SCRIPT

run_steps() {
  local step passed=0 failed=0 results=
  for step in $STEPS; do
    log "step $step (log: $HERE/$step.log)"
    if unshare --mount --propagation private bash -c '
        set -e
        tree=$1
        shift
        mount -t proc proc "$tree/proc"
        mount --rbind /sys "$tree/sys"
        mount --rbind /dev "$tree/dev"
        mount -t tmpfs tmpfs "$tree/tmp"
        cp /etc/resolv.conf "$tree/etc/resolv.conf"
        exec chroot "$tree" /bin/bash -c "$@"' _ "$TREE" "$STEP_SCRIPT" step "$step" > "$HERE/$step.log" 2>&1; then
      passed=$((passed + 1)); results+="PASS $step"$'\n'
    else
      failed=$((failed + 1)); results+="FAIL $step (see $HERE/$step.log)"$'\n'
      tail -n 30 "$HERE/$step.log" | sed 's/^/    /'
    fi
    [ "$step" != packages ] || grep -E '^[EWIP]: ' "$HERE/$step.log" | sed 's/^/    lintian /' || true
    [ "$step" != system ] || grep -E 'tests passed|tests failed' "$HERE/$step.log" | sed 's/^/    /' || true
  done
  printf '%s' "$results"
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}

make_root
copy_tree
run_steps
