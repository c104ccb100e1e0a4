#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite:
#   1. the native build (Linux) with its full CTest suite;
#   2. the same suite again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the worker, request and concurrent-fetch tests under ThreadSanitizer;
#   4. every libFuzzer target for 30 seconds (QUORVEL_FUZZ_SECONDS);
#   5. the Windows build (MinGW-w64) with its tests under Wine and Xvfb.
# The Windows build runs in the background at the lowest priority from the start, on the CPU
# time the other stages leave (fuzzing uses one core); its log is build/windows-build.log.
# Build trees go below build/ (override with QUORVEL_BUILD_ROOT). Prints each stage's time at
# the end. Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUORVEL_BUILD_ROOT:-$root/build}
cd "$root"
mkdir -p "$out"

started=$(date +%s)
stage_started=$started
stage_name=""
times=""
stage() {
    local now
    now=$(date +%s)
    if [ -n "$stage_name" ]; then
        times+=$(printf '%6d s  %s' $((now - stage_started)) "$stage_name")$'\n'
    fi
    stage_name=$*
    stage_started=$now
    printf '\n=== %s ===\n' "$*"
}

build_and_test() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j 2
}

# The sanitizer builds compile at -O1 with line tables only: instrumented code at -O2 -g takes
# about twice as long to compile, and -O1 is what the sanitizers' own documentation suggests.
sanitizer_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
                 -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

stage "Installing missing packages"
"$root/scripts/install-deps.sh" all

stage "Windows build started in the background"
windows_log=$out/windows-build.log
# setsid: its own process group, so that a failure elsewhere stops all of it.
QUORVEL_WINDOWS_STEPS=build setsid nice -n 19 "$root/scripts/test-windows.sh" "$out/windows" \
    >"$windows_log" 2>&1 &
windows_build=$!
trap 'kill -- "-$windows_build" 2>/dev/null || true' EXIT

stage "Native build and tests"
build_and_test "$out/native"

stage "Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_test "$out/asan" -DQUORVEL_SANITIZE=address,undefined "${sanitizer_flags[@]}"

stage "Worker, request and concurrent fetches under ThreadSanitizer"
cmake -S "$root" -B "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=thread \
    "${sanitizer_flags[@]}" >/dev/null
cmake --build "$out/tsan" -j "$(nproc)" --target verification_job_tests \
    keyclient_tests hardening_server_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$out/tsan" --output-on-failure --timeout 300 \
    -R '^(VerificationJobTest|HttpGetTest|Concurrency)\.'

stage "Fuzzing every target for ${QUORVEL_FUZZ_SECONDS:-30} seconds"
QUORVEL_FUZZ_BUILD_DIR="$out/fuzz" "$root/scripts/fuzz.sh" "${QUORVEL_FUZZ_SECONDS:-30}"

stage "Windows build (finishing) and tests under Wine"
if ! wait "$windows_build"; then
    cat "$windows_log"
    echo "the Windows build failed (log: $windows_log)" >&2
    exit 1
fi
trap - EXIT
cat "$windows_log"
QUORVEL_WINDOWS_STEPS="test" "$root/scripts/test-windows.sh" "$out/windows"

stage "All test suites passed"
printf '%s%6d s  in total\n' "$times" $(($(date +%s) - started))
