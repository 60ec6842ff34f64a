#!/usr/bin/env bash
# The OCPP 1.6J part of the simulation: the station side (stationctl) loads
# FennickApp from sim/ocpp-profile.conf and starts Tarnet, Tarnet starts
# Fennick, and Fennick connects to the strict central system of sim/central,
# which sends a few configuration commands. Bastide turns the station's
# states into connector statuses and meter values, and stationctl plays a
# charge on the CCS connector: Authorize, StartTransaction, MeterValues,
# StopTransaction. Prints every frame exchanged and the station's OCPP log.
# Usage: sim/run-ocpp.sh BUILD_DIR [ws|wss]   (OCPP_SECONDS, default 25)
set -euo pipefail
if [ -z "${OCPP_SIM_IN_NS:-}" ]; then
    OCPP_SIM_IN_NS=1 exec unshare --ipc "$0" "$@"
fi
build=$(cd "${1:-build}" && pwd)
mode=${2:-ws}
src=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d /tmp/ocpp-sim-XXXXXX)
. "$src/sim/board-root.sh"
central_pid="" charge_pid=""
cleanup() {
    [ -n "$central_pid" ] && kill "$central_pid" 2>/dev/null || true
    [ -n "$charge_pid" ] && kill "$charge_pid" 2>/dev/null || true
    end_ocpp_programs "$root"
    rm -rf "$root"
}
trap cleanup EXIT
place_ocpp_programs "$root" "$build"
port=$(free_port)
cat > "$root/script.json" <<'JSON'
[{"at": 1000, "call": "GetConfiguration", "params": {"key": ["HeartbeatInterval", "MeterValuesSampledData", "Foo"]}},
 {"at": 2500, "call": "ChangeConfiguration", "params": {"key": "HeartbeatInterval", "value": "4"}},
 {"at": 4000, "call": "ChangeConfiguration", "params": {"key": "MeterValuesSampledData", "value": "SoC;Voltage"}}]
JSON
tls=() url="ws://127.0.0.1:$port/ocpp/" settings=()
if [ "$mode" = wss ]; then
    (cd "$root" &&
     openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=sim-ca -keyout ca.key -out Storage/ca.pem 2>/dev/null &&
     openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout cs.key -out cs.csr 2>/dev/null &&
     printf 'subjectAltName=DNS:localhost\n' > cs.ext &&
     openssl x509 -req -in cs.csr -CA Storage/ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile cs.ext \
         -out cs.pem 2>/dev/null)
    tls=(--tls "$root/cs.pem" "$root/cs.key") url="wss://localhost:$port/ocpp/" settings=(tlsEnabled=1)
fi
node "$src/sim/central/central.js" --port "$port" --password 0123456789abcdef --boot Accepted:300 \
    --script "$root/script.json" --log "$root/central.log" "${tls[@]}" &
central_pid=$!
sleep 1
STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --ocpp "$src/sim/ocpp-profile.conf" \
    centralSystemUrl="$url" MeterValueSampleInterval=3 "${settings[@]}"
map() { $STATION_EXEC_PREFIX "$build/bin/shmtool" -k 5438 write "$@" >/dev/null; }
map 481 1 u8
map 1536 "$url" text:256
map 514 2 u8
map 21505 1 u8
mkdir -p "$root/Storage/Events" "$root/Storage/SystemLog"
STATION_ROOT="$root" "$root/root/Bastide" &
sleep 7
STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --charge connector=2 card=ABC123 seconds=8 &
charge_pid=$!
sleep "${OCPP_SECONDS:-25}"
echo "--- OCPP 1.6J frames seen by the central system (in = from the station)"
node -e '
    for (const l of require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse)) {
        const text = l.frame ?? JSON.stringify(Object.fromEntries(Object.entries(l).filter(([k]) => k !== "t")));
        console.log(`${(l.t / 1000).toFixed(1).padStart(6)} s  ${(l.dir ?? "--").padEnd(3)} ${text.length > 160 ? text.slice(0, 157) + "..." : text}`);
    }' "$root/central.log"
echo "--- The station's OCPP log"
cat "$root"/Storage/OCPPLog/* | cut -c1-200
