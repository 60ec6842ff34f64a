# The CHAdeMO system tests' board and checks (sourced with the build
# folder): the board of sim/chademo-board.sh started, an unrelated program
# called Corvane running beside it, and the checks every session shares.
build=$(cd "$1" && pwd)
corvane_checks_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$corvane_checks_here/../../sim/chademo-board.sh"
. "$corvane_checks_here/wait-until.sh"
trap stop_power_board EXIT
start_chademo_board "$build"
root=$POWER_ROOT

shm() { chademo_shm "$@"; }
is() { [ "$(shm read "${@:2}")" = "$1" ]; }
at_least() { [ "$(shm read "${@:2}")" -ge "$1" ]; }
bit() { [ $(( $(shm read "$2") & $3 )) -eq "$1" ]; }
logged() { grep -q -- "$1" "$root"/Storage/SystemLog/*; }
show_state() {
    for f in "$root"/*.out; do echo "--- $f:"; cat "$f"; done
    echo "--- system log:"; cat "$root"/Storage/SystemLog/* 2>/dev/null || true
    echo "--- bus:"; tail -n 20 "$root/candump.log" || true
}
none_left() { [ -z "$(corvane_pids)" ]; }
running() { [ -n "$(corvane_pids)" ]; }
echo "ok   modules operational: $(shm read 89) addressed, $(shm read 515 u16) W and $(shm read 21512 s16le) A available"
[ "$(shm read 454)" = 0 ] || { echo "FAIL the vehicle-contactor wait is skipped"; exit 1; }

# An unrelated program that happens to be called Corvane.
cp "$(command -v sleep)" "$root/Corvane"
"$root/Corvane" 600 &
other=$!
POWER_PIDS="$POWER_PIDS $other"

session_end() {   # NAME
    chademo_session_end 60 || { echo "FAIL $1: the session did not end"; show_state; exit 1; }
    [ "$EV_STATUS" = 0 ] || { echo "FAIL $1: the vehicle's checks"; show_state; exit 1; }
    echo "ok   $1: $(cat "$root/ev-$1.out")"
    wait_until 5 "$1: no Corvane process of this root left" none_left
    kill -0 "$other" || { echo "FAIL $1: the unrelated Corvane was ended"; exit 1; }
    echo "ok   $1: the unrelated Corvane survives"
}
# While charging (the vehicle charges for 6 s, room for slow polling under
# an emulator or sanitizers): the vehicle's current flows from the modules
# into its battery, following its 30 A request, at its target voltage.
charging() {
    local name=$1
    wait_until 20 "$name: the vehicle's battery on the outlet (above 49.9 V)" at_least 500 1 u16
    wait_until 15 "$name: 30.0 A from the modules" at_least 295 5 u16
    wait_until 5 "$name: current set-point 30.0 A follows the request" is 300 134 u16
    is 4000 146 u16 || { echo "FAIL $name: voltage set-point $(shm read 146 u16)"; exit 1; }
}
# The mailbox's first current set-point reached the modules: Pellion's
# set-point frame carried the share of (30 + 1) A of the bank's 80 A.
first_request() {
    grep -Eq " can0 09509500#[0-9A-F]{4}0F23" "$root/candump.log"
}
# The session's final end: set-points 0 V / 125.0 A armed (Pellion takes the
# arming), the CHAdeMO relay open, the outlet at 0 V.
final_end() {
    local name=$1
    is 1250 134 u16 && is 0 146 u16 || { echo "FAIL $name: set-points $(shm read 146 u16) / $(shm read 134 u16)"; exit 1; }
    wait_until 1 "$name: the CHAdeMO relay opened" is 0 2783
    wait_until 2 "$name: the outlet at 0 V" is 0 1 u16
}

