#!/usr/bin/env bash
# The modem part of the simulation: Wendle on the main board's register map,
# in an IPC and network namespace of its own, against the emulated cellular
# module (modem_sim: a USB module whose AT ports are ptys under the board's
# root). Wendle detects and identifies the module, runs the dial script
# (sim/modem/Dunmore, which stands in for pppd with a TUN device "ppp0"),
# reads the link's address into the register map and removes the eth0
# default route. Prints the module's answers Wendle stored and its log.
# Usage: sim/run-modem.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/sim/board-root.sh"
begin_sim_part modem-sim "$@"
end_part_hook() {   # the dial script's stand-in of pppd
    [ -f "$root/var/run/ppp0.pid" ] && kill "$(cat "$root/var/run/ppp0.pid")" 2>/dev/null || true
}
mkdir -p "$root/root/ppp" "$root/Storage/SystemLog" "$root/var/run" "$root/sbin" "$root/bin"
cp "$src/sim/modem/Dunmore" "$root/root/ppp/Dunmore"
ln -s "$(command -v route)" "$root/sbin/route"
ln -s "$(command -v ping)" "$root/bin/ping"
echo 10.64.0.2 > "$root/root/ppp/ping_host"
board_eth0 192.168.7.5/24
ip route add default via 192.168.7.1 dev eth0

run() { $STATION_EXEC_PREFIX "$@"; }
t() { run "$build/bin/shmtool" "$@"; }
main_board_segments
t write SHRMEM_ETH0_GATEWAY 192.168.7.1 > /dev/null
run "$build/bin/modem_sim" --root "$root" --model MU709s-2 --restart-ms 500 > "$root/sim.out" 2>&1 &
pids+=($!)
run "$build/bin/Wendle" > "$root/wendle.out" 2>&1 &
pids+=($!)
echo "--- Wendle finds the module and dials"
for ((i = 0; i < 300; ++i)); do
    [ "$(t read SHRMEM_3G_IP 2>/dev/null)" = 10.64.0.2 ] && break
    sleep 0.1
done
echo "--- what Wendle stored in the register map"
for field in SHRMEM_3G_MODEL SHRMEM_3G_IMEI SHRMEM_3G_ICCID SHRMEM_3G_MODEM_RSSI SHRMEM_3G_IP; do
    printf '    %-22s %s\n' "$field" "$(t read "$field")"
done
echo "    ppp0: $(ip -4 -o addr show ppp0 2>/dev/null | awk '{print $4}')" \
     " default routes left: $(ip route show default | wc -l)"
echo "--- Wendle's system log"
cat "$root"/Storage/SystemLog/* | grep -F '[Wendle]' | head -n 12 | sed 's/^/    /'
