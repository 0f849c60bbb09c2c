# scsi_debug's devices, loaded anew for each part, as in a boot of its own.
# Two drives under st, each listed once; one held open by another process is left out.
# After a device reset st refuses SG_IO on a fresh tape node: brisk goes through sg.
scsi_debug 'ptype=1 num_tgts=2' HP 'Ultrium 5-SCSI' Z5A1
listings /dev/nst1 /dev/nst1a

run "brisk before the reset" brisk

echo "=== device reset of the drive behind nst0, through sg0"
sg_reset -d /dev/sg0; echo "sg_reset exit $?"
echo "=== a fresh open of nst0"
sgt /dev/nst0 tur inq
sgt /dev/sg0 tur

devlog_start
run "brisk after the reset" brisk
devlog "brisk after the reset" 0:0:0:0

# scsi_debug has no READ BLOCK LIMITS: the tape download stops there, "Update failed".
scsi_debug ptype=1 HP 'Ultrium 5-SCSI' Z5A1
image /tmp/fw.bin 131072

devlog_start
printf '1\ny\n\n0\n' | run "brisk fw.bin" brisk /tmp/fw.bin   # select 1, confirm, Enter at the pause, quit
devlog "brisk fw.bin"

# A CD drive without a row, under the name glint; the clock moved past the 240 s recovery.
scsi_debug ptype=5 OPTIMA 'DVD-RW 9000' 1.00
image /tmp/fw.bin 204800
ln -s brisk /usr/local/bin/glint

devlog_start
# the device, download to it, with the default mode; the new revision, the clock past the recovery
download "glint fw.bin" "1 y y" 'printf 1.01 > $SDP/inq_rev; echo +241 > /tmp/clock' glint /tmp/fw.bin
devlog "glint fw.bin"

# A stopped changer's NOT READY 04h/02h, in fixed and in descriptor sense: both -d runs alike.
scsi_debug ptype=8 ADIC 'FastStor 2' 0100
image /tmp/fw.bin 4096
sgt /dev/sch0 cdb:1b0000000000 > /dev/null   # START STOP UNIT: stop

for d in 0 1; do
    echo $d > $SD/dsense
    echo "=== dsense=$d: TEST UNIT READY"
    sg_turs -v /dev/sch0 2>&1 | grep format
    devlog_start   # the changer, download to it
    download "dsense=$d: brisk -d fw.bin" "1 y" 'echo +16 > /tmp/clock' brisk -d /tmp/fw.bin > /tmp/shown.$d
    devlog "dsense=$d: brisk -d fw.bin" >> /tmp/shown.$d
done
cat /tmp/shown.1
# Buffer addresses differ from run to run; nothing else may.
for d in 0 1; do sed -e 's/dsense=[01]/dsense=N/' -e 's/bufaddr=0x[0-9A-F]*//' -e 's/(5, 0x[0-9A-F]*,/(5,/' /tmp/shown.$d > /tmp/cmp.$d; done
echo "=== dsense=0 against dsense=1"
diff /tmp/cmp.1 /tmp/cmp.0 && echo "the same but for the buffer addresses"
