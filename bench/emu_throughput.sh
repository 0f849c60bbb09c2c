#!/usr/bin/env bash
# Throughput of the emulator bench itself: a 64 MiB image sent with
# sg_write_buffer -m 7 -b 512k (four runs of 16 MiB, buffer IDs 0 to 3),
# timed from outside the bench, and checked byte for byte on arrival.
# Usage: bench/emu_throughput.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
emu=$build/emu/brisk-emu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 emu/make_image.py "$work/fw.bin" 67108864
cat > "$work/s.json" <<'JSON'
{"devices": [{"name": "big", "vendor": "IBM", "product": "ULT3580-TD8", "medium": false,
              "id_stride": 16777216, "nodes": ["nst0"]}]}
JSON
for r in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$emu" --scenario "$work/s.json" --images "$work/img" -- sh -c "
        for k in 0 1 2 3; do
            sg_write_buffer -m 7 -b 512k -i \$k -s \$((k * 16777216)) -l 16777216 -I $work/fw.bin /dev/nst0 || exit 1
        done"
    end=$(date +%s.%N)
    cmp -s "$work/fw.bin" "$work/img/big.img" || { echo "run $r: image differs" >&2; exit 1; }
    python3 -c "print('run $r: 64 MiB in %.2f s whole process, %.0f MiB/s' % ($end - $start, 64 / ($end - $start)))"
done
