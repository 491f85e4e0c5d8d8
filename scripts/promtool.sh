#!/bin/bash
# Puts Debian's promtool at DEST/promtool for the tests that check tqd's
# metrics file (`promtool check metrics`) and the packaged alerting rules
# (`promtool check rules`, `promtool test rules`).  It comes from the package
# "promtool" where the release has one (Debian 13), else from "prometheus"
# (Debian 12: about 19 MB, with a Prometheus server and its service).  The
# package is downloaded and only promtool is taken out of it: nothing is
# installed and no server starts.  Does nothing when DEST/promtool runs.
#
#   bash scripts/promtool.sh DEST
set -euo pipefail

DEST=${1:?usage: promtool.sh DEST}
if [ -x "$DEST/promtool" ] && "$DEST/promtool" --version >/dev/null 2>&1; then
  exit 0
fi

# The package that holds promtool in this host's release.
promtool_package() {
  if [ -n "$(apt-cache show --no-all-versions promtool 2>/dev/null | sed -n 's/^Package: //p')" ]; then
    echo promtool
  else
    echo prometheus
  fi
}

mkdir -p "$DEST"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as its own user where it may write the folder.
chown _apt "$work" 2>/dev/null || true
package=$(promtool_package)
if ! (cd "$work" && apt-get download -q "$package") >/dev/null; then
  apt-get update -qq
  package=$(promtool_package)
  (cd "$work" && apt-get download -q "$package") >/dev/null
fi
dpkg-deb --fsys-tarfile "$work/${package}"_*.deb | tar -x -O ./usr/bin/promtool > "$work/promtool"
install -m 0755 "$work/promtool" "$DEST/promtool"
echo "[promtool] $("$DEST/promtool" --version 2>&1 | head -1) (package $package) in $DEST"
