#!/usr/bin/env bash
# The OCPP-J programs against a real, strict OCPP 1.6J central system (npm
# ocpp-rpc): stationctl loads FennickApp and starts Tarnet, Tarnet starts
# Fennick, Fennick connects. Runs in an IPC namespace of its own, on a free
# port, under a station root of its own.
#   ocppj_link.sh BUILD_DIR ws       boot (Pending, then Accepted), configuration commands, heartbeats
#   ocppj_link.sh BUILD_DIR wss      TLS: refused for another CA and another host, then connected
#   ocppj_link.sh BUILD_DIR restart  a killed Fennick is started again by Tarnet
#   ocppj_link.sh BUILD_DIR status   Bastide's connector statuses reach the central system through
#                                    Tarnet and Fennick, also after Bastide is killed and restarted
#   ocppj_link.sh BUILD_DIR commands every central-system command of sim/central/scenarios/commands.json
#                                    answered, a local list of 100 cards (over 10 KiB) stored whole
#   ocppj_link.sh BUILD_DIR charge   a scripted charge: Authorize, StartTransaction, MeterValues,
#                                    StopTransaction by the same card
#   ocppj_link.sh BUILD_DIR refused  the first StartTransaction gets a CALLERROR: it is queued and
#                                    sent again, and the charge goes on with the id then given
#   ocppj_link.sh BUILD_DIR cut      the link is cut mid-charge: the queued MeterValues and the
#                                    StopTransaction are replayed in order once it is back
#   ocppj_link.sh BUILD_DIR remote   a RemoteStartTransaction with a 16 A profile starts a charge whose
#                                    limit reaches the register map, RemoteStopTransaction ends it
. "$(dirname "$0")/ocppj_rig.sh"

# The station controller stays and serves Tarnet's requests, its lines in stationctl.out.
serving_station() {
    STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --ocpp-serve "$src/sim/ocpp-profile.conf" \
        storagePath=/Storage/OCPP16/ ocppLogDir=/Storage/OCPPLog/ caCertPath=/Storage/ca.pem \
        centralSystemUrl="ws://127.0.0.1:$port/ocpp/" "$@" > "$root/stationctl.out" &
    stationctl_pid=$!
    trap 'kill $stationctl_pid 2>/dev/null || true; cleanup' EXIT
    wait_for 20 "Tarnet started" "$root/stationctl.out" || fail "stationctl did not start Tarnet"
}

case "$mode" in
ws)
    cat > "$root/script.json" <<'JSON'
[{"at": 200, "call": "GetConfiguration", "params": {}},
 {"at": 1200, "call": "GetConfiguration", "params": {"key": ["HeartbeatInterval", "Foo"]}},
 {"at": 2200, "call": "ChangeConfiguration", "params": {"key": "HeartbeatInterval", "value": "-5"}},
 {"at": 3200, "call": "ChangeConfiguration", "params": {"key": "AuthorizationKey", "value": "n3w-s3cret"}},
 {"at": 4400, "raw": "[2,\"bad1\",\"ChangeConfiguration\",{\"key\":"},
 {"at": 4600, "raw": "[2,\"u1\",\"FlyToTheMoon\",{}]"},
 {"at": 5200, "call": "ChangeConfiguration", "params": {"key": "HeartbeatInterval", "value": "2"}},
 {"at": 5800, "call": "ChangeConfiguration", "params": {"key": "MeterValuesSampledData", "value": "Voltage\nSoC"}},
 {"at": 6400, "call": "ChangeConfiguration", "params": {"key": "Forged\r\nKey", "value": "1"}},
 {"at": 7200, "call": "Reset", "params": {"type": "Soft"}}]
