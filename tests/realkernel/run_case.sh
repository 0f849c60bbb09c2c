#!/usr/bin/env bash
# Usage: run_case.sh CASE, with BRISK (the binary under test) and SGT (the static sgt helper) set;
# README.md has the rest. REALKERNEL_ACCEPT=1 writes the output as the expected file.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
script=$here/cases/$1.sh expected=$here/expected/$1.out
: "${BRISK:?set BRISK to the brisk binary}" "${SGT:?set SGT to the sgt helper}"
work=$(mktemp -d "${TMPDIR:-/tmp}/realkernel.XXXXXX")
trap 'rm -rf "$work"' EXIT
cat "$here/guest/lib.sh" "$script" > "$work/guest.sh"   # the case with its helpers
# A TCG guest that hangs in its boot prints nothing: the rig's fault, not brisk's, so boot once more.
for try in 1 2; do
    "$here/rig" $(sed -n 's/^#rig //p' "$script") "$work/guest.sh" "$BRISK" "$SGT" \
        /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 > "$work/raw"
    rc=$?; [ "$rc" -eq 124 ] && [ ! -s "$work/raw" ] || break
done
# Buffer addresses differ from run to run: the trace's are masked, and -d's image addresses shown
# relative to the first, so that each command's offset into the image still shows.
perl -pe 's/bufaddr=0x[0-9A-F]+/bufaddr=0x.../g;
    s{(write_buffer\(\d+), 0x([0-9A-F]+),}{sprintf("%s, image+%d,", $1, hex($2) - ($base //= hex($2)))}ge' "$work/raw" > "$work/got"
[ "$rc" -eq 0 ] || { echo "FAIL: the guest script ended with status $rc; its output:" >&2; cat -A "$work/got" >&2; exit 1; }
[ "${REALKERNEL_ACCEPT:-0}" = 1 ] && cp "$work/got" "$expected" && echo "wrote $expected"
# sr checks for a media change on every open and on its own schedule (GET EVENT STATUS NOTIFICATION, its sense, a TEST
# UNIT READY), as often as the run's timing makes: the kernel's commands, not brisk's, are left out on both sides.
checks() { perl -0777 -pe 's/^(\S+) 4a 01 00 00 10 00 00 00 08 00\n\1   sense [^\n]*\n(\1 00 00 00 00 00 00\n)?//mg' "$@"; }
cmp -s <(checks "$expected") <(checks "$work/got") && exit 0
echo "FAIL: output differs from $expected (cat -A view, - expected, + got):" >&2
diff -u <(checks "$expected" | cat -A) <(checks "$work/got" | cat -A) >&2; exit 1
