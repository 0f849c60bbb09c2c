# -d download to tgt's tape: only the inventory, READ BLOCK LIMITS and the check reach it.
#rig --tgt
image /tmp/fw.bin 150000

echo +0 > /tmp/clock
cmdlog_start
dialogue_start faked brisk -d /tmp/fw.bin
say 1 y y      # the tape drive, download to it, with the default mode
await "Select Device(s)" 2
echo +16 > /tmp/clock
say 0
dialogue_end "brisk -d fw.bin"
cmdlog "brisk -d fw.bin" 0:0:0:0
