#!/usr/bin/env bash
# Runs both boards joined by the relay for a while and shows what crossed the
# link: the CCS status block on the main board and the EVSE values on the
# CCS board. Usage: run-two-boards.sh [BUILD_DIR] [relay options]
# (default relay options: 115200 baud with split writes).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
shift || true
[ $# -gt 0 ] || set -- --baud 115200 --split
seconds=${SIM_SECONDS:-8}
. "$here/two-boards.sh"
trap stop_two_boards EXIT
KEEP_ROOTS=1
start_two_boards "$build" "$@"
echo "CCS board root: $CCS_ROOT   main board root: $MAIN_ROOT"
sleep "$seconds"

echo "--- on the CCS board: a vehicle in CurrentDemand asks for 400 V / 100 A"
ccs_shm write 2174 1   # isolation tested: no GFD self-test on this set-point
ccs_shm write 2160 4
ccs_shm write 2165 55
ccs_shm write 2197 0x060A0000 u32
ccs_shm write 134 1000 u16
ccs_shm write 146 4000 u16
ccs_shm write 145 255
echo "--- on the main board: the modules deliver 398 V / 57 A"
main_shm write 2187 398 u16
main_shm write 2196 57
sleep 2
printf "main board: pilot %s, SOC %s, status word %s, set-point %s x0.1 A / %s x0.1 V, armed %s\n" \
    "$(main_shm read 2160)" "$(main_shm read 2165)" "$(main_shm read 2197 bytes:4)" \
    "$(main_shm read 134 u16)" "$(main_shm read 146 u16)" "$(main_shm read 145)"
printf "CCS board: EVSE present %s V / %s A, max current %s A, CCS selected %s\n" \
    "$(ccs_shm read 2187 u16)" "$(ccs_shm read 2196)" "$(ccs_shm read 2176)" "$(ccs_shm read 475)"
echo "--- Scrivet's system log:"
cat "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null || true
