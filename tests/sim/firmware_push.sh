#!/usr/bin/env bash
# Scrivet pushes a CCS-board image to the real Halvard over the relay (115200
# baud, writes split into random chunks) by one route: "loader" (the block
# loader carries the zip archive of a full-size image): Halvard checks it, its
# installer copy writes it to the firmware flash and reports, and the image
# arrives byte-exact; or "raw" with an image short of the CCS-board image's
# size (a full one takes 20 minutes at 115200 baud): Halvard drops the
# command, installs nothing and runs on without a reboot, and Scrivet
# reports the failure.
# Usage: firmware_push.sh BUILD_DIR loader|raw
set -euo pipefail
build=$(cd "$1" && pwd)
route=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/two-boards.sh"
trap stop_two_boards EXIT
start_two_boards "$build" ${RELAY_OPTIONS:---baud 115200 --split --seed 11}

. "$here/wait-until.sh"
show_state() {
    echo "--- Halvard:"; cat "$CCS_ROOT/halvard.out" || true
    echo "--- CCS board commands:"; cat "$CCS_ROOT/commands.log" 2>/dev/null || true
    echo "--- Scrivet:"; cat "$MAIN_ROOT/scrivet.out" "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null || true
}
is() { [ "$("$1" read "${@:3}")" = "$2" ]; }
logged() { grep -qF -- "$1" "$MAIN_ROOT"/Storage/SystemLog/* 2>/dev/null; }

wait_until 30 "link cycles" is ccs_shm 1 475
if [ "$route" = raw ]; then
    # A CCS board of an older version: the main board takes the raw route.
    ccs_shm write 258 7   # reaches the main board as byte 519
    wait_until 10 "older version reported" is main_shm 7 519
fi

# The image: random bytes, then zeros, then the trailer (format name and the
# byte sum, high byte first). Full size on the loader route; the raw route
# moves the bare bytes, so a short image keeps the test quick.
image=$MAIN_ROOT/mnt/7301882650K
if [ "$route" = loader ]; then size=13565965; else size=30013; fi
head -c 20000 /dev/urandom > "$image"
head -c $((size - 13 - 20000)) /dev/zero >> "$image"
sum=$(od -An -tu1 -v -N 20000 "$image" | awk '{ for (i = 1; i <= NF; i++) s += $i } END { print s % 4294967296 }')
printf 'VANTOLMQF' >> "$image"
printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum >> 24 & 255)) $((sum >> 16 & 255)) $((sum >> 8 & 255)) $((sum & 255)))" >> "$image"
[ "$(stat -c %s "$image")" = "$size" ]

main_shm write 264 2
if [ "$route" = raw ]; then
    wait_until 60 "push reported failed" logged "[Scrivet]Update Quorzel NG (transmission failed)"
    logged "[Scrivet][1070] FW update of CCS board failed:Enter update FW failed(timeout)" \
        || { echo "FAIL the failure is not the unanswered command"; show_state; exit 1; }
    echo "ok   the short image's command went unanswered"
    [ ! -e "$CCS_ROOT/dev/mtd3" ] || { echo "FAIL something was written to the firmware flash"; exit 1; }
    ! grep -q "reboot" "$CCS_ROOT/commands.log" 2>/dev/null || { echo "FAIL the CCS board rebooted"; exit 1; }
    echo "ok   nothing installed, no reboot"
    if [ "$(( $(main_shm read 313) & 4 ))" = 0 ]; then echo "FAIL no update alarm"; exit 1; fi
    echo "ok   update alarm raised"
    kill -0 "$CCS_PID" || { echo "FAIL Halvard has ended"; exit 1; }
    is ccs_shm 0 264 || { echo "FAIL the CCS board waits for an installation"; exit 1; }
    echo "ok   Halvard runs on, waiting for no installation"
    exit 0
fi
wait_until ${PUSH_WAIT:-120} "push reported OK" logged "[Scrivet]Update Quorzel OK"
cmp "$image" "$CCS_ROOT/dev/mtd3"
echo "ok   image written byte-exact to the CCS board's firmware flash"
is ccs_shm 1 264 && echo "ok   installer reported success (264 = 1)"
wait_until 5 "CCS board asked for its reboot" grep -qx "reboot -f" "$CCS_ROOT/commands.log"
is main_shm 0 264
if [ "$(( $(main_shm read 313) & 4 ))" != 0 ]; then echo "FAIL update alarm raised"; exit 1; fi
echo "ok   no update alarm"