JSON
    # A CALL longer than the 64 KiB the link takes is still answered.
    node -e 'const f = process.argv[1], s = JSON.parse(require("fs").readFileSync(f, "utf8"));
             s.push({at: 4700, raw: JSON.stringify([2, "big1", "DataTransfer", {vendorId: "V", data: "x".repeat(70000)}])});
             require("fs").writeFileSync(f, JSON.stringify(s));' "$root/script.json"
    central --password 0123456789abcdef --boot Pending:2,Accepted:300 --script "$root/script.json"
    station centralSystemUrl="ws://127.0.0.1:$port/ocpp/"
    wait_for 30 '"call":"ChangeConfiguration","result":{"status":"Accepted"}' "$root/central.log" ||
        fail "the configuration commands were not answered"
    sleep 6  # two heartbeats at the new interval of 2 s
    wait_for 30 '"call":"Reset","result":{"status":"Accepted"}' "$root/central.log" || fail "Reset not accepted"
    log=$root/central.log
    has '"identity":"CP 01","path":"/ocpp","host":"127.0.0.1:'"$port"'","origin":"http://127.0.0.1:'"$port"'","password":"0123456789abcdef"' "$log" ||
        fail "handshake identity, path, Host, Origin or password"
    has '"BootNotification\",{\"chargePointVendor\":\"Vanto Electronics\",\"chargePointModel\":\"DC50-CC\",\"chargePointSerialNumber\":\"VE50CC000123\",\"chargeBoxSerialNumber\":\"VE50CC000123\",\"firmwareVersion\":\"02.09.00.09\",\"iccid\":\"\",\"imsi\":\"\"}]' "$log" ||
        fail "BootNotification keys"
    node -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
        const boots = lines.filter(l => l.dir === "in" && l.frame.includes("\"BootNotification\""));
        if (boots.length !== 2) throw Error("two BootNotifications expected, got " + boots.length);
        if (boots[1].t - boots[0].t < 1900) throw Error("Pending with interval 2 retried after " + (boots[1].t - boots[0].t) + " ms");
        for (const b of boots) if (!/^\[2,"\d{12,}",/.test(b.frame)) throw Error("unique id " + b.frame);
        const results = lines.filter(l => l.event === "result" || l.event === "callError");
        const all = results[0].result.configurationKey;
        if (all.length !== 50 || all[0].key !== "AllowOfflineTxForUnknownId" || all[49].key !== "ChargeBoxID")
            throw Error("GetConfiguration without keys");
        if (all.find(k => k.key === "AuthorizationKey").value !== undefined) throw Error("AuthorizationKey shown");
        if (all.find(k => k.key === "NumberOfConnectors").readonly !== true) throw Error("readonly");
        const want = [
            JSON.stringify({configurationKey: [{key: "HeartbeatInterval", readonly: false, value: "300"}], unknownKey: ["Foo"]}),
            JSON.stringify({status: "Rejected"}), JSON.stringify({status: "RebootRequired"}),
            JSON.stringify({status: "Accepted"}), JSON.stringify({status: "Rejected"}),
            JSON.stringify({status: "NotSupported"}), JSON.stringify({status: "Accepted"})];
        const got = results.slice(1).map(r => r.result ? JSON.stringify(r.result) : r.error);
        if (JSON.stringify(got) !== JSON.stringify(want)) throw Error("answers " + JSON.stringify(got));
        const errs = lines.filter(l => l.dir === "in" && l.frame.startsWith("[4,")).map(l => l.frame);
        if (!errs.some(f => f.startsWith("[4,\"bad1\",\"FormationViolation\"")) ||
            !errs.some(f => f.startsWith("[4,\"big1\",\"FormationViolation\"")) ||
            !errs.some(f => f.startsWith("[4,\"u1\",\"NotImplemented\"")))
            throw Error("CALLERRORs " + JSON.stringify(errs));
        if (lines.some(l => l.event === "strictValidationFailure" ||
                            (l.event === "badMessage" && !/unrecognised message ID: (bad1|u1|big1)$/.test(l.error))))
            throw Error("the strict central system found a fault");
        const change = lines.find(l => l.event === "result" && l.call === "ChangeConfiguration" && l.result.status === "Accepted").t;
        const beats = lines.filter(l => l.dir === "in" && l.frame.includes("\"Heartbeat\"") && l.t > change);
        if (beats.length < 2) throw Error("heartbeats at the new interval: " + beats.length);
    ' "$log" || fail "central log checks"
    [ "$(shm 1111 404 s32le)" = 2 ] || fail "HeartbeatInterval in FennickApp: $(shm 1111 404 s32le)"
    [ "$(shm 1111 108604 u8)" = 1 ] || fail "configChangedFlag"
    [ "$(shm 1111 108606 u8)" = 1 ] || fail "softResetReq after the accepted Reset"
    [ "$(shm 1111 108588 text:12)" = "02.09.00.09" ] || fail "ctrlVersion"
    [ "$(shm 2222 1222 text:16)" = Idle ] && [ "$(shm 2222 1238 text:20)" = Idle ] || fail "Idle texts"
    [ "$(shm 2222 4 u8)" = 1 ] && [ "$(shm 2222 5 u8)" = 1 ] || fail "wsConnected and backendReachable"
    ocpplog_has 'key=AuthorizationKey,value=\*\*\*\*' || fail "AuthorizationKey masked in the log"
    # Texts of the central system stay in their line.
    ocpplog_has -F 'value=Voltage\nSoC' && ocpplog_has -F 'key=Forged\r\nKey' || fail "texts not escaped in the log"
    ! ocpplog_has -E '^(SoC|Key)' || fail "a text of the central system began a log line"
    ! ocpplog_has 'n3w-s3cret' || fail "AuthorizationKey in the log"
    ;;
wss)
    cd "$root"
    mkca() {  # mkca NAME
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -keyout "$1.key" -out "$1.pem" 2>/dev/null
    }
    mkcert() {  # mkcert CA HOST NAME
        openssl req -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$3.key" -out "$3.csr" 2>/dev/null
        printf 'subjectAltName=DNS:%s\n' "$2" > "$3.ext"
        openssl x509 -req -in "$3.csr" -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -days 2 \
            -extfile "$3.ext" -out "$3.pem" 2>/dev/null
    }
    mkca testca; mkca otherca
    mkcert testca localhost good; mkcert otherca localhost foreign; mkcert testca otherhost wronghost
    cp testca.pem Storage/ca.pem
    central --tls foreign.pem foreign.key
    station tlsEnabled=1 centralSystemUrl="wss://localhost:$port/ocpp/"
    refusals() { ocpplog 2>/dev/null | grep -c 'CONNECTION_ERROR' || true; }
    refused_after() {  # refused_after COUNT: waits up to 30 s for a refusal more than COUNT
        local i
        for ((i = 0; i < 300; ++i)); do
            [ "$(refusals)" -gt "$1" ] && return 0
            sleep 0.1
        done
        return 1
    }
    refused_after 0 || fail "no refusal logged for another CA"
    has '"event":"connected"' "$root/central.log" && fail "connected to a server of another CA"
    kill "$central_pid"; wait "$central_pid" 2>/dev/null || true
    central --tls wronghost.pem wronghost.key
    before=$(refusals)  # counted once it listens: later refusals are of its certificate
    refused_after "$before" || fail "no refusal logged for another host"
    has '"event":"connected"' "$root/central.log" && fail "connected to a server certified for another host"
    kill "$central_pid"; wait "$central_pid" 2>/dev/null || true
    central --tls good.pem good.key --password 0123456789abcdef
    wait_for 30 '"status\":\"Accepted\"' "$root/central.log" || fail "no accepted boot over TLS"
    has '"identity":"CP 01"' "$root/central.log" || fail "identity over TLS"
    ;;
