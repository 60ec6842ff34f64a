#!/usr/bin/env bash
# Wendle against the pty module emulator, as separate processes in their own
# IPC and network namespaces: a USB-pair module is detected and identified,
# the dial script brings up ppp0, its address reaches the register map and
# the eth0 default route goes; Wendle killed and started again takes the
# existing segment, ends the old link by its pid and dials again; a stale
# pid file naming a live process that is not pppd leaves that process alone;
# a module whose mode answer is only a piece of the mode text is set to the
# mode; a module that answers ERROR to the IMSI query gets no link.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../sim/board-root.sh"
root=$(mktemp -d /tmp/wendle-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/root/ppp" "$root/Storage/SystemLog" "$root/var/run" "$root/sbin" "$root/bin"
cp "$here/../../sim/modem/Dunmore" "$root/root/ppp/Dunmore"
ln -s "$(command -v route)" "$root/sbin/route"
ln -s "$(command -v ping)" "$root/bin/ping"
echo 10.64.0.2 > "$root/root/ppp/ping_host"

STATION_ROOT=$root BUILD=$build HERE=$here unshare --ipc --net bash -c '
    set -euo pipefail
    . "$HERE/../../sim/board-root.sh"
    ip link set lo up
    board_eth0 192.168.7.5/24
    ip route add default via 192.168.7.1 dev eth0
    run=$STATION_EXEC_PREFIX
    shmtool() { $run "$BUILD/bin/shmtool" "$@"; }
    t=shmtool
    $run "$BUILD/tests/make_segment" 5438 262144
    $run "$BUILD/tests/make_segment" 1111 108948
    "$t" write SHRMEM_ETH0_GATEWAY 192.168.7.1
    $run "$BUILD/bin/modem_sim" --root "$STATION_ROOT" --model MU709s-2 --restart-ms 500 > "$STATION_ROOT/sim.out" 2>&1 &
    sim=$!
    $run "$BUILD/bin/Wendle" > "$STATION_ROOT/wendle.out" 2>&1 &
    wendle=$!
    trap "kill \$wendle \$sim 2>/dev/null || true; [ -f \$STATION_ROOT/var/run/ppp0.pid ] && kill \$(cat \$STATION_ROOT/var/run/ppp0.pid) 2>/dev/null || true" EXIT
    wait_for() {  # field value seconds
        for i in $(seq 1 $(($3 * 10))); do
            [ "$("$t" read "$1" 2>/dev/null || true)" = "$2" ] && return 0
            sleep 0.1
        done
        return 1
    }
    # Starts Wendle again and waits until the dial script has run N times.
    start_and_wait_dial() {
        $run "$BUILD/bin/Wendle" >> "$STATION_ROOT/wendle.out" 2>&1 &
        wendle=$!
        for i in $(seq 1 300); do
            [ "$(grep -c "^args:" "$STATION_ROOT/root/ppp/Dunmore.log")" = "$1" ] && break
            sleep 0.1
        done
    }
    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }
    wait_for SHRMEM_3G_IP 10.64.0.2 60 || true
    log=$(cat "$STATION_ROOT"/Storage/SystemLog/*)
    check "ppp0 address at 728" "$("$t" read SHRMEM_3G_IP)" "10.64.0.2"
    check "model" "$("$t" read SHRMEM_3G_MODEL)" "MU709s-2"
    check "IMEI at 20544" "$("$t" read SHRMEM_3G_IMEI)" "356938035643809"
    check "ICCID at 1856" "$("$t" read SHRMEM_3G_ICCID)" "89490200001234567890"
    check "family line" "$(grep -c "\[Wendle\]Modem model from 255 to 0$" <<< "$log")" "1"
    check "address line" "$(grep -c "\[Wendle\]3G IP address from  to 10.64.0.2$" <<< "$log")" "1"
    check "dial script port" "$(grep -c "^args: /dev/ttyUSB0$" "$STATION_ROOT/root/ppp/Dunmore.log")" "1"
    check "SETAPN line" "$(grep -c "^set_apn_temp: SETAPN=1$" "$STATION_ROOT/root/ppp/Dunmore.log")" "1"
    check "eth0 default route gone" "$(ip route show default | wc -l)" "0"
    check "queries on the AT port" "$(grep -c "^/dev/ttyUSB2 AT+CGMM$" "$STATION_ROOT/modem-sim.log")" "1"
    check "signal from AT+CSQ" "$("$t" read SHRMEM_3G_MODEM_RSSI)" "20"
    check "alarm byte 339" "$("$t" read 339)" "0"

    # Killed and started again: the old link is ended by its pid, the new one comes up.
    old=$(cat "$STATION_ROOT/var/run/ppp0.pid")
    kill -9 $wendle
    wait $wendle 2>/dev/null || true
    ip route add default via 192.168.7.1 dev eth0
    start_and_wait_dial 2
    for i in $(seq 1 300); do
        [ "$(ip route show default | wc -l)" = 0 ] && break
        sleep 0.1
    done
    check "second dial" "$(grep -c "^args: /dev/ttyUSB0$" "$STATION_ROOT/root/ppp/Dunmore.log")" "2"
    # Ended: gone, or a zombie nobody has reaped yet.
    state=$(awk "/^State:/ {print \$2}" /proc/$old/status 2>/dev/null || true)
    check "old link ended" "$([ -z "$state" ] || [ "$state" = Z ] && echo gone || echo "alive $state")" "gone"
    check "ppp0 up again" "$(ip -4 -o addr show ppp0 | grep -c 10.64.0.2)" "1"
    check "route removed again" "$(ip route show default | wc -l)" "0"

    # Only one Wendle per board.
    $run "$BUILD/bin/Wendle" > "$STATION_ROOT/second.out" 2>&1 && rc=0 || rc=$?
    check "second instance refused" "$rc" "1"

    # A stale pid file (the link died with the board, the pid went to another
    # program): Wendle ends only pppd, never what the file names now.
    kill -9 $wendle
    wait $wendle 2>/dev/null || true
    holder=$(cat "$STATION_ROOT/var/run/ppp0.pid")
    kill $holder
    for i in $(seq 1 100); do [ -e /proc/$holder ] || break; sleep 0.1; done
    sleep 300 &
    bystander=$!
    trap "kill \$wendle \$sim \$bystander 2>/dev/null || true; [ -f \$STATION_ROOT/var/run/ppp0.pid ] && kill \$(cat \$STATION_ROOT/var/run/ppp0.pid) 2>/dev/null || true" EXIT
    echo $bystander > "$STATION_ROOT/var/run/ppp0.pid"
    ip route add default via 192.168.7.1 dev eth0 2>/dev/null || true
    start_and_wait_dial 3
    check "third dial" "$(grep -c "^args: /dev/ttyUSB0$" "$STATION_ROOT/root/ppp/Dunmore.log")" "3"
    check "bystander alive" "$(kill -0 $bystander 2>/dev/null && echo alive || echo ended)" "alive"
    check "stale pid told" "$(cat "$STATION_ROOT"/Storage/SystemLog/* | grep -c "names process $bystander, which is not pppd: left alone")" "1"
    kill $bystander 2>/dev/null || true

    # A module whose mode answer is a piece of the mode text ("2") is not in
    # mode 2: Wendle sets the mode.
    kill -9 $wendle $sim
    wait $wendle $sim 2>/dev/null || true
    rm -f "$STATION_ROOT"/dev/tty*
    printf "set srvset 2\n" > "$STATION_ROOT/modem-sim.ctl"
    $run "$BUILD/bin/modem_sim" --root "$STATION_ROOT" --model PLS8-E --restart-ms 500 --log "$STATION_ROOT/pls8.log" >> "$STATION_ROOT/sim.out" 2>&1 &
    sim=$!
    $run "$BUILD/bin/Wendle" >> "$STATION_ROOT/wendle.out" 2>&1 &
    wendle=$!
    for i in $(seq 1 600); do
        grep -q "AT^SSRVSET=\"actSrvSet\",2$" "$STATION_ROOT/pls8.log" 2>/dev/null && break
        sleep 0.1
    done
    check "mode asked" "$(grep -c "AT^SSRVSET=\"actSrvSet\"$" "$STATION_ROOT/pls8.log")" "1"
    check "mode set" "$(grep -c "AT^SSRVSET=\"actSrvSet\",2$" "$STATION_ROOT/pls8.log")" "1"
    check "mode wrong told" "$(cat "$STATION_ROOT"/Storage/SystemLog/* | grep -c "Gemalto modem operation mode wrong$")" "1"

    if [ $fail -ne 0 ]; then
        echo "--- Wendle"; cat "$STATION_ROOT/wendle.out"
        echo "--- system log"; cat "$STATION_ROOT"/Storage/SystemLog/*
        echo "--- modem"; tail -n 30 "$STATION_ROOT/modem-sim.log"
        echo "--- dial"; cat "$STATION_ROOT/root/ppp/Dunmore.log"
    fi
    exit $fail
'
