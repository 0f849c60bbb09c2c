#!/usr/bin/env bash
# Runs one real-kernel case: boots the rig with the case's guest script and
# compares everything the guest printed with the case's expected output.
# Usage: run_case.sh CASE
# Environment: BRISK (the binary under test), SGT (the static sgt helper).
# The case's lines "#rig ..." are its rig options; a line "#tgt" gives it
# tgt's tape and changer instead of scsi_debug.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
name=$1
script=$here/cases/$name.sh
expected=$here/expected/$name.out
: "${BRISK:?set BRISK to the brisk binary}" "${SGT:?set SGT to the sgt helper}"

FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
work=$(mktemp -d "${TMPDIR:-/tmp}/realkernel.XXXXXX")
source "$here/tgt.sh"
trap 'tgt_stop; rm -rf "$work"' EXIT

eval "opts=($(sed -n 's/^#rig //p' "$script" | tr '\n' ' '))"
if grep -q '^#tgt$' "$script"; then
    tgt_start "$work" || { echo "FAIL: tgt did not start:" >&2; cat "$work/tgtd.log" >&2; exit 1; }
    opts+=(--no-scsi-debug "${TGT_URLS[@]}")
fi
start=$(date +%s.%N)
"$here/rig" "${opts[@]}" \
    --add "$BRISK=/usr/local/bin/brisk" \
    --add "$SGT=/usr/local/bin/sgt" \
    --add "$here/guest/lib.sh=/rig/lib.sh" \
    --add "$FAKETIME_LIB=$FAKETIME_LIB" \
    "$script" > "$work/raw" 2> "$work/rig.err"
rc=$?
end=$(date +%s.%N)
tgt_stop
cat "$work/rig.err" >&2

# Addresses differ from run to run: the command trace's buffer addresses
# are masked, and the debug lines' image addresses are shown relative to
# the first one, so that each command's offset into the image still shows.
python3 - "$work/raw" > "$work/got" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read()
text = re.sub(rb"bufaddr=0x[0-9A-F]+", b"bufaddr=0x...", text)
base = None
def relative(m):
    global base
    address = int(m.group(2), 16)
    base = address if base is None else base
    return b"%s, image+%d," % (m.group(1), address - base)
text = re.sub(rb"(write_buffer\(\d+), 0x([0-9A-F]+),", relative, text)
sys.stdout.buffer.write(text)
PY

# sr checks for a media change on every open and on its own schedule: a GET
# EVENT STATUS NOTIFICATION, its sense and a TEST UNIT READY, as many as the
# timing of the run makes. They are the kernel's, not brisk's: left out of
# the comparison on both sides.
media_checks_out() {
    python3 -c '
import re, sys
text = open(sys.argv[1], "rb").read()
sys.stdout.buffer.write(re.sub(
    rb"(?m)^(\S+) 4a 01 00 00 10 00 00 00 08 00\n\1   sense [^\n]*\n(\1 00 00 00 00 00 00\n)?",
    b"", text))' "$1"
}
media_checks_out "$work/got" > "$work/got.cmp"
media_checks_out "$expected" > "$work/expected.cmp" 2>/dev/null || :

if [ "$rc" -ne 0 ]; then
    echo "FAIL: the guest script ended with status $rc; its output:" >&2
    cat -A "$work/got" >&2
    exit 1
fi
if [ "${REALKERNEL_ACCEPT:-0}" = 1 ]; then
    cp "$work/got" "$expected"
    echo "wrote $expected"
fi
if ! cmp -s "$work/expected.cmp" "$work/got.cmp"; then
    echo "FAIL: output differs from $expected (cat -A view, - expected, + got):" >&2
    diff -u <(cat -A "$work/expected.cmp") <(cat -A "$work/got.cmp") >&2
    exit 1
fi
awk -v s="$start" -v e="$end" 'BEGIN { printf "ok (%.1f s)\n", e - s }'
