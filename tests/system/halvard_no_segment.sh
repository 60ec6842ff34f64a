#!/usr/bin/env bash
# When the register map cannot be had (a segment of the key exists with
# another size), Halvard says so and stops with a failure status. shmtool
# attaches what exists, never creates, and refuses a key that is no key.
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
build=$1
root=$(mktemp -d /tmp/halvard-noseg-XXXXXX)
trap 'rm -rf "$root"' EXIT
STATION_ROOT=$root BUILD=$build unshare --ipc bash -c '
    $STATION_EXEC_PREFIX "$BUILD/tests/make_segment" 5438 100
    set +e
    out=$(timeout 10 $STATION_EXEC_PREFIX "$BUILD/bin/Halvard" 2>/dev/null)
    rc=$?
    echo "exit $rc, printed: $out"
    [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] && [ "$out" = "System init failed:SharedRegisterMap" ] || exit 1
    fail=0
    expect() {  # expect RC ARGS...: shmtool exits with RC
        local want=$1; shift
        $STATION_EXEC_PREFIX "$BUILD/bin/shmtool" "$@" > /dev/null 2>&1
        local got=$?
        if [ "$got" != "$want" ]; then echo "FAIL shmtool $*: exit $got, want $want"; fail=1; else echo "ok   shmtool $*"; fi
    }
    expect 0 read 99
    expect 2 read 100
    expect 0 -k 0x153e read 0
    expect 1 -k 0x1234 read 0
    expect 2 -k 0 read 0
    expect 2 -k abc read 0
    expect 2 -k 0x100000000 read 0
    said=$($STATION_EXEC_PREFIX "$BUILD/bin/shmtool" -k 0x100000000 read 0 2>&1)
    [ "$said" = "shmtool: not a segment key: 0x100000000" ] || { echo "FAIL shmtool said: $said"; fail=1; }
    [ "$(ipcs -m | grep -c "^0x")" = 1 ] || { echo "FAIL shmtool created a segment"; ipcs -m; fail=1; }
    exit $fail
'
