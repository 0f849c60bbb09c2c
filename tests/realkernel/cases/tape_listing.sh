# Two tape drives under st: each is listed once, although st makes four
# no-rewind nodes per drive and sg one more; a drive that another process
# holds open is left out (and named with -v).
#rig --scsi-debug 'ptype=1 num_tgts=2'
. /rig/lib.sh
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
