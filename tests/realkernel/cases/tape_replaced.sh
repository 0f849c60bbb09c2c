# tgt's drive removed and found again during a -d recovery, then replaced by another device.
#rig --tgt
scsi_debug 'ptype=1 add_host=0' IET VIRTUAL-TAPE 0001
image /tmp/fw.bin 4096
nodes() {   # LABEL: each tape and generic node, and the SCSI device it leads to
    echo "=== $1"
    for n in /sys/class/scsi_tape/nst[0-9] /sys/class/scsi_generic/sg*; do readlink $n/device | sed "s|.*/|${n##*/} |"; done
}

dialogue_start faked brisk -d /tmp/fw.bin
say 1 y y      # the tape drive, download to it, with the default mode
await "Select Device(s)" 2
echo 1 > /sys/class/scsi_device/0:0:0:0/device/delete
echo "- - -" > /sys/class/scsi_host/host0/scan
nodes "tgt's drive removed and found again"
cmdlog_start
echo +16 > /tmp/clock
say 1          # busy: the check after the recovery, then the prompt again
await "Select Device(s)" 3
cmdlog "the check"
echo 1 > /sys/class/scsi_device/0:0:0:0/device/delete
echo 1 > $SD/add_host
nodes "tgt's drive removed, scsi_debug's added"
cmdlog_start
say 0
dialogue_end "brisk -d fw.bin"
cmdlog "brisk -d fw.bin, after the check"
