#!/bin/bash
# Installs what is missing (everything: scripts/setup.sh without --product
# adds the test, packaging and lab tools and promtool to what the product
# needs), builds every target, and runs every test: the unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/, the whole
# suite in build/, the fuzz targets for a bounded number of inputs
# (fuzz/run.sh), then the cgroup v2 lab (scripts/lab.sh: the lab tests and
# the system tests on Debian's kernel under QEMU, then the packages
# installed on Debian guests with systemd).  Run as root: the "system" tests
# run on the host's hierarchy (a cgroup v1 cpu hierarchy, or cgroup2 under a
# base of each test's own), create real groups (named tqtest_<pid>_...),
# start real daemons on free loopback ports and remove all they made.  Under CI
# (CI=true) a system test that cannot run fails.
#
#   bash scripts/test.sh
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh

if [ -n "${CI:-}" ] && [ "${CI}" != "false" ]; then
  export TQ_REQUIRE_SYSTEM_TESTS=1
fi

echo "[test] sanitizer build into build-asan/"
# Without precompiled headers: each unit must include what it uses.
cmake -S "$ROOT" -B "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTQ_SANITIZE=ON \
  -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON >/dev/null
cmake --build "$ROOT/build-asan" -j2

status=0
echo "[test] unit tests under ASan/UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$ROOT/build-asan" -L unit -j2 --output-on-failure || status=1

echo "[test] all tests"
ctest --test-dir "$ROOT/build" -j2 --output-on-failure --timeout 300 || status=1

echo "[test] fuzz targets: each for a bounded number of inputs (where clang++ is present)"
bash "$ROOT/fuzz/run.sh" || status=1

echo "[test] the cgroup v2 lab: Debian's kernel under QEMU (busybox guest, then systemd guest)"
bash scripts/lab.sh build || status=1

exit $status
