#!/usr/bin/env bash
# Resident and private memory of every program, idle and during a charge,
# measured while the simulation's parts run. Every 0.05 s each
# process of a program of this build is read from /proc/PID/smaps_rollup:
# RSS (resident), PSS (resident, shared pages split among the processes
# sharing them) and USS (private: pages no other process maps). "idle" is
# the last sample before the part starts its charge (the vehicle, the charge
# command or the first transaction request appears), "charge" the largest
# value from then to the part's end (Wendle takes no part in a charge;
# Corvane runs only for a charge). A program that forks (Corvane's session
# helpers) is counted by its first process.
# Exits 1 when a program's private memory reaches 4 MB.
# Usage: tools/memory.sh [BUILD_DIR]   (native build, as root: the parts
# use namespaces)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
programs=" Halvard Marlet Scrivet Pellion Corvane Bastide Tarnet Fennick Quillon Wendle "
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# sample PART_PID MARKER: samples the programs of this build (their
# executable is BUILD_DIR/bin/NAME: the supervisors start some of them away
# from the part's process tree) until the part ends; lines "program
# charging rss pss uss" (kB) on standard output. The charge begins when a
# process of this build whose command line matches MARKER appears.
sample() {
    local part=$1 marker=$2 charging=0 proc name
    while kill -0 "$part" 2> /dev/null; do
        ps -e -o pid=,ppid=,comm=,args= > "$work/ps" || true
        awk -v build="$build/" -v marker="$marker" -v programs="$programs" '
            { ppid[$1] = $2; comm[$1] = $3; line[$1] = $0 }
            END {
                for (p in line) {
                    if (marker != "" && index(line[p], build) && line[p] ~ marker) print "charging"
                    if (index(programs, " " comm[p] " ") && comm[ppid[p]] != comm[p]) print p, comm[p]
                }
            }' "$work/ps" > "$work/tree"
        grep -q '^charging$' "$work/tree" && charging=1
        while read -r proc name; do
            [ "$proc" = charging ] && continue
            [ "/proc/$proc/exe" -ef "$build/bin/$name" ] || continue
            awk -v name="$name" -v c="$charging" '
                /^Rss:/ { rss = $2 } /^Pss:/ { pss = $2 }
                /^Private_(Clean|Dirty):/ { uss += $2 }
                END { if (rss) print name, c, rss, pss, uss }' "/proc/$proc/smaps_rollup" 2> /dev/null || true
        done < "$work/tree"
        sleep 0.05
    done
}

# part LOG MARKER COMMAND...: runs one part with the sampler beside it.
part() {
    local log=$1 marker=$2
    shift 2
    "$@" > "$work/$log.out" 2>&1 &
    local pid=$!
    sample "$pid" "$marker" >> "$work/samples"
    wait "$pid" || { echo "memory: $* failed (its output: $work/$log.out)" >&2; tail -n 20 "$work/$log.out" >&2; exit 1; }
}

echo "memory: running the simulation's parts (a few minutes)" >&2
WITH_MARLET=1 part two-boards 'CcsEv' "$src/sim/run-two-boards.sh" "$build"
part chademo 'chademo-ev' "$src/sim/run-chademo.sh" "$build"
part ocpp 'stationctl --charge' "$src/sim/run-ocpp.sh" "$build" wss
part quillon 'cp_request' "$src/sim/run-ocpp15.sh" "$build"
part wendle '' "$src/sim/run-modem.sh" "$build"

awk -v programs="$programs" '
    { n = $1
      if ($2 == 0) { idle[n] = $3 " " $4 " " $5; seen[n] = 1 }
      else {
          if ($3 > rss[n]) rss[n] = $3
          if ($4 > pss[n]) pss[n] = $4
          if ($5 > uss[n]) uss[n] = $5
          charged[n] = 1; seen[n] = 1
      } }
    function mb(kb) { return sprintf("%.1f", kb / 1024) }
    END {
        print "| program | idle RSS | idle PSS | idle USS | charge RSS | charge PSS | charge USS |"
        print "|---|---|---|---|---|---|---|"
        split(programs, list, " ")
        for (i = 1; i in list; ++i) {
            n = list[i]
            if (!seen[n]) { print "| `" n "` | not seen | | | | | |"; bad = 1; continue }
            split(idle[n], v, " ")
            row = "| `" n "` | " (idle[n] ? mb(v[1]) " | " mb(v[2]) " | " mb(v[3]) : "- | - | -")
            row = row " | " (charged[n] ? mb(rss[n]) " | " mb(pss[n]) " | " mb(uss[n]) : "- | - | -") " |"
            print row
            if (v[3] >= 4096 || uss[n] >= 4096) bad = 1
        }
        print "MB (1024 kB); USS: private memory"
        exit bad
    }' "$work/samples"
