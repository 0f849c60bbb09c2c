#!/usr/bin/env bash
# A 16 MiB image sent to an emulated optical drive by brisk (fall-back row:
# mode 5 with offsets, 512 KiB per command) and by sg_write_buffer with the
# same mode and chunk size. Both run under a clock 1000 times faster, so
# brisk's 240 s recovery wait takes a quarter of a second; the transfer
# itself is real work. Reports whole-process wall and CPU time and the peak
# memory of the sending process, best of RUNS, and checks both images.
# Usage: bench/download_vs_sg.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=16777216
python3 emu/make_image.py "$work/fw.bin" $size
cat > "$work/s.json" <<'JSON'
{"devices": [{"name": "dvd", "class": "optical", "vendor": "ACME", "product": "BD-RE X1",
              "nodes": ["sr0"], "flash_seconds": 1}]}
JSON
mkdir -p "$work/bin"
ln -s "$build/brisk/brisk" "$work/bin/glint"
# Inside the bench: runs the sender and prints its own peak memory (KiB).
inner() {
    echo "import resource, subprocess, sys
subprocess.run(sys.argv[1:], input=b'1\ny\ny\n0\n', stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr)" > "$work/inner.py"
}
inner
speed=1000
report() {
    local label=$1; shift
    local best=""
    for r in $(seq "$runs"); do
        rm -rf "$work/img"
        local start end
        start=$(date +%s.%N)
        faketime -f "+0 x$speed" "$build/emu/brisk-emu" --scenario "$work/s.json" \
            --images "$work/img" --log "$work/log" -- python3 "$work/inner.py" "$@" \
            2>"$work/rss" >/dev/null
        end=$(date +%s.%N)
        cmp -s "$work/fw.bin" "$work/img/dvd.img" || { echo "$label: image differs" >&2; exit 1; }
        line=$(python3 - "$work/log" "$start" "$end" "$(tail -1 "$work/rss")" $speed <<'PY'
import json, sys
log, start, end, rss, speed = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4], float(sys.argv[5])
t = [json.loads(l)["t"] for l in open(log) if '"cdb":"3b' in l]
print("%.3f %.3f %s %d" % ((t[-1] - t[0]) / speed, end - start, rss, len(t)))
PY
)
        best=$(printf '%s\n%s\n' "$best" "$line" | sed '/^$/d' | sort -n | head -1)
    done
    read -r xfer wall rss n <<<"$best"
    printf '%-16s %3d commands, transfer %6.3f s, whole run %6.3f s, peak %6d KiB (image %d KiB)\n' \
        "$label" "$n" "$xfer" "$wall" "$rss" $((size / 1024))
}
report "brisk" env PATH="$work/bin:$PATH" glint "$work/fw.bin"
report "sg_write_buffer" sg_write_buffer -m 5 -b 512k -l $size -I "$work/fw.bin" /dev/sr0
