# tgt's tape drive and changer, each listed once; tgt's serial number is blank-padded.
#rig --tgt

echo "=== nodes"
ls /dev | grep -E '^(n?st|sch|sg)[0-9]'

run "brisk" brisk
run "brisk -v" brisk -v
