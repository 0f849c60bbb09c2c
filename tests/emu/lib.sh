# Shell helpers for tests that run commands under the emulator bench.
# Callers set EMU (the brisk-emu binary) and source this file.
set -uo pipefail

EMU_FAILS=0
EMU_WORK=$(mktemp -d "${TMPDIR:-/tmp}/emu-test.XXXXXX")
trap 'rm -rf "$EMU_WORK"' EXIT

# emu SCENARIO CMD...: runs CMD under the bench; the log goes to
# $EMU_WORK/log.jsonl and received images to $EMU_WORK/img/.
emu() {
    local scenario=$1; shift
    rm -rf "$EMU_WORK/img"
    "$EMU" --scenario "$scenario" --log "$EMU_WORK/log.jsonl" --images "$EMU_WORK/img" -- "$@"
}

fail() {
    echo "FAIL: $*" >&2
    EMU_FAILS=$((EMU_FAILS + 1))
}

# expect_status WANT GOT WHAT
expect_status() {
    [ "$1" -eq "$2" ] || fail "$3: exit status $2, expected $1"
}

# expect_in TEXT NEEDLE WHAT
expect_in() {
    case "$1" in
    *"$2"*) ;;
    *) fail "$3: \"$2\" not in output:"$'\n'"$1" ;;
    esac
}

# log_count JQ-LIKE-PATTERN: number of log lines matching an extended regex
log_count() {
    grep -cE "$1" "$EMU_WORK/log.jsonl" || true
}

finish() {
    if [ "$EMU_FAILS" -ne 0 ]; then
        echo "$EMU_FAILS check(s) failed" >&2
        exit 1
    fi
    echo ok
}

# make_image FILE SIZE: deterministic bytes, different for every size
make_image() {
    python3 "$(dirname "${BASH_SOURCE[0]}")/../../emu/make_image.py" "$1" "$2"
}
