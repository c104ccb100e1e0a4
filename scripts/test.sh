#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite:
#   1. the native build (Linux) with its full CTest suite;
#   2. the same suite again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the Windows build (MinGW-w64) with its suite under Wine.
# Build trees go below build/ (override with QUORVEL_BUILD_ROOT). Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUORVEL_BUILD_ROOT:-$root/build}
cd "$root"

stage() { printf '\n=== %s ===\n' "$*"; }

build_and_test() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    ctest --test-dir "$dir" --output-on-failure --timeout 300
}

stage "Installing missing packages"
"$root/scripts/install-deps.sh" all

stage "Native build and tests"
build_and_test "$out/native"

stage "Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_test "$out/asan" -DQUORVEL_SANITIZE=address,undefined

stage "Windows build and tests under Wine"
QUORVEL_NATIVE_BUILD="$out/native" "$root/scripts/test-windows.sh" "$out/windows"

stage "All test suites passed"
