#!/usr/bin/env bash
# Bastide as its own process beside the station controller's writes, in a
# private IPC and network namespace: alarm changes reach Debian's snmptrapd
# as SNMP v2c traps through the real snmptrap, with the OID, value and
# community the map names; a killed and restarted Bastide reports what is
# still set, clears the force bytes and keeps the status ring going; without
# FennickApp it says so and raises "Initialization fail".
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
build=$1
for tool in snmptrap snmptrapd; do
    command -v "$tool" > /dev/null || [ -x "/usr/sbin/$tool" ] || { echo "SKIP: $tool is not installed"; exit 0; }
done
root=$(mktemp -d /tmp/bastide-traps-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/root "$root"/Storage/Events "$root"/Storage/SystemLog "$root"/var/lock "$root"/snmp
cp "$(command -v snmptrap)" "$root/root/snmptrap"
printf 'authCommunity log stationtrap\n' > "$root/snmp/snmptrapd.conf"

STATION_ROOT=$root BUILD=$build SNMP_PERSISTENT_DIR=$root/snmp SNMPCONFPATH=$root/snmp MIBS= \
unshare --ipc --net bash -c '
    set -euo pipefail
    ip link set lo up
    port=$((20000 + $$ % 20000))
    t() { $STATION_EXEC_PREFIX "$BUILD/bin/shmtool" "$@"; }
    $STATION_EXEC_PREFIX "$BUILD/tests/make_segment" 5438 262144
    $STATION_EXEC_PREFIX "$BUILD/tests/make_segment" 1111 108948
    t write SHRMEM_SERIAL_NUMBER SN1 > /dev/null
    t write SHRMEM_SNMP_TRAP_IP 127.0.0.1 > /dev/null
    t write SHRMEM_SNMP_TRAP_PORT "$port" > /dev/null
    t write SHRMEM_SNMP_COMMUNITY stationtrap > /dev/null
    # OCPP 1.6J reporting, so each change also lands in the status ring.
    t write SHRMEM_OCPP_ENABLE 1 > /dev/null
    t write SHRMEM_OCPP_URL ws://cs.example/ocpp > /dev/null
    t write SHRMEM_OCPP_MODE 2 > /dev/null

    /usr/sbin/snmptrapd -f -n -On -C -c "$STATION_ROOT/snmp/snmptrapd.conf" -m "" \
        -Lf "$STATION_ROOT/traps.log" -F "TRAP %P|%v\n" -p "$STATION_ROOT/snmptrapd.pid" "udp:127.0.0.1:$port" &
    trapd=$!
    bastide=
    trap "kill \$bastide \$trapd 2>/dev/null || true" EXIT
    for i in $(seq 1 50); do [ -s "$STATION_ROOT/snmptrapd.pid" ] && break; sleep 0.1; done

    start_bastide() { $STATION_EXEC_PREFIX "$BUILD/bin/Bastide" >> "$STATION_ROOT/bastide.out" 2>&1 & bastide=$!; }
    traps() { grep -c "^TRAP" "$STATION_ROOT/traps.log" 2>/dev/null || true; }
    wait_traps() { for i in $(seq 1 100); do [ "$(traps)" -ge "$1" ] && return 0; sleep 0.05; done; return 1; }
    ring_index() { t -k 1111 read 4188; }
    wait_ring() { for i in $(seq 1 100); do [ "$(ring_index)" = "$1" ] && return 0; sleep 0.05; done; return 1; }
    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }

    start_bastide
    t write 315 128 > /dev/null        # GFD alarm raised
    wait_traps 1 || true
    t write 315 0 > /dev/null          # and cleared
    wait_traps 2 || true
    oid=.1.3.6.1.4.1.4291.1.8.5.3.80
    # Line N of the receiver: community, notification OID and the one binding.
    trap_is() {
        grep "^TRAP" "$STATION_ROOT/traps.log" | sed -n "$1p" | grep -F "community $2|" | grep -F "OID: $3" | grep -cF "$3 = INTEGER: $4" || true
    }
    check "raise trap" "$(trap_is 1 stationtrap $oid 128)" 1
    check "clear trap" "$(trap_is 2 stationtrap $oid 0)" 1
    wait_ring 2 || true
    check "two ring records" "$(ring_index)" 2

    # A trap with another community is not taken by the receiver.
    t write SHRMEM_SNMP_COMMUNITY otherone > /dev/null
    t write 312 16 > /dev/null         # RFID reader error
    wait_ring 3 || true
    sleep 0.3
    check "foreign community refused" "$(traps)" 2
    t write SHRMEM_SNMP_COMMUNITY stationtrap > /dev/null

    # Killed with the alarm still set and force bits pending: the new
    # process reports it again and starts with the force bytes cleared.
    kill -9 $bastide; wait $bastide 2>/dev/null || true
    t write 21523 0x40 > /dev/null
    t write 21526 0x80 > /dev/null     # ChademoShiftPosition forced
    start_bastide
    wait_traps 3 || true
    check "alarm reported again after restart" "$(trap_is 3 stationtrap .1.3.6.1.4.1.4291.1.8.5.0.10 16)" 1
    check "force bytes cleared at start" "$(t read 21523 bytes:6)" "00 00 00 00 00 00"
    events=$(cat "$STATION_ROOT"/Storage/Events/*SN1_Events.csv | sed "s/.* - //" | tr "\n" " ")
    check "event lines" "$events" "009001 109001 00500D 00500D "

    # No FennickApp: the missing segment is logged and flagged.
    kill -9 $bastide; wait $bastide 2>/dev/null || true
    ipcrm -M 1111
    start_bastide
    for i in $(seq 1 100); do grep -q "Shm(Fennick)" "$STATION_ROOT"/Storage/SystemLog/* 2>/dev/null && break; sleep 0.05; done
    check "init failure logged" "$(grep -c "\[Bastide\]\[330\] System init failed:Shm(Fennick)" "$STATION_ROOT"/Storage/SystemLog/*)" 1
    check "Initialization fail raised" "$(( $(t read 343) & 0x40 ))" 64
    wait_traps 5 || true
    check "its trap" "$(grep -c "1.8.5.31.40 = INTEGER: 64" "$STATION_ROOT/traps.log")" 1
    exit $fail
'
