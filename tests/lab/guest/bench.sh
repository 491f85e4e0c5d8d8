#!/bin/sh
# Run by the lab's guest after the tests: the request bench in its cgroup v2
# mode for a short time, against a tqd of its own on a free loopback port
# with a temporary store (bench/run.sh does both); prints the table.  Then
# its history mode: create + delete with a group list of 200,000 earlier
# creations beside an empty one (the first creation compacts the list,
# which takes a while under the lab's emulation).
#
# Environment: TQ_BUILD_DIR (tqd, tqrcg_bench, the libraries), TQ_SOURCE_DIR
# (the source tree); TQ_LAB_BENCH_SECONDS, the measuring time (default 10);
# TQ_LAB_BENCH_HISTORY_SECONDS, that of the history mode (default 30).
set -u
seconds=${TQ_LAB_BENCH_SECONDS:-10}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=${TQ_SOURCE_DIR:-$here/../../..}
# The whole bench stays within 20 s: tqd's start, the warm-up round and the
# clean-up come on top of the measuring time.
build=${TQ_BUILD_DIR:?TQ_BUILD_DIR names the build folder}
timeout -k 2 18 sh "$source_dir/bench/run.sh" --v2 "$build" "$seconds"
status=$?
timeout -k 2 200 sh "$source_dir/bench/run.sh" --v2 --history "$build" "${TQ_LAB_BENCH_HISTORY_SECONDS:-30}" || status=$?
exit "$status"
