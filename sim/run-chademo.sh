#!/usr/bin/env bash
# A CHAdeMO charge on the main board's power path (sim/chademo-board.sh):
# Pellion and a bank of two modules feeding the outlet, the station
# controller stand-in, the CAN hub with can0 and can1, and for each protocol
# path a vehicle (chademo-ev) that plugs in, charges at 30 A into its
# battery and ends normally, each session run by a new Corvane process. It
# prints the steps of each session as they pass, the vehicle's own verdict
# and where the captures and logs are.
# Usage: run-chademo.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
. "$here/chademo-board.sh"
trap stop_power_board EXIT
KEEP_ROOTS=1
start_chademo_board "$build"
echo "CHAdeMO board root: $POWER_ROOT"
echo "modules operational: $(chademo_shm read 89), $(chademo_shm read 515 u16) W available"

# The steps as they pass: the vehicle's (chademo-ev --steps) and the lines
# Corvane writes to the system log, each printed once.
print_new() {   # FILES SHOWN-COUNT PREFIX: prints the lines past SHOWN-COUNT; the new count in `printed`
    local n
    # shellcheck disable=SC2086 # FILES may be a pattern
    n=$(cat $1 2>/dev/null | wc -l)
    [ "$n" -gt "$2" ] && cat $1 | sed -n "$(($2 + 1)),${n}p" | sed "s/^/$3/"
    printed=$n
}
chademo_each_pass() {
    print_new "$POWER_ROOT/ev-$name.out" "$shown_ev" "  vehicle  "
    shown_ev=$printed
    print_new "$POWER_ROOT/Storage/SystemLog/*" "$shown_log" "  log      "
    shown_log=$printed
}

shown_log=$(cat "$POWER_ROOT"/Storage/SystemLog/* | wc -l)
for path in "2 1.x" "1 0.9"; do
    set -- $path
    echo "--- protocol $2: a vehicle asking for 30 A at 400 V charges for 4 s"
    name=v$1 shown_ev=0
    chademo_session_start "$name" --protocol "$1" --charge-ms 4000 --steps
    if ! chademo_session_end 60; then
        echo "the session did not end; see $POWER_ROOT"
        exit 1
    fi
    chademo_each_pass
    [ -z "$(corvane_pids)" ] && echo "  session ended: the vehicle left, no Corvane process remains" ||
        { echo "  Corvane processes left: $(corvane_pids)"; exit 1; }
    [ "$EV_STATUS" = 0 ] && echo "  the vehicle's checks held" || { echo "  the vehicle's checks failed"; exit 1; }
    echo "  set-points left at $(chademo_shm read 146 u16) x0.1 V / $(chademo_shm read 134 u16) x0.1 A"
done
echo "--- can1: $POWER_ROOT/can1.pcap, can0: $POWER_ROOT/can0.pcap, both in $POWER_ROOT/candump.log"
