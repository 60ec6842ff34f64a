#!/usr/bin/env bash
# What stays live when a process or a bus of the CHAdeMO power path dies in
# the middle of a charge (board of corvane-checks.sh, a 1.x vehicle charging
# 30 A at 353 V, each fault about 2 s into the steady charge): Corvane
# killed, the CAN hub restarted under everyone, Pellion killed. Each
# reaction is timed from the hub's candump log against the moment of the
# fault and printed, so that the figures can be quoted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/corvane-checks.sh" "$1"

now() { date +%s.%N; }
# first_frame AFTER REGEX: the time stamp of the first candump line after
# AFTER (s) whose frame text matches REGEX; nothing when there is none.
first_frame() {
    awk -v t="$1" -v re="$2" '{ s = substr($1, 2, length($1) - 2) + 0 }
        s > t && $3 ~ re { printf "%.6f", s; exit }' "$root/candump.log"
}
# reaction WHAT AFTER REGEX LIMIT [SINCE]: waits for the frame, prints its
# delay after AFTER (SINCE names that moment) and fails when it is LIMIT s
# or more.
reaction() {
    local what=$1 after=$2 re=$3 limit=$4 since=${5:-the fault} at=""
    local end=$((SECONDS + 20))
    while [ -z "$at" ] && [ $SECONDS -lt $end ]; do
        at=$(first_frame "$after" "$re")
        [ -n "$at" ] || sleep 0.2
    done
    [ -n "$at" ] || { echo "FAIL $what: no frame $re after the fault"; show_state; exit 1; }
    local delay
    delay=$(awk -v a="$at" -v b="$after" 'BEGIN { printf "%.3f", a - b }')
    awk -v d="$delay" -v l="$limit" 'BEGIN { exit !(d < l) }' ||
        { echo "FAIL $what: $delay s (limit $limit s)"; show_state; exit 1; }
    echo "ok   $what: $delay s after $since (candump)"
}
# Pellion's broadcast switch command with code 1 (off), kind-10 modules.
off_frame='^09508100#01$'
# 0x109 with the charger-malfunction bit (0x02) of byte 5, and without the
# energising bit (0x01).
malfunction_109='^109#...........[2367ABEF]'
not_energising_109='^109#...........[02468ACE]'
steady() {   # NAME: charging, then 2 s of steady charge
    charging "$1"
    sleep 2
}
cpu_percent() {   # PID SECONDS: the share of one core the process used meanwhile
    local pid=$1 span=$2 a b hz
    hz=$(getconf CLK_TCK)
    a=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    sleep "$span"
    b=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    awk -v a="$a" -v b="$b" -v hz="$hz" -v s="$span" 'BEGIN { printf "%d", (b - a) * 100 / hz / s }'
}

# --- Corvane killed: Pellion sees its lock go and switches the modules off,
# empties the mailbox and asks the CHAdeMO relay open; the vehicle, whose
# charger fell silent, opens its contactor.
chademo_session_start corvane --protocol 2 --charge-ms 60000 --expect-silence
steady corvane
t=$(now)
kill -9 "$CORVANE_PID"
reaction "Corvane killed: modules switched off" "$t" "$off_frame" 1
wait_until 2 "Corvane killed: the CHAdeMO relay open" is 0 2783
wait_until 2 "Corvane killed: the modules' current gone" is 0 5 u16
is 1 2115 && is 0 146 u16 && is 0 145 ||
    { echo "FAIL Corvane killed: on/off $(shm read 2115), set-point $(shm read 146 u16), armed $(shm read 145)"; exit 1; }
echo "ok   Corvane killed: modules off (2115 = 1), mailbox empty"
wait_until 1 "Corvane killed: Pellion's line" logged "Corvane ended with the CHAdeMO relay closed"
session_end corvane

# A new Corvane starts from an empty mailbox, whatever a dead session left.
shm write 146 4000 u16
shm write 134 300 u16
power_run corvane-fresh "$build/bin/Corvane"
fresh=$LAST_PID
wait_until 10 "a new Corvane: voltage set-point cleared" is 0 146 u16
wait_until 1 "a new Corvane: current set-point cleared" is 0 134 u16
kill -9 "$fresh"
wait_until 5 "a new Corvane: ended" none_left

# --- The CAN hub restarted under every program: the sockets hang up, each
# program reopens with a pause instead of reading in a spin, Corvane ends the
# session with the CAN fault, and the modules hear "off" once the bus is back.
chademo_session_start hub --protocol 2 --charge-ms 60000 --expect-silence
steady hub
canio=$(pgrep -o -P "$CORVANE_PID")   # the CAN process, its oldest child
t=$(now)
kill -9 "$CANHUB_PID"
sleep 0.3
pellion_cpu=$(cpu_percent "$PELLION_PID" 2)
canio_cpu=$(cpu_percent "$canio" 1)
[ "$pellion_cpu" -lt 30 ] && [ "$canio_cpu" -lt 30 ] ||
    { echo "FAIL hub gone: Pellion at $pellion_cpu %, Corvane's CAN process at $canio_cpu % of a core"; exit 1; }
echo "ok   hub gone: Pellion at $pellion_cpu %, Corvane's CAN process at $canio_cpu % of a core"
power_run canhub "$build/bin/canhub" --dir "$root" can0 can1
CANHUB_PID=$LAST_PID
back=$(now)
wait_until 10 "hub restarted: CAN fault, code 13" logged "\[01871\]"
is 12 410 || { echo "FAIL hub restarted: stop reason $(shm read 410)"; exit 1; }
reaction "hub restarted: modules told off once the bus is back" "$back" "$off_frame" 3 "the hub's return"
wait_until 5 "hub restarted: the modules' current gone" is 0 5 u16
session_end hub
wait_until 1 "hub restarted: Pellion saw the bus go" logged "can0 lost"
wait_until 5 "hub restarted: Pellion saw it back" logged "can0 back"
final_end hub
shm write 410 0

# --- Pellion killed: the modules' values go stale, Corvane stops with a
# charger fault (power-module communication alarm).
chademo_session_start pellion --protocol 2 --charge-ms 60000 --expect-fault 0x02
steady pellion
t=$(now)
kill -9 "$PELLION_PID"
reaction "Pellion killed: 0x109 shows the charger malfunction" "$t" "$malfunction_109" 1
wait_until 1 "Pellion killed: alarm 312 bit 0x40" bit 64 312 64
reaction "Pellion killed: 0x109 no longer energising" "$t" "$not_energising_109" 2
# With the output's measurements stale the connector stays locked; the
# station starts the manager again, and the session ends on fresh values.
power_run pellion "$build/bin/Pellion"
PELLION_PID=$LAST_PID
session_end pellion
wait_until 2 "Pellion killed: the CHAdeMO relay open" is 0 2783
echo "corvane_kills: all checks passed"
