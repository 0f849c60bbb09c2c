# Helpers for the guest scripts of the real-kernel cases (busybox sh).
# Every case prints labelled sections; the host compares them byte for byte.

SD=/sys/bus/pseudo/drivers/scsi_debug
SDP=/sys/module/scsi_debug/parameters
FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
# A sanitizer build of brisk runs here too; the clock library is preloaded
# ahead of its runtime.
export ASAN_OPTIONS=verify_asan_link_order=0

# identity VENDOR PRODUCT REVISION: what scsi_debug's INQUIRY answers from
# now on, on every device. The fields are blank-padded to their widths:
# a shorter value would leave the rest of the old text behind a zero byte.
identity() {
    printf '%-8s' "$1" > $SDP/inq_vendor
    printf '%-16s' "$2" > $SDP/inq_product
    printf '%-4s' "$3" > $SDP/inq_rev
}

# image FILE SIZE: a firmware file of SIZE bytes
image() {
    head -c "$2" /dev/zero | tr '\0' '\132' > "$1"
}

# show LABEL: prints what the last command left in /tmp/out and /tmp/err
# and its exit status $RC, each section closed by a marker line.
show() {
    echo "=== $1: stdout"
    cat /tmp/out
    printf '\n=== %s: stderr\n' "$1"
    cat /tmp/err
    printf '\n=== %s: exit %s\n' "$1" "$RC"
}

# run LABEL CMD...: runs CMD without input and shows its streams
run() {
    label=$1; shift
    "$@" < /dev/null > /tmp/out 2> /tmp/err
    RC=$?
    show "$label"
}

# answer LABEL ANSWERS CMD...: runs CMD with ANSWERS (printf format) as its
# standard input and shows its streams
answer() {
    label=$1; answers=$2; shift 2
    printf "$answers" | "$@" > /tmp/out 2> /tmp/err
    RC=$?
    show "$label"
}

# A dialogue whose answers depend on what the program has done so far:
# dialogue_start CMD... runs CMD in the background reading the fifo /tmp/in;
# say TEXT sends one answer line; await TEXT [N] waits until standard output
# shows TEXT N times (prompts are flushed before input is read);
# dialogue_end LABEL closes the input, waits and shows the streams.
dialogue_start() {
    rm -f /tmp/in /tmp/out /tmp/err
    mkfifo /tmp/in
    : > /tmp/out
    "$@" < /tmp/in > /tmp/out 2> /tmp/err &
    DIALOGUE=$!
    exec 7> /tmp/in
}
say() {
    printf '%s\n' "$1" >&7
}
await() {
    n=${2:-1}; tries=0
    while [ "$(grep -o -F -- "$1" /tmp/out | wc -l)" -lt "$n" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 600 ]; then
            echo "guest: gave up waiting for \"$1\" ($n times)"
            return 1
        fi
        sleep 0.1
    done
}
dialogue_end() {
    exec 7>&-
    wait $DIALOGUE
    RC=$?
    show "$1"
}

# devlog_start: scsi_debug logs every command it receives from now on
devlog_start() {
    dmesg -c > /dev/null
    echo 1 > $SD/opts
}
# devlog LABEL [H:C:T:L]: the commands scsi_debug received since
# devlog_start, one per line, with the sense data of each failed one
devlog() {
    echo 0 > $SD/opts
    echo "=== $1: commands received"
    dmesg | sed -n \
        -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug: tag=[^,]*, cmd \(.*[^ ]\) *$/\1 \2/p' \
        -e 's/^\[[ 0-9.]*\] [a-z_]* \([0-9:]*\): scsi_debug:  \[sense_key,asc,ascq\]: \[\([^]]*\)\].*/\1   sense \2/p' |
        grep "^${2:-}"
}

# cmdlog_start: the SCSI midlayer logs every command it sends from now on,
# and the sense data of every one that fails (any device; used where no
# scsi_debug can log on the device side)
cmdlog_start() {
    dmesg -c > /dev/null
    echo $(( (2 << 9) | (2 << 12) )) > /proc/sys/dev/scsi/logging_level
}
# cmdlog LABEL [H:C:T:L]: the commands sent since cmdlog_start, one per line
cmdlog() {
    echo 0 > /proc/sys/dev/scsi/logging_level
    echo "=== $1: commands sent"
    dmesg | awk '
        { sub(/^\[[ 0-9.]*\] /, "") }
        $3 !~ /^tag#/ { next }
        { dev = $2; sub(/:$/, "", dev); tag = $3 }
        $4 == "Send:" { sent[tag] = 1; next }
        $4 == "CDB:" && sent[tag] {
            # the command name ends where the hexadecimal bytes begin
            sent[tag] = 0; n = split($0, w, " "); cdb = ""
            for (i = n; i > 5 && w[i] ~ /^[0-9a-f][0-9a-f]$/; i--) cdb = w[i] " " cdb
            sub(/ $/, "", cdb); print dev, cdb; next
        }
        $4 == "Sense" { key = $0; sub(/.*Sense Key : /, "", key); sub(/ *\[current\] *$/, "", key); next }
        $4 == "Add." { a = $0; sub(/.*Add\. Sense: /, "", a); print dev "   sense " key ", " a }
    ' | grep "^${2:-}"
}

# hold NODE: another process opens NODE and keeps it open (HOLDER is its
# pid); returns once the node is held
hold() {
    sgt -n "$1" sleep:120 > /dev/null &
    HOLDER=$!
    tries=0
    until [ "$(readlink /proc/$HOLDER/fd/3 2> /dev/null)" = "$1" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 600 ]; then
            echo "guest: $1 was not opened"
            return 1
        fi
        sleep 0.1
    done
}
