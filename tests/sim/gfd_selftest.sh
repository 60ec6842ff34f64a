#!/usr/bin/env bash
# The GFD self-test across both boards: a 500-V set-point with the isolation
# not yet tested makes Scrivet ask the main board's ground-fault detector (the
# stand-in `ccsboard --main-board --gfd pass|fail`) for its self-test once the
# output has reached 490 V. "pass": the test passes, nothing is stopped, and a
# second charge after the vehicle's pilot went back to B1 passes its own
# test too. "fail": the charge is stopped (410 = 255, output set-point 0) and
# the GFD alarm is raised.
# Usage: gfd_selftest.sh BUILD_DIR pass|fail
set -euo pipefail
build=$(cd "$1" && pwd)
verdict=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
trap stop_two_boards EXIT
start_two_boards "$build" --baud 115200 --split --seed 31

. "$here/wait-until.sh"
show_state() {
    echo "--- Scrivet:"; cat "$MAIN_ROOT/scrivet.out" "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null | tail -n 30 || true
    echo "--- modules and detector:"; cat "$MAIN_ROOT/ccsboard.out" || true
    echo "main board: 108=$(main_shm read 108) 410=$(main_shm read 410) set-point $(main_shm read 134 u16)/$(main_shm read 146 u16)" \
         "present $(main_shm read 2187 u16) V"
}
is() { [ "$("$1" read "${@:3}")" = "$2" ]; }
logged() { grep -qF -- "$1" "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null; }
said() { [ "$(grep -c "$1" "$MAIN_ROOT/ccsboard.out")" -ge "$2" ]; }

wait_until 30 "link cycles" is ccs_shm 1 475
for i in $(seq 1 100); do main_shm read 2160 > /dev/null 2>&1 && break; sleep 0.1; done
nsenter --target "$MAIN_PID" --ipc $STATION_EXEC_PREFIX "$build/bin/ccsboard" --main-board --gfd "$verdict" \
    > "$MAIN_ROOT/ccsboard.out" 2>&1 &
CCSBOARD_PIDS=$!

# One charge at 500 V: pilot C, isolation not yet tested, 20 A at 500.0 V armed.
charge() {
    ccs_shm write 2174 0
    ccs_shm write 2160 4
    ccs_shm write 134 200 u16
    ccs_shm write 146 5000 u16
    ccs_shm write 145 255
}
charge
if [ "$verdict" = fail ]; then
    wait_until 60 "the detector failed its self-test" said "GFD self-test failed" 1
    wait_until 20 "the charge stopped" is main_shm 255 410
    wait_until 20 "GFD self test NG logged" logged "[Scrivet]:GFD self test NG"
    [ $(( $(main_shm read 314) & 0x10 )) != 0 ] || { echo "FAIL no GFD alarm"; show_state; exit 1; }
    echo "ok   GFD alarm raised"
    is main_shm 0 146 u16 || { echo "FAIL the output set-point is not 0"; show_state; exit 1; }
    echo "ok   output set-point 0"
    exit 0
fi
wait_until 60 "first charge: the self-test passed" said "GFD self-test passed" 1
wait_until 20 "first charge: the modules at 500 V" grep -q '^ccsboard: set-point 500 V 20 A$' "$MAIN_ROOT/ccsboard.out"

# The vehicle leaves (pilot B1) and the next one charges at 500 V too.
ccs_shm write 145 0
ccs_shm write 146 0 u16
ccs_shm write 2160 2
wait_until 20 "pilot B1 on the main board" is main_shm 2 2160
charge
wait_until 60 "second charge: the self-test passed" said "GFD self-test passed" 2
is main_shm 0 410 || { echo "FAIL a stop after a passed self-test"; show_state; exit 1; }
[ $(( $(main_shm read 314) & 0x10 )) = 0 ] || { echo "FAIL GFD alarm raised"; show_state; exit 1; }
! logged "GFD self test NG" || { echo "FAIL GFD self test NG logged"; show_state; exit 1; }
wait_until 20 "second charge: the set-point stays" is main_shm 5000 146 u16
echo "ok   two charges at 500 V, each self-test passed, nothing stopped"
