# An optical drive of a vendor without a row, under the name glint: the
# fall-back question, one WRITE BUFFER in mode 5 with offsets, the unit
# attention scsi_debug raises for it, the check after the recovery period and
# the new revision in the final table. The clock is moved past the 240 s of
# the fall-back row instead of waiting for them.
#rig --scsi-debug 'ptype=5'
. /rig/lib.sh
identity OPTIMA 'DVD-RW 9000' 1.00
image /tmp/fw.bin 204800
ln -s brisk /usr/local/bin/glint

echo +0 > /tmp/clock
devlog_start
dialogue_start env LD_PRELOAD=$FAKETIME_LIB FAKETIME_TIMESTAMP_FILE=/tmp/clock FAKETIME_NO_CACHE=1 \
    glint /tmp/fw.bin
say 1          # the device
say y          # download to it
say y          # with the default mode
await "Select Device(s)" 2
printf 1.01 > $SDP/inq_rev
echo +241 > /tmp/clock
say 0
dialogue_end "glint fw.bin"
devlog "glint fw.bin"
