#!/usr/bin/env bash
# The cost of one CCS CurrentDemand exchange, measured two ways:
# - over the whole simulated path, as the vehicle (CcsEv --bench) times it
#   from its CurrentDemandReq leaving the kernel's socket to the answer
#   arriving: the vehicle's TCP/IPv6, the TAP device and the emulated modem,
#   Marlet's driver process, its IPv6/TCP stack and V2G session, and back;
# - the station's instructions per exchange under callgrind
#   (sim/ccs-instructions.sh, which also runs alone).
# Usage: sim/ccs-bench.sh [BUILD_DIR] [EXCHANGES]   (default 200)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
n=${2:-200}
. "$here/two-boards.sh"
trap stop_two_boards EXIT
WITH_MARLET=1 MARLET_PROGRAM=Marlet start_two_boards "$build" --baud 115200
start_ccs_standins --auth-ms 100 --isolation-ms 100
for i in $(seq 1 400); do configured && break; sleep 0.1; done
for i in $(seq 1 100); do address_ready && break; sleep 0.1; done
ccs_shm write 2160 4
vehicle $STATION_EXEC_PREFIX "$build/bin/CcsEv" --if plc0 --demands 1 --bench "$n" --gap-ms 0 > "$CCS_ROOT/bench.out" 2>&1 \
    || { cat "$CCS_ROOT/bench.out"; exit 1; }
grep 'round trip' "$CCS_ROOT/bench.out"

if command -v valgrind > /dev/null && [ -z "$STATION_EXEC_PREFIX" ]; then
    "$here/ccs-instructions.sh" "$build" "$n"
fi
