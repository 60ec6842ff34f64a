#!/usr/bin/env bash
# Quillon's SOAP server against clients that do not play by the rules, as
# its own processes in a private IPC and network namespace: raw clients
# (tests/ocpps/raw_client.py) beside the central system's Node soap client
# (sim/central15/calls.js) on port 8080.
#  - a 50 MB body, by Content-Length and chunked: refused with 413 while the
#    server process's peak memory (VmHWM) stays far below the body;
#  - a client that trickles its request is cut off within the request time
#    limit, and a normal call made meanwhile is answered;
#  - each malformed body gets its fault at once and changes nothing;
#  - firmware: a retry keeps its location through a DataTransfer, a request
#    while an image waits to be installed gets a fault and the image is still
#    reported, a request replaces one waiting for its retry (FTP server).
#   quillon_server_limits.sh BUILD
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
if [ -z "${QUILLON_IN_NS:-}" ]; then
    QUILLON_IN_NS=1 exec unshare --ipc --net "$0" "$@"
fi
. "$(dirname "$0")/quillon_env.sh"
raw() { /usr/bin/python3 "$src/tests/ocpps/raw_client.py" 8080 "$@"; }
call() { node "$src/sim/central15/calls.js" --url "http://127.0.0.1:8080/ChargeBox/OCPP15" "$@"; }
field() { grep -o "\"$1\":\"\\?[^,\"]*" <<< "$2" | head -1 | sed 's/.*[:"]//'; }
# until SECONDS COMMAND...: polls the condition every 0.2 s
until_true() {
    local i
    for ((i = 0; i < $1 * 5; ++i)); do "${@:2}" && return 0; sleep 0.2; done
    return 1
}

mkdir -p "$root/ftp/d"
printf 'IMAGE-A' > "$root/ftp/d/fw.bin"
printf 'IMAGE-B' > "$root/ftp/d/fw2.bin"
/usr/bin/python3 -m pyftpdlib -D -i 127.0.0.1 -p 2121 -d "$root/ftp" > "$root/ftp.log" 2>&1 &
ftp=$!
node "$src/sim/central15/central15.js" --port 0 --log "$log" --identity CB-0001 --heartbeat 300 &
central=$!
until_true 120 grep -q '"event":"listening"' "$log" || fail "the central system did not start"
port=$(grep -o '"port":[0-9]*' "$log" | head -1 | cut -d: -f2)

$STATION_EXEC_PREFIX "$build/tests/make_segment" 5438 262144
t write SHRMEM_OCPP_ENABLE 1
t write SHRMEM_OCPP_URL "http://127.0.0.1:$port/ocpp15"
t write SHRMEM_ETH0_IP 127.0.0.1
t write 2624 CB-0001 text:129
$STATION_EXEC_PREFIX "$build/bin/Quillon" >> "$root/quillon.out" 2>&1 & quillon=$!
answered() { call '{"op":"GetLocalListVersion"}' > "$root/first.json" 2>/dev/null; }
until_true 240 answered || fail "the server did not answer: $(cat "$root/first.json")"
server=$(pgrep -P "$quillon" | head -1)
[ -n "$server" ] || fail "no server process"
echo "ok   the server answers (process $server)"

# --- Bodies over the bound: refused before they are read.
peak() { awk '/^VmHWM/ {print $2}' "/proc/$server/status"; }
before=$(peak)
for mode in big chunked; do
    out=$(raw "$mode" 52428800)
    check "50 MB $mode body" "$(field status "$out")" 413
    grep -q 'Sender' <<< "$out" || fail "no Sender fault with the 413: $out"
done
# Within three times the 16 MB bound (the body alone would be 51200 kB).
grown=$(($(peak) - before))
[ "$grown" -lt 49152 ] || fail "the server process's peak grew by $grown kB"
echo "ok   the server process's peak grew by $grown kB"

# --- Malformed bodies: each answered at once with its fault, nothing done.
post() {  # post FILE BODY: a POST of BODY with its length
    printf 'POST /ChargeBox/OCPP15 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/soap+xml; charset=utf-8\r\nContent-Length: %d\r\n\r\n%s' \
        "${#2}" "$2" > "$1"
}
reset12='<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" xmlns:cp="urn://Ocpp/Cp/2012/06/"><s:Body><cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest></s:Body></s:Envelope>'
reset11='<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" xmlns:cp="urn://Ocpp/Cp/2012/06/"><s:Body><cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest></s:Body></s:Envelope>'
post "$root/hello" 'hello world'
post "$root/truncated" "${reset12:0:120}"
post "$root/doctype" "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY t \"Hard\">]>${reset12/Hard/&t;}"
post "$root/soap11" "$reset11"
for body in hello truncated doctype; do
    out=$(raw send "$root/$body")
    check "$body: status" "$(field status "$out")" 400
    grep -q 'application/soap+xml' <<< "$out" && grep -q 'env:Sender' <<< "$out" || fail "$body: no SOAP 1.2 Sender fault: $out"
