#!/usr/bin/env bash
# Stripped sizes of the boards' programs, in bytes: builds them for the
# boards (armel, RelWithDebInfo, shared C++ runtime) and strips a copy of
# each with the cross toolchain's strip, as a board's image would hold it.
# Prints one Markdown table (the table of docs/boards-build.md).
# Usage: tools/armel-sizes.sh [BUILD_DIR]   (default build-armel; configured
# when it is not yet)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-armel}
boards=(Halvard:CCS Marlet:CCS Scrivet:main Bastide:main Pellion:main Corvane:main Wendle:main
        Tarnet:main Fennick:main Quillon:main shmtool:both)
simulation=(stationctl relay GreenPhyModem EvSlac canhub modbank modem_sim MarletEcho)
targets=("${boards[@]%%:*}" "${simulation[@]}")
log=$(mktemp)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp" "$log"' EXIT
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/armel.cmake" \
        -DSTATION_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$log" 2>&1 \
        || { tail -n 20 "$log" >&2; exit 1; }
fi
cmake --build "$build" -j"${JOBS:-4}" --target "${targets[@]}" > "$log" 2>&1 \
    || { tail -n 30 "$log" >&2; exit 1; }
stripped() {   # stripped PROGRAM: its size once stripped, digits grouped by three
    arm-linux-gnueabi-strip -o "$tmp/$1" "$build/bin/$1"
    stat -c %s "$tmp/$1" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\| \)/\1 \2\3/' -e 'ta'
}
echo "| program | board | size |"
echo "|---|---|---|"
for entry in "${boards[@]}"; do
    echo "| \`${entry%%:*}\` | ${entry#*:} | $(stripped "${entry%%:*}") |"
done
names=() sizes=()
for p in "${simulation[@]}"; do
    names+=("\`$p\`")
    sizes+=("$(stripped "$p")")
done
(IFS=,; echo "| ${names[*]} | simulation only | ${sizes[*]} |" | sed 's/,/, /g')
