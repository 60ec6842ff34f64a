# Polling for the simulation tests (sourced).
# wait_until LIMIT WHAT COMMAND...: runs COMMAND every 0.1 s (0.3 s when the
# build's programs run under an emulator, where each start of a tool costs a
# tenth of a processor-second) until it succeeds ("ok   WHAT") or LIMIT
# seconds have passed ("FAIL WHAT", then the test's own `show_state` if it
# has one, and exit 1).
wait_until_pause=0.1
[ -z "${STATION_EXEC_PREFIX:-}" ] || wait_until_pause=0.3
wait_until() {
    local limit=$1 what=$2
    shift 2
    local end=$((SECONDS + limit))
    while [ $SECONDS -lt $end ]; do
        if "$@" 2>/dev/null; then echo "ok   $what"; return 0; fi
        sleep "$wait_until_pause"
    done
    echo "FAIL $what (not within ${limit} s)"
    if declare -F show_state > /dev/null; then show_state; fi
    exit 1
}

# A capture's socket hands frames over in blocks, so the last frames of a
# session can reach dumpcap's file a moment after the vehicle saw them: a
# test waits for them there before it ends the capture and reads the file.
# closed_in_capture FILE N: N TCP connections in FILE hold the station's FIN.
closed_in_capture() {
    [ "$(tshark -r "$1" -Y 'tcp.srcport == 51181 && tcp.flags.fin == 1' -T fields -e tcp.stream 2> /dev/null |
         sort -u | wc -l)" -ge "$2" ]
}
