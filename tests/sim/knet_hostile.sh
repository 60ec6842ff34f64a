#!/usr/bin/env bash
# Marlet's TCP against a hostile vehicle: the CCS board runs MarletEcho on the
# emulated modem; after SLAC, scapy in the vehicle's namespace plays the
# vehicle frame by frame from a link-local address its kernel does not own.
# On the open V2G connection a SYN with a sequence number of its own choosing
# gets an ACK at the connection's numbers and no reset, messages with the
# urgent flag (pointer 4, and 200 past the data) come back whole, every
# message is answered byte for byte and the session ends done. tshark reads
# the vehicle's capture without a bad checksum or malformed frame.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
capture_pid=
finish() {
    [ -n "$capture_pid" ] && kill "$capture_pid" 2> /dev/null || true
    stop_two_boards
}
trap finish EXIT
WITH_MARLET=1 MARLET_PROGRAM=MarletEcho start_two_boards "$build" --baud 115200

. "$here/wait-until.sh"
# scapy comes as a Debian package: the system's python has it where another
# python on the PATH may not.
py=python3
$py -c 'import scapy' 2> /dev/null || py=/usr/bin/python3
show_state() {
    echo "status $(ccs_shm read 2197 bytes:4 2>/dev/null || true)"
    command -v tshark > /dev/null && tshark -r "$CCS_ROOT/vehicle.pcap" 2>&1 | grep -v HomePlug | tail -n 40 || true
}

wait_until 40 "modem configured" configured
wait_until 10 "the vehicle's link-local address" address_ready
if command -v dumpcap > /dev/null; then
    vehicle dumpcap -q -i plc0 -f "ip6" -w "$CCS_ROOT/vehicle.pcap" > "$CCS_ROOT/dumpcap.out" 2>&1 &
    capture_pid=$!
    wait_until 10 "the capture runs" test -s "$CCS_ROOT/vehicle.pcap"
fi

ccs_shm write 2160 4
if ! vehicle $STATION_EXEC_PREFIX "$build/bin/EvSlac" --if plc0 --timeout-ms 15000 > "$CCS_ROOT/evslac.out" 2>&1; then
    echo "FAIL the vehicle was not matched"; cat "$CCS_ROOT/evslac.out"; exit 1
fi
station_mac=$(sed -n 's/.*matched with \([0-9a-f:]*\).*/\1/p' "$CCS_ROOT/evslac.out")
wait_until 5 "the station waits for SDP" status_is "03 00 00 00"
if ! vehicle $py "$here/hostile_vehicle.py" --if plc0 --station-mac "$station_mac" > "$CCS_ROOT/hostile.out" 2>&1; then
    cat "$CCS_ROOT/hostile.out"; show_state; exit 1
fi
sed 's/^/     /' "$CCS_ROOT/hostile.out"
wait_until 10 "the session ends done" status_is "0a 00 00 00"

if [ -n "$capture_pid" ]; then
    kill "$capture_pid"; wait "$capture_pid" 2> /dev/null || true; capture_pid=
fi
if command -v tshark > /dev/null; then
    f=$CCS_ROOT/vehicle.pcap
    out=$(tshark -r "$f" -V -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE 2>&1)
    # Sequence notes (the forged SYN and its ACK) are what the test makes
    # happen; faults of a frame are not.
    faults='Malformed|Expert Info \((Error|Warning/(Malformed|Checksum|Protocol|Undecoded))|Checksum Status: Bad'
    if grep -Eq "$faults" <<< "$out"; then
        echo "FAIL tshark finds faults in $f"; grep -E -B30 "$faults" <<< "$out" | head -80; exit 1
    fi
    grep -q "Urgent Pointer: 200" <<< "$out" || { echo "FAIL no segment with urgent pointer 200 in $f"; exit 1; }
    echo "ok   tshark reads the vehicle's capture: $(grep -c '^Frame ' <<< "$out") frames, checksums good"
else
    echo "skip tshark is not installed"
fi
