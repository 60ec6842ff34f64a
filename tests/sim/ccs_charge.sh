#!/usr/bin/env bash
# A simulated CCS vehicle charges end to end: the CCS board runs Halvard and
# Marlet on the emulated modem with the CCS-board stand-in driving the status
# block; the main board runs the station-controller stand-in and Scrivet; the
# vehicle (CcsEv) runs SLAC, SDP and DIN SPEC 70121 from its own network
# namespace on the kernel's IPv6 and TCP, checking every answer. With the
# board link running, the vehicle's values and the set-point reach the main
# board's map and the main board's present values come back. Then the
# vehicle misbehaves: a wrong session ID is refused as an unknown session,
# and requests split over two TCP segments are taken whole. In the middle of
# the first charge, scapy sends a SYN with a sequence number of its own
# choosing into the vehicle's connection: the station does not reset it and
# the charge goes on. tshark reads the vehicle's capture without a malformed
# frame or bad checksum.
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
WITH_MARLET=1 MARLET_PROGRAM=Marlet start_two_boards "$build" --baud 115200

. "$here/wait-until.sh"

wait_until 40 "modem configured" configured
wait_until 10 "the vehicle's link-local address" address_ready
if command -v dumpcap > /dev/null; then
    # nsenter becomes dumpcap, so $! is the capture itself: it is ended, and
    # its last frames written, before the file is read.
    nsenter --target "$VEHICLE_PID" --net dumpcap -q -i plc0 -f "ip6" -w "$CCS_ROOT/vehicle.pcap" > "$CCS_ROOT/dumpcap.out" 2>&1 &
    capture_pid=$!
    wait_until 10 "the capture runs" test -s "$CCS_ROOT/vehicle.pcap"
fi

start_ccs_standins --auth-ms 200 --isolation-ms 300

. "$here/ccs-vehicle.sh"
# One vehicle: plugged in, CcsEv, unplugged.
end_vehicle() {
    local n=$1 last=${2:-}
    vehicle_done "$n"
    ccs_shm write 2160 0
    [ -n "$last" ] || wait_until 40 "standing by after vehicle $n" configured
}
show_state() {
    echo "CCS board: set-point $(ccs_shm read 134 u16)/$(ccs_shm read 146 u16) armed $(ccs_shm read 145)," \
         "present $(ccs_shm read 2187 u16) V $(ccs_shm read 2196) A, status $(ccs_shm read 2197 bytes:4)"
    echo "main board: set-point $(main_shm read 134 u16)/$(main_shm read 146 u16) armed $(main_shm read 145)," \
         "targets $(main_shm read 2184 u16) V $(main_shm read 2186) A, present $(main_shm read 2187 u16) V $(main_shm read 2196) A"
    tail -n 5 "$CCS_ROOT"/ccsev-*.out "$CCS_ROOT/ccsboard.out" "$MAIN_ROOT/ccsboard.out" 2> /dev/null || true
}
said() { grep -q "$2" "$CCS_ROOT/ccsev-$1.out" || { echo "FAIL vehicle $1 did not print: $2"; exit 1; }; }
main_is() { [ "$(main_shm read "$1" "${3:-u8}")" = "$2" ]; }
ccs_is() { [ "$(ccs_shm read "$1" "${3:-u8}")" = "$2" ]; }

# A charge long enough for the board link to carry the values both ways:
# the vehicle's targets and the set-point reach the main board, whose
# output's present values come back to the CCS board and into the answers.
# The vehicle charges until it is told to end (SIGUSR1).
start_vehicle 1 --demands 100000 --gap-ms 100 --target-voltage 400 --target-current 50 --soc 30
wait_until 60 "the vehicle's targets in the main board's map" \
    eval 'main_is 2184 400 u16 && main_is 2186 50 && main_is 2168 450 u16'
wait_until 20 "the set-point in the main board's mailbox" eval 'main_is 146 4000 u16 && main_is 134 500 u16'
wait_until 20 "the main board's present values on the CCS board" eval 'ccs_is 2187 400 u16 && ccs_is 2196 50'
wait_until 20 "the present values in the vehicle's answers" \
    grep -q "CurrentDemandRes OK, present 400 V 50 A" "$CCS_ROOT/ccsev-1.out"
