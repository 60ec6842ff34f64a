# Sourced by Quillon's system tests, inside their namespace: the build and
# source folders, a fresh station root removed at the end with every
# process the test started, loopback up, the station's folders.
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
