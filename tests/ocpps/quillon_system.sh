#!/usr/bin/env bash
# Quillon and Bastide as their own processes on one register map, in a
# private IPC and network namespace, against the OCPP 1.5 central system of
# sim/central15 on the namespace's loopback. A stand-in for the station
# controller (shmtool for the fields, cp_request for the request bits) runs
# a session: boot, Bastide's statuses once the central system is reached,
# Authorize, StartTransaction, MeterValues every second, a fault,
# StopTransaction. A killed and restarted Bastide sends its statuses again;
# a killed and restarted Quillon clears the request bytes and boots again.
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
if [ -z "${QUILLON_IN_NS:-}" ]; then
    QUILLON_IN_NS=1 exec unshare --ipc --net "$0" "$@"
fi
. "$(dirname "$0")/quillon_env.sh"
printf '\001\000\000\000' > "$root/Storage/[OCPP15S]MeterValSmplIntvl"   # meter values every second

t() { $STATION_EXEC_PREFIX "$build/bin/shmtool" "$@" > /dev/null; }
r() { $STATION_EXEC_PREFIX "$build/bin/shmtool" read "$@"; }
ask() { $STATION_EXEC_PREFIX "$build/tests/cp_request" "$1" 40 || fail "request bit $1 not served"; }
count() { local n; n=$(grep -cF -- "$1" "$log" 2>/dev/null) || true; echo "${n:-0}"; }
wait_more() {  # wait_more SECONDS COUNT TEXT: until more than COUNT log lines hold TEXT
    local i
    for ((i = 0; i < $1 * 10; ++i)); do
        [ "$(count "$3")" -gt "$2" ] && return 0
        sleep 0.1
    done
    return 1
}
fail() {
    echo "FAIL: $*"
    echo "--- central"; cut -c1-500 "$log" 2>/dev/null || true
    echo "--- system log"; cat "$root"/Storage/SystemLog/* 2>/dev/null || true
    exit 1
}
check() { [ "$2" = "$3" ] || fail "$1: got [$2], want [$3]"; echo "ok   $1"; }
start_bastide() { $STATION_EXEC_PREFIX "$build/bin/Bastide" >> "$root/bastide.out" 2>&1 & bastide=$!; }
start_quillon() { $STATION_EXEC_PREFIX "$build/bin/Quillon" >> "$root/quillon.out" 2>&1 & quillon=$!; }
status_line() { echo "\"connectorId\":\"$1\",\"status\":\"$2\",\"errorCode\":\"$3\""; }

node "$src/sim/central15/central15.js" --port 0 --log "$log" --identity CB-0001 --heartbeat 300 &
central=$!
wait_more 60 0 '"event":"listening"' || fail "the central system did not start"
port=$(grep -o '"port":[0-9]*' "$log" | head -1 | cut -d: -f2)

$STATION_EXEC_PREFIX "$build/tests/make_segment" 5438 262144
t write SHRMEM_OCPP_ENABLE 1
t write SHRMEM_OCPP_MODE 0
t write SHRMEM_OCPP_URL "http://127.0.0.1:$port/ocpp15"
t write SHRMEM_MODEL_NAME DC50-CC
t write SHRMEM_ETH0_IP 127.0.0.1
t write 2624 CB-0001 text:129

start_bastide
start_quillon
wait_more 40 0 '"event":"answer","action":"BootNotification"' || fail "no BootNotification"
# Answered: Quillon waits 30 s, then it is online and Bastide reports.
wait_more 60 0 "$(status_line 0 Available NoError)" || fail "Bastide's statuses did not arrive"
check "connector 1 then 2, then the charge point" \
    "$(grep -o '"connectorId":"[0-9]","status":"Available","errorCode":"NoError"' "$log" | cut -c16 | tr -d '\n')" "120"
check "online bit" "$(( $(r SHRMEM_OCPP15_CS_REQUEST2) & 128 ))" 128
check "clock set from the answer" "$(r SHRMEM_CLOCK_CHANGED)" 1
grep -q '^date -s @' "$root/commands.log" || fail "the clock setting did not go to the command log"

t write SHRMEM_ID_TAG 04A2B3C4
ask 1
check "Authorize status" "$(r 3092)" 0
check "Authorize parentIdTag" "$(r 3097 text:20)" 0
t write 3117 1 s32le
t write 3145 1500 s32le
ask 2
check "transactionId" "$(r 3153 s32le)" 1

t write SHRMEM_OUTPUT_ENERGY_TEXT 1.25
t write SHRMEM_CHARGER_STATE 1
wait_more 10 1 '"action":"MeterValues"' || fail "no meter values"
wait_more 10 0 "$(status_line 1 Occupied NoError)" || fail "Occupied not reported"

occupied=$(count "$(status_line 1 Occupied NoError)")
kill -9 "$bastide"
wait "$bastide" 2>/dev/null || true
start_bastide
wait_more 15 "$occupied" "$(status_line 1 Occupied NoError)" || fail "a restarted Bastide did not report again"
echo "ok   a restarted Bastide reports again"

t write SHRMEM_CHARGER_STATE 2
wait_more 15 0 "$(status_line 0 Faulted OtherError)" || fail "the fault was not reported"
t write 3182 1 s32le
t write 3210 2750 s32le
ask 4
check "StopTransaction status" "$(r 3214)" 0

# The second grep reads to the end: the central system may still be writing.
grep -F '"action":"MeterValues"' "$log" | grep '"@measurand":"Energy.Active.Import.Register","@location":"Body","@unit":"kWh","#":"1.25"' > /dev/null ||
    fail "energy register"
! grep -q '"event":"invalid"' "$log" || fail "the central system refused a request"
for line in "Authorize OK" "StartTransaction OK" "StopTransaction OK" "StatusNotification OK"; do
    grep -qF "[OCPP]main:$line" "$root"/Storage/SystemLog/* || fail "system log: $line"
done
echo "ok   every request passed the central system's checks"

boots=$(count '"action":"BootNotification"')
kill -9 "$quillon"
wait "$quillon" 2>/dev/null || true
t write SHRMEM_OCPP15_CP_REQUEST 32
start_quillon
wait_more 20 "$boots" '"action":"BootNotification"' || fail "a restarted Quillon did not boot again"
check "request bytes cleared at start" "$(r SHRMEM_OCPP15_CP_REQUEST)/$(r SHRMEM_OCPP15_CS_REQUEST2)" "0/0"
echo "PASS"
