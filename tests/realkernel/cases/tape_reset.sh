# After a device reset, st refuses every SG_IO on a fresh open of the tape
# node (its position is unknown once its own READ BLOCK LIMITS at open has
# failed on scsi_debug). brisk still lists the drive under its tape node:
# its requests go through the drive's generic node.
#rig --scsi-debug 'ptype=1 num_tgts=2'
. /rig/lib.sh
identity HP 'Ultrium 5-SCSI' Z5A1

run "brisk before the reset" brisk

echo "=== device reset of the drive behind nst0, through sg0"
sg_reset -d /dev/sg0; echo "sg_reset exit $?"
echo "=== a fresh open of nst0"
sgt /dev/nst0 tur inq
sgt /dev/sg0 tur

devlog_start
run "brisk after the reset" brisk
devlog "brisk after the reset" 0:0:0:0
