#!/bin/bash
# The Debian packages: built with `dpkg-buildpackage -us -uc -b -j2` in a
# clean copy of the sources, checked by lintian (no errors) and by their
# contents lists; the unpacked programs run and a client builds against the
# unpacked development files.  Nothing is installed.  Skips (loudly) where
# dpkg-buildpackage, debhelper or lintian is missing, unless
# TQ_REQUIRE_SYSTEM_TESTS=1.
#   deb_test.sh <source folder> <client.cpp> [<folder that receives the .deb files>]
set -u
SOURCE=$1
CLIENT=$2
KEEP=${3:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for tool in dpkg-buildpackage dh lintian; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ "${TQ_REQUIRE_SYSTEM_TESTS:-}" = 1 ]; then echo "FAIL: $tool is missing"; exit 1; fi
    echo "SKIPPED: $tool is missing (apt-get install dpkg-dev debhelper lintian)"; exit 0
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The clean copy: the files git knows (tracked, or new and not ignored), so
# that no build folder comes along.
mkdir "$tmp/src"
if git -C "$SOURCE" rev-parse --show-toplevel >/dev/null 2>&1; then
  (cd "$SOURCE" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
     xargs -0 cp -P --parents -t "$tmp/src")
else
  (cd "$SOURCE" && tar --exclude='./build' --exclude='./build-*' -cf - .) | tar -xf - -C "$tmp/src"
fi

digest=$(sh "$SOURCE/scripts/lab/tree-digest.sh" "$SOURCE")
start=$(date +%s)
if ! (cd "$tmp/src" && dpkg-buildpackage -us -uc -b -j2 >"$tmp/build.log" 2>&1); then
  tail -n 40 "$tmp/build.log"
  echo "FAIL: dpkg-buildpackage"
  exit 1
fi
echo "packages built in $(( $(date +%s) - start )) s"

version=$(dpkg-parsechangelog -l "$SOURCE/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
main=$tmp/tqrcgmgr_${version}_${arch}.deb
dev=$tmp/libtqrcgmgr-dev_${version}_${arch}.deb
for deb in "$main" "$dev"; do
  [ -f "$deb" ] || { fail "no $(basename "$deb")"; ls "$tmp"; exit 1; }
done

# lintian: errors fail; warnings are listed.
lintian --fail-on error "$tmp"/tqrcgmgr_"${version}"_"${arch}".changes >"$tmp/lintian.txt" 2>&1
status=$?
sed 's/^/lintian: /' "$tmp/lintian.txt"
[ "$status" -eq 0 ] || fail "lintian reports errors"
if grep -q '^E: ' "$tmp/lintian.txt"; then fail "lintian errors"; fi

# contains DEB PATH...: each path is in the package.
contains() {
  local deb=$1 list path
  shift
  list=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's,^\./,/,; s,/$,,')
  for path in "$@"; do
    printf '%s\n' "$list" | grep -qxF "$path" || fail "$(basename "$deb") lacks $path"
  done
}
# The units live where the release's debhelper puts them: /lib/systemd/system
# (Debian 12) or /usr/lib/systemd/system (Debian 13), all three together.
unitdir=$(dpkg-deb -c "$main" | awk '{ print $6 }' | sed -n 's,^\.\(.*\)/tqd\.service$,\1,p')
case "$unitdir" in
  /lib/systemd/system|/usr/lib/systemd/system) ;;
  *) fail "tqd.service is in '$unitdir', not in a unit folder"; unitdir=/usr/lib/systemd/system ;;
esac
echo "units in $unitdir"
contains "$main" /usr/sbin/tqd /usr/bin/tqrcg \
  "/usr/lib/$multiarch/libtqrcgmgr.so" "/usr/lib/$multiarch/libtqfw.so" \
  "$unitdir/tqd.service" /etc/init.d/tqd /usr/share/tqrcgmgr/Instance001.conf \
  "$unitdir/tqrcg-groups.service" "$unitdir/tqrcg.slice" \
  /usr/lib/tqrcgmgr/tqrcg-groups-keeper /usr/lib/systemd/system-generators/tqrcg-groups-generator \
  /usr/share/tqrcgmgr/prometheus/tqrcgmgr.rules.yml \
  /usr/share/tqrcgmgr/cgconfig /usr/share/man/man1/tqrcg.1.gz /usr/share/man/man5/tq.conf.5.gz \
  /usr/share/man/man8/tqd.8.gz /usr/share/bash-completion/completions/tqrcg
