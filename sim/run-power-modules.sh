#!/usr/bin/env bash
# The main board's power side in its own IPC namespace and root: the
# station-controller stand-in (AC contactors closed), the CAN hub with can0,
# a bank of two modules on a 20-ohm load, and Pellion. It shows the modules
# addressed, a set-point driving them, a module fault and its alarm, and
# where the bus capture is.
# Usage: run-power-modules.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
. "$here/power-board.sh"
trap stop_power_board EXIT
KEEP_ROOTS=1
start_power_board "$build" --modules 2 --load 20
echo "power board root: $POWER_ROOT"
echo "--- waiting for the modules to be addressed"
for i in $(seq 1 150); do [ "$(power_shm read 89)" = 2 ] && break; sleep 0.1; done
sleep 1
echo "modules addressed: $(power_shm read 89)"
echo "--- set-point 400.0 V / 30.0 A armed"
power_shm write 134 300 u16
power_shm write 146 4000 u16
power_shm write 145 255
sleep 2
printf "output %s x0.1 V, %s x0.1 A (module 1: %s, module 2: %s), available %s A / %s W\n" \
    "$(power_shm read 21 u16)" "$(power_shm read 5 u16)" "$(power_shm read 20988 u16le)" \
    "$(power_shm read 20990 u16le)" "$(power_shm read 21512 u16le)" "$(power_shm read 21514 u16le)"
echo "--- module 1 reports an input fault (two lines outside range)"
power_ctl status 1 0x00000203
sleep 2
echo "alarm byte 316: $(power_shm read 316) (0x04 = module input over-voltage)"
echo "--- system log"
cat "$POWER_ROOT"/Storage/SystemLog/* 2>/dev/null || true
echo "--- can0: $(wc -l < "$POWER_ROOT/candump.log") frames in $POWER_ROOT/candump.log and $POWER_ROOT/can0.pcap"
