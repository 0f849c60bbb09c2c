# A stopped changer's NOT READY 04h/02h, in fixed and in descriptor sense: both -d runs alike.
modprobe scsi_debug ptype=8
identity ADIC 'FastStor 2' 0100
image /tmp/fw.bin 4096
sgt /dev/sch0 cdb:1b0000000000 > /dev/null   # START STOP UNIT: stop

for d in 0 1; do
    echo $d > $SD/dsense
    echo "=== dsense=$d: TEST UNIT READY"
    sg_turs -v /dev/sch0 2>&1 | grep format
    echo +0 > /tmp/clock
    devlog_start
    dialogue_start faked brisk -d /tmp/fw.bin
    say 1 y        # the changer, download to it
    await "Select Device(s)" 2
    echo +16 > /tmp/clock
    say 0
    dialogue_end "dsense=$d: brisk -d fw.bin" > /tmp/shown.$d
    devlog "dsense=$d: brisk -d fw.bin" >> /tmp/shown.$d
done
cat /tmp/shown.1
# Buffer addresses differ from run to run; nothing else may.
for d in 0 1; do sed -e 's/dsense=[01]/dsense=N/' -e 's/bufaddr=0x[0-9A-F]*//' -e 's/(5, 0x[0-9A-F]*,/(5,/' /tmp/shown.$d > /tmp/cmp.$d; done
echo "=== dsense=0 against dsense=1"
diff /tmp/cmp.1 /tmp/cmp.0 && echo "the same but for the buffer addresses"
