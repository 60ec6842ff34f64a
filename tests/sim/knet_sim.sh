#!/usr/bin/env bash
# Marlet's own IPv6 stack against the Linux kernel as the vehicle's: the CCS
# board runs MarletEcho (Marlet with a V2G session stand-in that answers each
# message with its own bytes) on the emulated modem; the vehicle's end of the
# line (plc0) lies in its own network namespace. After SLAC the kernel finds
# the station by neighbour discovery and SDP, a port without listener refuses
# the connection, the V2G port takes messages both ways byte for byte, and the
# station closes the connection at the end of the session. The same again
# with frames lost on the line. Then a hostile vehicle: scapy plays it frame
# by frame from a link-local address the vehicle's kernel does not own; on
# the open connection a SYN with a sequence number of its own choosing gets
# an ACK at the connection's numbers and no reset, messages with the urgent
# flag (pointer 4, and 200 past the data) come back whole, and the session
# ends done. tshark reads the vehicle's capture and the modem's with
# checksums checked, without a bad checksum or malformed frame.
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
show() {
    echo "status $(ccs_shm read 2197 bytes:4 2>/dev/null || true)"
    echo "--- vehicle's neighbours:"; vehicle ip -6 neigh show dev plc0 || true
    echo "--- capture:"; command -v tshark > /dev/null && tshark -r "$CCS_ROOT/vehicle.pcap" 2>&1 | grep -v HomePlug | tail -n 40 || true
}

wait_until 40 "modem configured" configured
wait_until 30 "the vehicle's link-local address" address_ready
if command -v dumpcap > /dev/null; then
    # nsenter becomes dumpcap, so $! is the capture itself: it is ended, and
    # its last frames written, before the file is read.
    nsenter --target "$VEHICLE_PID" --net dumpcap -q -i plc0 -w "$CCS_ROOT/vehicle.pcap" > "$CCS_ROOT/dumpcap.out" 2>&1 &
    capture_pid=$!
    wait_until 30 "the capture runs" test -s "$CCS_ROOT/vehicle.pcap"
fi

# Plugs vehicle N in and matches it by SLAC: station_mac.
plug_in() {
    local n=$1
    ccs_shm write 2160 4
    if ! vehicle $STATION_EXEC_PREFIX "$build/bin/EvSlac" --if plc0 --timeout-ms 15000 > "$CCS_ROOT/evslac-$n.out" 2>&1; then
        echo "FAIL vehicle $n was not matched"; cat "$CCS_ROOT/evslac-$n.out"; exit 1
    fi
    station_mac=$(sed -n 's/.*matched with \([0-9a-f:]*\).*/\1/p' "$CCS_ROOT/evslac-$n.out")
    wait_until 20 "the station waits for SDP" status_is "03 00 00 00"
}
unplug() {
    ccs_shm write 2160 0
    wait_until 40 "standing by after vehicle $1" configured
}

# One session: SLAC, then the kernel's SDP, TCP and the station's close.
# With `loss` the modem drops frames of the session in both directions.
session() {
    local n=$1 loss=$2
    plug_in "$n"
    [ "$loss" = 0 ] || kill -USR1 "$(cat "$CCS_ROOT/greenphy.pid")"
    if ! vehicle python3 "$here/../../sim/v2gecho/vehicle_v2g.py" --if plc0 --station-mac "$station_mac" \
            --sizes 40,300,12 > "$CCS_ROOT/v2g-$n.out" 2>&1; then
        cat "$CCS_ROOT/v2g-$n.out"; show; exit 1
    fi
    [ "$loss" = 0 ] || kill -USR2 "$(cat "$CCS_ROOT/greenphy.pid")"
    sed 's/^/     /' "$CCS_ROOT/v2g-$n.out"
    wait_until 20 "the session ends done" status_is "0a 00 00 00"
    # The kernel resolved the station's address by neighbour discovery.
    local ll
    ll=$(python3 -c "import sys; m=[int(x,16) for x in sys.argv[1].split(':')]; m[0]^=2; print('fe80::%x:%x:%x:%x' % (m[0]<<8|m[1], m[2]<<8|0xff, 0xfe00|m[3], m[4]<<8|m[5]))" "$station_mac")
    vehicle ip -6 neigh show dev plc0 | grep -q "^$ll lladdr $station_mac" \
        || { echo "FAIL the kernel has no neighbour entry $ll lladdr $station_mac"; show; exit 1; }
    echo "ok   session $n: the kernel knows $ll at $station_mac"
    unplug "$n"
}

session 1 0
session 2 1

# scapy comes as a Debian package: the system's python has it where another
# python on the PATH may not.
py=python3
$py -c 'import scapy' 2> /dev/null || py=/usr/bin/python3
plug_in 3
if ! vehicle $py "$here/hostile_vehicle.py" --if plc0 --station-mac "$station_mac" > "$CCS_ROOT/hostile.out" 2>&1; then
    cat "$CCS_ROOT/hostile.out"; show; exit 1
fi
sed 's/^/     /' "$CCS_ROOT/hostile.out"
wait_until 30 "the hostile vehicle's session ends done" status_is "0a 00 00 00"

if [ -n "$capture_pid" ]; then
    command -v tshark > /dev/null &&
        wait_until 20 "the capture holds the station's close of every connection" closed_in_capture "$CCS_ROOT/vehicle.pcap" 3
    kill "$capture_pid"; wait "$capture_pid" 2> /dev/null || true; capture_pid=
fi
if command -v tshark > /dev/null; then
    for f in "$CCS_ROOT"/vehicle.pcap "$CCS_ROOT"/plc.pcap; do
        [ -f "$f" ] || continue
        # The vehicle's kernel writes a sum of zero as 0xffff now and then, the
        # same value in ones' complement (RFC 1624); tshark warns of it.
        out=$(tshark -r "$f" -V -Y "not tcp.checksum.ffff" -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE 2>&1)
        # Sequence notes (the refused port's reset, the lost frames and their
        # retransmissions) are what the test makes happen; faults of a frame are not.
        faults='Malformed|Expert Info \((Error|Warning/(Malformed|Checksum|Protocol|Undecoded))|Checksum Status: Bad'
        if grep -Eq "$faults" <<< "$out"; then
            echo "FAIL tshark finds faults in $f"; grep -E -B30 "$faults" <<< "$out" | head -80; exit 1
        fi
        for proto in "ICMPv6" "Neighbor Solicitation" "Neighbor Advertisement" "User Datagram Protocol" \
                     "Transmission Control Protocol" "Urgent Pointer: 200"; do
            grep -q "$proto" <<< "$out" || { echo "FAIL no $proto in $f"; exit 1; }
        done
        echo "ok   tshark reads $(basename "$f"): $(grep -c '^Frame ' <<< "$out") frames, checksums good," \
             "$(grep -c 'suspected) retransmission' <<< "$out" || true) retransmissions"
    done
else
    echo "skip tshark is not installed"
fi
