#!/usr/bin/env bash
# Quillon's SOAP server as the central system meets it: Quillon and Bastide
# as their own processes on one register map, in a private IPC and network
# namespace; once the BootNotification is accepted, the central system's
# side (sim/central15/calls.js, Node soap) calls every charge-point
# operation on port 8080 over HTTP, or over HTTPS with a certificate of a CA
# made here with the openssl CLI, and checks each reply and what it changed
# in the register map, the flash image and the local list.
#   quillon_server.sh BUILD http|https
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
if [ -z "${QUILLON_IN_NS:-}" ]; then
    QUILLON_IN_NS=1 exec unshare --ipc --net "$0" "$@"
fi
. "$(dirname "$0")/quillon_env.sh"
scheme=$2
mkdir -p "$root/dev"
head -c 131072 /dev/zero > "$root/dev/mtdblock4"

calls_opts=(--url "$scheme://127.0.0.1:8080/ChargeBox/OCPP15")
central_opts=()
mode=0
if [ "$scheme" = https ]; then
    # A CA, and the station's key and certificate signed by it.
    (cd "$root" &&
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA 2>/dev/null &&
        openssl req -newkey rsa:2048 -nodes -keyout cp.key -out cp.csr -subj /CN=127.0.0.1 2>/dev/null &&
        openssl x509 -req -in cp.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cp.pem -days 2 \
            -extfile <(printf 'subjectAltName=IP:127.0.0.1') 2>/dev/null) || fail "openssl"
    cat "$root/cp.key" "$root/cp.pem" > "$root/Storage/[OCPP15S]ServerKeyCert.pem"
    chmod 0600 "$root/Storage/[OCPP15S]ServerKeyCert.pem"
    cp "$root/ca.pem" "$root/Storage/[OCPP15S]CACert.pem"
    calls_opts+=(--ca "$root/ca.pem")
    central_opts=(--tls "$root/cp.pem" "$root/cp.key")
    mode=1
fi
call() { node "$src/sim/central15/calls.js" "${calls_opts[@]}" "$@"; }

# The firmware image on an FTP server of its own (Debian's pyftpdlib).
# The same server takes the diagnostics archive (anonymous writes).
mkdir -p "$root/ftp/d" "$root/ftp/up"
printf 'IMAGE-1.2.3' > "$root/ftp/d/fw.bin"
printf 'secret-42\n' > "$root/Storage/[OCPP15S]DiagSecret"
chmod 0600 "$root/Storage/[OCPP15S]DiagSecret"
printf 'a log line\n' > "$root/Storage/SystemLog/[2020.01]SystemLog"
/usr/bin/python3 -m pyftpdlib -w -i 127.0.0.1 -p 2121 -d "$root/ftp" > "$root/ftp.log" 2>&1 &
ftp=$!

node "$src/sim/central15/central15.js" --port 0 --log "$log" --identity CB-0001 --heartbeat 300 "${central_opts[@]}" &
central=$!
for ((i = 0; i < 600; ++i)); do grep -q '"event":"listening"' "$log" 2>/dev/null && break; sleep 0.1; done
port=$(grep -o '"port":[0-9]*' "$log" | head -1 | cut -d: -f2)
[ -n "$port" ] || fail "the central system did not start"

$STATION_EXEC_PREFIX "$build/tests/make_segment" 5438 262144
t write SHRMEM_OCPP_ENABLE 1
t write SHRMEM_OCPP_MODE $mode
t write SHRMEM_OCPP_URL "$scheme://127.0.0.1:$port/ocpp15"
t write SHRMEM_MODEL_NAME DC50-CC
t write SHRMEM_SERIAL_NUMBER SN0042
t write SHRMEM_ETH0_IP 127.0.0.1
t write 2624 CB-0001 text:129
$STATION_EXEC_PREFIX "$build/bin/Bastide" >> "$root/bastide.out" 2>&1 & bastide=$!
$STATION_EXEC_PREFIX "$build/bin/Quillon" >> "$root/quillon.out" 2>&1 & quillon=$!

