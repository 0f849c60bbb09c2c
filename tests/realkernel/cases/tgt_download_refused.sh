# A real download to tgt's tape. tgt takes LOAD UNLOAD but keeps the
# cartridge, so the eject keeps unloading (5 s apart) until it asks for the
# cartridge to be taken out by hand; the script then takes it out through
# the generic node and presses Enter. tgt rejects WRITE BUFFER with ILLEGAL
# REQUEST 20h: the download is aborted, the drive "Update failed", exit 0.
# The clock runs 20 times fast, for the waits of the eject.
#tgt
. /rig/lib.sh
image /tmp/fw.bin 150000

cmdlog_start
dialogue_start env LD_PRELOAD=$FAKETIME_LIB FAKETIME='+0 x20' brisk /tmp/fw.bin
say 1          # the tape drive
say y          # download to it
say y          # with the default mode
await "Please eject the tape manually to proceed"
echo "=== the cartridge taken out"
sgt -n /dev/sg0 cdb:1b0000000200 tur
say ""         # Enter: the cartridge is out
await "Press <Enter> to Continue" 2
say ""         # Enter after the failed WRITE BUFFER
await "Select Device(s)" 2
say 0
dialogue_end "brisk fw.bin"
cmdlog "brisk fw.bin" 0:0:0:0
