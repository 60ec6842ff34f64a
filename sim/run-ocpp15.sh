#!/usr/bin/env bash
# The OCPP 1.5 part of the simulation: Quillon and Bastide on the main
# board's register map, in an IPC and network namespace of their own,
# against the SOAP central system of sim/central15 (npm soap, checking every
# request against the official WSDL). Quillon boots, Bastide reports the
# connectors, the station plays a charge (Authorize, StartTransaction,
# MeterValues every second, StopTransaction), and the central system calls
# two of the charge point's operations, which Quillon answers on port 8080.
# Prints each request the central system got with its answer.
# Usage: sim/run-ocpp15.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/sim/board-root.sh"
begin_sim_part ocpp15-sim "$@"
log=$root/central.log
mkdir -p "$root/Storage/SystemLog" "$root/Storage/Events" "$root/var/lock" "$root/root"
printf '\001\000\000\000' > "$root/Storage/[OCPP15S]MeterValSmplIntvl"   # meter values every second

run() { $STATION_EXEC_PREFIX "$@"; }
t() { run "$build/bin/shmtool" "$@" > /dev/null; }
# The station controller's request bits (the stand-in of the tests).
ask() { run "$build/tests/cp_request" "$1" 40 || echo "    (request $1 not served)"; }
wait_for() {  # wait_for SECONDS TEXT: until the central system's log holds TEXT
    local i
    for ((i = 0; i < $1 * 10; ++i)); do
        grep -qF -- "$2" "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "    (not seen within $1 s: $2)"
    return 1
}

node "$src/sim/central15/central15.js" --port 0 --log "$log" --identity CB-0001 --heartbeat 300 &
pids+=($!)
wait_for 60 '"event":"listening"'
port=$(grep -o '"port":[0-9]*' "$log" | head -1 | cut -d: -f2)

main_board_segments
t write SHRMEM_OCPP_ENABLE 1
t write SHRMEM_OCPP_MODE 0
t write SHRMEM_OCPP_URL "http://127.0.0.1:$port/ocpp15"
t write SHRMEM_MODEL_NAME DC50-CC
t write SHRMEM_ETH0_IP 127.0.0.1
t write 2624 CB-0001 text:129
run "$build/bin/Bastide" > "$root/bastide.out" 2>&1 &
pids+=($!)
run "$build/bin/Quillon" > "$root/quillon.out" 2>&1 &
pids+=($!)
echo "--- Quillon boots; once accepted it waits 30 s before it reports and serves"
wait_for 40 '"event":"answer","action":"BootNotification"' || true
wait_for 60 '"action":"StatusNotification"' || true

echo "--- a charge on the CCS connector: card 04A2B3C4, 1.25 kWh"
t write SHRMEM_ID_TAG 04A2B3C4
ask 1
t write 3117 1 s32le      # StartTransaction: connector 1, meter 1500 Wh
t write 3145 1500 s32le
ask 2
t write SHRMEM_OUTPUT_ENERGY_TEXT 1.25
t write SHRMEM_CHARGER_STATE 1
sleep 3
t write SHRMEM_CHARGER_STATE 0
t write 3182 1 s32le      # StopTransaction: transaction 1, meter 2750 Wh
t write 3210 2750 s32le
ask 4

echo "--- the central system calls the charge point (port 8080)"
node "$src/sim/central15/calls.js" --url http://127.0.0.1:8080/ChargeBox/OCPP15 \
    '{"op":"GetConfiguration","args":{"key":["HeartBeatInterval"]}}' \
    '{"op":"GetLocalListVersion"}' | cut -c1-200 | sed 's/^/    /'

echo "--- what the central system received (request -> its answer)"
node -e '
const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n").filter(Boolean).map(JSON.parse);
for (const l of lines) {
    if (l.event === "request") {
        const b = l.body || {};
        const brief = ["connectorId", "status", "idTag", "transactionId", "meterStart", "meterStop"]
            .filter((k) => b[k] !== undefined).map((k) => `${k}=${b[k]}`).join(" ");
        process.stdout.write(`    ${(l.t / 1000).toFixed(1).padStart(5)} s  ${l.action} ${brief}`);
    } else if (l.event === "answer") {
        const a = l.answer || {};
        const s = a.status || (a.idTagInfo && a.idTagInfo.status) || "";
        console.log(s ? ` -> ${s}` : " -> answered");
    } else if (l.event === "invalid") {
        console.log(` -> REFUSED: ${JSON.stringify(l.problems)}`);
    }
}' "$log"
echo "--- Quillon's system log"
cat "$root"/Storage/SystemLog/* 2>/dev/null | grep -F '[OCPP]' | tail -n 12 | sed 's/^/    /'
