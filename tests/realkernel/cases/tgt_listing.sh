# tgt's tape drive and changer under st and ch: each is listed once under
# the name brisk, although st makes eight nodes for the drive and each
# device has a generic node; tgt's serial number page is blank-padded on
# the left.
#tgt
. /rig/lib.sh

echo "=== nodes"
ls /dev | grep -E '^(n?st|sch|sg)[0-9]'

run "brisk" brisk
run "brisk -v" brisk -v
