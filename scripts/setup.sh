#!/bin/bash
# Sets this host up for the project: installs from Debian's packages what is
# missing, installs the cgconfig service when the host has none, builds into
# build/ and installs tqd, tqrcg and the libraries under /usr/local.
# Idempotent; run as root.
#
#   bash scripts/setup.sh [--product] [--no-build]
#
#   (no option)  everything: the product, the tests, the packaging tools and
#                the lab; every target is built (scripts/test.sh)
#   --product    only what building and running the product needs, and only
#                its targets: the libraries, tqd and tqrcg (scripts/demo.sh)
#   --no-build   packages and the cgconfig service only
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$ROOT/build

# Building and running the product: the libraries, tqd and tqrcg.  Installed
# without recommends (on a bare Debian 12 they would add some 70 packages,
# such as GnuPG and image libraries, that neither building nor running needs).
PRODUCT_PACKAGES=(
  build-essential cmake binutils        # compiler, build, objcopy/readelf
  libboost-dev                          # boost::shared_ptr
  libcli11-dev                          # argument parsing of tqd and tqrcg
  nlohmann-json3-dev                    # tqrcg list --json
  libncurses-dev                        # tqrcg top
  cgroup-tools                          # cgcreate, cgset, cgclassify, cgdelete, lscgroup, cgget
  init-system-helpers                   # service
  procps mawk                           # ps, pgrep; awk for the main job
)
# The tests.  promtool, which checks tqd's metrics file, comes apart (below).
TEST_PACKAGES=(
  libgtest-dev libgmock-dev             # GoogleTest and GoogleMock
  tmux                                  # the test of tqrcg top in a terminal
  man-db mandoc                         # the man pages: man -l, mandoc -T lint
)
# The Debian packages, and programs built against what they install.
PACKAGING_PACKAGES=(
  debhelper dpkg-dev fakeroot lintian   # dpkg-buildpackage -us -uc -b, lintian
  pkgconf                               # programs that build against tqrcgmgr.pc
)
# The cgroup v2 lab (scripts/lab.sh), installed without recommends.  The
# systemd guest also needs the packaging tools above.
LAB_PACKAGES=(
  qemu-system-x86                       # boots Debian's kernel (TCG)
  busybox-static cpio                   # the guest's initramfs
  debootstrap                           # the systemd guest's root filesystem
)

log() { printf '[setup] %s\n' "$*"; }

# Prints each package given that is not installed.
missing_packages() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      echo "$package"
    fi
  done
}

apt_update_once() {
  if [ -z "$APT_UPDATED" ]; then
    apt-get update -qq
    APT_UPDATED=yes
  fi
}
APT_UPDATED=""

# install_list PURPOSE [APT-OPTION...] -- PACKAGE...: installs those of the
# packages that are missing.
install_list() {
  local purpose=$1 options=() missing=()
  shift
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  apt_update_once
  log "installing for $purpose: ${missing[*]}"
  # Waits for a dpkg lock that another apt (such as unattended-upgrades) holds.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    "${options[@]}" "${missing[@]}" >/dev/null
}

# promtool checks tqd's metrics file in the tests.  Where Debian's release has
# a package "promtool" (trixie and later) it is installed; fails where it has
# none, and scripts/promtool.sh then takes promtool out of the package
# "prometheus" after the build, without installing that.
install_promtool() {
  command -v promtool >/dev/null 2>&1 && return 0
  "$BUILD/tools/promtool" --version >/dev/null 2>&1 && return 0
  apt_update_once
  apt-cache policy promtool 2>/dev/null | grep -q 'Candidate: [0-9]' || return 1
  install_list "the metrics format test" -- promtool
}

