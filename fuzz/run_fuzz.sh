#!/bin/sh
# Runs one libFuzzer target for a bounded time, as a test:
#   run_fuzz.sh FUZZER SEEDS WORK SECONDS [more libFuzzer options]
# New inputs go to WORK (emptied first), so the generated seed folder stays as
# the build made it; a crashing input is kept in WORK as crash-* / leak-* /
# timeout-*.  The exit status is the fuzzer's: non-zero on any finding.
set -eu
fuzzer=$1 seeds=$2 work=$3 seconds=$4
shift 4
rm -rf "$work"
mkdir -p "$work"
exec "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work" "$seeds"
