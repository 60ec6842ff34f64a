# The two-board simulation: the CCS board (Halvard) and the main board
# (station-controller stand-in, then Scrivet), each in its own IPC namespace
# and its own root, joined by the relay's serial line.
#
# Usage (sourced):
#   start_two_boards BUILD_DIR [relay options]   sets CCS_ROOT MAIN_ROOT CCS_PID MAIN_PID RELAY_PID
#   ccs_shm ARGS... / main_shm ARGS...           shmtool on either board's register map
#   stop_two_boards                              ends the three processes (KEEP_ROOTS=1 keeps the roots)
two_boards_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$two_boards_here/board-root.sh"

start_two_boards() {
    local build=$1
    shift
    TWO_BOARDS_BUILD=$build
    CCS_ROOT=$(mktemp -d /tmp/station-ccs-XXXXXX)
    MAIN_ROOT=$(mktemp -d /tmp/station-main-XXXXXX)
    make_board_root "$CCS_ROOT" "$build"
    make_board_root "$MAIN_ROOT" "$build"
    rm -f "$CCS_ROOT/root/Marlet"   # the CCS status block is written by hand here

    "$build/bin/relay" --link-a "$CCS_ROOT/dev/ttyS2" --link-b "$MAIN_ROOT/dev/ttyAMA4" "$@" \
        > "$CCS_ROOT/relay.out" 2>&1 &
    RELAY_PID=$!
    local i
    for i in $(seq 1 50); do
        [ -L "$CCS_ROOT/dev/ttyS2" ] && [ -L "$MAIN_ROOT/dev/ttyAMA4" ] && break
        sleep 0.1
    done

    STATION_ROOT=$CCS_ROOT BUILD=$build HERE=$two_boards_here unshare --ipc --net bash -c '
        . "$HERE/board-root.sh"
        board_eth0 192.168.1.10/24
        exec "$BUILD/bin/Halvard"' > "$CCS_ROOT/halvard.out" 2>&1 &
    CCS_PID=$!
    STATION_ROOT=$MAIN_ROOT BUILD=$build unshare --ipc bash -c '
        "$BUILD/bin/stationctl" && exec "$BUILD/bin/Scrivet"' > "$MAIN_ROOT/scrivet.out" 2>&1 &
    MAIN_PID=$!
}

ccs_shm() { nsenter --target "$CCS_PID" --ipc "$TWO_BOARDS_BUILD/bin/shmtool" "$@"; }
main_shm() { nsenter --target "$MAIN_PID" --ipc "$TWO_BOARDS_BUILD/bin/shmtool" "$@"; }

stop_two_boards() {
    local pid
    for pid in ${MAIN_PID:-} ${CCS_PID:-} ${RELAY_PID:-}; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in ${MAIN_PID:-} ${CCS_PID:-} ${RELAY_PID:-}; do
        wait "$pid" 2>/dev/null || true
    done
    if [ "${KEEP_ROOTS:-0}" != 1 ]; then
        rm -rf "${CCS_ROOT:-/nonexistent}" "${MAIN_ROOT:-/nonexistent}"
    fi
}
