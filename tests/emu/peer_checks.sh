#!/usr/bin/env bash
# sg3-utils clients against the emulator: what they print and return proves
# that it speaks SG_IO the way the kernel and a drive do. Usage: EMU=brisk-emu peer_checks.sh CHECK
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
S=$here/scenarios/peers.json
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
emu() { rm -rf "$W/img"; "$EMU" --scenario "$S" --log "$W/log" --images "$W/img" -- sh -c "$1" 2>&1; }
# want OUTPUT TEXT...: each text appears in the output
want() { local out=$1 t; shift; for t; do [[ $out == *"$t"* ]] || fail "\"$t\" not in: $out"; done; }
logged() { grep -cE "$1" "$W/log"; }
python3 "$here/../../emu/make_image.py" "$W/fw" 1500001

check_identity() {
    want "$(emu 'sg_inq /dev/nst0; sg_inq /dev/sch0; sg_inq /dev/sr0')" "Vendor identification: HP" \
        "Product identification: Ultrium 6-SCSI" "Product revision level: J5SW" \
        "Unit serial number: HU1234567A" "PDT=1" "medium changer" "PDT=5"
    want "$(emu 'sg_vpd -p sn /dev/tape/by-id/scsi-HU1234567A-nst; echo s=$?; sg_vpd --force -p sn /dev/nst1; echo s=$?')" \
        "Unit serial number: HU1234567A" "s=0" "s=5"
    [ "$(logged '"node":"/dev/tape/by-id/scsi-HU1234567A-nst","device":"lto"')" -gt 0 ] ||
        fail "a link's commands are not logged under its own path"
    [ "$(logged '"cdb":"12018000[0-9a-f]{4}".*"status":2.*"sense":"700005000000000a0000000024')" -eq 1 ] ||
        fail "VPD page 0x80 without a serial number is not refused with 5/24h"
}

check_sense() {
    # The pending attention once, cleared by REQUEST SENSE; an empty drive; a failing ioctl.
    want "$(emu 'sg_turs /dev/nst0; echo t=$?; sg_turs /dev/nst0; echo t=$?; sg_turs -v /dev/nst2; echo t=$?
                 sg_turs /dev/nst4; echo t=$?')" "t=6" "t=0" "Medium not present" "t=2" \
        "Device or resource busy" "t=66"
    want "$(emu 'sg_requests /dev/nst0; sg_requests /dev/nst0; sg_turs /dev/nst0; echo t=$?')" \
        "Unit Attention" "Sense key: No Sense" "t=0"
    want "$(emu 'sg_reset -d /dev/nst2; echo r=$?; sg_turs /dev/nst2; echo t=$?')" "r=0" "t=6"
    [ "$(logged '"node":"/dev/nst2","device":"empty","reset":"device"')" -eq 1 ] ||
        fail "the device reset is not logged"
}

check_write_buffer() {
    for m in "5" "7 -b 64k"; do
        want "$(emu "sg_write_buffer -m $m -I $W/fw -l 1500001 /dev/nst2; echo s=\$?")" "s=0"
        cmp -s "$W/fw" "$W/img/empty.img" || fail "mode $m: the image received differs from the file"
    done
    [ "$(logged '"cdb":"3b07')" -eq 23 ] || fail "mode 7: not 23 commands of at most 64 KiB"
    # Busy with its flash; a loaded drive takes no microcode; a refused third piece activates nothing.
    want "$(emu "sg_write_buffer -m 5 -I $W/fw -l 1500001 /dev/nst2; sg_turs -v /dev/nst2; echo t=\$?
                 sg_turs /dev/nst0; sg_write_buffer -m 5 -I $W/fw -l 1500001 /dev/nst0; echo l=\$?
                 sg_write_buffer -m 7 -b 64k -I $W/fw -l 1500001 /dev/nst4; echo f=\$?")" \
        "Not Ready" "t=2" "l=5" "f=5"
    [ "$(logged '"device":"faulty".*"cdb":"3b07')" -eq 3 ] || fail "the download went on after a refusal"
    [ "$(ls "$W/img")" = empty.img ] || fail "a refused download was activated: $(ls "$W/img")"
    python3 "$here/../../emu/make_image.py" "$W/fw" 67108864
    emu "for k in 0 1 2 3; do sg_write_buffer -m 7 -b 512k -i \$k -s \$((k * 16777216)) -l 16777216 -I $W/fw /dev/nst3 || exit 1; done" >/dev/null ||
        fail "64 MiB in four runs"
    cmp -s "$W/fw" "$W/img/big.img" || fail "the 64 MiB image differs from the file"
}

# A bad scenario is refused, naming its fault, before the command starts.
check_scenarios() {
    local json message out
    while IFS='|' read -r json message; do
        out=$("$EMU" --scenario <(printf '%s' "$json") -- echo started 2>&1; echo "s=$?")
        want "$out" "$message" "s=125"; [[ $out != *started* ]] || fail "started with $json"
    done <<'ROWS'
{|parse error
{"devices": [{"name": "a", "nodes": ["nst0"], "colour": 1}]}|unknown key "colour"
{"devices": [{"name": "a", "nodes": ["tty0"]}]}|not an st, ch
{"devices": [{"name": "a", "nodes": ["nst0"]}, {"name": "b", "nodes": ["nst0"]}]}|used twice
{"devices": [{"name": "a", "nodes": ["nst0"], "links": ["../etc/x"]}]}|without . or ..
{"devices": [{"name": "a", "nodes": ["nst0"], "faults": [{"op": "inquiry", "sense": "5/260"}]}]}|K/ASC/ASCQ
{"devices": [{"name": "a", "nodes": ["nst0"], "class": "printer"}]}|unknown class
{"devices": [{"name": "a", "nodes": ["nst0"], "sense_format": "long"}]}|"fixed" or "descriptor"
{"others": [{"path": "ttyS0", "dev": "4"}]}|MAJ:MIN
ROWS
}

"check_$1"
[ "$fails" -eq 0 ] && echo ok
