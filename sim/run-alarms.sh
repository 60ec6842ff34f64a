#!/usr/bin/env bash
# The alarm part of the simulation: Bastide on the main board's register
# map, in an IPC and network namespace of its own, with Debian's snmptrapd
# as the operator's trap receiver. The station raises the ground-fault
# alarm and clears it; Bastide writes an event line for each change and
# sends each as an SNMP v2c trap through the real snmptrap, which snmptrapd
# receives. Prints the traps received and the event file.
# Usage: sim/run-alarms.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/sim/board-root.sh"
begin_sim_part alarms-sim "$@"
mkdir -p "$root"/root "$root"/Storage/Events "$root"/Storage/SystemLog "$root"/var/lock "$root"/snmp
cp "$(command -v snmptrap)" "$root/root/snmptrap"
printf 'authCommunity log stationtrap\n' > "$root/snmp/snmptrapd.conf"
export SNMP_PERSISTENT_DIR=$root/snmp SNMPCONFPATH=$root/snmp MIBS=
port=16162

run() { $STATION_EXEC_PREFIX "$@"; }
t() { run "$build/bin/shmtool" "$@" > /dev/null; }
traps() { grep -c "^TRAP" "$root/traps.log" 2>/dev/null || true; }
wait_traps() { local i; for ((i = 0; i < 100; ++i)); do [ "$(traps)" -ge "$1" ] && return 0; sleep 0.05; done; return 1; }

main_board_segments
t write SHRMEM_SERIAL_NUMBER SN1
t write SHRMEM_SNMP_TRAP_IP 127.0.0.1
t write SHRMEM_SNMP_TRAP_PORT $port
t write SHRMEM_SNMP_COMMUNITY stationtrap
/usr/sbin/snmptrapd -f -n -On -C -c "$root/snmp/snmptrapd.conf" -m "" \
    -Lf "$root/traps.log" -F "TRAP %P|%v\n" -p "$root/snmptrapd.pid" "udp:127.0.0.1:$port" &
pids+=($!)
for ((i = 0; i < 50; ++i)); do [ -s "$root/snmptrapd.pid" ] && break; sleep 0.1; done
run "$build/bin/Bastide" > "$root/bastide.out" 2>&1 &
pids+=($!)
sleep 1
echo "--- the ground-fault detector trips (byte 315 = 128), then recovers"
t write 315 128
wait_traps 1 || echo "    (no trap for the raise)"
t write 315 0
wait_traps 2 || echo "    (no trap for the clear)"
echo "--- snmptrapd received"
# One line a trap: its community and its one binding (OID and value).
grep "^TRAP" "$root/traps.log" | awk -F'\t' '{ split($1, h, "|"); sub(/^TRAP /, "", h[1]); print "    " h[1] ": " $NF }'
echo "--- Bastide's event file"
cat "$root"/Storage/Events/*_Events.csv | sed 's/^/    /'
