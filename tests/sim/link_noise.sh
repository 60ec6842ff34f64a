#!/usr/bin/env bash
# Both boards over a noisy line: the relay (115200 baud, writes split into
# random pieces) corrupts and drops bytes both ways while a charge's values
# cross the link for SECONDS (default 120): the CCS board's set-point is
# disarmed, changed and armed again, its pilot state moves, the main board's
# stop inputs change. Both maps are sampled all along, and the main board's
# stand-in for the power modules records every set-point it applies. The
# test fails on any value impossible for its field, on an alarm that was
# never raised, and on an applied set-point that was never sent. At the end
# the relay's counts show how much noise there was, and the link still
# carries a new set-point.
# Usage: link_noise.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-120}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
trap stop_two_boards EXIT
start_two_boards "$build" --baud 115200 --split --seed 23 --corrupt 0.003 --drop 0.0002

. "$here/wait-until.sh"
show_state() {
    echo "--- Halvard:"; tail -n 20 "$CCS_ROOT/halvard.out" || true
    echo "--- Scrivet:"; tail -n 20 "$MAIN_ROOT/scrivet.out" || true
    tail -n 20 "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- modules:"; tail -n 20 "$MAIN_ROOT/ccsboard.out" || true
    echo "--- relay:"; cat "$CCS_ROOT/relay.out" || true
}
is() { [ "$("$1" read "${@:3}")" = "$2" ]; }   # is ccs_shm|main_shm WANT FIELD [TYPE]
fail() { echo "FAIL $*"; show_state; exit 1; }

wait_until 60 "link cycles" is ccs_shm 1 475

# The main board's power modules: they apply every armed set-point and say so.
for i in $(seq 1 100); do main_shm read 2160 > /dev/null 2>&1 && break; sleep 0.1; done
nsenter --target "$MAIN_PID" --ipc $STATION_EXEC_PREFIX "$build/bin/ccsboard" --main-board \
    > "$MAIN_ROOT/ccsboard.out" 2>&1 &
CCSBOARD_PIDS=$!

# A session before its charge phase (ChargeParameterDiscovery), isolation
# tested, so the current limit is the station's rated 125 A and no GFD
# self-test holds the output back.
ccs_shm write 2174 1
ccs_shm write 2197 0x06060000 u32
ccs_shm write 2165 40
power=$(main_shm read 21544)   # the power limit the main board sends

# Set-points as sent (0.1 A, 0.1 V); each is applied as "V A" in whole units.
setpoints=("500 4000" "800 4500" "300 3800" "1200 5000" "100 2000" "650 4200")
pilots=(4 3 4 2 4 5)
stops=(0 2 8 0 10 0)
applied_ok=" 0V0A "
for sp in "${setpoints[@]}"; do
    read -r amps volts <<< "$sp"
    applied_ok+="$((volts / 10))V$((amps / 10))A "
done

# One sample of both maps: any impossible or never-sent value fails the test.
sample() {
    local v
    v=$(main_shm read 2160); [ "$v" -le 5 ] && [ "$v" -ge 2 ] || [ "$v" = 0 ] || fail "main board pilot state $v"
    v=$(main_shm read 145); [ "$v" = 0 ] || [ "$v" = 255 ] || fail "main board arming byte $v"
    v=$(main_shm read 2202); [ "$v" -le 1 ] || fail "main board proximity $v"
    v=$(main_shm read 321); [ $((v & 0x0C)) = 0 ] || fail "plug temperature alarm raised on the main board (321 = $v)"
    v=$(main_shm read 21529); [ $((v & 0x10)) = 0 ] || fail "CCS pilot line broken raised (21529 = $v)"
    v=$(main_shm read 21568); [ "$v" = 0 ] || fail "CCS alarm byte 21568 = $v"
    v=$(main_shm read 2197); [ "$v" = 6 ] || [ "$v" = 0 ] || fail "main board status phase $v"
    v=$(ccs_shm read 412); [ $((v & ~0x0A)) = 0 ] || fail "CCS board stop inputs $v"
    v=$(ccs_shm read 2176); [ "$v" = 60 ] || [ "$v" = 125 ] || fail "CCS board EVSE maximum current $v"
    v=$(ccs_shm read 2177); [ "$v" = "$power" ] || [ "$v" = 25 ] || fail "CCS board EVSE maximum power $v"
}

start=$SECONDS
round=0
while [ $((SECONDS - start)) -lt "$seconds" ]; do
    k=$((round % ${#setpoints[@]}))
    read -r amps volts <<< "${setpoints[$k]}"
    # The CCS board's writer disarms before it changes the set-point.
    ccs_shm write 145 0
    ccs_shm write 2160 "${pilots[$k]}"
    ccs_shm write 134 "$amps" u16
    ccs_shm write 146 "$volts" u16
    ccs_shm write 145 255
    main_shm write 412 "${stops[$k]}"
    for s in 1 2 3; do sample; sleep 0.2; done
    round=$((round + 1))
done
echo "ok   $round rounds in $((SECONDS - start)) s, no impossible value or false alarm in either map"

# Every set-point the modules applied was one the CCS board sent.
while read -r line; do
    sp=$(sed -n 's/^ccsboard: set-point \([0-9]*\) V \([0-9]*\) A$/\1V\2A/p' <<< "$line")
    [ -n "$sp" ] || continue
    case "$applied_ok" in *" $sp "*) ;; *) fail "the modules applied a set-point never sent: $line" ;; esac
done < "$MAIN_ROOT/ccsboard.out"
applied=$(grep -c '^ccsboard: set-point' "$MAIN_ROOT/ccsboard.out" || true)
[ "$applied" -ge 2 ] || fail "the modules applied only $applied set-points"
echo "ok   the modules applied $applied set-point changes, each one sent"

# The link still works: a new set-point arrives whole.
ccs_shm write 145 0
ccs_shm write 134 420 u16
ccs_shm write 146 3330 u16
ccs_shm write 145 255
wait_until 120 "a last set-point applied" grep -q '^ccsboard: set-point 333 V 42 A$' "$MAIN_ROOT/ccsboard.out"

# The relay's counts: enough noise to have meant something.
kill -USR1 "$RELAY_PID"
wait_until 10 "the relay's counts" grep -q '^relay: to B' "$CCS_ROOT/relay.out"
counts=$(grep '^relay: to B' "$CCS_ROOT/relay.out" | tail -n 1)
read -r bytes_b dropped_b corrupted_b bytes_a dropped_a corrupted_a < <(
    sed 's/^relay: to B \([0-9]*\) bytes, \([0-9]*\) dropped, \([0-9]*\) corrupted; to A \([0-9]*\) bytes, \([0-9]*\) dropped, \([0-9]*\) corrupted$/\1 \2 \3 \4 \5 \6/' <<< "$counts")
corrupted=$((corrupted_a + corrupted_b))
dropped=$((dropped_a + dropped_b))
status_refused=$(grep -c 'Status frame refused' "$MAIN_ROOT/scrivet.out" || true)
settings_refused=$(grep -c 'Settings frame refused' "$CCS_ROOT/halvard.out" || true)
echo "link noise: $((bytes_a + bytes_b)) bytes in $((SECONDS - start)) s, $corrupted corrupted, $dropped dropped;" \
     "$status_refused status frames and $settings_refused settings frames refused; 0 bad values stored"
[ "$corrupted" -ge 20 ] || fail "only $corrupted bytes corrupted: too little noise to show anything"
echo "ok   $corrupted bytes corrupted and $dropped dropped, none became a value"
