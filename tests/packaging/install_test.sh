#!/bin/sh
# `cmake --install` into a temporary prefix gives the layout of the packages
# (programs, libraries, public headers, tqrcgmgr.pc, the CMake package, man
# pages, completion), and a program builds against it both with
# `pkg-config --cflags --libs tqrcgmgr` and with find_package(tqrcgmgr CONFIG).
#   install_test.sh <build folder> <folder of client.cpp and its CMakeLists.txt>
set -u
BUILD=$1
CLIENT=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
PREFIX=$tmp/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }

LIBDIR=$(dirname "$(find "$PREFIX" -name libtqrcgmgr.so | head -n 1)")
for path in sbin/tqd bin/tqrcg include/tqrcgmgr/tqrcgmgr.h include/tqrcgmgr/CQiError.h \
            share/man/man1/tqrcg.1 share/man/man3/libtqrcgmgr.3 share/man/man5/tq.conf.5 share/man/man8/tqd.8 \
            share/bash-completion/completions/tqrcg; do
  [ -e "$PREFIX/$path" ] || fail "missing $path"
done
for file in libtqrcgmgr.so libtqfw.so pkgconfig/tqrcgmgr.pc cmake/tqrcgmgr/tqrcgmgrConfig.cmake \
            cmake/tqrcgmgr/tqrcgmgrConfigVersion.cmake cmake/tqrcgmgr/tqrcgmgrTargets.cmake; do
  [ -e "$LIBDIR/$file" ] || fail "missing <libdir>/$file"
done
# Only the public headers are installed.
headers=$(cd "$PREFIX/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./tqrcgmgr/CQiError.h ./tqrcgmgr/tqrcgmgr.h " ] || fail "installed headers: $headers"
grep -q "^prefix=$PREFIX\$" "$LIBDIR/pkgconfig/tqrcgmgr.pc" || fail "tqrcgmgr.pc does not name the prefix $PREFIX"

# The client's store: a flag to read, a port where nothing listens, a log
# folder of its own.
mkdir -p "$tmp/log"
printf '[Base]\ndTQRCGMGRENABLE=7\nsTQLOGDIR=%s\n[Session]\nnTQDPORT=1\n' "$tmp/log" > "$tmp/store.conf"
expected="enabled 7 Success
create error 774"
run_client() {
  out=$(TQ_CONFIG=$tmp/store.conf LD_LIBRARY_PATH=$LIBDIR "$1" 2>&1)
  [ "$out" = "$expected" ] || fail "$2 client printed: $out"
}

export PKG_CONFIG_PATH="$LIBDIR/pkgconfig"
flags=$(pkg-config --cflags --libs tqrcgmgr) || fail "pkg-config tqrcgmgr"
# shellcheck disable=SC2086
if c++ -std=c++17 -Wall -Wextra -Werror "$CLIENT/client.cpp" -o "$tmp/client-pc" $flags; then
  run_client "$tmp/client-pc" pkg-config
else
  fail "the client does not build with pkg-config's flags: $flags"
fi

if cmake -S "$CLIENT" -B "$tmp/client-build" -DCMAKE_PREFIX_PATH="$PREFIX" >"$tmp/cmake.log" 2>&1 &&
   cmake --build "$tmp/client-build" >>"$tmp/cmake.log" 2>&1; then
  run_client "$tmp/client-build/client" find_package
else
  cat "$tmp/cmake.log"
  fail "the client does not build with find_package(tqrcgmgr CONFIG)"
fi

[ "$failures" -eq 0 ] && echo "install layout and client builds passed"
exit "$failures"
