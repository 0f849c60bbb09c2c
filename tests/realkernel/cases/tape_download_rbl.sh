# scsi_debug has no READ BLOCK LIMITS: the tape download stops there, "Update failed".
modprobe scsi_debug ptype=1
identity HP 'Ultrium 5-SCSI' Z5A1
image /tmp/fw.bin 131072

devlog_start
# select 1, confirm, Enter at the pause, then quit
printf '1\ny\n\n0\n' | run "brisk fw.bin" brisk /tmp/fw.bin
devlog "brisk fw.bin"
