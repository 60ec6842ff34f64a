#!/usr/bin/env bash
# Halvard starts in a fresh IPC namespace and a simulated root: the register
# map exists with its key, size and mode, and holds the default settings.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/board-root.sh"
root=$(mktemp -d /tmp/halvard-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
make_board_root "$root" "$build"
rm -f "$root/root/Marlet"

STATION_ROOT=$root BUILD=$build HERE=$here unshare --ipc --net bash -c '
    set -euo pipefail
    . "$HERE/../../sim/board-root.sh"
    board_eth0 192.168.1.10/24
    $STATION_EXEC_PREFIX "$BUILD/bin/Halvard" > "$STATION_ROOT/halvard.out" 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null || true" EXIT
    t() { $STATION_EXEC_PREFIX "$BUILD/bin/shmtool" "$@"; }
    for i in $(seq 1 100); do
        [ "$(t read SHRMEM_CCS_EV_PROXIMITY 2>/dev/null || true)" = 1 ] && break
        sleep 0.1
    done
    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }
    check "segment" "$(ipcs -m | awk "/0x0000153e/ {print \$5, \$4}")" "262144 777"
    # CRC-16/ARC over bytes 196-227 of the defaults (218-227 zero in a new segment).
    check "CRC at 250-251" "$(t read 250 bytes:2)" "19 cd"
    check "gateway bytes" "$(t read 274 bytes:4)" "fe 01 a8 c0"
    check "connection time-out" "$(t read 463 bytes:4)" "2c 01 00 00"
    check "2175 in the map" "$(t read 2175)" "1"
    check "2175 in the mirror" "$(t read $((196608 + 2175)))" "0"
    # Bytes the later start-up steps do not touch: the texts.
    [ "$(t read $((196608 + 1024)) bytes:512)" = "$(t read 1024 bytes:512)" ] && same=yes || same=no
    check "mirror equals the image" "$same" "yes"
    check "version" "$(t read 257 bytes:4)" "01 0c 03 01"
    check "address from the kernel" "$(t read SHRMEM_ETH0_IP)" "192.168.1.10"
    check "MAC text" "$(t read SHRMEM_ETH0_MAC)" "02:00:00:00:c0:01"
    check "Marlet asked for" "$(grep -c "^/root/Marlet &$" "$STATION_ROOT/commands.log")" "1"
    exit $fail
'
