#!/usr/bin/env bash
# The station simulation: both boards, each in its own IPC namespace and root,
# joined by the relay's serial line. The CCS board runs Halvard and Marlet
# (against the emulated Green PHY modem) with the CCS board's software around
# it (ccsboard); the main board runs the station controller stand-in, Scrivet
# and the power modules' output (ccsboard --main-board). It shows Marlet
# configuring its modem, a simulated vehicle matched by SLAC, the vehicle's
# kernel finding the station by SDP and the vehicle (CcsEv) charging through
# DIN SPEC 70121 from the handshake to SessionStop (without CcsEv the vehicle
# only agrees on DIN in the handshake; MARLET_PROGRAM=MarletEcho answers each
# message with its own bytes), a set-point crossing the
# board link to the main board and the output's present values coming back,
# and what the boards logged.
# Usage: run-two-boards.sh [BUILD_DIR] [relay options]
# (default relay options: 115200 baud with split writes).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
shift || true
[ $# -gt 0 ] || set -- --baud 115200 --split
seconds=${SIM_SECONDS:-12}
. "$here/two-boards.sh"
trap stop_two_boards EXIT
KEEP_ROOTS=1
WITH_MARLET=${WITH_MARLET:-1}
export MARLET_PROGRAM=${MARLET_PROGRAM:-Marlet}
start_two_boards "$build" "$@"
[ "$WITH_MARLET" = 1 ] && start_ccs_standins
echo "CCS board root: $CCS_ROOT   main board root: $MAIN_ROOT"
echo "--- running for $seconds s"
sleep "$seconds"

echo "--- CCS board: Halvard printed"
cat "$CCS_ROOT/halvard.out"
echo "--- CCS board: commands asked for and not run in the simulated root"
cat "$CCS_ROOT/commands.log" 2>/dev/null || true
if [ "$WITH_MARLET" = 1 ]; then
    for i in $(seq 1 100); do [ "$(ccs_shm read 2197 bytes:4)" = "0b 00 00 00" ] && break; sleep 0.1; done
    echo "--- CCS board: Marlet's status word $(ccs_shm read 2197 bytes:4) (0b 00 00 00: modem configured, standing by)"
    echo "    main board's copy over the link:  $(main_shm read 2197 bytes:4)"
    if [ "$MARLET_PROGRAM" = Marlet ] && [ -x "$build/bin/CcsEv" ]; then
    echo "--- a vehicle plugs in (pilot state 4) and charges from its network namespace: SLAC, SDP,"
    echo "    then DIN SPEC 70121 from the handshake to SessionStop over the kernel's TCP"
    ccs_shm write 2160 4
    vehicle $STATION_EXEC_PREFIX "$build/bin/CcsEv" --if plc0 --demands 8 --gap-ms 200 --timeout-ms 30000 \
        | tee "$CCS_ROOT/ccsev.out" || echo "    (the charge failed)"
    sleep 0.5
    echo "--- CCS board: Marlet's status word $(ccs_shm read 2197 bytes:4) (0a 00 00 00: session done)"
    if command -v tshark > /dev/null; then
        echo "    $(tshark -r "$CCS_ROOT/plc.pcap" -Y 'tcp.len > 0' 2>/dev/null | wc -l) V2G messages on the powerline, in $CCS_ROOT/plc.pcap"
    fi
    else
    echo "--- a vehicle plugs in (pilot state 4) and runs SLAC from its network namespace"
    ccs_shm write 2160 4
    vehicle $STATION_EXEC_PREFIX "$build/bin/EvSlac" --if plc0 --timeout-ms 15000 | tee "$CCS_ROOT/evslac.out" \
        || echo "    (the vehicle was not matched)"
    sleep 0.5
    echo "--- CCS board: Marlet's status word $(ccs_shm read 2197 bytes:4) (03 00 00 00: matched, address set, SDP)"
    station_mac=$(sed -n 's/.*matched with \([0-9a-f:]*\).*/\1/p' "$CCS_ROOT/evslac.out")
    if [ -n "$station_mac" ]; then
        echo "--- the vehicle's kernel asks for the station by SDP and opens the V2G connection"
        if [ "$MARLET_PROGRAM" = MarletEcho ]; then
            vehicle python3 "$here/v2gecho/vehicle_v2g.py" --if plc0 --station-mac "$station_mac" \
                || echo "    (the V2G connection failed)"
            sleep 0.5
            echo "--- CCS board: Marlet's status word $(ccs_shm read 2197 bytes:4) (0a 00 00 00: session done)"
        else
            vehicle python3 "$here/v2gecho/vehicle_v2g.py" --if plc0 --station-mac "$station_mac" --handshake \
                || echo "    (the V2G connection failed)"
            sleep 0.5
            echo "--- CCS board: Marlet's status word $(ccs_shm read 2197 bytes:4) (06 01 00 00: handshake answered)"
        fi
        if command -v tshark > /dev/null; then
            echo "--- the IPv6 frames of the capture:"
            tshark -r "$CCS_ROOT/plc.pcap" -Y ipv6 2>/dev/null | sed 's/^/    /' || true
        fi
    fi
    [ -s "$CCS_ROOT/plc.pcap" ] && echo "    powerline frames captured in $CCS_ROOT/plc.pcap"
    fi
fi

if [ "$WITH_MARLET" = 1 ]; then
    # The CCS board's software arms a set-point only within a session:
    # the charge above carried the vehicle's targets across the link.
    echo "--- the vehicle's targets crossed the link as the set-point, the output's values came back"
    echo "    (ccsboard's lines below); after SessionStop nothing is armed"
else
    echo "--- on the CCS board: the vehicle reports 55 % and a set-point of 100 A / 400 V is armed"
    ccs_shm write 2174 1   # isolation tested: no GFD self-test on this set-point
    ccs_shm write 2165 55
    ccs_shm write 134 1000 u16
    ccs_shm write 146 4000 u16
    ccs_shm write 145 255
    echo "--- on the main board: the modules deliver 398 V / 57 A"
    main_shm write 2187 398 u16
    main_shm write 2196 57
    sleep 2
fi
printf "main board: SOC %s, set-point %s x0.1 A / %s x0.1 V, armed %s\n" \
    "$(main_shm read 2165)" "$(main_shm read 134 u16)" "$(main_shm read 146 u16)" "$(main_shm read 145)"
printf "CCS board: EVSE present %s V / %s A, max current %s A\n" \
    "$(ccs_shm read 2187 u16)" "$(ccs_shm read 2196)" "$(ccs_shm read 2176)"
if [ "$WITH_MARLET" = 1 ]; then
    echo "--- the CCS board's software and the main board's output printed"
    cat "$CCS_ROOT/ccsboard.out" "$MAIN_ROOT/ccsboard.out" 2>/dev/null | sed 's/^/    /'
fi
echo "--- main board: Scrivet's system log"
cat "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null || true