# Answered, Quillon waits 30 s before it serves. Until its port 8080 listens
# the kernel's socket table is read: a call starts node, a processor-second.
listening() { grep -qE '^ *[0-9]+: [0-9A-F]+:1F90 [0-9A-F]+:0000 0A ' /proc/net/tcp /proc/net/tcp6; }
for ((i = 0; i < 900; ++i)); do listening && break; sleep 0.1; done
for ((i = 0; i < 300; ++i)); do
    call '{"op":"GetLocalListVersion"}' > "$root/first.json" 2>/dev/null && break
    sleep 0.1
done
grep -q '"listVersion":"0"' "$root/first.json" || fail "the server did not answer: $(cat "$root/first.json")"
echo "ok   the server answers after the accepted boot"

# Calls go in batches (node's start is the slow part); line N of a batch's
# output is the reply to its call N.
batch() { out=$(call "$@") || fail "replies: $out"; }
reply() { sed -n "$1p" <<< "$out"; }
status() { reply "$1" | grep -o '"status":"[A-Za-z]*"' | head -1 | cut -d'"' -f4; }

t write SHRMEM_CHARGER_STATE 1
batch '{"op":"ChangeAvailability","args":{"connectorId":1,"type":"Inoperative"}}' \
      '{"op":"RemoteStartTransaction","args":{"idTag":"TAG1"}}'
check "ChangeAvailability Inoperative while charging" "$(status 1)" Scheduled
check "availability flag" "$(r SHRMEM_AVAILABILITY)" 1
check "flag in both flash copies" "$(od -An -tu1 -j451 -N1 "$root/dev/mtdblock4" | tr -d ' ')/$(od -An -tu1 -j65987 -N1 "$root/dev/mtdblock4" | tr -d ' ')" 1/1
check "flash sum high byte first" "$(od -An -tx1 -j65532 -N4 "$root/dev/mtdblock4" | tr -d ' ')" 00000001
check "RemoteStart while charging" "$(status 2)" Rejected

t write SHRMEM_CHARGER_STATE 0
t write 438 65 u8
batch '{"op":"RemoteStartTransaction","args":{"idTag":"TAG1"}}' \
      '{"op":"ReserveNow","args":{"connectorId":1,"expiryDate":"2030-01-01T00:00:00Z","idTag":"TAG7","reservationId":5}}' \
      '{"op":"GetConfiguration","args":{"key":["heartbeatinterval","NoSuchKey"]}}' \
      '{"op":"ChangeConfiguration","args":{"key":"MaxOutputPower","value":"30"}}' \
      '{"op":"ChangeConfiguration","args":{"key":"MeterValueSampleInterval","value":"15"}}' \
      '{"op":"DataTransfer","args":{"vendorId":"Vanto Electronic","messageId":"information"}}' \
      '{"op":"SendLocalList","args":{"updateType":"Full","listVersion":4,"localAuthorisationList":[{"idTag":"TAG","idTagInfo":{"status":"Accepted"}}]}}' \
      '{"op":"SendLocalList","args":{"updateType":"Differential","listVersion":4}}' \
      '{"op":"ClearCache"}' \
      '{"op":"GetLocalListVersion"}' \
      '{"op":"UnlockConnector","args":{"connectorId":1}}' \
      '{"op":"GetDiagnostics","args":{"location":"ftp://127.0.0.1:2121/up"}}' \
      '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/fw.bin"}}'
check "RemoteStart idle" "$(status 1)" Accepted
check "start request 408-409" "$(r 408)/$(r 409)" 39/16
check "ReserveNow idle" "$(status 2)" Accepted
reply 3 | grep -q '"key":"HeartBeatInterval","readonly":"false","value":"300"' || fail "GetConfiguration: $(reply 3)"
reply 3 | grep -q '"unknownKey":"NoSuchKey"' || fail "GetConfiguration unknownKey: $(reply 3)"
echo "ok   GetConfiguration by key"
check "ChangeConfiguration MaxOutputPower 30" "$(status 4)" Rejected
check "stored capped" "$(r 443)" 25
check "ChangeConfiguration MeterValueSampleInterval 15" "$(status 5)" Accepted
check "interval file" "$(od -An -tx1 "$root/Storage/[OCPP15S]MeterValSmplIntvl" | tr -d ' ')" 0f000000
reply 6 | grep -q 'inlet_temp:25,' || fail "DataTransfer information: $(reply 6)"
echo "ok   DataTransfer information"
check "SendLocalList Full" "$(status 7)" Accepted
check "SendLocalList Differential at the stored version" "$(status 8)" VersionMismatch
check "ClearCache" "$(status 9)" Accepted
check "local list file, kept by ClearCache" "$(od -An -c "$root/Storage/OCPPLocalList" | tr -s ' ' | tr -d '\n')" " T A G : 0 : : 0 \r \n"
reply 10 | grep -q '"listVersion":"4"' || fail "GetLocalListVersion: $(reply 10)"
check "UnlockConnector" "$(status 11)" Accepted
reply 12 | grep -qE '"fileName":"[0-9]{4}\.[0-9]{2}\.[0-9]{2}-[0-9]{2}\.[0-9]{2}_SN0042_OCPP15SDiag\.zip"' ||
    fail "GetDiagnostics: $(reply 12)"
