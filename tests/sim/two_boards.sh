#!/usr/bin/env bash
# Both boards, each in its own IPC namespace, joined by the relay (115200
# baud, writes split into random chunks, plus any further relay options given):
# the link hand-shakes and cycles, the CCS board's status block and set-point
# reach the main board's map, and the main board's present voltage and
# current come back to the CCS board.
set -euo pipefail
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
trap stop_two_boards EXIT
start_two_boards "$build" --baud 115200 --split --seed 5 "$@"

. "$here/wait-until.sh"
show_state() {
    echo "--- Halvard:"; cat "$CCS_ROOT/halvard.out" || true
    echo "--- Scrivet:"; cat "$MAIN_ROOT/scrivet.out" "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- relay:"; cat "$CCS_ROOT/relay.out" || true
}
is() { [ "$("$1" read "${@:3}")" = "$2" ]; }   # is ccs_shm|main_shm WANT FIELD [TYPE]

# The settings frame of a cycling link marks the CCS outlet selected on the CCS board.
wait_until 30 "link hand-shakes and cycles" is ccs_shm 1 475

# Steps 5 and 6: the CCS board's status block and set-point appear on the main board.
# The values hold the bytes a cooked line would eat or change (0x03, 0x0A,
# 0x0D, 0x11, 0x13): the line is raw both ways.
# The modules the main board has (no stand-in for them here): 60 kW and 125 A
# available, so the charge phase's current limit leaves the set-point whole.
main_shm write 515 60000 u16
main_shm write 21512 125 s16le
ccs_shm write 2174 1   # isolation tested: no GFD self-test on this set-point
ccs_shm write 2160 4
ccs_shm write 2165 0x13
ccs_shm write 2166 0x11
ccs_shm write 2170 0x03
ccs_shm write 2186 0x0D
ccs_shm write 2184 400 u16
ccs_shm write 2197 0x060A0000 u32
ccs_shm write 134 0x030D u16
ccs_shm write 146 4000 u16
ccs_shm write 145 255
wait_until 25 "pilot state on the main board" is main_shm 4 2160
wait_until 25 "state of charge on the main board" is main_shm 19 2165
wait_until 25 "EV maximum current on the main board" is main_shm 17 2166
wait_until 25 "energy capacity on the main board" is main_shm 3 2170
wait_until 25 "EV target current on the main board" is main_shm 13 2186
wait_until 25 "EV target voltage on the main board" is main_shm 400 2184 u16
wait_until 25 "status word on the main board" is main_shm "06 0a 00 00" 2197 bytes:4
wait_until 25 "current set-point on the main board" is main_shm 781 134 u16
wait_until 25 "voltage set-point on the main board" is main_shm 4000 146 u16
wait_until 25 "set-point armed on the main board" is main_shm 255 145

# Step 7: the main board's present voltage and current reach the CCS board.
main_shm write 2187 0x030A u16
main_shm write 2196 0x11
main_shm write 2183 0x13
main_shm write 21570 0x0D
wait_until 25 "present voltage on the CCS board" is ccs_shm 778 2187 u16
wait_until 25 "present current on the CCS board" is ccs_shm 17 2196
wait_until 25 "energy to deliver on the CCS board" is ccs_shm 19 2183
wait_until 25 "reset notice on the CCS board" is ccs_shm 13 474

# Stray raw-image commands (55 FF 64 00 00 00 00 AA, a 100-byte image) put on
# the line from outside while a vehicle is connected: the CCS board drops
# them, neither reboots nor holds the link, and the values go on crossing.
for i in 1 2 3 4 5; do
    printf '\x55\xff\x64\x00\x00\x00\x00\xaa' |
        dd of="$MAIN_ROOT/dev/ttyAMA4" oflag=noctty conv=notrunc status=none
    sleep 0.3
done
ccs_shm write 2165 0x21
wait_until 30 "the link carries on after stray raw-image commands" is main_shm 33 2165
if grep -q reboot "$CCS_ROOT/commands.log" 2>/dev/null; then
    echo "FAIL the CCS board rebooted"; show_state; exit 1
fi
echo "ok   no reboot"

if [ "$(( $(main_shm read 312) & 0x20 ))" -ne 0 ]; then
    echo "FAIL link alarm set"
    exit 1
fi
echo "ok   no link alarm"