# The controller runs "service cgconfig status|start": give hosts without
# such a service ours.  A cgconfig service of the host's own stays untouched;
# ours is refreshed when a newer copy comes with the project.
install_cgconfig() {
  local our_mark="Installed by the tqrcgmgr set-up"
  if [ -e /etc/init.d/cgconfig ] && ! grep -q "$our_mark" /etc/init.d/cgconfig; then
    log "keeping the host's own /etc/init.d/cgconfig"
  elif [ ! -e /etc/init.d/cgconfig ] && { [ -e /lib/systemd/system/cgconfig.service ] || [ -e /etc/systemd/system/cgconfig.service ]; }; then
    log "keeping the host's own cgconfig.service"
  elif ! cmp -s packaging/cgconfig /etc/init.d/cgconfig; then
    install -m 0755 packaging/cgconfig /etc/init.d/cgconfig
    log "installed /etc/init.d/cgconfig"
  fi
  if ! service cgconfig status >/dev/null 2>&1; then
    log "starting cgconfig"
    service cgconfig start
  fi
}

# The product's targets only.  A new build folder leaves the tests out, so
# that GoogleTest need not be installed; one that scripts/test.sh configured
# keeps them (and only the product's targets are built).
build_product() {
  local tests=()
  [ -f "$BUILD/CMakeCache.txt" ] || tests=(-DTQ_BUILD_TESTS=OFF)
  log "building the product (the libraries, tqd, tqrcg) into build/"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null
  cmake --build "$BUILD" -j2 --target product
}

build_everything() {
  log "building every target into build/"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTQ_BUILD_TESTS=ON >/dev/null
  cmake --build "$BUILD" -j2
}

# tqd and tqrcg for the host: /usr/local/{sbin,bin,lib}, the init script and,
# where systemd runs, its units.  A running tqd keeps running its old copy.
install_product() {
  log "installing tqd, tqrcg and libtqrcgmgr.so under /usr/local"
  cmake --install "$BUILD" --prefix /usr/local >/dev/null
  ldconfig
  install -m 0755 packaging/tqd.init /etc/init.d/tqd
  if [ -d /run/systemd/system ]; then
    # tqd.service needs tqrcg-groups.service: it holds the groups on cgroup v2.
    install -d -m 0755 /usr/local/lib/tqrcgmgr
    install -m 0755 packaging/tqrcg-groups-keeper /usr/local/lib/tqrcgmgr/tqrcg-groups-keeper
    for unit in tqd.service tqrcg-groups.service tqrcg.slice; do
      install -m 0644 "packaging/$unit" "/etc/systemd/system/$unit"
    done
    systemctl daemon-reload || true
  fi
  if [ ! -e /etc/tq/Instance001.conf ]; then
    install -d -m 0755 /etc/tq
    install -m 0644 packaging/Instance001.conf /etc/tq/Instance001.conf
    log "wrote the default configuration /etc/tq/Instance001.conf"
  fi
}

main() {
  local product_only="" build=yes argument promtool_from_prometheus=""
  for argument in "$@"; do
    case $argument in
      --product) product_only=yes ;;
      --no-build) build="" ;;
      *) echo "usage: bash scripts/setup.sh [--product] [--no-build]" >&2; exit 2 ;;
    esac
  done
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (it installs packages and the cgconfig service)" >&2
    exit 1
  fi

  install_list "the product" --no-install-recommends -- "${PRODUCT_PACKAGES[@]}"
  if [ -z "$product_only" ]; then
    install_list "the tests" -- "${TEST_PACKAGES[@]}"
    install_list "the packaging" -- "${PACKAGING_PACKAGES[@]}"
    install_list "the lab" --no-install-recommends -- "${LAB_PACKAGES[@]}"
    install_promtool || promtool_from_prometheus=yes
  fi
  install_cgconfig
  [ -n "$build" ] || exit 0

  if [ -n "$product_only" ]; then
    build_product
  else
    build_everything
  fi
  if [ -n "$promtool_from_prometheus" ]; then
    bash scripts/promtool.sh "$BUILD/tools" || log "promtool is not available: the metrics format test will say so"
  fi
  install_product
  log "done"
}

main "$@"
