# The main board's power side: the station-controller stand-in answering the
# AC contactors, the CAN hub with can0, the module bank and Pellion, in one
# IPC namespace and one simulated root.
#
# Usage (sourced):
#   start_power_board BUILD_DIR [modbank options]   sets POWER_ROOT, POWER_NS and the *_PID variables
#   power_run NAME PROGRAM [ARGS]                   starts a program of the build in the board (output in NAME.out); pid in LAST_PID
#   power_shm ARGS...                               shmtool on the board's register map
#   power_ctl LINE                                  a control line for the module bank
#   stop_power_board                                ends every process it started (KEEP_ROOTS=1 keeps the root)
# POWER_CAN_BUSES names the hub's buses (default can0).
power_board_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$power_board_here/board-root.sh"

power_run() {
    local name=$1
    shift
    STATION_ROOT=$POWER_ROOT nsenter --target "$POWER_NS" --ipc $STATION_EXEC_PREFIX "$@" >> "$POWER_ROOT/$name.out" 2>&1 &
    LAST_PID=$!
    POWER_PIDS="${POWER_PIDS:-} $LAST_PID"
}

power_shm() { nsenter --target "$POWER_NS" --ipc $STATION_EXEC_PREFIX "$POWER_BUILD/bin/shmtool" "$@"; }
power_ctl() { echo "$*" > "$POWER_ROOT/modbank.ctl"; }

start_power_board() {
    POWER_BUILD=$1
    shift
    POWER_ROOT=$(mktemp -d /tmp/station-power-XXXXXX)
    make_board_root "$POWER_ROOT" "$POWER_BUILD"
    mkfifo "$POWER_ROOT/modbank.ctl"
    # The namespace lives as long as this process.
    unshare --ipc sleep infinity &
    POWER_NS=$!
    local i
    for i in $(seq 1 50); do
        [ "$(readlink /proc/$POWER_NS/ns/ipc 2>/dev/null)" != "$(readlink /proc/self/ns/ipc)" ] && break
        sleep 0.05
    done
    power_run stationctl "$POWER_BUILD/bin/stationctl" --contactors
    STATIONCTL_PID=$LAST_PID
    for i in $(seq 1 50); do [ "$(power_shm read 2778 2>/dev/null)" = 1 ] && break; sleep 0.1; done
    # shellcheck disable=SC2086
    power_run canhub "$POWER_BUILD/bin/canhub" --dir "$POWER_ROOT" ${POWER_CAN_BUSES:-can0}
    CANHUB_PID=$LAST_PID
    for i in $(seq 1 50); do [ -S "$POWER_ROOT/run/can/can0" ] && break; sleep 0.1; done
    power_run modbank "$POWER_BUILD/bin/modbank" --control "$POWER_ROOT/modbank.ctl" "$@"
    MODBANK_PID=$LAST_PID
    power_run pellion "$POWER_BUILD/bin/Pellion"
    PELLION_PID=$LAST_PID
}

stop_power_board() {
    local pid
    for pid in ${POWER_PIDS:-} ${POWER_NS:-}; do kill "$pid" 2>/dev/null || true; done
    for pid in ${POWER_PIDS:-} ${POWER_NS:-}; do wait "$pid" 2>/dev/null || true; done
    if [ "${KEEP_ROOTS:-0}" != 1 ] && [ -n "${POWER_ROOT:-}" ]; then rm -rf "$POWER_ROOT"; fi
}
