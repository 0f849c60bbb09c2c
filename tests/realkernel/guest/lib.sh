# Helpers for the cases' guest scripts (busybox sh): labelled sections, compared byte for byte on the host.
SD=/sys/bus/pseudo/drivers/scsi_debug SDP=/sys/module/scsi_debug/parameters
# A sanitizer build of brisk runs here too (the clock library is preloaded ahead of its runtime); the update
# history of the runs goes where the guest can write.
export ASAN_OPTIONS=verify_asan_link_order=0 BRISK_HISTORY=/tmp/history.jsonl

# scsi_debug 'PARAMS' VENDOR PRODUCT REVISION: scsi_debug's devices anew, with the host, node and serial
# numbers of a fresh boot, no history and the clock at +0, and that INQUIRY answer from now on on every
# device (blank-padded: a shorter value would leave the rest of the old text behind a zero byte)
scsi_debug() {
    rmmod scsi_debug 2> /dev/null; rm -f $BRISK_HISTORY; echo +0 > /tmp/clock; modprobe scsi_debug $1
    printf '%-8s' "$2" > $SDP/inq_vendor; printf '%-16s' "$3" > $SDP/inq_product; printf '%-4s' "$4" > $SDP/inq_rev
}
image() { head -c "$2" /dev/zero | tr '\0' '\132' > "$1"; }   # FILE SIZE
# faked CMD...: CMD on a clock the script sets by writing an offset (and a rate) to /tmp/clock
faked() { env LD_PRELOAD=/usr/local/bin/libfaketime.so.1 FAKETIME_TIMESTAMP_FILE=/tmp/clock FAKETIME_NO_CACHE=1 "$@"; }
# show LABEL STATUS: the last command's /tmp/out, /tmp/err and exit status, each closed by a marker line
show() { echo "=== $1: stdout"; cat /tmp/out; printf '\n=== %s: stderr\n' "$1"; cat /tmp/err; printf '\n=== %s: exit %s\n' "$1" "$2"; }
run() { label=$1; shift; "$@" > /tmp/out 2> /tmp/err; show "$label" $?; }

# A dialogue whose answers depend on what the program has done: CMD reads the fifo /tmp/in; say sends answer
# lines; await TEXT [N [FILE]] waits until the output (or FILE) shows TEXT N times, for a minute at most
# (prompts are flushed before input is read).
mkfifo /tmp/in
dialogue_start() { : > /tmp/out; "$@" < /tmp/in > /tmp/out 2> /tmp/err & DIALOGUE=$!; exec 7> /tmp/in; }
say() { printf '%s\n' "$@" >&7; }
await() {
    for i in $(seq 600); do [ "$(grep -o -F -- "$1" ${3:-/tmp/out} | wc -l)" -ge "${2:-1}" ] && return; sleep 0.1; done
    echo "guest: gave up waiting for \"$1\" ${2:-1} times"; return 1
}
dialogue_end() { exec 7>&-; wait $DIALOGUE; show "$1" $?; }
# download LABEL ANSWERS THEN CMD...: CMD on the faked clock from +0, the ANSWERS (words, a line each) at
# its first prompt, the shell command THEN (moving the clock past the recovery) and 0 (quit) at the next
download() {
    label=$1 answers=$2 then=$3; shift 3; echo +0 > /tmp/clock; dialogue_start faked "$@"
    say $answers; await "Select Device(s)" 2; eval "$then"; say 0; dialogue_end "$label"
}
# listings NODE OTHER: the nodes, brisk's table and -v trace, and both again while another process holds
# NODE open, after a try of OTHER, another node of that drive
listings() {
    echo "=== nodes"; ls /dev | grep -E '^(n?st|sch|sg)[0-9]'
    run "brisk" brisk; run "brisk -v" brisk -v
    sgt "$1" sleep:120 > /tmp/held & holder=$!; await fd= 1 /tmp/held
    echo "=== ${1#/dev/} held open"; sgt "$2"
    run "brisk, ${1#/dev/} held" brisk; run "brisk -v, ${1#/dev/} held" brisk -v
    kill $holder; wait $holder 2> /dev/null
}

# devlog_start, then devlog LABEL [H:C:T:L]: the commands scsi_debug executed in between (opts=1),
# with the sense data of every failed one
devlog_start() { dmesg -c > /dev/null; echo 1 > $SD/opts; }
devlog() {
    echo 0 > $SD/opts; echo "=== $1: commands received"
    dmesg | sed -n -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug: tag=[^,]*, cmd \(.*[^ ]\) *$/\1 \2/p' \
        -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug:  \[sense_key,asc,ascq\]: \[\([^]]*\)\].*/\1   sense \2/p' |
        grep "^${2:-}"
}
# cmdlog_start, then cmdlog LABEL [H:C:T:L]: the commands the midlayer completed in between (each try) and
# the sense data of every failed one, for devices (tgt's) that log nothing themselves
cmdlog_start() { dmesg -c > /dev/null; echo $((2 << 12)) > /proc/sys/dev/scsi/logging_level; }
cmdlog() {
    echo 0 > /proc/sys/dev/scsi/logging_level; echo "=== $1: commands sent"
    dmesg | awk '{ sub(/^\[[ 0-9.]*\] /, ""); dev = $2; sub(/:$/, "", dev) } $3 !~ /^tag#/ { next }
        $4 == "CDB:" && match($0, /( [0-9a-f][0-9a-f])+ *$/) { cdb = substr($0, RSTART + 1); sub(/ *$/, "", cdb); print dev, cdb }
        $4 == "Sense" { key = $0; sub(/.*Sense Key : /, "", key); sub(/ *\[current\] *$/, "", key) }
        $4 == "Add." { a = $0; sub(/.*Add\. Sense: /, "", a); print dev "   sense " key ", " a }' | grep "^${2:-}" || true
}
