#!/usr/bin/env bash
# Long fuzzing: every libFuzzer target for SECONDS (10 minutes by default),
# one after the other, each from its seed corpus plus what earlier long runs
# found. Prints executions and executions per second per target, and the
# crash inputs found (copy them under tests/fuzz/regressions/TARGET/ once
# the product is fixed).
# Usage: bench/fuzz_long.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
brisk_install_packages clang libclang-rt-14-dev
seconds=${1:-600}
build=${2:-build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DBRISK_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
ninja -C "$build" >/dev/null

crashes=0
for exe in "$build"/tests/fuzz/fuzz_*; do
    target=${exe##*/fuzz_}
    work=$build/fuzz-long/$target
    mkdir -p "$work/corpus" "$work/artifacts"
    max_len=4096
    [ "$target" = unlock ] && max_len=160000
    log=$work/run.log
    "$exe" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=$max_len -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" "tests/fuzz/corpus/$target" \
        >"$log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    found=$(find "$work/artifacts" -type f | wc -l)
    crashes=$((crashes + found))
    printf '%-11s %6ss %12s executions %8s exec/s %3s crash inputs\n' \
        "$target" "$seconds" "${runs:-?}" "${rate:-?}" "$found"
    find "$work/artifacts" -type f -printf '            %p\n'
done
echo "crash inputs: $crashes"
[ "$crashes" -eq 0 ]
