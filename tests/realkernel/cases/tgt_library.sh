# tgt's tape drive and changer, each listed once; tgt's serial number is blank-padded. Held open by
# another process, the drive is left out and -v names its node. A -d download reaches it with only the
# inventory, READ BLOCK LIMITS and the check; a real one has the cartridge taken out when asked, and
# WRITE BUFFER refused. A device reset before each download: st's first open meets a unit attention,
# as in a boot of its own.
#rig --tgt

echo "=== nodes"
ls /dev | grep -E '^(n?st|sch|sg)[0-9]'

run "brisk" brisk
run "brisk -v" brisk -v

hold /dev/nst0
echo "=== nst0 held open"
sgt /dev/nst0l
run "brisk, nst0 held" brisk
run "brisk -v, nst0 held" brisk -v
kill $HOLDER; wait $HOLDER 2> /dev/null

image /tmp/fw.bin 150000
echo +0 > /tmp/clock
sg_reset -d /dev/sg0
cmdlog_start
dialogue_start faked brisk -d /tmp/fw.bin
say 1 y y      # the tape drive, download to it, with the default mode
await "Select Device(s)" 2
echo +16 > /tmp/clock
say 0
dialogue_end "brisk -d fw.bin"
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
say ""         # Enter after the failed WRITE BUFFER
await "Select Device(s)" 2
say 0
dialogue_end "brisk fw.bin"
cmdlog "brisk fw.bin" 0:0:0:0
