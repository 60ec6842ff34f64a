#!/usr/bin/env bash
# Runs the CCS board's supervisor in a simulated root and its own IPC
# namespace, then shows what it did: the commands it asked for, its output
# and the register map it set up.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
seconds=${SIM_SECONDS:-6}
build=$(cd "$build" && pwd)
. "$here/board-root.sh"

root=$(mktemp -d /tmp/station-ccs-XXXXXX)
make_board_root "$root" "$build"
echo "CCS board root: $root"

STATION_ROOT=$root BUILD=$build SECONDS_TO_RUN=$seconds HERE=$here unshare --ipc --net bash -c '
    . "$HERE/board-root.sh"
    board_eth0 192.168.1.10/24
    "$BUILD/bin/Halvard" > "$STATION_ROOT/halvard.out" 2>&1 &
    pid=$!
    sleep "$SECONDS_TO_RUN"
    echo "--- Halvard printed:"; cat "$STATION_ROOT/halvard.out"
    echo "--- Commands asked for and not run in the simulated root:"; cat "$STATION_ROOT/commands.log" 2>/dev/null || true
    echo "--- Register map segment:"; ipcs -m | awk "NR<=3 || /0x0000153e/"
    t="$BUILD/bin/shmtool"
    printf "%-32s %s\n" "SHRMEM_FW_VERSION" "$("$t" read 257 bytes:4)"
    for f in SHRMEM_MODEL_NAME SHRMEM_ETH0_IP SHRMEM_ETH0_GATEWAY SHRMEM_ETH0_MAC \
             SHRMEM_PARAM_CRC SHRMEM_CCS_EVSE_MAX_CURRENT SHRMEM_CCS_EVSE_MAX_VOLTAGE SHRMEM_CCS_EV_PROXIMITY \
             SHRMEM_CCS_PLUG_TEMP_SUM; do
        printf "%-32s %s\n" "$f" "$("$t" read "$f")"
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
'