done
out=$(raw send "$root/soap11")
check "SOAP 1.1 envelope: status" "$(field status "$out")" 500
grep -q '<faultcode>env:VersionMismatch</faultcode>' <<< "$out" && grep -q 'upg:SupportedEnvelope' <<< "$out" ||
    fail "SOAP 1.1 envelope: no VersionMismatch with Upgrade: $out"
check "nothing was carried out" "$(r 7910)/$(r 447)/$(r 448)" 0/0/128

# --- A client trickling its request beside a normal one.
raw slow 150 > "$root/slow.json" &
slow=$!
until_true 60 grep -qE '^ *[0-9]+: 0100007F:1F90 0100007F:[0-9A-F]+ 01 ' /proc/net/tcp || fail "the slow client did not connect"
sleep 1
begin=$(date +%s)
out=$(call '{"op":"GetLocalListVersion"}') || fail "the normal call failed beside the slow client: $out"
took=$(($(date +%s) - begin))
[ "$took" -le 75 ] || fail "the normal call took $took s beside the slow client"
echo "ok   a normal call beside the slow client answered in $took s"
wait "$slow"
out=$(cat "$root/slow.json")
check "the slow client is cut off" "$(field status "$out")" 408
held=$(field closed_ms "$out")
[ "$held" -le 45000 ] || fail "the slow client held the server $held ms"
echo "ok   the slow client held the server $held ms"

# --- Firmware: the retry keeps its location through a DataTransfer.
ftp_tried() { grep -c -- "<- SIZE $1\$" "$root/ftp.log" || true; }  # curl asks a file's size first
tried() { [ "$(ftp_tried "$1")" -ge 1 ]; }
state_is() { [ "$(r 7909)" = "$1" ]; }
downloaded() { grep -c '"action":"FirmwareStatusNotification".*"status":"Downloaded"' "$log" || true; }
downloads() { [ "$(downloaded)" = "$1" ]; }
call '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/late.bin","retries":2,"retryInterval":15}}' > /dev/null ||
    fail "UpdateFirmware late.bin"
until_true 60 tried late.bin || fail "late.bin was not tried"
out=$(call '{"op":"DataTransfer","args":{"vendorId":"Vanto Electronic","messageId":"nothing","data":"127.0.0.1:2121/d/dt.bin"}}') ||
    fail "DataTransfer: $out"
check "DataTransfer while the retry waits" "$(field status "$out")" UnknownMessageId
printf 'IMAGE-LATE' > "$root/ftp/d/late.bin"
until_true 90 state_is 2 || fail "late.bin was not downloaded on its retry"
check "image fetched on the retry" "$(cat "$root/UsbFlash/late.bin")" IMAGE-LATE
[ "$(ftp_tried dt.bin)" = 0 ] || fail "the retry took the DataTransfer's data as its location"
until_true 60 downloads 1 || fail "no FirmwareStatusNotification Downloaded"
echo "ok   Downloaded reported"

# --- A second request while the image waits to be installed.
out=$(call '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/fw.bin"}}') &&
    fail "a second UpdateFirmware was taken while an image waits: $out"
grep -q 'waits to be installed' <<< "$out" || fail "no fault for the second UpdateFirmware: $out"
check "the waiting image stays" "$(r 7909)" 2
t write 7909 3
until_true 60 grep -q '"action":"FirmwareStatusNotification".*"status":"Installed"' "$log" || fail "Installed not reported"
until_true 30 state_is 5 || fail "the update did not end"
echo "ok   Installed reported for the waiting image"
call '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/fw.bin"}}' > /dev/null ||
    fail "UpdateFirmware after the installation"
until_true 60 downloads 2 || fail "fw.bin not reported Downloaded"
check "the next image fetched" "$(cat "$root/UsbFlash/fw.bin")" IMAGE-A

# --- A request replaces one that waits for its retry.
t write 7909 4
until_true 60 grep -q '"status":"InstallationFailed"' "$log" || fail "InstallationFailed not reported"
until_true 30 state_is 5 || fail "the update did not end"
call '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/none.bin","retries":3,"retryInterval":600}}' > /dev/null ||
    fail "UpdateFirmware none.bin"
until_true 60 tried none.bin || fail "none.bin was not tried"
call '{"op":"UpdateFirmware","args":{"retrieveDate":"2020-01-01T00:00:00Z","location":"ftp://127.0.0.1:2121/d/fw2.bin"}}' > /dev/null ||
    fail "UpdateFirmware fw2.bin"
until_true 60 downloads 3 || fail "the replacing request was not fetched"
check "the replacing image fetched" "$(r 7909)/$(cat "$root/UsbFlash/fw2.bin")" 2/IMAGE-B
check "the replaced request was tried once" "$(ftp_tried none.bin)" 1
echo "PASS"
