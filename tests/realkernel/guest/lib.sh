# Helpers for the cases' guest scripts (busybox sh): labelled sections, compared byte for byte on the host.
SD=/sys/bus/pseudo/drivers/scsi_debug SDP=/sys/module/scsi_debug/parameters
# A sanitizer build of brisk runs here too; the clock library is preloaded ahead of its runtime.
export ASAN_OPTIONS=verify_asan_link_order=0
# The update history of the runs, where the guest can write.
export BRISK_HISTORY=/tmp/history.jsonl

# identity VENDOR PRODUCT REVISION: scsi_debug's INQUIRY answer from now on, on every device.
# Blank-padded: a shorter value would leave the rest of the old text behind a zero byte.
identity() { printf '%-8s' "$1" > $SDP/inq_vendor; printf '%-16s' "$2" > $SDP/inq_product; printf '%-4s' "$3" > $SDP/inq_rev; }
# scsi_debug PARAMS...: scsi_debug's devices anew, with the host, node and serial numbers of a fresh boot
scsi_debug() { rmmod scsi_debug 2> /dev/null; rm -f $BRISK_HISTORY; modprobe scsi_debug "$@"; }
image() { head -c "$2" /dev/zero | tr '\0' '\132' > "$1"; }   # FILE SIZE
# faked CMD...: CMD on a clock the script sets by writing an offset (and a rate) to /tmp/clock
faked() { env LD_PRELOAD=/usr/local/bin/libfaketime.so.1 FAKETIME_TIMESTAMP_FILE=/tmp/clock FAKETIME_NO_CACHE=1 "$@"; }
# show LABEL STATUS: the last command's /tmp/out, /tmp/err and exit status, each closed by a marker line
show() { echo "=== $1: stdout"; cat /tmp/out; printf '\n=== %s: stderr\n' "$1"; cat /tmp/err; printf '\n=== %s: exit %s\n' "$1" "$2"; }
run() { label=$1; shift; "$@" > /tmp/out 2> /tmp/err; show "$label" $?; }

# A dialogue whose answers depend on what the program has done: CMD reads the fifo /tmp/in; say sends
# answer lines; await TEXT [N] waits until the output shows TEXT N times (prompts are flushed before input is read).
mkfifo /tmp/in
dialogue_start() { : > /tmp/out; "$@" < /tmp/in > /tmp/out 2> /tmp/err & DIALOGUE=$!; exec 7> /tmp/in; }
say() { printf '%s\n' "$@" >&7; }
seen() { [ "$(grep -o -F -- "$1" /tmp/out | wc -l)" -ge "$2" ]; }
await() { retry "\"$1\" ${2:-1} times" seen "$1" "${2:-1}"; }
dialogue_end() { exec 7>&-; wait $DIALOGUE; show "$1" $?; }
# retry WHAT CMD...: CMD every 0.1 s until it succeeds, for a minute at most
retry() {
    what=$1; shift
    for i in $(seq 600); do "$@" && return; sleep 0.1; done
    echo "guest: gave up waiting for $what"; return 1
}
# hold NODE: another process (HOLDER) opens NODE and keeps it open
hold() { sgt "$1" sleep:120 > /tmp/held & HOLDER=$!; retry "$1 to be held" grep -q fd= /tmp/held; }

# devlog_start, then devlog LABEL [H:C:T:L]: the commands scsi_debug executed in between (opts=1),
# with the sense data of every failed one
devlog_start() { dmesg -c > /dev/null; echo 1 > $SD/opts; }
devlog() {
    echo 0 > $SD/opts; echo "=== $1: commands received"
    dmesg | sed -n -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug: tag=[^,]*, cmd \(.*[^ ]\) *$/\1 \2/p' \
        -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug:  \[sense_key,asc,ascq\]: \[\([^]]*\)\].*/\1   sense \2/p' |
        grep "^${2:-}"
}
# cmdlog_start, then cmdlog LABEL [H:C:T:L]: the commands the midlayer sent in between and the sense
# data of every failed one, for devices (tgt's) that log nothing themselves
cmdlog_start() { dmesg -c > /dev/null; echo $(( (2 << 9) | (2 << 12) )) > /proc/sys/dev/scsi/logging_level; }
cmdlog() {
    echo 0 > /proc/sys/dev/scsi/logging_level; echo "=== $1: commands sent"
    dmesg | awk '{ sub(/^\[[ 0-9.]*\] /, "") } $3 !~ /^tag#/ { next } { dev = $2; sub(/:$/, "", dev); tag = $3 }
        $4 == "Send:" { sent[tag] = 1; next }
        $4 == "CDB:" && sent[tag] {   # the command name ends where the hexadecimal bytes begin
            sent[tag] = 0; n = split($0, w, " "); cdb = ""
            for (i = n; i > 5 && w[i] ~ /^[0-9a-f][0-9a-f]$/; i--) cdb = w[i] " " cdb
            sub(/ $/, "", cdb); print dev, cdb; next }
        $4 == "Sense" { key = $0; sub(/.*Sense Key : /, "", key); sub(/ *\[current\] *$/, "", key); next }
        $4 == "Add." { a = $0; sub(/.*Add\. Sense: /, "", a); print dev "   sense " key ", " a }' | grep "^${2:-}" || true
}
