# Two drives under st, each listed once; one held open by another process is left out.
#rig --scsi-debug 'ptype=1 num_tgts=2'
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
kill $HOLDER
