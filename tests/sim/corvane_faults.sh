#!/usr/bin/env bash
# The main fault ends of a CHAdeMO session on the whole power path (board of
# corvane-checks.sh): a 1.x vehicle that gives permission before its frames
# (code 27), an over-voltage while charging (code 26, the modules' regulation
# fault lifting the outlet above the vehicle's threshold), a 1.x vehicle
# falling silent while charging (code 13), and a 0.9 vehicle whose charging
# time runs out (its target below 50 V clamped to 50.0 V).
# Each ends in the final end with no Corvane process of this root left; the
# vehicle sees the charger's malfunction bit where it charged, and no
# energising where it was refused.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/corvane-checks.sh" "$1"

chademo_session_start early --protocol 2 --early --expect-refusal
session_end early
wait_until 1 "early permission: code 27" logged "\[03569\]"
wait_until 1 "early permission: alarm 312 bit 0x80" bit 128 312 128
wait_until 1 "early permission: CHAdeMO alarm 21517 bit 0x20" bit 32 21517 32
final_end early

# Threshold 410 V: 353 V while charging, 433 V once the modules run 80 V high.
chademo_session_start overvoltage --protocol 2 --max-volts 410 --charge-ms 20000 --expect-fault 0x10
wait_until 20 "over-voltage: charging" at_least 295 5 u16
power_ctl overvolt 800
session_end overvoltage
power_ctl overvolt 0
wait_until 1 "over-voltage: code 26" logged "\[01685\]"
wait_until 1 "over-voltage: CHAdeMO alarm 21517 bit 0x10" bit 16 21517 16
final_end overvoltage

# A 1.x vehicle that falls silent after 2 s of charge: code 13 and stop
# reason 12 from the CAN I/O process, the modules' current gone.
chademo_session_start quiet --protocol 2 --silent-at 2000 --charge-ms 20000
wait_until 20 "silent while charging: charging" at_least 295 5 u16
wait_until 10 "silent while charging: code 13" logged "\[01871\]"
wait_until 3 "silent while charging: the modules' current gone" is 0 5 u16
session_end quiet
wait_until 1 "silent while charging: alarm 312 bit 0x80" bit 128 312 128
wait_until 1 "silent while charging: CHAdeMO alarm 21518 bit 0x02" bit 2 21518 2
is 12 410 || { echo "FAIL silent while charging: stop reason $(shm read 410)"; exit 1; }
final_end quiet
# The station clears the stop reason before its next session.
shm write 410 0

# 10 s of charging time from the vehicle; its 40 V target on a 60 V battery.
chademo_session_start timeup --protocol 1 --time-10s 1 --charge-ms 30000 --target 40 --battery 60
wait_until 20 "0.9 target clamped: voltage set-point 50.0 V" is 500 146 u16
wait_until 1 "0.9 target clamped: its line" logged "\[v0.9\]\[3179\] Voltage command(40V) reaches lower limit(50V)"
session_end timeup
wait_until 1 "time up: alarm 340 bit 0x10" bit 16 340 16
is 5 410 || { echo "FAIL time up: stop reason $(shm read 410)"; exit 1; }
final_end timeup
echo "corvane_faults: all checks passed"
