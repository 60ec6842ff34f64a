#!/usr/bin/env bash
# The simulation's parts for the main board's other programs, as a new user
# runs them: each must show what its line in run-simulation promises.
#   sim_parts.sh BUILD
set -uo pipefail
build=$1
sim=$(cd "$(dirname "$0")/../../sim" && pwd)
fail=0
expect() {  # expect PART OUTPUT TEXT...: every TEXT is a line of OUTPUT (fixed strings)
    local part=$1 out=$2 text
    shift 2
    for text in "$@"; do
        if grep -qF -- "$text" <<< "$out"; then echo "ok   $part: $text"
        else echo "FAIL $part: no line with [$text]"; fail=1; fi
    done
    ! grep -qF '(not seen' <<< "$out" || { echo "FAIL $part: a step was not seen"; fail=1; }
    [ $fail -eq 0 ] || printf '%s\n' "--- $part printed:" "$out"
}
out=$("$sim/run-alarms.sh" "$build" 2>&1)
expect alarms "$out" "community stationtrap: .1.3.6.1.4.1.4291.1.8.5.3.80 = INTEGER: 128" \
    "community stationtrap: .1.3.6.1.4.1.4291.1.8.5.3.80 = INTEGER: 0" " - 009001" " - 109001"
out=$("$sim/run-modem.sh" "$build" 2>&1)
expect modem "$out" "SHRMEM_3G_IP           10.64.0.2" "ppp0: 10.64.0.2  default routes left: 0"
out=$("$sim/run-ocpp15.sh" "$build" 2>&1)
expect ocpp15 "$out" "BootNotification  -> Accepted" "StartTransaction connectorId=1 idTag=04A2B3C4 meterStart=1500 -> Accepted" \
    "MeterValues connectorId=1 transactionId=1 -> answered" \
    "StopTransaction idTag=04A2B3C4 transactionId=1 meterStop=2750 -> Accepted" \
    '{"op":"GetLocalListVersion","body":{"listVersion":"0"},"problems":[]}'
! grep -qF 'REFUSED' <<< "$out" || { echo "FAIL ocpp15: the central system refused a request"; fail=1; }
exit $fail
