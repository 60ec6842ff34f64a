#!/usr/bin/env bash
# Corvane, a CHAdeMO vehicle (chademo-ev), the CAN hub with can0 and can1,
# the module bank feeding the CHAdeMO outlet, Pellion and the
# station-controller stand-in as separate processes in their own IPC
# namespace and simulated root: a protocol-1.x and a protocol-0.9 vehicle
# charge through the modules to a normal end (the vehicle-contactor wait
# sees the battery on the outlet, the modules report the available power),
# a vehicle that never talks ends its session with code 12, and after each
# session no Corvane process of this root is left while an unrelated
# program called Corvane survives. The hub's capture decodes in tshark
# without a malformed frame and 0x109 keeps its period.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/chademo-board.sh"
. "$here/wait-until.sh"
trap stop_power_board EXIT
start_chademo_board "$build"
root=$POWER_ROOT

shm() { chademo_shm "$@"; }
is() { [ "$(shm read "${@:2}")" = "$1" ]; }
at_least() { [ "$(shm read "${@:2}")" -ge "$1" ]; }
bit() { [ $(( $(shm read "$2") & $3 )) -eq "$1" ]; }
logged() { grep -q -- "$1" "$root"/Storage/SystemLog/*; }
show_state() {
    for f in "$root"/*.out; do echo "--- $f:"; cat "$f"; done
    echo "--- system log:"; cat "$root"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- bus:"; tail -n 20 "$root/candump.log" || true
}
none_left() { [ -z "$(corvane_pids)" ]; }
running() { [ -n "$(corvane_pids)" ]; }
echo "ok   modules operational: $(shm read 89) addressed, $(shm read 515 u16) W and $(shm read 21512 s16le) A available"
[ "$(shm read 454)" = 0 ] || { echo "FAIL the vehicle-contactor wait is skipped"; exit 1; }

# An unrelated program that happens to be called Corvane.
cp "$(command -v sleep)" "$root/Corvane"
"$root/Corvane" 600 &
other=$!
POWER_PIDS="$POWER_PIDS $other"

session_end() {   # NAME
    chademo_session_end 60 || { echo "FAIL $1: the session did not end"; show_state; exit 1; }
    [ "$EV_STATUS" = 0 ] || { echo "FAIL $1: the vehicle's checks"; show_state; exit 1; }
    echo "ok   $1: $(cat "$root/ev-$1.out")"
    wait_until 5 "$1: no Corvane process of this root left" none_left
    kill -0 "$other" || { echo "FAIL $1: the unrelated Corvane was ended"; exit 1; }
    echo "ok   $1: the unrelated Corvane survives"
}
# While charging: the vehicle's current flows from the modules into its
# battery, following its 30 A request, at its target voltage.
charging() {
    local name=$1
    wait_until 20 "$name: the vehicle's battery on the outlet (above 49.9 V)" at_least 500 1 u16
    wait_until 15 "$name: 30.0 A from the modules" at_least 295 5 u16
    wait_until 5 "$name: current set-point 30.0 A follows the request" is 300 134 u16
    is 4000 146 u16 || { echo "FAIL $name: voltage set-point $(shm read 146 u16)"; exit 1; }
}
# The mailbox's first current set-point reached the modules: Pellion's
# set-point frame carried the share of (30 + 1) A of the bank's 80 A.
first_request() {
    grep -Eq " can0 09509500#[0-9A-F]{4}0F23" "$root/candump.log"
}
# The session's final end: set-points 0 V / 125.0 A armed (Pellion takes the
# arming), the CHAdeMO relay open, the outlet at 0 V.
final_end() {
    local name=$1
    is 1250 134 u16 && is 0 146 u16 || { echo "FAIL $name: set-points $(shm read 146 u16) / $(shm read 134 u16)"; exit 1; }
    wait_until 1 "$name: the CHAdeMO relay opened" is 0 2783
    wait_until 2 "$name: the outlet at 0 V" is 0 1 u16
}

chademo_session_start v1x --protocol 2 --charge-ms 3000
charging v1x
session_end v1x
wait_until 1 "1.x: the first current request gave 31.0 A" first_request
final_end 1.x
bit 0 312 128 || { echo "FAIL 1.x: CAN alarm raised"; show_state; exit 1; }
echo "ok   1.x: no CAN alarm"

: > "$root/candump.log"
chademo_session_start v09 --protocol 1 --charge-ms 3000
charging v09
session_end v09
wait_until 1 "0.9: the first current request gave 31.0 A" first_request
final_end 0.9
bit 0 312 128 || { echo "FAIL 0.9: CAN alarm raised"; show_state; exit 1; }
echo "ok   0.9: normal end"

# No vehicle frame within 6.2 s: code 12, its alarm bits, the final end.
chademo_session_start silent --silent
wait_until 10 "silent vehicle: Corvane running" running
session_end silent
wait_until 1 "silent vehicle: code 12" logged "\[02805\]"
wait_until 1 "silent vehicle: alarm 312 bit 0x80" bit 128 312 128
wait_until 1 "silent vehicle: CHAdeMO alarm 21518 bit 0x01" bit 1 21518 1
final_end silent

# The hub's capture: every frame decodes; 0x109 stays on its period while d1
# is on (the vehicle measured that; tshark must agree there are no gaps
# longer than 300 ms between 0x109 frames of one session's charge).
if command -v tshark > /dev/null; then
    malformed=$(tshark -r "$root/can1.pcap" -Y _ws.malformed 2>/dev/null | wc -l)
    [ "$malformed" = 0 ] || { echo "FAIL $malformed malformed frames"; exit 1; }
    tshark -r "$root/can1.pcap" -Y 'can.id == 0x109' -T fields -e frame.time_epoch > "$root/109.times" 2>/dev/null
    frames=$(wc -l < "$root/109.times")
    [ "$frames" -gt 50 ] || { echo "FAIL only $frames 0x109 frames"; exit 1; }
    # Gaps are measured between frames of one session only (each session's
    # start and end times are in $root/sessions); within one the period is
    # about 100 ms, and a loaded machine may stretch one to no more than 300.
    gap=$(awk 'NR == FNR { from[NR] = $1; to[NR] = $2; n = NR; next }
               { s = 0; for (i = 1; i <= n; i++) if ($1 >= from[i] && $1 <= to[i]) s = i
                 if (s && s == ps) { d = $1 - p; if (d > m) m = d }
                 p = $1; ps = s }
               END { printf "%d", m * 1000 }' "$root/sessions" "$root/109.times")
    [ "$gap" -le 300 ] || { echo "FAIL a 0x109 gap of $gap ms"; exit 1; }
    echo "ok   can1 capture: $frames 0x109 frames, none malformed, longest gap $gap ms"
fi
echo "corvane_ev: all checks passed"
