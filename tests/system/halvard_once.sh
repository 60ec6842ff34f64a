#!/usr/bin/env bash
# One Halvard per board, in a root that exists: a second start exits with its
# reason and a non-zero status while the first keeps running; a missing root
# stops it at start. The gateway comes from the kernel of the board's network
# namespace, as the address does, not from a route file under the root.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/board-root.sh"
root=$(mktemp -d /tmp/halvard-once-XXXXXX)
trap 'rm -rf "$root"' EXIT
make_board_root "$root" "$build"
rm -f "$root/root/Marlet"
printf 'Iface\tDestination\tGateway\nwrong\t00000000\t0202A8C0\n' > "$root/proc/net/route"

fail=0
prefix=${STATION_EXEC_PREFIX:-}
if STATION_ROOT=$root/missing $prefix "$build/bin/Halvard" > "$root/missing.out" 2>&1; then
    echo "FAIL a missing root started Halvard"; fail=1
elif grep -q "Not started: station root" "$root/missing.out" && [ ! -e "$root/missing" ]; then
    echo "ok   a missing root stops Halvard and is not made"
else
    echo "FAIL missing root: $(cat "$root/missing.out")"; fail=1
fi

STATION_ROOT=$root BUILD=$build HERE=$here PREFIX=$prefix unshare --ipc --net bash -c '
    set -euo pipefail
    . "$HERE/../../sim/board-root.sh"
    board_eth0 192.168.1.10/24
    ip route add default via 192.168.1.1
    $PREFIX "$BUILD/bin/Halvard" > "$STATION_ROOT/halvard.out" 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null || true" EXIT
    t() { $PREFIX "$BUILD/bin/shmtool" "$@"; }
    for i in $(seq 1 100); do
        [ "$(t read SHRMEM_CCS_EV_PROXIMITY 2>/dev/null || true)" = 1 ] && break
        sleep 0.1
    done
    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }
    check "gateway from the kernel" "$(t read 274 bytes:4)" "01 01 a8 c0"
    t write 2165 77
    status=0
    $PREFIX "$BUILD/bin/Halvard" > "$STATION_ROOT/second.out" 2>&1 || status=$?
    check "second start fails" "$([ $status -ne 0 ] && echo yes)" "yes"
    check "second start says why" "$(grep -c "Not started: Halvard is already running" "$STATION_ROOT/second.out")" "1"
    check "first one untouched" "$(t read 2165)" "77"
    check "first one still runs" "$(kill -0 $pid && echo yes)" "yes"
    check "programs started once" "$(grep -c "^/root/Grisel" "$STATION_ROOT/commands.log")" "1"
    exit $fail
' || fail=1
exit $fail
