#!/usr/bin/env bash
# A charge's transaction messages against a strict central system that cuts,
# delays or refuses them, and across restarts of Tarnet and Fennick: the
# central system's own records (its "txn" events) must hold one start, one
# stop and every meter value once, as stationctl charged them.
#   ocppj_txn.sh BUILD_DIR delay     the first StartTransaction answered after 35 s: the retry
#                                    keeps its id, the late answer is taken, meter values go on
#                                    being taken meanwhile
#   ocppj_txn.sh BUILD_DIR cutmeter  the link cut on receipt of the first MeterValues, unanswered
#   ocppj_txn.sh BUILD_DIR errmeter  the first MeterValues answered twice with a CALLERROR
#   ocppj_txn.sh BUILD_DIR cutstop   the link cut on receipt of the StopTransaction, unanswered
#   ocppj_txn.sh BUILD_DIR restart   Tarnet and Fennick killed mid-charge and started again
#   ocppj_txn.sh BUILD_DIR flap      an alarm (312 bit 0x10) toggled every 30 ms for 50 s of the
#                                    charge: Bastide's records outrun a reader of one a second,
#                                    none is lost and none overtakes another
. "$(dirname "$0")/ocppj_rig.sh"

seconds=14 faults=() script='[]'
case "$mode" in
delay) seconds=45 faults=(--delay StartTransaction:35000:1) ;;
cutmeter) script='[{"after": "MeterValues", "count": 1, "cut": "drop", "ms": 3000}]' ;;
errmeter) faults=(--error MeterValues:InternalError:2) ;;
cutstop) script='[{"after": "StopTransaction", "count": 1, "cut": "drop", "ms": 3000}]' ;;
restart) seconds=24 ;;
flap) seconds=60 ;;
*) echo "usage: $0 BUILD_DIR delay|cutmeter|errmeter|cutstop|restart|flap"; exit 2 ;;
esac
echo "$script" > "$root/script.json"
central --script "$root/script.json" "${faults[@]}"
station centralSystemUrl="ws://127.0.0.1:$port/ocpp/" MeterValueSampleInterval=2 \
    MeterValuesSampledData=Energy.Active.Import.Register ClockAlignedDataInterval=0 \
    TransactionMessageAttempts=3 TransactionMessageRetryInterval=2
ocpp_map
STATION_ROOT="$root" "$root/root/Bastide" &
extra_pids+=($!)
wait_more 30 1 '"StatusNotification' "$root/central.log" || fail "no statuses at Bastide's start"
STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --charge connector=2 card=ABC123 \
    seconds=$seconds energy=1000 > "$root/charge.log" &
charge_pid=$!
extra_pids+=($charge_pid)

if [ "$mode" = restart ]; then
    wait_more 30 1 '"kind":"meter"' "$root/central.log" || fail "no meter values before the restart"
    for p in $(station_pids Tarnet) $(station_pids Fennick); do kill -9 "$p"; done
    n=$(count '"event":"connected"' "$root/central.log")
    echo "{\"event\":\"test\",\"killed\":\"Tarnet Fennick\"}" >> "$root/central.log"
    sleep 1
    STATION_ROOT="$root" "$root/root/Tarnet" > /dev/null 2>&1 &
    wait_more 60 "$n" '"event":"connected"' "$root/central.log" || fail "Tarnet did not bring Fennick back"
fi
if [ "$mode" = flap ]; then
    wait_more 30 0 '"kind":"start"' "$root/central.log" || fail "no transaction before the alarm"
    end=$((SECONDS + 50))
    while [ "$SECONDS" -lt "$end" ]; do
        map 312 16 u8; sleep 0.03
        map 312 0 u8; sleep 0.03
    done