restart)
    central --password 0123456789abcdef
    station centralSystemUrl="ws://127.0.0.1:$port/ocpp/"
    wait_for 30 '"event":"connected"' "$root/central.log" || fail "no connection"
    fennick=$(station_pids Fennick)
    [ -n "$fennick" ] || fail "Fennick not running"
    n=$(count '"event":"connected"' "$root/central.log")
    kill -9 "$fennick"
    started=$SECONDS
    # Tarnet looks for its transport every 60 s; under load allow some more.
    wait_more 80 "$n" '"event":"connected"' "$root/central.log" || fail "Fennick not started again"
    [ $((SECONDS - started)) -le 75 ] || fail "restarted after $((SECONDS - started)) s"
    ;;
status)
    central --password 0123456789abcdef
    station centralSystemUrl="ws://127.0.0.1:$port/ocpp/"
    ocpp_map
    bastide() { STATION_ROOT="$root" "$root/root/Bastide" & bastide_pid=$!; }
    statuses() { count '"StatusNotification' "$root/central.log"; }
    bastide
    wait_more 30 2 '"StatusNotification' "$root/central.log" || fail "no statuses at Bastide's start"
    map 21516 2 u8  # the CCS connector is plugged
    wait_more 20 3 '"StatusNotification' "$root/central.log" || fail "no Preparing"
    kill -9 "$bastide_pid"
    wait "$bastide_pid" 2>/dev/null || true
    bastide  # a restarted Bastide reports every status again
    wait_more 30 6 '"StatusNotification' "$root/central.log" || fail "no statuses after Bastide's restart"
    node -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
        if (lines.some(l => l.event === "strictValidationFailure" || l.event === "badMessage"))
            throw Error("the strict central system found a fault");
        const sent = lines.filter(l => l.dir === "in" && l.frame.includes("\"StatusNotification\""))
            .map(l => JSON.parse(l.frame)[3]);
        const got = sent.map(p => p.connectorId + " " + p.status + " " + p.errorCode + " " + p.info).join(", ");
        const want = "1 Available NoError Available, 2 Available NoError Available, 0 Available NoError Available, " +
                     "2 Preparing NoError Preparing, 1 Available NoError Available, 2 Preparing NoError Preparing, " +
                     "0 Available NoError Available";
        if (got !== want) throw Error("statuses " + got);
        for (const p of sent) {
            if (p.vendorId !== "Vanto Electronics" || !/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/.test(p.timestamp))
                throw Error("record " + JSON.stringify(p));
        }
        const answered = lines.filter(l => l.dir === "out" && /^\[3,/.test(l.frame)).length;
        if (answered < 7 + 1) throw Error("answers " + answered);
    ' "$root/central.log" || fail "central log checks"
    [ "$(shm 1111 4188 u8)" = 7 ] || fail "ring write index $(shm 1111 4188 u8)"
    ;;
commands)
    central --password 0123456789abcdef --script "$src/sim/central/scenarios/commands.json"
    serving_station
    steps=$(grep -c '"call"' "$src/sim/central/scenarios/commands.json")
    wait_more 120 $((steps - 1)) '"event":"result"' "$root/central.log" || fail "the commands were not all answered"
    node -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
        if (lines.some(l => l.event === "strictValidationFailure" || l.event === "badMessage" || l.event === "callError"))
            throw Error("the strict central system found a fault");
        const list = lines.find(l => l.dir === "out" && l.frame.includes("\"SendLocalList\""));
        if (list.frame.length <= 10240) throw Error("the local list frame is only " + list.frame.length + " bytes");
        const got = lines.filter(l => l.event === "result").map(l => l.call + " " + JSON.stringify(l.result));
        const want = [
            "SendLocalList {\"status\":\"Accepted\"}", "GetLocalListVersion {\"listVersion\":1}",
            "SendLocalList {\"status\":\"VersionMismatch\"}", "SetChargingProfile {\"status\":\"Accepted\"}",
            "SetChargingProfile {\"status\":\"Accepted\"}", "SetChargingProfile {\"status\":\"Rejected\"}",
            "GetCompositeSchedule", "GetCompositeSchedule {\"status\":\"Rejected\"}",
            "ClearChargingProfile {\"status\":\"Unknown\"}", "ClearChargingProfile {\"status\":\"Accepted\"}",
            "ChangeAvailability {\"status\":\"Accepted\"}", "ChangeAvailability {\"status\":\"Accepted\"}",
            "ClearCache {\"status\":\"Accepted\"}", "DataTransfer {\"status\":\"UnknownVendorId\"}",
            "ReserveNow {\"status\":\"Accepted\"}", "CancelReservation {\"status\":\"Accepted\"}",
            "CancelReservation {\"status\":\"Rejected\"}", "RemoteStopTransaction {\"status\":\"Rejected\"}",
            "TriggerMessage {\"status\":\"Accepted\"}", "TriggerMessage {\"status\":\"Rejected\"}",
            "UnlockConnector {\"status\":\"Unlocked\"}", "RemoteStartTransaction {\"status\":\"Accepted\"}",
            "ClearChargingProfile {\"status\":\"Accepted\"}"];
        const schedule = got[6];
        got[6] = got[6].split(" ")[0];
        if (JSON.stringify(got) !== JSON.stringify(want)) throw Error("answers " + JSON.stringify(got, null, 1));
        const s = JSON.parse(schedule.slice(schedule.indexOf(" ") + 1));
        const c = s.chargingSchedule;
        if (s.status !== "Accepted" || s.connectorId !== 1 || c.duration !== 600 || c.chargingRateUnit !== "A" ||
            c.minChargingRate !== 6 || JSON.stringify(c.chargingSchedulePeriod) !==
                JSON.stringify([{startPeriod: 0, limit: 32, numberPhases: 1}]) || c.startSchedule !== s.scheduleStart)
            throw Error("composite schedule " + schedule);
    ' "$root/central.log" || fail "central log checks"
    list="$root/Storage/OCPP16/LocalList/LocalList"
    [ "$(grep -c $'\r$' "$list")" = 100 ] || fail "the local list holds $(grep -c $'\r$' "$list") cards"
    grep -qxF $'CARD-100-0123456789:~1893456000:FLEET-100-ABCDEFGH:~Blocked\r' "$list" || fail "the last card"
    [ "$(cat "$root/Storage/OCPP16/LocalList/Version")" = 1 ] || fail "the list version"
    [ "$(stat -c %s "$root/Storage/OCPP16/ChgProfile")" = 8240 ] || fail "the profile file's size"
    [ "$(cat "$root/Storage/OCPP16/Cnntr1/StsAvail")" = 0 ] || fail "availability file"
    wait_for 20 "remote start on connector 2" "$root/stationctl.out" || fail "the station saw no remote start"
    has "connector 1 unlocked" "$root/stationctl.out" || fail "the station saw no unlock"
    ;;
