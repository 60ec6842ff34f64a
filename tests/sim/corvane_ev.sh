#!/usr/bin/env bash
# Corvane, a CHAdeMO vehicle (chademo-ev), the CAN hub with can1 and the
# station-controller stand-in as separate processes in their own IPC
# namespace and simulated root: a protocol-1.x and a protocol-0.9 vehicle
# charge to a normal end, a vehicle that never talks ends its session with
# code 12, and after each session no Corvane process of this root is left
# while an unrelated program called Corvane survives. The hub's capture
# decodes in tshark without a malformed frame and 0x109 keeps its period.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/board-root.sh"
. "$here/wait-until.sh"

root=$(mktemp -d /tmp/station-chademo-XXXXXX)
make_board_root "$root" "$build"
unshare --ipc sleep infinity &
ns=$!
pids=""
cleanup() {
    local p
    for p in $pids $ns; do kill "$p" 2>/dev/null || true; done
    for p in $pids $ns; do wait "$p" 2>/dev/null || true; done
    [ "${KEEP_ROOTS:-0}" = 1 ] || rm -rf "$root"
}
trap cleanup EXIT
for i in $(seq 1 50); do
    [ "$(readlink /proc/$ns/ns/ipc 2>/dev/null)" != "$(readlink /proc/self/ns/ipc)" ] && break
    sleep 0.05
done
run() {
    local name=$1
    shift
    STATION_ROOT=$root nsenter --target "$ns" --ipc $STATION_EXEC_PREFIX "$@" >> "$root/$name.out" 2>&1 &
    LAST_PID=$!
    pids="$pids $LAST_PID"
}
shm() { nsenter --target "$ns" --ipc $STATION_EXEC_PREFIX "$build/bin/shmtool" "$@"; }
is() { [ "$(shm read "${@:2}")" = "$1" ]; }
bit() { [ $(( $(shm read "$2") & $3 )) -eq "$1" ]; }
logged() { grep -q -- "$1" "$root"/Storage/SystemLog/*; }
show_state() {
    for f in "$root"/*.out; do echo "--- $f:"; cat "$f"; done
    echo "--- system log:"; cat "$root"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- bus:"; tail -n 20 "$root/candump.log" || true
}
# Corvane processes of this root: the session and its children (by their
# command line: under the emulator the process is named after it).
ours() {
    local p
    for p in $(pgrep -f "(^|[ /])Corvane( |$)" || true); do
        tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qx "STATION_ROOT=$root" && echo "$p"
    done
    return 0
}
gone() { ! kill -0 "$1" 2>/dev/null; }
plugged() { [ "$(cat "$root/sys/class/gpio/gpio46/value" 2>/dev/null)" = 0 ]; }
none_left() { [ -z "$(ours)" ]; }
children() { [ "$(ours | wc -l)" -ge "$1" ]; }

run stationctl "$build/bin/stationctl" --contactors
wait_until 10 "register map ready" is 1 2778
# No measured voltage without the modules: the vehicle-contactor wait, which
# needs the battery's voltage on the output, is skipped.
shm write 454 1
# What the modules would report: 50 kW and 125 A available, no charging
# profile, no further cap.
shm write 515 50000 u16
shm write 21512 125 s16le
shm write 21506 -1 s16le
shm write 21508 -1 s32le
shm write 21608 125
run canhub "$build/bin/canhub" --dir "$root" can1
wait_until 10 "can1 on the hub" test -S "$root/run/can/can1"

# An unrelated program that happens to be called Corvane.
cp "$(command -v sleep)" "$root/Corvane"
"$root/Corvane" 600 &
other=$!
pids="$pids $other"

session() {   # NAME, then chademo-ev's options
    local name=$1
    shift
    printf '%s ' "$(date +%s.%N)" >> "$root/sessions"
    run "ev-$name" "$build/bin/chademo-ev" "$@"
    local ev=$LAST_PID
    wait_until 5 "$name: vehicle plugged in" plugged
    run "corvane-$name" "$build/bin/Corvane"
    local corvane=$LAST_PID
    wait_until 10 "$name: Corvane running" children 1
    wait_until 60 "$name: the vehicle left" gone "$ev"
    wait_until 30 "$name: the session ended" gone "$corvane"
    date +%s.%N >> "$root/sessions"
    if ! wait "$ev"; then echo "FAIL $name: the vehicle's checks"; show_state; exit 1; fi
    echo "ok   $name: $(cat "$root/ev-$name.out")"
    wait_until 5 "$name: no Corvane process of this root left" none_left
    kill -0 "$other" || { echo "FAIL $name: the unrelated Corvane was ended"; exit 1; }
    echo "ok   $name: the unrelated Corvane survives"
}

session v1x --protocol 2 --charge-ms 3000
is 1250 134 u16
is 0 146 u16
wait_until 1 "1.x: the relay opened" is 0 2783
bit 0 312 128 || { echo "FAIL 1.x: CAN alarm raised"; show_state; exit 1; }
echo "ok   1.x: set-points left at 0 V / 125.0 A, no CAN alarm"

session v09 --protocol 1 --charge-ms 3000
bit 0 312 128 || { echo "FAIL 0.9: CAN alarm raised"; show_state; exit 1; }
echo "ok   0.9: normal end"

session silent --silent
wait_until 1 "silent vehicle: code 12" logged "\[02805\]"
wait_until 1 "silent vehicle: alarm 312 bit 0x80" bit 128 312 128

# The hub's capture: every frame decodes; 0x109 stays on its period while d1
# is on (the vehicle measured that; tshark must agree there are no gaps
# longer than 200 ms between 0x109 frames of one session's charge).
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
