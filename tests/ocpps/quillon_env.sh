# Sourced by Quillon's system tests, inside their namespace: the build and
# source folders, a fresh station root removed at the end with every
# process the test started, loopback up, the station's folders, and the
# helpers the tests share (a script may define its own fail and check).
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
[ -d "$src/sim/central15/node_modules/soap" ] || { echo "FAIL: sim/central15 has no node_modules (run .ci/install-deps)"; exit 1; }
root=$(mktemp -d "/tmp/$(basename "$0" .sh)-XXXXXX")
export STATION_ROOT=$root
central= bastide= quillon= ftp=
cleanup() {
    for p in $quillon $bastide $central $ftp; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
ip link set lo up
mkdir -p "$root/Storage/SystemLog" "$root/Storage/Events" "$root/var/lock" "$root/root"
log=$root/central.log
# The register map through shmtool, and a failure with what the processes said.
t() { $STATION_EXEC_PREFIX "$build/bin/shmtool" "$@" > /dev/null; }
r() { $STATION_EXEC_PREFIX "$build/bin/shmtool" read "$@"; }
fail() {
    echo "FAIL: $*"
    echo "--- central"; cut -c1-400 "$log" 2>/dev/null || true
    echo "--- quillon"; cat "$root/quillon.out" 2>/dev/null || true
    echo "--- system log"; cat "$root"/Storage/SystemLog/* 2>/dev/null || true
    exit 1
}
check() { [ "$2" = "$3" ] || fail "$1: got [$2], want [$3]"; echo "ok   $1"; }