charge | cut | refused)
    script='[]' refuse=()
    [ "$mode" = cut ] && script='[{"after": "MeterValues", "count": 1, "cut": "close", "ms": 12000}]'
    [ "$mode" = refused ] && refuse=(--error StartTransaction:InternalError:1)
    echo "$script" > "$root/script.json"
    central --password 0123456789abcdef --idtag ABC123:Accepted:3600:PARENT1 --script "$root/script.json" "${refuse[@]}"
    station centralSystemUrl="ws://127.0.0.1:$port/ocpp/" MeterValueSampleInterval=2 \
        MeterValuesSampledData=Energy.Active.Import.Register,SoC,Voltage ClockAlignedDataInterval=0
    ocpp_map
    STATION_ROOT="$root" "$root/root/Bastide" &
    wait_more 30 2 '"StatusNotification' "$root/central.log" || fail "no statuses at Bastide's start"
    seconds=8
    STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --charge connector=2 card=ABC123 \
        seconds=$seconds energy=1000 > "$root/charge.log" || fail "the charge did not run: $(cat "$root/charge.log")"
    wait_for 40 '"StopTransaction' "$root/central.log" || fail "no StopTransaction"
    sleep 1
    node -e '
        const mode = process.argv[2];
        const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
        if (lines.some(l => l.event === "strictValidationFailure" || l.event === "badMessage"))
            throw Error("the strict central system found a fault");
        const calls = lines.filter(l => l.dir === "in" && l.frame.startsWith("[2,")).map(l => ({ t: l.t, m: JSON.parse(l.frame) }));
        const tx = calls.filter(c => /Authorize|Transaction|MeterValues/.test(c.m[2]));
        const names = tx.map(c => c.m[2]);
        // Refused, the start goes out twice: the second is the queued one.
        const starts = mode === "refused" ? 2 : 1;
        if (names[0] !== "Authorize" || names.slice(1, 1 + starts).some(n => n !== "StartTransaction") ||
            names[names.length - 1] !== "StopTransaction" ||
            names.filter(n => n === "Authorize").length !== 1 || names.filter(n => n === "StartTransaction").length !== starts)
            throw Error("order " + names.join(" "));
        if (mode === "refused" && JSON.stringify(tx[1].m[3]) !== JSON.stringify(tx[2].m[3]))
            throw Error("the queued start differs " + JSON.stringify([tx[1].m[3], tx[2].m[3]]));
        const start = tx[starts].m[3], stop = tx[tx.length - 1].m[3];
        if (start.connectorId !== 2 || start.idTag !== "ABC123" || start.meterStart < 1000) throw Error("start " + JSON.stringify(start));
        if (stop.transactionId !== 1 || stop.reason !== "Local" || stop.meterStop <= start.meterStart)
            throw Error("stop " + JSON.stringify(stop));
        const meters = tx.filter(c => c.m[2] === "MeterValues").map(c => c.m[3]);
        if (meters.length < 2) throw Error("meter values " + meters.length);
        let last = 0, energy = 0;
        for (const m of meters) {
            const v = m.meterValue[0];
            const when = Date.parse(v.timestamp);
            const got = v.sampledValue.map(s => s.measurand + "/" + s.unit + "/" + s.context).join(",");
            if (m.connectorId !== 2 || m.transactionId !== 1 ||
                got !== "Voltage/V/Sample.Periodic,Energy.Active.Import.Register/Wh/Sample.Periodic,SoC/Percent/Sample.Periodic")
                throw Error("meter value " + JSON.stringify(m));
            const e = Number(v.sampledValue[1].value);
            if (when < last || e < energy || when > Date.parse(stop.timestamp)) throw Error("meter values out of order");
            last = when, energy = e;
        }
        const statuses = calls.filter(c => c.m[2] === "StatusNotification" && c.m[3].connectorId === 2).map(c => c.m[3].status);
        // Cut, the statuses in force go out once the link is back: Charging may be gone by then.
        if ((mode === "charge" && !statuses.includes("Charging")) || !statuses.includes("Preparing"))
            throw Error("statuses " + statuses.join(" "));
        if (mode === "cut") {
            const closed = lines.find(l => l.event === "closed").t;
            const back = lines.filter(l => l.event === "connected")[1].t;
            const after = tx.filter(c => c.t > back);
            // Everything metered while the link was down and the stop come after it is back, oldest first.
            if (after.length < 2 || after[after.length - 1].m[2] !== "StopTransaction" ||
                after.slice(0, -1).some(c => c.m[2] !== "MeterValues"))
                throw Error("replay " + after.map(c => c.m[2]).join(" "));
            const down = meters.filter(m => Date.parse(m.meterValue[0].timestamp) < Date.parse(stop.timestamp) &&
                                            tx.find(c => c.m[3] === m).t > back);
            if (down.length < 2) throw Error("queued meter values replayed: " + down.length);
            if (!(closed < back)) throw Error("cut " + closed + " back " + back);
        }
    ' "$root/central.log" "$mode" || fail "central log checks"
    [ "$(shm 1111 108608 text:21)" = "" ] && [ "$(shm 1111 108676 text:21)" = "" ] || fail "idTag left on a connector"
    [ "$(cat "$root/Storage/OCPP16/Cnntr2/TxnID")" = 0 ] || fail "TxnID after the close"
    [ ! -s "$root/Storage/OCPP16/TxnMsgQueue" ] || fail "queue not empty: $(cat "$root/Storage/OCPP16/TxnMsgQueue")"
    # The central system's expiry and parent of the card are cached.
    grep -qE $'^ABC123\\| [0-9]{10}\\| PARENT1\\|0\r$' "$root/Storage/OCPP16/[Fennick]OCPP_Cache" ||
        fail "cache: $(cat -A "$root/Storage/OCPP16/[Fennick]OCPP_Cache")"
    ;;
