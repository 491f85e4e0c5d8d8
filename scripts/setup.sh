#!/bin/bash
# Installs what the project needs from Debian's packages (only what is
# missing), installs the cgconfig service when the host has none, and builds
# the project into build/.  Idempotent; run as root.
#
#   bash scripts/setup.sh [--no-build]
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)

PACKAGES=(
  build-essential cmake binutils        # compiler, build, objcopy/readelf
  libboost-dev                          # boost::shared_ptr
  libcli11-dev                          # argument parsing of tqd and tqrcg
  nlohmann-json3-dev                    # tqrcg list --json
  libncurses-dev                        # tqrcg top
  tmux                                  # the test of tqrcg top in a terminal
  libgtest-dev libgmock-dev             # tests
  cgroup-tools                          # cgcreate, cgset, cgclassify, cgdelete, lscgroup, cgget
  init-system-helpers                   # service
  procps mawk                           # ps; awk for the main job
  debhelper dpkg-dev fakeroot lintian   # the Debian packages: dpkg-buildpackage -us -uc -b, lintian
  man-db mandoc                         # the man pages: man -l, mandoc -T lint
  pkgconf                               # programs that build against tqrcgmgr.pc
)
# The cgroup v2 lab (scripts/lab.sh), installed without recommends.
LAB_PACKAGES=(
  qemu-system-x86                       # boots Debian's kernel (TCG)
  busybox-static cpio                   # the guest's initramfs
  debootstrap                           # the systemd guest's root filesystem (its packages and
                                        # client need the packaging tools and pkgconf above)
)

log() { printf '[setup] %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: run as root (it installs packages and the cgconfig service)" >&2
  exit 1
fi

# Prints each package given that is not installed.
missing_packages() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      echo "$package"
    fi
  done
}

mapfile -t missing < <(missing_packages "${PACKAGES[@]}")
mapfile -t missing_lab < <(missing_packages "${LAB_PACKAGES[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_lab[@]} -gt 0 ]; then
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ${#missing_lab[@]} -gt 0 ]; then
    log "installing for the lab: ${missing_lab[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_lab[@]}" >/dev/null
  fi
else
  log "all packages present"
fi

# The controller runs "service cgconfig status|start": give hosts without
# such a service ours.  A cgconfig service of the host's own stays untouched;
# ours is refreshed when a newer copy comes with the project.
OUR_MARK="Installed by the tqrcgmgr set-up"
if [ -e /etc/init.d/cgconfig ] && ! grep -q "$OUR_MARK" /etc/init.d/cgconfig; then
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

if [ "${1:-}" = "--no-build" ]; then
  exit 0
fi

log "building into build/"
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build" -j2
# promtool checks tqd's metrics file in the tests: taken from Debian's
# prometheus package without installing it (see scripts/promtool.sh).
bash scripts/promtool.sh "$ROOT/build/tools" || log "promtool is not available: the metrics format test will say so"

# tqd and tqrcg for the host: /usr/local/{sbin,bin,lib}, the init script and,
# where systemd runs, its unit.  A running tqd keeps running its old copy.
log "installing tqd, tqrcg and libtqrcgmgr.so under /usr/local"
cmake --install "$ROOT/build" --prefix /usr/local >/dev/null
ldconfig
if [ -f packaging/tqd.init ]; then
  install -m 0755 packaging/tqd.init /etc/init.d/tqd
fi
if [ -f packaging/tqd.service ] && [ -d /run/systemd/system ]; then
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
log "done"
