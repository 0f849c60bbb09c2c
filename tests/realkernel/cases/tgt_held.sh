# tgt's tape drive held open by another process: st refuses every one of
# its nodes, so brisk lists only the changer, names the drive's nodes with
# -v, and does not reach the drive through its generic node either.
#rig --tgt
. /rig/lib.sh

hold /dev/nst0
echo "=== nst0 held open"
sgt /dev/nst0l

run "brisk, nst0 held" brisk
run "brisk -v, nst0 held" brisk -v
kill $HOLDER
