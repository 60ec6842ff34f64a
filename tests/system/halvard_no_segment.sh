#!/usr/bin/env bash
# When the register map cannot be had (a segment of the key exists with
# another size), Halvard says so and stops with a failure status.
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/halvard-noseg-XXXXXX)
trap 'rm -rf "$root"' EXIT
STATION_ROOT=$root BUILD=$build unshare --ipc bash -c '
    "$BUILD/tests/make_segment" 5438 100
    set +e
    out=$(timeout 10 "$BUILD/bin/Halvard" 2>/dev/null)
    rc=$?
    set -e
    echo "exit $rc, printed: $out"
    [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] && [ "$out" = "System init failed:SharedRegisterMap" ]
'
