# One simulated CCS vehicle at a time for the two-board tests (sourced after
# sim/two-boards.sh, with $build set).
#   start_vehicle N ARGS...   plugs in (pilot state C) and starts CcsEv with ARGS; its output to ccsev-N.out
#   vehicle_done N            waits for it: its output, or FAIL and exit when it failed
start_vehicle() {
    local n=$1
    shift
    ccs_shm write 2160 4
    # nsenter becomes the vehicle, so its pid takes the vehicle's signals.
    nsenter --target "$VEHICLE_PID" --net $STATION_EXEC_PREFIX "$build/bin/CcsEv" --if plc0 "$@" \
        > "$CCS_ROOT/ccsev-$n.out" 2>&1 &
    VEHICLE_RUN=$!
}
vehicle_done() {
    local n=$1
    if ! wait "$VEHICLE_RUN"; then
        echo "FAIL vehicle $n"; cat "$CCS_ROOT/ccsev-$n.out"; exit 1
    fi
    sed 's/^/     /' "$CCS_ROOT/ccsev-$n.out"
}
