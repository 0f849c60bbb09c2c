#!/usr/bin/env bash
# Time of a listing run (brisk without a file name) against 16, 64 and 256
# emulated tape drives, each reachable through its st node and its sg node.
# Whole-process wall time from outside the bench, best of RUNS.
# Usage: bench/listing_scale.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for n in 16 64 256; do
    python3 - "$work/s$n.json" "$n" <<'PY'
import json, sys
path, n = sys.argv[1], int(sys.argv[2])
devs = [{"name": "d%d" % i, "vendor": "IBM", "product": "ULT3580-TD8", "revision": "Q3D4",
         "serial": "SN%06d" % i, "medium": False, "nodes": ["nst%d" % i, "sg%d" % i]}
        for i in range(n)]
json.dump({"devices": devs}, open(path, "w"))
PY
    best=
    for r in $(seq "$runs"); do
        start=$(date +%s.%N)
        "$build/emu/brisk-emu" --scenario "$work/s$n.json" -- "$build/brisk/brisk" \
            </dev/null >"$work/out" 2>&1
        end=$(date +%s.%N)
        t=$(python3 -c "print('%.3f' % ($end - $start))")
        best=$(python3 -c "print(min(float('$t'), float('${best:-1e9}')))")
    done
    rows=$(grep -c 'Available' "$work/out")
    python3 -c "print('%3d drives: %d listed, %.3f s whole process, %.2f ms per drive' % ($n, $rows, $best, $best * 1000 / $n))"
done
