#!/bin/bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each,
# under AddressSanitizer and UndefinedBehaviorSanitizer, on its seed corpus
# for a bounded number of inputs.  New inputs go to a scratch corpus, never
# into the tree; a finding stops the run with its input in
# build-fuzz/artifacts/ and exit status 1.  Without clang++ it says so and
# exits 0.
#
#   bash fuzz/run.sh                    # every target, 100000 inputs each
#   FUZZ_RUNS=10000000 bash fuzz/run.sh handler
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
RUNS=${FUZZ_RUNS:-100000}
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(handler store frame peer_table)
fi

if ! command -v clang++ >/dev/null 2>&1; then
  echo "[fuzz] clang++ is not installed: fuzz targets skipped"
  exit 0
fi

echo "[fuzz] building into $BUILD"
cmake -S "$ROOT/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j2 --target $(printf 'fuzz_%s ' "${TARGETS[@]}")

mkdir -p "$BUILD/artifacts"
status=0
scratch=""
work=""
cleanup() { rm -rf ${scratch:+"$scratch"} ${work:+"$work"}; }
trap cleanup EXIT
for target in "${TARGETS[@]}"; do
  scratch=$(mktemp -d)
  # Files the target writes (the handler's store and log), in memory when
  # /dev/shm is there; removed with the scratch corpus, also after a finding.
  if [ -w /dev/shm ]; then work=$(mktemp -d /dev/shm/tqfuzz.XXXXXX); else work=$(mktemp -d); fi
  log="$BUILD/fuzz_$target.log"
  options=(-runs="$RUNS" -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/${target}-"
           -max_len=4096 -timeout=25 -rss_limit_mb=2048)
  if [ -f "$ROOT/fuzz/$target.dict" ]; then
    options+=(-dict="$ROOT/fuzz/$target.dict")
  fi
  echo "[fuzz] $target: $RUNS inputs"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      TQFUZZ_WORK="$work" "$BUILD/fuzz_$target" "${options[@]}" "$scratch" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1; then
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "[fuzz] $target: ${executed:-?} inputs executed, no finding"
  else
    echo "[fuzz] $target: FINDING (log $log, input in $BUILD/artifacts/)"
    tail -40 "$log"
    status=1
  fi
  cleanup
  scratch=""
  work=""
done
exit $status
