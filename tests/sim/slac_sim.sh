#!/usr/bin/env bash
# The CCS board with Marlet against the emulated modem, as separate processes
# over the SPI socket, with the vehicle's end of the line in its own network
# namespace: the modem is configured; a second Marlet refuses to start; a
# killed modem is noticed and, restarted, configured again; three simulated
# vehicles in turn are matched by SLAC, each with a key of its own; a killed
# Marlet takes its driver with it and starts again. tshark reads every capture without a malformed frame.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
trap stop_two_boards EXIT
WITH_MARLET=1 start_two_boards "$build" --baud 115200

. "$here/wait-until.sh"
show_state() {
    echo "status $(ccs_shm read 2197 bytes:4 2>/dev/null || true)"
    echo "--- Halvard:"; cat "$CCS_ROOT/halvard.out" || true
    echo "--- modem:"; cat "$CCS_ROOT"/greenphy*.out || true
    echo "--- Marlet processes:"; for p in $(marlets); do ps -o pid=,ppid=,stat=,args= -p "$p" || true; done
    for f in "$CCS_ROOT"/marlet-*.out; do [ -e "$f" ] && { echo "--- $f:"; cat "$f"; }; done
    for f in "$CCS_ROOT"/plc*.pcap; do
        echo "--- $f:"; command -v tshark > /dev/null && tshark -r "$f" 2>&1 | tail -n 40 || true
    done
}
phase_is() { [ "$(ccs_shm read 2197)" = "$1" ]; }
marlets() { pgrep -f "$CCS_ROOT/root/Marlet( |\.bin|$)" || true; }
# Marlet as the supervisor starts it: in the CCS board's namespaces and root.
marlet() {
    STATION_ROOT=$CCS_ROOT GREENPHY_SPI_SOCKET=$CCS_ROOT/greenphy.sock \
        nsenter --target "$CCS_PID" --ipc --net "$CCS_ROOT/root/Marlet" "$@"
}
start_modem() {
    # nsenter itself, not the vehicle function: a function run in the
    # background is a subshell, and its pid is not the modem's.
    nsenter --target "$VEHICLE_PID" --net $STATION_EXEC_PREFIX "$build/bin/GreenPhyModem" --socket "$CCS_ROOT/greenphy.sock" --tap plc0 \
        --pcap "$CCS_ROOT/$1" > "$CCS_ROOT/greenphy-$1.out" 2>&1 &
    echo $! > "$CCS_ROOT/greenphy.pid"
    wait_until 5 "modem's line side is there" vehicle ip link show plc0 > /dev/null
    vehicle ip link set plc0 up
}

wait_until 40 "modem configured" configured

set +e
second=$(marlet 2>&1)
rc=$?
set -e
[ $rc -ne 0 ] && [[ $second == *"already running"* ]] || { echo "FAIL a second Marlet started: $rc $second"; exit 1; }
echo "ok   a second Marlet exits: $second"

kill "$(cat "$CCS_ROOT/greenphy.pid")"
wait_until 10 "a killed modem is noticed" phase_is 9
start_modem plc-2.pcap
wait_until 40 "the restarted modem is configured again" configured

# Vehicles come and go: each unplug clears the frame segment under the
# running driver and sets a new key into the modem; each vehicle is matched
# with the key of its own session.
nids=()
for session in 1 2 3; do
    ccs_shm write 2160 4
    if ! vehicle $STATION_EXEC_PREFIX "$build/bin/EvSlac" --if plc0 --timeout-ms 15000 > "$CCS_ROOT/evslac-$session.out" 2>&1; then
        echo "FAIL vehicle $session was not matched"; cat "$CCS_ROOT/evslac-$session.out"; exit 1
    fi
    grep "matched with" "$CCS_ROOT/evslac-$session.out"
    nids+=("$(sed -n 's/.*NID \([0-9a-f]*\).*/\1/p' "$CCS_ROOT/evslac-$session.out")")
    # Matched, the station takes its address and waits for SDP.
    wait_until 5 "the station shows match $session" status_is "03 00 00 00"
    [ "$session" -eq 3 ] && break
    ccs_shm write 2160 0
    wait_until 40 "a new key is set after vehicle $session left" configured
done
[ "$(printf '%s\n' "${nids[@]}" | sort -u | wc -l)" -eq 3 ] || { echo "FAIL a key was used twice: ${nids[*]}"; exit 1; }
echo "ok   three sessions, three keys"

# The vehicle leaves; Marlet is killed, its driver ends with it, and a new
# Marlet takes the board over.
ccs_shm write 2160 0
before=$(marlets | wc -l)
[ "$before" -eq 2 ] || { echo "FAIL expected Marlet and its driver, found $before"; exit 1; }
parent=$(for p in $(marlets); do ppid=$(ps -o ppid= -p "$p" | tr -d ' '); grep -qx "$ppid" <(marlets) || echo "$p"; done)
kill -9 "$parent"
wait_until 5 "the driver ends with its controller" test "$(marlets | wc -l)" -eq 0
marlet > "$CCS_ROOT/marlet-2.out" 2>&1 &
wait_until 40 "a restarted Marlet configures the modem" configured

if command -v tshark > /dev/null; then
    for f in "$CCS_ROOT"/plc.pcap "$CCS_ROOT"/plc-2.pcap; do
        out=$(tshark -r "$f" -V 2>&1)
        if grep -q "Malformed\|Expert Info (Warning\|Expert Info (Error" <<< "$out"; then
            echo "FAIL tshark finds faults in $f"; grep -B20 "Malformed\|Expert Info" <<< "$out" | head -60; exit 1
        fi
        grep -q "CM_SLAC_MATCH.CNF" <<< "$out" || [ "$f" = "$CCS_ROOT/plc.pcap" ] || { echo "FAIL no match in $f"; exit 1; }
        echo "ok   tshark reads $(basename "$f"): $(grep -c '^Frame ' <<< "$out") frames"
    done
else
    echo "skip tshark is not installed"
fi
