# Two drives under st, each listed once; one held open by another process is left out.
# After a device reset st refuses SG_IO on a fresh tape node: brisk goes through sg.
modprobe scsi_debug ptype=1 num_tgts=2
identity HP 'Ultrium 5-SCSI' Z5A1

echo "=== nodes"
ls /dev | grep -E '^(n?st|sg)[0-9]'

run "brisk" brisk
run "brisk -v" brisk -v

hold /dev/nst1
echo "=== nst1 held open"
sgt /dev/nst1a
run "brisk, nst1 held" brisk
run "brisk -v, nst1 held" brisk -v
kill $HOLDER; wait $HOLDER 2> /dev/null

run "brisk before the reset" brisk

echo "=== device reset of the drive behind nst0, through sg0"
sg_reset -d /dev/sg0; echo "sg_reset exit $?"
echo "=== a fresh open of nst0"
sgt /dev/nst0 tur inq
sgt /dev/sg0 tur

devlog_start
run "brisk after the reset" brisk
devlog "brisk after the reset" 0:0:0:0
