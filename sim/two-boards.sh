# The two-board simulation: the CCS board (Halvard) and the main board
# (station-controller stand-in, then Scrivet), each in its own IPC namespace
# and its own root, joined by the relay's serial line.
#
# Usage (sourced):
#   start_two_boards BUILD_DIR [relay options]   sets CCS_ROOT MAIN_ROOT CCS_PID MAIN_PID RELAY_PID
#                                                with WITH_MARLET=1 the CCS board also runs Marlet
#                                                against the emulated Green PHY modem, whose line
#                                                side (plc0) lies in the vehicle's network
#                                                namespace (VEHICLE_PID)
#   vehicle ARGS...                              runs a command in the vehicle's network namespace
#   ccs_shm ARGS... / main_shm ARGS...           shmtool on either board's register map
#   status_is "B B B B"                          Marlet's status word on the CCS board is this
#   configured                                   Marlet's modem configured, standing by (twice seen)
#   address_ready                                the vehicle's link-local address on plc0, past DAD
#   start_ccs_standins [ccsboard options]        the CCS board's software around Marlet (ccsboard,
#                                                present values from the link) and the output of
#                                                the power modules on the main board (ccsboard
#                                                --main-board); their output goes to ccsboard.out
#                                                in each board's root
#   stop_two_boards                              ends the three processes (KEEP_ROOTS=1 keeps the roots)
two_boards_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$two_boards_here/board-root.sh"

start_two_boards() {
    local build=$1
    shift
    TWO_BOARDS_BUILD=$build
    CCS_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/station-ccs-XXXXXX")
    MAIN_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/station-main-XXXXXX")
    make_board_root "$CCS_ROOT" "$build"
    make_board_root "$MAIN_ROOT" "$build"
    if [ "${WITH_MARLET:-0}" != 1 ]; then
        rm -f "$CCS_ROOT/root/Marlet"   # the CCS status block is written by hand here
    fi

    $STATION_EXEC_PREFIX "$build/bin/relay" --link-a "$CCS_ROOT/dev/ttyS2" --link-b "$MAIN_ROOT/dev/ttyAMA4" "$@" \
        > "$CCS_ROOT/relay.out" 2>&1 &
    RELAY_PID=$!
    local i
    for i in $(seq 1 50); do
        [ -L "$CCS_ROOT/dev/ttyS2" ] && [ -L "$MAIN_ROOT/dev/ttyAMA4" ] && break
        sleep 0.1
    done

    VEHICLE_PID=
    if [ "${WITH_MARLET:-0}" = 1 ]; then
        # The powerline belongs to the vehicle: its end of the modem's line
        # lies in a network namespace of its own, so the CCS board's kernel
        # puts nothing of its own on it.
        unshare --net sleep infinity &
        VEHICLE_PID=$!
        for i in $(seq 1 50); do
            [ "$(readlink /proc/$VEHICLE_PID/ns/net)" != "$(readlink /proc/$$/ns/net)" ] && break
            sleep 0.1
        done
        vehicle ip link set lo up
    fi

    STATION_ROOT=$CCS_ROOT BUILD=$build HERE=$two_boards_here WITH_MARLET=${WITH_MARLET:-0} \
    VEHICLE_PID=$VEHICLE_PID unshare --ipc --net bash -c '
        . "$HERE/board-root.sh"
        board_eth0 192.168.1.10/24
        if [ "$WITH_MARLET" = 1 ]; then
            # The powerline modem: Marlet reaches it over SPI through a socket,
            # its line side is a TAP device of the vehicle namespace.
            nsenter --target "$VEHICLE_PID" --net $STATION_EXEC_PREFIX "$BUILD/bin/GreenPhyModem" \
                --socket "$STATION_ROOT/greenphy.sock" --tap plc0 \
                --pcap "$STATION_ROOT/plc.pcap" > "$STATION_ROOT/greenphy.out" 2>&1 &
            echo $! > "$STATION_ROOT/greenphy.pid"
            for i in $(seq 1 50); do [ -S "$STATION_ROOT/greenphy.sock" ] && break; sleep 0.1; done
            nsenter --target "$VEHICLE_PID" --net ip link set plc0 up
            export GREENPHY_SPI_SOCKET="$STATION_ROOT/greenphy.sock"
        fi
        exec $STATION_EXEC_PREFIX "$BUILD/bin/Halvard"' > "$CCS_ROOT/halvard.out" 2>&1 &
    CCS_PID=$!
    STATION_ROOT=$MAIN_ROOT BUILD=$build unshare --ipc bash -c '
        $STATION_EXEC_PREFIX "$BUILD/bin/stationctl" && exec $STATION_EXEC_PREFIX "$BUILD/bin/Scrivet"' > "$MAIN_ROOT/scrivet.out" 2>&1 &
    MAIN_PID=$!
}

ccs_shm() { nsenter --target "$CCS_PID" --ipc $STATION_EXEC_PREFIX "$TWO_BOARDS_BUILD/bin/shmtool" "$@"; }
vehicle() { nsenter --target "$VEHICLE_PID" --net "$@"; }
status_is() { [ "$(ccs_shm read 2197 bytes:4)" = "$1" ]; }
# Configured and standing by: the status holds for a while (it also passes
# through 0b 00 00 00 for one pass when Marlet starts).
configured() { status_is "0b 00 00 00" && sleep 0.3 && status_is "0b 00 00 00"; }
address_ready() { vehicle ip -6 addr show dev plc0 scope link | grep -q inet6 && ! vehicle ip -6 addr show dev plc0 | grep -q tentative; }
main_shm() { nsenter --target "$MAIN_PID" --ipc $STATION_EXEC_PREFIX "$TWO_BOARDS_BUILD/bin/shmtool" "$@"; }

start_ccs_standins() {
    local i
    for i in $(seq 1 100); do
        ccs_shm read 2160 > /dev/null 2>&1 && main_shm read 2160 > /dev/null 2>&1 && break
        sleep 0.1
    done
    nsenter --target "$CCS_PID" --ipc $STATION_EXEC_PREFIX "$TWO_BOARDS_BUILD/bin/ccsboard" --present-from-link "$@" \
        > "$CCS_ROOT/ccsboard.out" 2>&1 &
    CCSBOARD_PIDS=$!
    nsenter --target "$MAIN_PID" --ipc $STATION_EXEC_PREFIX "$TWO_BOARDS_BUILD/bin/ccsboard" --main-board \
        > "$MAIN_ROOT/ccsboard.out" 2>&1 &
    CCSBOARD_PIDS="$CCSBOARD_PIDS $!"
}

stop_two_boards() {
    local pid
    for pid in ${CCSBOARD_PIDS:-}; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # Programs the boards started themselves (Marlet and its driver, the modem).
    if [ -n "${CCS_PID:-}" ]; then
        for pid in $(cat "$CCS_ROOT/greenphy.pid" 2>/dev/null) \
                   $(pgrep -f "$CCS_ROOT/root/Marlet( |\.bin|$)" 2>/dev/null); do
            kill "$pid" 2>/dev/null || true
        done
    fi
    for pid in ${MAIN_PID:-} ${CCS_PID:-} ${RELAY_PID:-} ${VEHICLE_PID:-}; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in ${MAIN_PID:-} ${CCS_PID:-} ${RELAY_PID:-} ${VEHICLE_PID:-}; do
        wait "$pid" 2>/dev/null || true
    done
    if [ "${KEEP_ROOTS:-0}" != 1 ]; then
        rm -rf "${CCS_ROOT:-/nonexistent}" "${MAIN_ROOT:-/nonexistent}"
    fi
}