remote)
    central --password 0123456789abcdef --script "$src/sim/central/scenarios/remote-start.json"
    serving_station
    ocpp_map
    STATION_ROOT="$root" "$root/root/Bastide" &
    wait_for 40 '"StopTransaction' "$root/central.log" || fail "no StopTransaction"
    wait_for 10 "charging stopped on connector 2" "$root/stationctl.out" || fail "the station was not told to stop"
    node -e '
        const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
        if (lines.some(l => l.event === "strictValidationFailure" || l.event === "badMessage" || l.event === "callError"))
            throw Error("the strict central system found a fault");
        const calls = (action) => lines.filter(l => l.dir === "in" && l.frame.includes("\"" + action + "\""))
            .map(l => JSON.parse(l.frame)[3]);
        const start = calls("StartTransaction");
        if (start.length !== 1 || start[0].connectorId !== 2 || start[0].idTag !== "REMOTE1")
            throw Error("StartTransaction " + JSON.stringify(start));
        const stop = calls("StopTransaction");
        if (stop.length !== 1 || stop[0].transactionId !== 1 || stop[0].reason !== "Remote")
            throw Error("StopTransaction " + JSON.stringify(stop));
        const results = lines.filter(l => l.event === "result");
        const got = results.map(r => r.call + " " + (r.result.status || ""));
        if (JSON.stringify(got) !== JSON.stringify(["RemoteStartTransaction Accepted", "GetCompositeSchedule Accepted",
                                                     "RemoteStopTransaction Accepted"]))
            throw Error("answers " + JSON.stringify(got));
        const c = results[1].result.chargingSchedule;
        if (JSON.stringify(c.chargingSchedulePeriod) !== JSON.stringify([{startPeriod: 0, limit: 16, numberPhases: 1}]))
            throw Error("composite schedule " + JSON.stringify(results[1].result));
        if (!calls("StatusNotification").some(p => p.connectorId === 2 && p.status === "Charging"))
            throw Error("no Charging status on connector 2");
    ' "$root/central.log" || fail "central log checks"
    has "remote start on connector 2" "$root/stationctl.out" || fail "the station saw no remote start"
    has "charging limit 16 A, -1 W" "$root/stationctl.out" || fail "the 16 A limit never reached 21506: $(cat "$root/stationctl.out")"
    ;;
*)
    echo "usage: $0 BUILD_DIR ws|wss|restart|status|commands|charge|cut|refused|remote"; exit 2 ;;
esac
echo "PASS: ocppj $mode"