contains "$dev" /usr/include/tqrcgmgr/tqrcgmgr.h /usr/include/tqrcgmgr/CQiError.h \
  "/usr/lib/$multiarch/pkgconfig/tqrcgmgr.pc" "/usr/lib/$multiarch/cmake/tqrcgmgr/tqrcgmgrConfig.cmake" \
  "/usr/lib/$multiarch/cmake/tqrcgmgr/tqrcgmgrTargets.cmake" /usr/share/man/man3/libtqrcgmgr.3.gz
if dpkg-deb -c "$dev" | grep -q '\.so$'; then fail "the -dev package holds a library"; fi
if dpkg-deb -c "$main" | grep -q '/etc/init.d/cgconfig'; then fail "the package ships /etc/init.d/cgconfig"; fi
if dpkg-deb -c "$main" | grep -q '\./etc/tq/'; then fail "the package ships a file in /etc/tq (tqd rewrites the store)"; fi

# Control data: the store is no conffile (the postinst writes the default
# where it is missing, the purge removes it), the unit runs /usr/sbin/tqd, the
# scripts enable and start tqd, restart it on an upgrade and stop it on
# removal, and none deletes a group.
mkdir "$tmp/control" "$tmp/files"
dpkg-deb -e "$main" "$tmp/control"
dpkg-deb -x "$main" "$tmp/files"
if grep -q /etc/tq "$tmp/control/conffiles" 2>/dev/null; then fail "the store is a conffile"; fi
grep -q 'DEFAULT_STORE=/usr/share/tqrcgmgr/Instance001.conf' "$tmp/control/postinst" &&
  grep -q '^        install_store$' "$tmp/control/postinst" || fail "the postinst does not write the default store"
grep -q 'rm -f /etc/tq/Instance001.conf ' "$tmp/control/postrm" || fail "the purge does not remove the store"
grep -qx 'dTQRCGMGRENABLE=1' "$tmp/files/usr/share/tqrcgmgr/Instance001.conf" ||
  fail "the packaged store does not enable the manager"
grep -q "_dh_action=restart" "$tmp/control/postinst" || fail "postinst does not restart tqd on an upgrade"
grep -q '^ExecStart=/usr/sbin/tqd' "$tmp/files$unitdir/tqd.service" || fail "the unit does not run /usr/sbin/tqd"
grep -q '^DAEMON=.*/usr/sbin/tqd' "$tmp/files/etc/init.d/tqd" || fail "the init script does not run /usr/sbin/tqd"
grep -q "deb-systemd-helper enable 'tqd.service'" "$tmp/control/postinst" || fail "postinst does not enable tqd.service"
grep -q "deb-systemd-invoke \$_dh_action 'tqd.service'" "$tmp/control/postinst" || fail "postinst does not start tqd.service"
grep -q "deb-systemd-invoke stop 'tqd.service'" "$tmp/control/prerm" || fail "prerm does not stop tqd.service"
grep -q 'invoke-rc.d --skip-systemd-native tqd stop' "$tmp/control/prerm" || fail "prerm does not stop the init script's tqd"
# The holder of the groups (cgroup2) is started through tqd.service and never
# stopped by the package; the store puts the groups below it.
grep -q '^ExecStart=/usr/lib/tqrcgmgr/tqrcg-groups-keeper$' "$tmp/files$unitdir/tqrcg-groups.service" ||
  fail "tqrcg-groups.service does not run /usr/lib/tqrcgmgr/tqrcg-groups-keeper"
grep -qx 'Delegate=cpu cpuset memory pids' "$tmp/files$unitdir/tqrcg-groups.service" ||
  fail "tqrcg-groups.service does not delegate cpu, cpuset, memory and pids"
grep -q '^Requires=tqrcg-groups.service' "$tmp/files$unitdir/tqd.service" ||
  fail "tqd.service does not require tqrcg-groups.service"
