# The OCPP-J programs' test bench, sourced first by the OCPP-J script tests
# (SCRIPT BUILD_DIR MODE): the script runs again in an IPC namespace of its
# own; then a station root of its own, a free port, the
# programs placed in the root, the strict central system (npm ocpp-rpc) and
# the helpers the tests share. Everything started is ended at exit: the
# programs by their exact path inside this root, the rest by the pids in
# `extra_pids`.
set -euo pipefail
if [ -z "${OCPPJ_IN_NS:-}" ]; then
    OCPPJ_IN_NS=1 exec unshare --ipc "$0" "$@"
fi
build=$(cd "$1" && pwd)
mode=$2
src=$(cd "$(dirname "$0")/../.." && pwd)
root=$(mktemp -d /tmp/ocppj-link-XXXXXX)
central_pid=""
. "$src/sim/board-root.sh"

# Ends what this test started: the central system and, by the exact program
# path inside this test's own root (after the emulator's words in a cross
# build), Tarnet, Fennick and Bastide. One pgrep: a loop over every process of a
# loaded machine takes longer than the test.
station_pids() { ocpp_program_pids "$root" "$@"; }  # station_pids [PROGRAM]
extra_pids=()
cleanup() {
    [ -n "$central_pid" ] && kill "$central_pid" 2>/dev/null || true
    local p
    for p in "${extra_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    end_ocpp_programs "$root"
    rm -rf "$root"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- central log"; cut -c1-400 "$root/central.log" 2>/dev/null || true
    echo "--- OCPP log"; cat "$root"/Storage/OCPPLog/* 2>/dev/null | cut -c1-400 || true
    exit 1
}
has() { grep -qF -- "$1" "$2"; }
wait_for() {  # wait_for SECONDS TEXT FILE
    local i
    for ((i = 0; i < $1 * 10; ++i)); do
        if has "$2" "$3" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

count() {  # count TEXT FILE: lines holding TEXT, 0 for a missing file
    local n
    n=$(grep -cF -- "$1" "$2" 2>/dev/null) || true
    echo "${n:-0}"
}
wait_more() {  # wait_more SECONDS COUNT TEXT FILE: until more than COUNT lines hold TEXT
    local i
    for ((i = 0; i < $1 * 10; ++i)); do
        [ "$(count "$3" "$4")" -gt "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

place_ocpp_programs "$root" "$build"
port=$(free_port)
central() {
    local started
    started=$(count '"event":"listening"' "$root/central.log")
    node "$src/sim/central/central.js" --port "$port" --log "$root/central.log" "$@" &
    central_pid=$!
    wait_more 20 "$started" '"event":"listening"' "$root/central.log" || fail "central system did not start"
}
station() {
    STATION_ROOT="$root" $STATION_EXEC_PREFIX "$build/bin/stationctl" --ocpp "$src/sim/ocpp-profile.conf" \
        storagePath=/Storage/OCPP16/ ocppLogDir=/Storage/OCPPLog/ caCertPath=/Storage/ca.pem "$@" >/dev/null
}
shm() { $STATION_EXEC_PREFIX "$build/bin/shmtool" -k "$1" read "$2" "$3"; }
ocpplog() { cat "$root"/Storage/OCPPLog/*; }
# ocpplog_has GREP-ARGS...: grep reads the files itself, so a match found
# early never leaves a writer to the pipe dying of SIGPIPE under pipefail.
ocpplog_has() { grep -q "$@" "$root"/Storage/OCPPLog/*; }
map() { $STATION_EXEC_PREFIX "$build/bin/shmtool" -k 5438 write "$@" >/dev/null; }
# The register map as the station sets it for the OCPP-J programs, and Bastide's folders.
ocpp_map() {
    map 481 1 u8
    map 1536 "ws://127.0.0.1:$port/ocpp/" text:256
    map 514 2 u8
    map 21505 1 u8
    mkdir -p "$root/Storage/Events" "$root/Storage/SystemLog"
}
