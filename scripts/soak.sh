#!/usr/bin/env bash
# The soak: 10,000 verifications in one process against the loopback key server, with a mix of
# outcomes, printing the resident set size after 1,000 and after 10,000 and failing when it grew
# by 8 MiB or more. About six minutes on two cores.
#   scripts/soak.sh [BUILD_DIR]      default: build/soak (configured and built when needed)
# QUORVEL_SOAK_RUNS=N changes the number of verifications (at least 2,000).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/soak}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target hardening_soak_tests -j 2 >/dev/null
binary=$(find "$build" -type f -name hardening_soak_tests -perm -u+x | head -n 1)
if [ -z "$binary" ]; then
    echo "soak.sh: hardening_soak_tests was not built in $build" >&2
    exit 1
fi

state=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-soak.XXXXXX")
cleanup() {
    bash "$root/tests/keyserver/stop-keyserver.sh" "$state" >/dev/null 2>&1 || true
    rm -rf "$state"
}
trap cleanup EXIT
# The server ends by itself after 30 minutes even if this script is killed.
bash "$root/tests/keyserver/start-keyserver.sh" "$state" 1800 >/dev/null

QUORVEL_KEYSERVER_DIR=$state "$binary"