fi
wait "$charge_pid" || fail "the charge did not run: $(cat "$root/charge.log")"
grep -q "charged from" "$root/charge.log" || fail "stationctl said nothing of the energy: $(cat "$root/charge.log")"
wait_for 90 '"kind":"stop"' "$root/central.log" || fail "no StopTransaction processed"
# Whatever the queue still holds goes out within its retries.
for ((i = 0; i < 300; ++i)); do
    [ -s "$root/Storage/OCPP16/TxnMsgQueue" ] || break
    sleep 0.1
done
[ ! -s "$root/Storage/OCPP16/TxnMsgQueue" ] || fail "queue not empty: $(cat "$root/Storage/OCPP16/TxnMsgQueue")"
[ ! -s "$root/Storage/OCPP16/BadTxnMsgQueue" ] || fail "lines set aside: $(cat "$root/Storage/OCPP16/BadTxnMsgQueue")"

node -e '
    const [file, mode, charged, events] = process.argv.slice(1);
    const [, from, to] = /charged from (\d+) Wh to (\d+) Wh/.exec(charged).map(Number);
    const lines = require("fs").readFileSync(file, "utf8").trim().split("\n").map(JSON.parse);
    if (lines.some(l => l.event === "strictValidationFailure" || l.event === "badMessage"))
        throw Error("the strict central system found a fault");
    const txn = lines.filter(l => l.event === "txn");
    const starts = txn.filter(t => t.kind === "start"), stops = txn.filter(t => t.kind === "stop");
    const meters = txn.filter(t => t.kind === "meter");
    // One transaction opened and closed, as charged.
    if (starts.length !== 1) throw Error("transactions opened: " + starts.length);
    if (stops.length !== 1) throw Error("StopTransactions: " + JSON.stringify(stops));
    const id = starts[0].transactionId;
    if (stops[0].transactionId !== id || stops[0].reason !== "Local") throw Error("stop " + JSON.stringify(stops[0]));
    // The start reads the meter once Charging is seen, a moment into the charge.
    if (starts[0].connectorId !== 2 || starts[0].meterStart < from || starts[0].meterStart > from + 20 ||
        stops[0].meterStop !== to)
        throw Error("energy " + starts[0].meterStart + ".." + stops[0].meterStop + ", charged " + from + ".." + to);
    // Every meter value of the transaction once, in order, none missing.
    const times = meters.map(m => Date.parse(m.timestamp));
    if (meters.some(m => m.transactionId !== id || m.connectorId !== 2)) throw Error("meter values " + JSON.stringify(meters));
    if (new Set(times).size !== times.length) throw Error("a meter value twice");
    const begin = Date.parse(starts[0].timestamp), end = Date.parse(stops[0].timestamp);
    let last = begin;
    for (const t of times) {
        if (t < last) throw Error("meter values out of order");
        if (t - last > 8000 && mode !== "restart") throw Error("meter values missing between " + last + " and " + t);
        last = t;
    }
    if (end - last > 8000 && mode !== "restart") throw Error("meter values missing before the stop");
    if (meters.length < 4) throw Error("meter values " + meters.length);
    // Every transaction message the charge point sent was processed once:
    // each of its unique ids is one record, a retry kept the id it had.
    const sent = lines.filter(l => l.dir === "in" && l.frame.startsWith("[2,")).map(l => JSON.parse(l.frame))
        .filter(m => m[2] === "StartTransaction" || m[2] === "StopTransaction" ||
                     (m[2] === "MeterValues" && m[3].transactionId !== undefined));
    const ids = new Set(sent.map(m => m[1]));
    const processed = new Set(txn.map(t => t.id));
    for (const i of ids) if (!processed.has(i)) throw Error("sent, never processed: " + i);
    if (processed.size !== txn.length) throw Error("one id processed twice");
    const again = (action) => sent.filter(m => m[2] === action).length - new Set(sent.filter(m => m[2] === action).map(m => m[1])).size;
    const retries = lines.filter(l => l.event === "retry");
    if (mode === "delay") {
        const delayed = lines.find(l => l.event === "delayed");
        const late = lines.find(l => l.dir === "out" && l.frame.startsWith("[3," + JSON.stringify(delayed.id)));
        if (again("StartTransaction") < 1 || !retries.some(r => r.id === delayed.id && !r.answered))
            throw Error("the start was not retried under its id");
        if (!late || late.t - delayed.t < 34000) throw Error("the late answer");
        // The charge point went on while the start waited for its answer.
        const during = times.filter(t => t < begin + 33000).length;
        if (during < 8) throw Error("meter values taken while the start waited: " + during);
        // One CALL at a time on the link: the Charging status taken meanwhile
        // follows the late answer at once.
        const statuses = lines.filter(l => l.dir === "in" && l.frame.includes("\"StatusNotification\"") &&
                                          l.t > late.t && l.t < late.t + 10000);
        if (!statuses.some(l => l.frame.includes("\"Charging\""))) throw Error("no Charging status after the late answer");
    }
    if (mode === "cutmeter" || mode === "cutstop") {
        const cut = lines.find(l => l.event === "cut");
        const action = mode === "cutmeter" ? "MeterValues" : "StopTransaction";
        const cutFrame = lines.filter(l => l.dir === "in" && l.frame.includes("\"" + action + "\"") && l.t <= cut.t).pop();
        const cutId = JSON.parse(cutFrame.frame)[1];
        if (sent.filter(m => m[1] === cutId).length < 2) throw Error("the cut message was not sent again under its id");
        if (txn.filter(t => t.id === cutId).length !== 1) throw Error("the cut message processed " + txn.filter(t => t.id === cutId).length);
    }
    if (mode === "errmeter") {
        const errors = lines.filter(l => l.dir === "out" && l.frame.startsWith("[4,"));
        if (errors.length !== 2 || again("MeterValues") < 2) throw Error("the refused meter value was not retried");
    }
    if (mode === "flap") {
        // The alarm records the central system got are those Bastide wrote,
        // in their order, from the first on: none skipped, none overtaken.
        const written = events.split("\n").map(l => l.slice(l.lastIndexOf(" ") + 1)).filter(c => /^[01]0500D$/.test(c));
        const got = lines.filter(l => l.dir === "in" && l.frame.includes("\"StatusNotification\""))
            .map(l => JSON.parse(l.frame)[3].vendorErrorCode).filter(c => /^[01]0500D$/.test(c));
        if (written.length < 20 || got.length < 10) throw Error("alarm records written " + written.length + ", sent " + got.length);
        console.log("alarm records written " + written.length + ", sent " + got.length);
        if (JSON.stringify(got) !== JSON.stringify(written.slice(0, got.length)))
            throw Error("alarm records out of Bastide order: " + got.join(" "));
    }
    if (mode === "restart") {
        // No false stop, and no stale status of the restarted run.
        const killed = lines.findIndex(l => l.event === "test");
        const after = lines.slice(killed).filter(l => l.dir === "in" && l.frame.includes("\"StatusNotification\""))
            .map(l => JSON.parse(l.frame)[3]).filter(p => p.connectorId === 2);
        const stopAt = lines.findIndex(l => l.event === "txn" && l.kind === "stop");
        const before = lines.slice(killed, stopAt).filter(l => l.dir === "in" && l.frame.includes("\"StatusNotification\""))
            .map(l => JSON.parse(l.frame)[3]).filter(p => p.connectorId === 2 && /Available|Preparing/.test(p.status));
        if (before.length) throw Error("stale statuses after the restart: " + JSON.stringify(before));
        if (!lines.slice(killed).some(l => l.event === "txn" && l.kind === "meter"))
            throw Error("no meter values after the restart");
    }
' "$root/central.log" "$mode" "$(cat "$root/charge.log")" "$(cat "$root"/Storage/Events/*_Events.csv 2>/dev/null)" ||
    fail "central log checks"
! ocpplog_has "status ring overrun" || fail "the status ring was overrun"
echo "PASS: ocppj txn $mode"
