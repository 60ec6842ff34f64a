# Lays out a simulated board's file system under a folder: the device nodes,
# sysfs, /root, /mnt, /Storage and the programs the board starts.
# Usage (sourced): make_board_root DIR BUILD_DIR
#
# Every program of the build is started as `$STATION_EXEC_PREFIX PROGRAM`:
# empty for a native build, the emulator for a cross build (ctest sets it).
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}

make_board_root() {
    local root=$1 build=$2
    mkdir -p "$root"/dev "$root"/sys/class/gpio "$root"/sys/class/net/eth0 "$root"/root \
             "$root"/mnt "$root"/etc "$root"/Storage/SystemLog "$root"/Storage/Events "$root"/proc/net
    printf '02:00:00:00:c0:01\n' > "$root"/sys/class/net/eth0/address
    printf 'up\n' > "$root"/sys/class/net/eth0/operstate
    # The plug temperature sensor: 65 degrees Celsius.
    printf '1389\n' > "$root"/dev/adc5
    : > "$root"/sys/class/gpio/export
    # The proximity input: connected.
    mkdir -p "$root"/sys/class/gpio/gpio78
    printf '0\n' > "$root"/sys/class/gpio/gpio78/value
    # The programs the supervisor starts, where this build has them.
    # MARLET_PROGRAM puts another build of Marlet in its place (MarletEcho).
    local marlet=${MARLET_PROGRAM:-Marlet}
    [ -x "$build/bin/$marlet" ] && place_board_program "$root" "$build" Marlet "$marlet"
    # Halvard itself, which the firmware installation copies and starts.
    [ -x "$build/bin/Halvard" ] && place_board_program "$root" "$build" Halvard
    # The tools of a firmware transfer: the archive tools, the copy into the
    # RAM file system, and a stand-in for the flash writer that copies the
    # image onto the board's firmware flash (a file here).
    mkdir -p "$root"/bin "$root"/usr/bin "$root"/usr/sbin
    local tool
    for tool in /bin/cp /bin/mkdir /usr/bin/zip /usr/bin/unzip; do
        [ -x "$tool" ] && ln -sf "$tool" "$root$tool"
    done
    printf '#!/bin/sh\n# flashcp IMAGE DEVICE\nexec cp "$1" "$2"\n' > "$root"/usr/sbin/flashcp
    chmod +x "$root"/usr/sbin/flashcp
    return 0
}

# Puts program NAME of the build (or program BINARY of the build in its
# place) at ROOT/root/NAME, where a board's programs start it by path. Under
# an emulator that is a script running the program (ROOT/root/NAME.bin)
# through the emulator.
# Usage: place_board_program ROOT BUILD_DIR NAME [BINARY]
place_board_program() {
    local root=$1 prog=$3 bin=$2/bin/${4:-$3}
    if [ -z "$STATION_EXEC_PREFIX" ]; then
        ln -sf "$bin" "$root/root/$prog"
    else
        ln -sf "$bin" "$root/root/$prog.bin"
        printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$STATION_EXEC_PREFIX" "$root/root/$prog.bin" > "$root/root/$prog"
        chmod +x "$root/root/$prog"
    fi
}

# The main board's OCPP 1.6J programs (Tarnet, which starts Fennick, and
# Bastide) placed under ROOT/root, with ROOT/Storage beside them.
# Usage: place_ocpp_programs ROOT BUILD_DIR
place_ocpp_programs() {
    mkdir -p "$1/root" "$1/Storage"
    local prog
    for prog in Tarnet Fennick Bastide; do place_board_program "$1" "$2" "$prog"; done
}

# The pids of the OCPP programs placed under ROOT (of PROGRAM alone if
# given), matched by their exact path, after the emulator's words in a cross
# build. Usage: ocpp_program_pids ROOT [PROGRAM]
ocpp_program_pids() {
    pgrep -f "^(.* )?$1/root/(${2:-Tarnet|Fennick|Bastide})(\.bin)?( |\$)" || true
}

# Ends the OCPP programs placed under ROOT, and those one of them starts
# again while the others end (Tarnet's watchdog starts a Fennick that is
# gone): until none is left, after 3 s with SIGKILL; waits at most 5 s.
# Usage: end_ocpp_programs ROOT
end_ocpp_programs() {
    local i p pids signal=TERM
    for ((i = 0; i < 50; ++i)); do
        pids=$(ocpp_program_pids "$1")
        [ -n "$pids" ] || return 0
        [ "$i" -lt 30 ] || signal=KILL
        for p in $pids; do kill -s "$signal" "$p" 2>/dev/null || true; done
        sleep 0.1
    done
}

# A TCP port of the loopback that is free now, for a central system.
free_port() {
    node -e 'const s=require("net").createServer();s.listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})'
}

# Gives the board's own network namespace an eth0 with an address (run
# inside `unshare --net`). Usage: board_eth0 192.168.1.10/24
board_eth0() {
    ip link add eth0 type veth peer name eth0-peer
    ip addr add "$1" dev eth0
    ip link set eth0 up
    ip link set eth0-peer up
}

# The start of a simulation part of the main board's programs: it runs again
# inside an IPC and network namespace of its own, with loopback up and a
# fresh station root (STATION_ROOT, also `root`) that is removed at the end
# with every process whose pid is in `pids` (and after `end_part_hook`, when
# the part defines one). Sets `build` to the build folder (first argument).
# Usage (sourced, first thing): begin_sim_part NAME "$@"
begin_sim_part() {
    local name=$1
    shift
    if [ -z "${SIM_PART_IN_NS:-}" ]; then
        SIM_PART_IN_NS=1 exec unshare --ipc --net "$0" "$@"
    fi
    build=$(cd "${1:-build}" && pwd)
    root=$(mktemp -d "/tmp/$name-XXXXXX")
    export STATION_ROOT=$root
    pids=()
    trap end_sim_part EXIT
    ip link set lo up
}
# The main board's two segments for a part: the register map with the
# station's defaults (stationctl) and an empty OCPP application segment
# (FennickApp), which Bastide, Quillon and Wendle attach.
main_board_segments() {
    $STATION_EXEC_PREFIX "$build/bin/stationctl" > /dev/null
    $STATION_EXEC_PREFIX "$build/tests/make_segment" 1111 108948
}
end_sim_part() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    ! declare -F end_part_hook > /dev/null || end_part_hook
    wait 2>/dev/null || true
    rm -rf "$root"
}
