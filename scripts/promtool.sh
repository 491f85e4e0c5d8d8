#!/bin/bash
# Puts Debian's promtool (from the package "prometheus") at DEST/promtool
# for the test that checks tqd's metrics file with `promtool check metrics`.
# The package (about 19 MB, 96 MB installed, with a Prometheus server and
# its service) is downloaded and only promtool is taken out of it: nothing
# is installed and no server starts.  Does nothing when DEST/promtool runs.
#
#   bash scripts/promtool.sh DEST
set -euo pipefail

DEST=${1:?usage: promtool.sh DEST}
if [ -x "$DEST/promtool" ] && "$DEST/promtool" --version >/dev/null 2>&1; then
  exit 0
fi
mkdir -p "$DEST"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as its own user where it may write the folder.
chown _apt "$work" 2>/dev/null || true
if ! (cd "$work" && apt-get download -q prometheus) >/dev/null; then
  apt-get update -qq
  (cd "$work" && apt-get download -q prometheus) >/dev/null
fi
dpkg-deb --fsys-tarfile "$work"/prometheus_*.deb | tar -x -O ./usr/bin/promtool > "$work/promtool"
install -m 0755 "$work/promtool" "$DEST/promtool"
echo "[promtool] $("$DEST/promtool" --version 2>&1 | head -1) in $DEST"
