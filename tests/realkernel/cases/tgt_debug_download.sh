# -d download to tgt's tape: vendor IET falls to the "default" row, so the
# fall-back question comes first; then the transfer-size decisions for READ
# BLOCK LIMITS 4 to 1048576, the WRITE BUFFER commands it would send, the
# eject it would make, and after the shortened recovery (the clock is moved
# past its 15 s) the check and "F/W Upgraded ". Nothing but the commands of
# the inventory, READ BLOCK LIMITS and the check reaches the drive.
#tgt
. /rig/lib.sh
image /tmp/fw.bin 150000

echo +0 > /tmp/clock
cmdlog_start
dialogue_start env LD_PRELOAD=$FAKETIME_LIB FAKETIME_TIMESTAMP_FILE=/tmp/clock FAKETIME_NO_CACHE=1 \
    brisk -d /tmp/fw.bin
say 1          # the tape drive
say y          # download to it
say y          # with the default mode
await "Select Device(s)" 2
echo +16 > /tmp/clock
say 0
dialogue_end "brisk -d fw.bin"
cmdlog "brisk -d fw.bin" 0:0:0:0
