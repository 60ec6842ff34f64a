#!/usr/bin/env bash
# Bastide as its own process beside the station's writes, with faults from
# outside: a flash lock byte left set by a dead writer, a trap sender that
# never returns and an events folder on a full disk. The alarm loop never
# stalls on any of them: event lines keep coming, the lock is taken over once
# it has been watched for 10 s and the setting reaches the flash, the sender
# is ended and reaped, and no event line is ever glued to a cut one, the lost
# ones counted in the system log. The small tmpfs lives in the test's own
# mount namespace.
set -euo pipefail
export STATION_EXEC_PREFIX=${STATION_EXEC_PREFIX:-}
build=$1
root=$(mktemp -d /tmp/bastide-stalls-XXXXXX)
trap 'umount "$root/Storage/Events" 2>/dev/null || true; rm -rf "$root"' EXIT
mkdir -p "$root"/root "$root"/Storage/Events "$root"/Storage/SystemLog "$root"/var/lock "$root"/dev
head -c 131072 /dev/zero > "$root/dev/mtdblock4"
printf '#!/bin/sh\nexit 0\n' > "$root/root/snmptrap"
chmod 755 "$root/root/snmptrap"

STATION_ROOT=$root BUILD=$build unshare --ipc --mount bash -c '
    set -euo pipefail
    t() { $STATION_EXEC_PREFIX "$BUILD/bin/shmtool" "$@"; }
    $STATION_EXEC_PREFIX "$BUILD/tests/make_segment" 5438 262144
    $STATION_EXEC_PREFIX "$BUILD/tests/make_segment" 1111 108948
    t write SHRMEM_SERIAL_NUMBER SN1 > /dev/null
    t write SHRMEM_SNMP_TRAP_IP 127.0.0.1 > /dev/null
    t write SHRMEM_SNMP_TRAP_PORT 162 > /dev/null
    t write SHRMEM_SNMP_COMMUNITY public > /dev/null
    # OCPP 1.6J reporting: every event also moves the status ring, which
    # shows that Bastide took a change even when its line could not be written.
    t write SHRMEM_OCPP_ENABLE 1 > /dev/null
    t write SHRMEM_OCPP_URL ws://old.example/ocpp > /dev/null
    t write SHRMEM_OCPP_MODE 2 > /dev/null
    t write SHRMEM_SYSTEM_READY 1 > /dev/null
    t -k 1111 write 3201 ws://old.example/ocpp text:256 > /dev/null

    $STATION_EXEC_PREFIX "$BUILD/bin/Bastide" > "$STATION_ROOT/bastide.out" 2>&1 &
    bastide=$!
    trap "kill \$bastide 2>/dev/null || true; [ -s \$STATION_ROOT/sender.pids ] && kill \$(cat \$STATION_ROOT/sender.pids) 2>/dev/null || true" EXIT

    fail=0
    check() { if [ "$2" != "$3" ]; then echo "FAIL $1: got [$2] want [$3]"; fail=1; else echo "ok   $1"; fi; }
    events() { cat "$STATION_ROOT"/Storage/Events/*SN1_Events.csv 2>/dev/null | wc -l; }
    syslog() { cat "$STATION_ROOT"/Storage/SystemLog/* 2>/dev/null || true; }
    ring() { t -k 1111 read 4188; }
    now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
    # Toggles DIN event bit 21533.0x01 (00C100 / 10C100: a line and a ring
    # record, no trap) and waits for Bastide to take it; prints the time it took.
    toggle_din() {
        local before=$(ring) start=$(now_ms)
        t write 21533 $(( $(t read 21533) ^ 1 )) > /dev/null
        for i in $(seq 1 3000); do [ "$(ring)" != "$before" ] && break; sleep 0.01; done
        echo $(( $(now_ms) - start ))
    }
    wait_ring_moves() { for i in $(seq 1 300); do [ "$(ring)" != "0" ] && return 0; sleep 0.1; done; return 1; }
    wait_ring_moves || { echo "Bastide reports nothing"; cat "$STATION_ROOT/bastide.out"; syslog; exit 1; }
    toggle_din > /dev/null

    # 1. The flash lock is held by a writer that died while storing; Tarnet
    # changes the central-system URL, which Bastide mirrors into the flash.
    # Taken before the lock is set: the take-over cannot come sooner than
    # 10 s after this, however slowly the writes below run.
    lockAt=$(now_ms)
    t write 477 1 > /dev/null
    t -k 1111 write 3201 ws://new.example/ocpp text:256 > /dev/null
    t -k 1111 write 108604 1 > /dev/null
    worst=0
    lines=$(events)
    for n in $(seq 1 20); do
        took=$(toggle_din)
        [ "$took" -gt "$worst" ] && worst=$took
        sleep 0.3
    done
    # A held lock used to stall the pass 5 s at a time; the bound leaves
    # room for a slow, loaded machine and still catches such a stall.
    check "alarm to event line while the lock is held (worst ${worst} ms)" "$([ "$worst" -lt 4000 ] && echo fast || echo stalled)" fast
    check "every change has its line" "$(( $(events) - lines ))" 20
    check "URL in the map at once" "$(t read SHRMEM_OCPP_URL)" ws://new.example/ocpp
    for i in $(seq 1 600); do
        [ "$(od -An -c -j 1536 -N 6 "$STATION_ROOT/dev/mtdblock4" | tr -d " ")" = "ws://n" ] && break
        sleep 0.1
    done
    storedAt=$(now_ms)
    check "URL reaches the flash once the lock is taken over" "$(od -An -c -j 1536 -N 6 "$STATION_ROOT/dev/mtdblock4" | tr -d " ")" "ws://n"
    check "not before 10 s of watching" "$([ $((storedAt - lockAt)) -ge 10000 ] && echo late || echo early)" late
    check "lock given back" "$(t read 477)" 0
    check "take-over logged" "$(syslog | grep -c "lock byte 477 set for 1[0-9] s without change")" 1
    check "wait logged once" "$(syslog | grep -c "wait for the flash lock")" 1

    # 2. The trap sender never returns.
    printf "#!/bin/sh\necho \$\$ >> \"\$STATION_ROOT/sender.pids\"\nexec sleep 100000\n" > "$STATION_ROOT/root/snmptrap"
    t write 312 16 > /dev/null                # RFID reader error: a trap row
    for i in $(seq 1 300); do [ -s "$STATION_ROOT/sender.pids" ] && break; sleep 0.05; done
    sender=$(head -n 1 "$STATION_ROOT/sender.pids")
    took=$(toggle_din)
    check "DIN line after a hung sender (${took} ms)" "$([ "$took" -lt 20000 ] && echo bounded || echo stuck)" bounded
    state=$(awk "/^State:/ {print \$2}" /proc/$sender/status 2>/dev/null || true)
    check "sender ended and reaped" "${state:-gone}" gone
    check "wait logged" "$(syslog | grep -c "waiting for \"/root/snmptrap")" 1
    check "end logged" "$(syslog | grep -c "ended after its limit of 5 s")" 1
    # Within the minute no sender is started again: changes are not held up.
    worst=0
    for n in $(seq 1 10); do
        t write 312 $(( n % 2 ? 0 : 16 )) > /dev/null
        took=$(toggle_din)
        [ "$took" -gt "$worst" ] && worst=$took
    done
    check "no stall while traps are held (worst ${worst} ms)" "$([ "$worst" -lt 4000 ] && echo fast || echo stalled)" fast
    check "one sender only" "$(wc -l < "$STATION_ROOT/sender.pids")" 1

    # 3. The events folder is on a full disk, and the month file ends without
    # a line feed. The lines of the changes before are all written first, so
    # that the lines lost are those of this step alone.
    stable=0 count=$(events)
    for i in $(seq 1 300); do
        sleep 0.1
        if [ "$(events)" = "$count" ]; then stable=$((stable + 1)); else stable=0 count=$(events); fi
        [ $stable -lt 20 ] || break
    done
    mount -t tmpfs -o size=64k tmpfs "$STATION_ROOT/Storage/Events"
    file="$STATION_ROOT/Storage/Events/[$(date +%Y.%m)]SN1_Events.csv"
    for n in $(seq 1 140); do echo "2026.12.11 10:00:00 - 00C100"; done > "$file"
    printf "2026.12.11 10:00:00 - 00C1" >> "$file"
    dd if=/dev/zero of="$STATION_ROOT/Storage/Events/filler" bs=4096 2>/dev/null || true
    for n in $(seq 1 6); do toggle_din > /dev/null; done
    rm "$STATION_ROOT/Storage/Events/filler"
    toggle_din > /dev/null
    toggle_din > /dev/null
    line="^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - [0-9A-F]{6}$"
    check "lines after the disk is back" "$(tail -n 2 "$file" | grep -cE "$line")" 2
    # A cut fragment stays a line of its own; nothing is ever glued to it.
    check "no glued line" "$(grep -vE "$line" "$file" | awk "length(\$0) >= 29" | wc -l)" 0
    check "fragments stand alone" "$(grep -cvE "$line" "$file")" 2
    check "loss counted" "$(syslog | grep -c "6 line(s) of /Storage/Events/\[$(date +%Y.%m)\]SN1_Events.csv lost")" 1

    if [ $fail -ne 0 ]; then
        echo "--- Bastide"; cat "$STATION_ROOT/bastide.out"
        echo "--- system log"; syslog | tail -n 40
        echo "--- events"; tail -n 12 "$file" 2>/dev/null || true
    fi
    exit $fail
'