# A blind SYN into the charge (scapy comes as a Debian package: the system's
# python has it where another python on the PATH may not).
py=python3
$py -c 'import scapy' 2> /dev/null || py=/usr/bin/python3
if ! vehicle $py "$here/hostile_vehicle.py" --if plc0 --syn-into > "$CCS_ROOT/syn-into.out" 2>&1; then
    cat "$CCS_ROOT/syn-into.out"; show_state; exit 1
fi
sed 's/^/     /' "$CCS_ROOT/syn-into.out"
kill -USR1 "$VEHICLE_RUN"
end_vehicle 1
for m in supportedAppProtocol SessionSetup ServiceDiscovery ServicePaymentSelection ContractAuthentication \
         ChargeParameterDiscovery CableCheck PreCharge PowerDelivery CurrentDemand WeldingDetection SessionStop; do
    said 1 "CcsEv: ${m}Req -> ${m}Res"
done
echo "ok   vehicle 1 charged: every message of the sequence passed, the main board's output came back"

# A request with a session ID the station did not issue is refused as an
# unknown session and ends the session: the station closes the connection,
# and the request sent once more goes unanswered.
start_vehicle 2 --demands 3 --wrong-session CurrentDemand --repeat-failed
end_vehicle 2
grep -A1 'CurrentDemandRes FAILED_UnknownSession' "$CCS_ROOT/ccsev-2.out" | grep -q 'sent once more unanswered' \
    || { echo "FAIL the wrong session ID did not end the session"; exit 1; }
echo "ok   vehicle 2: a wrong session ID answered FAILED_UnknownSession and ended the session"

# Every request split over two TCP segments, the first inside the header.
start_vehicle 3 --demands 3 --split all --split-at 5
end_vehicle 3 last
said 3 "CcsEv: session done"
echo "ok   vehicle 3: requests split over two segments taken whole"

if [ -n "$capture_pid" ]; then
    command -v tshark > /dev/null &&
        wait_until 20 "the capture holds the station's close of every connection" closed_in_capture "$CCS_ROOT/vehicle.pcap" 3
    kill "$capture_pid"; wait "$capture_pid" 2> /dev/null || true; capture_pid=
fi
if command -v tshark > /dev/null; then
    f=$CCS_ROOT/vehicle.pcap
    # The vehicle's kernel writes a sum of zero as 0xffff now and then, the
    # same value in ones' complement (RFC 1624); tshark warns of it.
    out=$(tshark -r "$f" -V -Y "not tcp.checksum.ffff" -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE 2>&1)
    faults='Malformed|Expert Info \((Error|Warning/(Malformed|Checksum|Protocol|Undecoded))|Checksum Status: Bad'
    if grep -Eq "$faults" <<< "$out"; then
        echo "FAIL tshark finds faults in $f"; grep -E -B30 "$faults" <<< "$out" | head -80; exit 1
    fi
    # The TCP streams hold V2GTP messages back to back, whole and nothing else.
    tshark -r "$f" -Y 'tcp.len > 0' -T fields -e tcp.stream -e tcp.srcport -e tcp.seq -e tcp.payload 2>/dev/null |
        python3 -c '
import sys
streams = {}
for line in sys.stdin:
    parts = line.split("\t")
    if len(parts) < 4:
        continue
    key = (parts[0], parts[1])
    streams.setdefault(key, {})[int(parts[2])] = bytes.fromhex(parts[3].strip())
messages = 0
for key, segs in streams.items():
    data, at = b"", None
    for seq in sorted(segs):
        if at is not None and seq != at:
            continue  # a retransmission of bytes already taken
        data += segs[seq]
        at = seq + len(segs[seq])
    i = 0
    while i < len(data):
        h = data[i:i + 8]
        if len(h) < 8 or h[:4] != bytes([1, 0xFE, 0x80, 1]):
            sys.exit("FAIL stream %s: no V2GTP header at byte %d: %s" % (key, i, h.hex()))
        n = int.from_bytes(h[4:8], "big")
        if i + 8 + n > len(data):
            sys.exit("FAIL stream %s: message at byte %d cut short" % (key, i))
        i += 8 + n
        messages += 1
print("ok   tshark reads the capture: checksums good, %d V2GTP messages in %d directions, whole" % (messages, len(streams)))
'
else
    echo "skip tshark is not installed"
fi