echo "ok   GetDiagnostics file name"
archive=$(reply 12 | grep -o '"fileName":"[^"]*"' | cut -d'"' -f4)
for ((i = 0; i < 100; ++i)); do grep -q '"action":"DiagnosticsStatusNotification".*"Uploaded"' "$log" && break; sleep 0.1; done
grep -q '"action":"DiagnosticsStatusNotification".*"Uploaded"' "$log" || fail "no DiagnosticsStatusNotification Uploaded"
unzip -qq -P secret-42 -d "$root/unpacked" "$root/ftp/up/$archive" || fail "the archive on the FTP server does not open"
grep -q 'a log line' "$root/unpacked/Storage/SystemLog/[2020.01]SystemLog" || fail "the archive lacks the system log"
echo "ok   the diagnostics archive arrived on the FTP server and opens with the secret"
for ((i = 0; i < 100; ++i)); do [ "$(r 7909)" = 2 ] && break; sleep 0.1; done
check "firmware downloaded" "$(r 7909)/$(r 7401 text:64)" "2/127.0.0.1:2121/d/fw.bin"
check "image in /UsbFlash" "$(cat "$root/UsbFlash/fw.bin")" IMAGE-1.2.3
for ((i = 0; i < 100; ++i)); do grep -q '"status":"Downloaded"' "$log" && break; sleep 0.1; done
grep -q '"action":"FirmwareStatusNotification".*"status":"Downloaded"' "$log" || fail "no FirmwareStatusNotification Downloaded"
echo "ok   FirmwareStatusNotification Downloaded"

# A request that does not decode changes nothing and is answered with a fault.
out=$(call '{"op":"Reset","args":{"type":"Warm"}}') && fail "a bad Reset was not refused: $out"
grep -q '"fault"' <<< "$out" || fail "a bad Reset was not refused: $out"
check "nothing pending after the bad Reset" "$(r 7910)/$(r 448)" 0/128
t write 3153 77 s32le
t write SHRMEM_CHARGER_STATE 16
batch '{"op":"CancelReservation","args":{"reservationId":5}}' \
      '{"op":"RemoteStopTransaction","args":{"transactionId":77}}' \
      '{"op":"Reset","args":{"type":"Hard"}}'
check "CancelReservation" "$(status 1)" Accepted
check "RemoteStop of the running transaction" "$(status 2)" Accepted
check "Reset Hard" "$(status 3)" Accepted
check "stop request" "$(r SHRMEM_STOP_CHARGING)" 6
check "hard reset pending, no reservation" "$(r 7910)/$(r 7388)" 1/0
for ((i = 0; i < 200; ++i)); do grep -q '"connectorId":"1","status":"Unavailable"' "$log" && break; sleep 0.1; done
grep -q '"connectorId":"1","status":"Unavailable"' "$log" || fail "Bastide did not report Unavailable"
echo "ok   Bastide reports Unavailable for the pending hard reset"
! grep -q '"event":"invalid"' "$log" || fail "the central system refused a request"
for line in "ChangeAvailability to Lock" "reset:Hard" "SendLocalList OK" "GetConfiguration OK"; do
    grep -qF "[OCPP]main:$line" "$root"/Storage/SystemLog/* || fail "system log: $line"
done
echo "PASS"
