# tgt's drive and changer listed (serial numbers blank-padded), the drive held open; a -d download reaching
# it with the inventory, READ BLOCK LIMITS and the check only; a real one, the cartridge taken out when asked,
# WRITE BUFFER refused. A device reset before each: st's first open meets a unit attention, as after a boot.
#rig --tgt
listings /dev/nst0 /dev/nst0l

image /tmp/fw.bin 150000
sg_reset -d /dev/sg0
cmdlog_start   # the tape drive, download to it, with the default mode
download "brisk -d fw.bin" "1 y y" 'echo +16 > /tmp/clock' brisk -d /tmp/fw.bin
cmdlog "brisk -d fw.bin" 0:0:0:0

sg_reset -d /dev/sg0
echo '+0 x20' > /tmp/clock   # the eject's waits 20 times fast
cmdlog_start
dialogue_start faked brisk /tmp/fw.bin
say 1 y y      # the tape drive, download to it, with the default mode
await "Please eject the tape manually to proceed"
echo "=== the cartridge taken out"
sgt /dev/sg0 cdb:1b0000000200 tur
say ""         # Enter: the cartridge is out
await "Press <Enter> to Continue" 2
say "" 0       # Enter after the failed WRITE BUFFER, then quit
dialogue_end "brisk fw.bin"
cmdlog "brisk fw.bin" 0:0:0:0
