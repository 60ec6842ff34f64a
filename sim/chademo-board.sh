# The main board's CHAdeMO outlet on its power path: the power board of
# power-board.sh (station-controller stand-in, CAN hub, module bank and
# Pellion) with can1 on the hub and the module bank feeding the outlet, so
# modules, output relay, the vehicle's battery and its contactor are one
# physical model. Sessions run one at a time: a vehicle (chademo-ev) plugs
# in and a new Corvane process runs the session, as the station starts one.
#
# Usage (sourced):
#   start_chademo_board BUILD_DIR        the board, its modules addressed and operational
#   chademo_session_start NAME [chademo-ev options]
#                                        plugs a vehicle in and starts Corvane (EV_PID, CORVANE_PID);
#                                        output in ev-NAME.out and corvane-NAME.out of the root
#   chademo_session_end LIMIT            waits up to LIMIT s for the vehicle to leave and the
#                                        session to end; 1 when they did not. The vehicle's exit
#                                        status in EV_STATUS.
#   corvane_pids                         the Corvane processes of this root
#   chademo_shm ARGS...                  shmtool on the board's register map
# While it waits it calls `chademo_each_pass` when the caller defines one.
# Session start and end times go to $POWER_ROOT/sessions, one line each.
chademo_board_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$chademo_board_here/power-board.sh"

chademo_shm() { power_shm "$@"; }

# By their command line: under the emulator a process is named after it.
corvane_pids() {
    local p
    for p in $(pgrep -f "(^|[ /])Corvane( |$)" || true); do
        tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qx "STATION_ROOT=$POWER_ROOT" && echo "$p"
    done
    return 0
}

chademo_pass() {
    if declare -F chademo_each_pass > /dev/null; then chademo_each_pass; fi
    sleep 0.1
}

# chademo_poll LIMIT COMMAND...: 0 once COMMAND succeeds, 1 after LIMIT s.
chademo_poll() {
    local end=$((SECONDS + $1))
    shift
    while [ $SECONDS -lt $end ]; do
        "$@" 2>/dev/null && return 0
        chademo_pass
    done
    return 1
}

start_chademo_board() {
    POWER_CAN_BUSES="can0 can1" start_power_board "$1" --modules 2 --outlet
    chademo_poll 10 test -S "$POWER_ROOT/run/can/can1" || { echo "chademo board: no can1 on the hub"; return 1; }
    # Operational once both modules are addressed and have their parameters.
    chademo_poll 30 chademo_logged "GetVersion:#2" ||
        { echo "chademo board: the modules did not become operational"; return 1; }
}

chademo_logged() { cat "$POWER_ROOT"/Storage/SystemLog/* 2>/dev/null | grep -q -- "$1"; }
chademo_plugged() { [ "$(cat "$POWER_ROOT/sys/class/gpio/gpio46/value" 2>/dev/null)" = 0 ]; }
chademo_gone() { ! kill -0 "$1" 2>/dev/null; }

chademo_session_start() {
    local name=$1
    shift
    printf '%s ' "$(date +%s.%N)" >> "$POWER_ROOT/sessions"
    power_run "ev-$name" "$POWER_BUILD/bin/chademo-ev" --plant "$POWER_ROOT/modbank.ctl" "$@"
    EV_PID=$LAST_PID
    chademo_poll 10 chademo_plugged || { echo "chademo board: $name: the vehicle did not plug in"; return 1; }
    power_run "corvane-$name" "$POWER_BUILD/bin/Corvane"
    CORVANE_PID=$LAST_PID
}

chademo_session_end() {
    local limit=$1
    chademo_poll "$limit" chademo_gone "$EV_PID" || return 1
    chademo_poll 30 chademo_gone "$CORVANE_PID" || return 1
    date +%s.%N >> "$POWER_ROOT/sessions"
    EV_STATUS=0
    wait "$EV_PID" || EV_STATUS=$?
    wait "$CORVANE_PID" 2>/dev/null || true
}
