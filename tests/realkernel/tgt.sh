# tgt on the loopback interface: a virtual tape drive (LUN 1) with one
# cartridge and a changer (LUN 2) on one iSCSI target, made anew for every
# case (tgt keeps an ejected cartridge out for good). Sourced by run_case.sh.
# tgt_start DIR sets TGT_URLS (the two LUNs for the rig's --iscsi);
# tgt_stop takes the target down and waits for tgtd to end.

TGT_IQN=iqn.2026-12.brisk.test:library

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

tgt_start() {
    local dir=$1 t u i
    TGT_DIR=$dir
    # A port and a management channel of our own, so that a tgt service of
    # the host or a second run never meets this one.
    TGT_PORT=$(free_port)
    TGT_CONTROL=$((1000 + RANDOM % 30000))
    while [ -e "/var/run/tgtd/socket.$TGT_CONTROL" ]; do
        TGT_CONTROL=$((1000 + RANDOM % 30000))
    done
    tgtimg --op new --device-type tape --barcode=TAPE01 --size=64 --type=data \
        --file="$dir/tape1.img" --thin-provisioning > /dev/null || return 1
    # the changer's backing file must exist
    head -c 1024 /dev/zero > "$dir/smc"
    tgtd -f -C "$TGT_CONTROL" --iscsi portal=127.0.0.1:"$TGT_PORT" > "$dir/tgtd.log" 2>&1 &
    TGT_PID=$!
    t="tgtadm -C $TGT_CONTROL --lld iscsi"
    for i in $(seq 50); do
        $t --op show --mode target > /dev/null 2>&1 && break
        sleep 0.1
    done
    u="$t --mode logicalunit --op update --tid 1 --lun 2 --params"
    $t --op new --mode target --tid 1 -T "$TGT_IQN" &&
        $t --op new --mode logicalunit --tid 1 --lun 1 --device-type tape --bstype ssc -b "$dir/tape1.img" &&
        $t --op new --mode logicalunit --tid 1 --lun 2 --device-type changer -b "$dir/smc" &&
        $u media_home="$dir" &&
        $u element_type=4,start_address=1,quantity=1 && $u element_type=4,address=1,tid=1,lun=1 &&
        $u element_type=1,start_address=100,quantity=1 &&
        $u element_type=2,start_address=1000,quantity=2 &&
        $u element_type=2,address=1000,barcode=TAPE01,sides=1 &&
        $t --op bind --mode target --tid 1 -I ALL || return 1
    TGT_URLS=(--iscsi "iscsi://127.0.0.1:$TGT_PORT/$TGT_IQN/1" --iscsi "iscsi://127.0.0.1:$TGT_PORT/$TGT_IQN/2")
}

tgt_stop() {
    [ -n "${TGT_PID:-}" ] || return 0
    # tgtd ignores SIGTERM while it has targets
    tgtadm -C "$TGT_CONTROL" --op update --mode sys --name State -v offline > /dev/null 2>&1
    tgtadm -C "$TGT_CONTROL" --lld iscsi --op delete --mode target --tid 1 --force > /dev/null 2>&1
    tgtadm -C "$TGT_CONTROL" --op delete --mode system > /dev/null 2>&1
    local i
    for i in $(seq 50); do
        kill -0 "$TGT_PID" 2> /dev/null || break
        sleep 0.1
    done
    kill "$TGT_PID" 2> /dev/null
    wait "$TGT_PID" 2> /dev/null
    TGT_PID=
}
