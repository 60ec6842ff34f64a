#!/usr/bin/env bash
# The station's instructions per CCS CurrentDemand exchange (decode, service
# method, encode, queue), counted by callgrind: ccs_exchange runs the
# vehicle against the V2G session in one process, collected only inside
# V2G_Service, with 10 and then 10 + N CurrentDemand exchanges; the
# difference divided by N leaves the session's set-up out. Every memset and
# memcpy the exchange calls is counted with it.
# Usage: sim/ccs-instructions.sh [BUILD_DIR] [EXCHANGES]   (default 200)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
n=${2:-200}
command -v valgrind > /dev/null || { echo "ccs-instructions: valgrind is not installed" >&2; exit 2; }
count() {
    local out
    out=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --collect-atstart=no \
        --toggle-collect='plc::V2G_Service()' "$build/bench/ccs_exchange" "$1" 2>&1) \
        || { echo "$out" >&2; exit 1; }
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' <<< "$out"
}
base=$(count 10)
more=$(count $((10 + n)))
echo "V2G_Service: $(( (more - base) / n )) instructions per CurrentDemand exchange (callgrind, $n exchanges)"
