#!/usr/bin/env bash
# sg3-utils clients against the emulator bench: what they print and return
# proves that the bench speaks SG_IO the way the kernel and a drive do.
# Usage: EMU=brisk-emu peer_checks.sh CHECK
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
S=$here/scenarios/peers.json

check_inquiry() {
    local out
    out=$(emu "$S" sg_inq /dev/nst0 2>&1); expect_status 0 $? "sg_inq nst0"
    expect_in "$out" "Vendor identification: HP" "sg_inq vendor"
    expect_in "$out" "Product identification: Ultrium 6-SCSI" "sg_inq product"
    expect_in "$out" "Product revision level: J5SW" "sg_inq revision"
    expect_in "$out" "Unit serial number: HU1234567A" "sg_inq serial"
    expect_in "$out" "PDT=1" "sg_inq tape type"
    out=$(emu "$S" sg_inq /dev/sch0 2>&1); expect_status 0 $? "sg_inq sch0"
    expect_in "$out" "medium changer" "sg_inq changer type"
    out=$(emu "$S" sg_inq /dev/sr0 2>&1); expect_status 0 $? "sg_inq sr0"
    expect_in "$out" "PDT=5" "sg_inq optical type"
}

check_serial() {
    local out
    out=$(emu "$S" sg_vpd -p sn /dev/tape/by-id/scsi-HU1234567A-nst 2>&1)
    expect_status 0 $? "sg_vpd through the by-id link"
    expect_in "$out" "Unit serial number: HU1234567A" "sg_vpd serial"
    [ "$(log_count '"node":"/dev/tape/by-id/scsi-HU1234567A-nst","device":"lto"')" -gt 0 ] ||
        fail "the link's commands are not logged under its own path"
    # --force: ask for the page although page 0 does not list it
    out=$(emu "$S" sg_vpd --force -p sn /dev/nst1 2>&1)
    [ $? -ne 0 ] || fail "sg_vpd -p sn on a drive without a serial number succeeded"
    # ILLEGAL REQUEST, INVALID FIELD IN CDB
    [ "$(log_count '"cdb":"12018000[0-9a-f]{4}".*"status":2.*"sense":"700005000000000a0000000024')" -eq 1 ] ||
        fail "VPD page 0x80 without a serial number is not refused with 5/24h"
}

check_test_unit_ready() {
    local out
    # The pending power-on attention is reported once, then the drive is ready.
    out=$(emu "$S" sh -c 'sg_turs /dev/nst0; echo "first=$?"; sg_turs /dev/nst0; echo "second=$?"' 2>&1)
    expect_in "$out" "first=6" "sg_turs with a pending unit attention"
    expect_in "$out" "second=0" "sg_turs after the attention"
    out=$(emu "$S" sg_turs -v /dev/nst2 2>&1); expect_status 2 $? "sg_turs on an empty drive"
    expect_in "$out" "Medium not present" "sg_turs sense of an empty drive"
    out=$(emu "$S" sg_turs /dev/nst4 2>&1); expect_status 66 $? "sg_turs when the ioctl fails with EBUSY"
    expect_in "$out" "Device or resource busy" "sg_turs errno text"
}

check_request_sense() {
    local out
    out=$(emu "$S" sh -c 'sg_requests /dev/nst0; echo "rs=$?"; sg_requests /dev/nst0; sg_turs /dev/nst0; echo "turs=$?"' 2>&1)
    expect_in "$out" "rs=0" "sg_requests status"
    expect_in "$out" "Unit Attention" "sg_requests returns the pending attention"
    expect_in "$out" "Sense key: No Sense" "sg_requests after the attention was cleared"
    expect_in "$out" "turs=0" "sg_turs after sg_requests cleared the attention"
}

check_write_buffer() {
    local fw=$EMU_WORK/fw.bin out n
    make_image "$fw" 1500001
    out=$(emu "$S" sg_write_buffer -m 5 -I "$fw" -l 1500001 /dev/nst2 2>&1)
    expect_status 0 $? "sg_write_buffer -m 5: $out"
    cmp -s "$fw" "$EMU_WORK/img/empty.img" || fail "mode 5: the received image differs from the file"
    [ "$(log_count '"cdb":"3b050000000016e36100","dir":"out","len":1500001')" -eq 1 ] ||
        fail "mode 5: not one WRITE BUFFER of the whole file"
    out=$(emu "$S" sg_write_buffer -m 7 -b 64k -I "$fw" -l 1500001 /dev/nst2 2>&1)
    expect_status 0 $? "sg_write_buffer -m 7 -b 64k: $out"
    cmp -s "$fw" "$EMU_WORK/img/empty.img" || fail "mode 7: the received image differs from the file"
    n=$(log_count '"cdb":"3b07')
    [ "$n" -eq 23 ] || fail "mode 7: $n WRITE BUFFER commands, expected 23 of at most 64 KiB"
    # The activated drive is busy with its flash.
    out=$(emu "$S" sh -c "sg_write_buffer -m 5 -I $fw -l 1500001 /dev/nst2; sg_turs -v /dev/nst2" 2>&1)
    expect_status 2 $? "sg_turs during the flash"
    expect_in "$out" "Not Ready" "sense during the flash"
    # A drive with a cartridge loaded takes no microcode.
    out=$(emu "$S" sh -c "sg_turs /dev/nst0; sg_write_buffer -m 5 -I $fw -l 1500001 /dev/nst0" 2>&1)
    expect_status 5 $? "sg_write_buffer into a loaded drive"
    [ ! -e "$EMU_WORK/img/lto.img" ] || fail "a refused download left an image"
    # The third piece is refused with 5/26h: nothing is activated.
    out=$(emu "$S" sg_write_buffer -m 7 -b 64k -I "$fw" -l 1500001 /dev/nst4 2>&1)
    expect_status 5 $? "sg_write_buffer with an injected ILLEGAL REQUEST"
    [ "$(log_count '"cdb":"3b07')" -eq 3 ] || fail "the download did not stop at the refused piece"
    [ ! -e "$EMU_WORK/img/faulty.img" ] || fail "an aborted download was activated"
}

check_reset() {
    local out
    out=$(emu "$S" sh -c 'sg_reset -d /dev/nst2; echo "reset=$?"; sg_turs /dev/nst2; echo "turs=$?"' 2>&1)
    expect_in "$out" "reset=0" "sg_reset -d"
    expect_in "$out" "turs=6" "unit attention after the reset"
    [ "$(log_count '"node":"/dev/nst2","device":"empty","reset":"device"')" -eq 1 ] ||
        fail "the device reset is not logged"
}

check_flash_under_faketime() {
    local fw=$EMU_WORK/fw.bin out start end
    make_image "$fw" 300000
    start=$(date +%s.%N)
    # 20 emulated seconds of flash pass in one real second.
    out=$(faketime -f '+0 x20' "$EMU" --scenario "$S" --log "$EMU_WORK/log.jsonl" -- sh -c "
        sg_turs /dev/nst0; sg_turs /dev/nst0; echo ready=\$?
        sg_turs /dev/nst2 >/dev/null 2>&1
        sg_write_buffer -m 5 -I $fw -l 300000 /dev/nst2; echo wb=\$?
        sg_turs /dev/nst2; echo flashing=\$?
        sleep 21
        sg_turs -v /dev/nst2; echo attention=\$?
        sg_turs -v /dev/nst2; echo after=\$?
        sg_inq /dev/nst2 | grep 'revision level'" 2>&1)
    end=$(date +%s.%N)
    expect_in "$out" "wb=0" "download under faketime"
    expect_in "$out" "flashing=2" "NOT READY during the flash"
    expect_in "$out" "Microcode has been changed" "unit attention after the flash"
    expect_in "$out" "attention=6" "status of the unit attention"
    expect_in "$out" "Medium not present" "the empty drive after the attention"
    expect_in "$out" "after=2" "status of the empty drive after the attention"
    expect_in "$out" "Product revision level: 0101" "new revision after the flash"
    python3 -c "import sys; sys.exit(0 if $end - $start < 10 else 1)" ||
        fail "the faked clock did not speed the flash up ($start .. $end)"
}

check_64mib() {
    local fw=$EMU_WORK/fw64.bin out k
    make_image "$fw" 67108864
    out=$(emu "$S" sh -c "for k in 0 1 2 3; do sg_write_buffer -m 7 -b 512k -i \$k -s \$((k * 16777216)) -l 16777216 -I $fw /dev/nst3 || exit 1; done" 2>&1)
    expect_status 0 $? "64 MiB in four runs: $out"
    cmp -s "$fw" "$EMU_WORK/img/big.img" || fail "the 64 MiB image differs from the file"
}

"check_$1"
finish
