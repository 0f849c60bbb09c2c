# tgt's tape drive and changer: each listed once, although st makes eight
# nodes for the drive and each has a generic node; tgt blank-pads its serial
# number page on the left.
#rig --tgt
. /rig/lib.sh

echo "=== nodes"
ls /dev | grep -E '^(n?st|sch|sg)[0-9]'

run "brisk" brisk
run "brisk -v" brisk -v