# The generator adds DelegateSubgroup=keeper on systemd 254 and later only.
for systemd in 252 254 257; do
  gen=$tmp/generator-$systemd
  mkdir -p "$gen/bin"
  printf '#!/bin/sh\necho "systemd %s (%s-1)"\n' "$systemd" "$systemd" > "$gen/bin/systemctl"
  chmod +x "$gen/bin/systemctl"
  sed "s,^PATH=.*,PATH=$gen/bin:/usr/bin:/bin," "$tmp/files/usr/lib/systemd/system-generators/tqrcg-groups-generator" > "$gen/run"
  sh "$gen/run" "$gen/normal" "$gen/early" "$gen/late" || fail "the generator failed on systemd $systemd"
  if grep -sqx 'DelegateSubgroup=keeper' "$gen/normal/tqrcg-groups.service.d/50-delegate-subgroup.conf"; then
    [ "$systemd" -ge 254 ] || fail "the generator sets DelegateSubgroup= on systemd $systemd"
  else
    [ "$systemd" -lt 254 ] || fail "the generator sets no DelegateSubgroup= on systemd $systemd"
  fi
done
if grep -l 'tqrcg-groups' "$tmp/control"/p* 2>/dev/null; then
  fail "a maintainer script acts on tqrcg-groups.service"
fi
grep -qx 'sTQRCGMGRCGROUP2BASE=tqrcg.slice/tqrcg-groups.service/groups' "$tmp/files/usr/share/tqrcgmgr/Instance001.conf" ||
  fail "the packaged store does not put the groups below tqrcg-groups.service"
if grep -lE 'cgdelete|cgclear|rmdir /sys|kill' "$tmp/control"/p* 2>/dev/null; then
  fail "a maintainer script deletes groups or signals processes"
fi
# The loader finds the libraries; the version section survives the strip.
grep -q 'activate-noawait ldconfig' "$tmp/control/triggers" || fail "no ldconfig trigger"
readelf -p TqVersion "$tmp/files/usr/lib/$multiarch/libtqrcgmgr.so" | grep -q '1\.0' ||
  fail "the packaged libtqrcgmgr.so lost its TqVersion section"
for program in usr/sbin/tqd usr/bin/tqrcg; do
  if readelf -d "$tmp/files/$program" | grep -qE 'RPATH|RUNPATH'; then fail "$program carries a run path"; fi
done

# The unpacked files work without installing: tqd finds libtqrcgmgr.so on
# the loader's path, and a client builds with the packaged tqrcgmgr.pc.
dpkg-deb -x "$dev" "$tmp/files"
libdir=$tmp/files/usr/lib/$multiarch
line=$(LD_LIBRARY_PATH=$libdir "$tmp/files/usr/sbin/tqd" --version 2>&1)
case "$line" in "$version "*) ;; *) fail "the packaged tqd --version prints: $line" ;; esac
line=$(LD_LIBRARY_PATH=$libdir "$tmp/files/usr/bin/tqrcg" --version 2>&1)
case "$line" in "$version "*) ;; *) fail "the packaged tqrcg --version prints: $line" ;; esac
flags=$(PKG_CONFIG_SYSROOT_DIR=$tmp/files PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 \
        PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs tqrcgmgr)
mkdir "$tmp/log"
printf '[Base]\ndTQRCGMGRENABLE=7\nsTQLOGDIR=%s\n[Session]\nnTQDPORT=1\n' "$tmp/log" > "$tmp/store.conf"
# shellcheck disable=SC2086
if c++ -std=c++17 "$CLIENT" -o "$tmp/client" $flags; then
  out=$(TQ_CONFIG=$tmp/store.conf LD_LIBRARY_PATH=$libdir "$tmp/client" 2>&1)
  [ "$out" = "$(printf 'enabled 7 Success\ncreate error 774')" ] || fail "the client printed: $out"
else
  fail "a client does not build with the packaged tqrcgmgr.pc: $flags"
fi

if [ -n "$KEEP" ]; then
  # With the digest of the tree they come from: the systemd lab installs them
  # while the tree is unchanged.
  mkdir -p "$KEEP" && rm -f "$KEEP"/*.deb "$KEEP/.digest" && cp "$tmp"/*.deb "$KEEP"/ &&
    { [ -z "$digest" ] || echo "$digest" > "$KEEP/.digest"; } && echo "packages kept in $KEEP"
fi
[ "$failures" -eq 0 ] && echo "package checks passed"
exit "$failures"
