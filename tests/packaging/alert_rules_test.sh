#!/bin/sh
# The packaged alerting rules: `promtool check rules` accepts them and
# `promtool test rules` runs their cases (tqrcgmgr.rules.test.yml beside this
# script).  promtool: $TQ_PROMTOOL, else the one on the PATH, else
# <build folder>/tools/promtool, else build/tools/promtool of the source tree
# (scripts/promtool.sh puts it there; the sanitizer build shares it).  Without
# one the test is skipped (exit 77, which ctest lists as skipped), or fails
# where TQ_REQUIRE_SYSTEM_TESTS=1.
#   alert_rules_test.sh <rules file> <build folder>
set -u
RULES=$1
BUILD=$2
HERE=$(cd "$(dirname "$0")" && pwd)

promtool=${TQ_PROMTOOL:-}
[ -n "$promtool" ] || promtool=$(command -v promtool 2>/dev/null) || promtool=
[ -n "$promtool" ] || { [ -x "$BUILD/tools/promtool" ] && promtool=$BUILD/tools/promtool; }
[ -n "$promtool" ] || { [ -x "$HERE/../../build/tools/promtool" ] && promtool=$HERE/../../build/tools/promtool; }
if [ -z "$promtool" ]; then
  if [ "${TQ_REQUIRE_SYSTEM_TESTS:-}" = 1 ]; then echo "FAIL: promtool is missing (bash scripts/promtool.sh $BUILD/tools)"; exit 1; fi
  echo "SKIPPED: promtool is missing (bash scripts/promtool.sh $BUILD/tools)"
  exit 77
fi
"$promtool" --version 2>&1 | head -n 1
"$promtool" check rules "$RULES" || { echo "FAIL: promtool check rules $RULES"; exit 1; }
# The cases name the rules file relative to themselves.
[ "$(cd "$HERE/../../packaging" && pwd)/$(basename "$RULES")" -ef "$RULES" ] ||
  { echo "FAIL: the cases expect the rules at packaging/ of the same tree as $HERE"; exit 1; }
(cd "$HERE" && "$promtool" test rules tqrcgmgr.rules.test.yml) || { echo "FAIL: promtool test rules"; exit 1; }
echo "alerting rules checked"
