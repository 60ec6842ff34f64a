#!/usr/bin/env bash
# Scrivet's start-up failures, each in a fresh IPC namespace and root: without
# the main board's map it logs the shmget failure and ends with status 0;
# with the map but without its line it logs the open failure, raises the
# initialization alarm and ends with status 0.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/board-root.sh"
root=$(mktemp -d /tmp/scrivet-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
make_board_root "$root" "$build"

STATION_ROOT=$root BUILD=$build unshare --ipc bash -c '
    set -euo pipefail
    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }
    log() { cat "$STATION_ROOT"/Storage/SystemLog/* 2>/dev/null | sed "s/^[0-9. :]* - //"; }

    status=0; timeout 10 $STATION_EXEC_PREFIX "$BUILD/bin/Scrivet" || status=$?
    check "no map: exit status" "$status" "0"
    check "no map: log line" "$(log)" "[Scrivet][1332] System init failed:shmget(User)"

    rm -f "$STATION_ROOT"/Storage/SystemLog/*
    $STATION_EXEC_PREFIX "$BUILD/bin/stationctl" > /dev/null
    status=0; timeout 10 $STATION_EXEC_PREFIX "$BUILD/bin/Scrivet" || status=$?
    check "no line: exit status" "$status" "0"
    check "no line: log line" "$(log)" "[Scrivet][1376] System init failed:open(ttyAMA4)"
    check "no line: initialization alarm" "$(( $($STATION_EXEC_PREFIX "$BUILD/bin/shmtool" read 343) & 0x40 ))" "64"
    exit $fail
'
