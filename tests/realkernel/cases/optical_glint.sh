# A CD drive without a row, under the name glint; the clock moved past the 240 s recovery.
modprobe scsi_debug ptype=5
identity OPTIMA 'DVD-RW 9000' 1.00
image /tmp/fw.bin 204800
ln -s brisk /usr/local/bin/glint

echo +0 > /tmp/clock
devlog_start
dialogue_start faked glint /tmp/fw.bin
say 1 y y      # the device, download to it, with the default mode
await "Select Device(s)" 2
printf 1.01 > $SDP/inq_rev
echo +241 > /tmp/clock
say 0
dialogue_end "glint fw.bin"
devlog "glint fw.bin"
