#!/usr/bin/env bash
# Pellion, the module bank, the CAN hub and the station-controller stand-in as
# separate processes in their own IPC namespace: the modules are addressed and
# given the parameter block, an armed set-point drives them and their output
# reaches the map, a module fault raises its alarm bit and log line, and a
# killed Pellion or module bank is started again and the bank is addressed
# anew. The hub's capture decodes in tshark without a malformed frame.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/power-board.sh"
trap stop_power_board EXIT
start_power_board "$build" --modules 2 --load 20

. "$here/wait-until.sh"
show_state() {
    for f in pellion modbank canhub stationctl; do echo "--- $f:"; cat "$POWER_ROOT/$f.out" || true; done
    echo "--- system log:"; cat "$POWER_ROOT"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- bus:"; tail -n 30 "$POWER_ROOT/candump.log" || true
}
is() { [ "$(power_shm read "${@:2}")" = "$1" ]; }
bit() { [ $(( $(power_shm read "$2") & $3 )) -eq "$1" ]; }   # bit WANT(0|mask) BYTE MASK
logged() { grep -q -- "$1" "$POWER_ROOT"/Storage/SystemLog/*; }
# The set-point mailbox: written whole, then armed.
arm() {
    power_shm write 134 "$2" u16
    power_shm write 146 "$1" u16
    power_shm write 145 255
}

wait_until 20 "two modules addressed" is 2 89
wait_until 10 "parameter block downloaded and checked: modules operational" logged "GetVersion:#2 - version=V1.02.03"

arm 4000 300
wait_until 10 "mailbox taken" is 0 145
wait_until 10 "400.0 V measured" is 4000 21 u16
wait_until 10 "20.0 A into the 20 ohm load" is 200 5 u16

power_ctl status 1 0x00000203
wait_until 10 "input over-voltage alarm 316.0x04" bit 4 316 4
wait_until 5 "its log line" logged "\[Pellion\]\[8526\]main:#1 - Two lines outside range"
power_ctl status 1 0x00000000

# Pellion killed and started again: it announces, the modules ask again.
kill -9 "$PELLION_PID"
wait "$PELLION_PID" 2>/dev/null || true
power_shm write 89 0
power_run pellion "$build/bin/Pellion"
PELLION_PID=$LAST_PID
wait_until 20 "restarted Pellion addresses the bank" is 2 89
arm 4000 300
wait_until 10 "mailbox taken" is 0 145
wait_until 10 "restarted Pellion drives the output" is 4000 21 u16

# The module bank killed and started again: fresh modules ask for addresses.
kill -9 "$MODBANK_PID"
wait "$MODBANK_PID" 2>/dev/null || true
power_run modbank "$build/bin/modbank" --modules 2 --load 20 --control "$POWER_ROOT/modbank.ctl"
MODBANK_PID=$LAST_PID
assigned() { [ "$(grep -c 'ID assign FIN' "$POWER_ROOT/pellion.out")" = "$1" ]; }
wait_until 20 "new bank addressed" assigned 3
wait_until 5 "both of its modules" is 2 89
arm 3000 300
wait_until 10 "mailbox taken" is 0 145
wait_until 10 "300.0 V measured" is 3000 21 u16
arm 4000 300
wait_until 10 "new bank drives the output" is 4000 21 u16

# A second Pellion on the same board does not start.
status=0; STATION_ROOT=$POWER_ROOT timeout 5 nsenter --target "$POWER_NS" --ipc $STATION_EXEC_PREFIX "$build/bin/Pellion" > /dev/null 2>&1 || status=$?
[ "$status" = 1 ] && echo "ok   a second instance ends" || { echo "FAIL second instance: $status"; exit 1; }
wait_until 5 "and says why" logged "\[Pellion\] Not started:"

# The capture is a SocketCAN capture tshark reads without complaint.
frames=$(tshark -r "$POWER_ROOT/can0.pcap" 2>&1 | wc -l)
malformed=$(tshark -r "$POWER_ROOT/can0.pcap" 2>&1 | grep -ci malformed || true)
heartbeats=$(tshark -r "$POWER_ROOT/can0.pcap" -Y 'can.id == 0x1d504001' -T fields -e can.id 2>/dev/null | wc -l)
echo "capture: $frames frames, $malformed malformed, $heartbeats heartbeats to module 1"
[ "$frames" -gt 100 ] && [ "$malformed" = 0 ] && [ "$heartbeats" -gt 0 ] || { echo "FAIL capture"; exit 1; }
grep -q ' can0 1D504001#' "$POWER_ROOT/candump.log" && echo "ok   candump log" || { echo "FAIL candump log"; exit 1; }
echo "all ok"
