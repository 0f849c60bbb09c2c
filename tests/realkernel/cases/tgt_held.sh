# tgt's drive held open by another process: only the changer is listed, -v names the nodes.
#rig --tgt

hold /dev/nst0
echo "=== nst0 held open"
sgt /dev/nst0l

run "brisk, nst0 held" brisk
run "brisk -v, nst0 held" brisk -v
kill $HOLDER
