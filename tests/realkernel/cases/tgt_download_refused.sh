# A real download to tgt's tape: the cartridge taken out when asked, WRITE BUFFER refused.
#rig --tgt
image /tmp/fw.bin 150000

cmdlog_start
dialogue_start env LD_PRELOAD=$FAKETIME_LIB FAKETIME='+0 x20' brisk /tmp/fw.bin
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
