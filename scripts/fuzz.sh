#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while:
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default $QUORVEL_FUZZ_SECONDS, else 30)
#
# 1. configures and builds build/fuzz (QUORVEL_BUILD_FUZZ, address and undefined sanitizers);
# 2. generates the seed corpora (quorvel-fuzz-seeds, plus fuzz/corpus/json);
# 3. per target, two at a time: replays the kept crash inputs of fuzz/regressions/<target>/, then fuzzes for
#    the given time (-timeout=10, -rss_limit_mb=2048) into a corpus kept in the build tree,
#    and prints the executions;
# 4. a crash fails the run: the input stays in build/fuzz/fuzz/artifacts/<target>/, and a
#    minimised copy is added to fuzz/regressions/<target>/ for the native test suite.
#
# Environment: QUORVEL_FUZZ_BUILD_DIR (build tree, default build/fuzz), QUORVEL_FUZZ_TARGETS
# (space-separated subset), QUORVEL_FUZZ_NO_BUILD=1 (use the tree as it is, for `make fuzz`),
# QUORVEL_FUZZ_JOBS (build parallelism, default 2), QUORVEL_FUZZ_PARALLEL (targets fuzzed at a
# time, default 2: one per core).
set -euo pipefail

seconds=${1:-${QUORVEL_FUZZ_SECONDS:-30}}
case $seconds in
'' | *[!0-9]*)
    echo "usage: $0 [SECONDS_PER_TARGET]" >&2
    exit 2
    ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVEL_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${QUORVEL_FUZZ_JOBS:-2}
# The names of fuzz/FuzzTargets.cmake.
all_targets=$(sed -n '/^set(QUORVEL_FUZZ_TARGETS/,/)/{s/^ *\([a-z0-9_]*\)$/\1/p}' "$root/fuzz/FuzzTargets.cmake")
targets=${QUORVEL_FUZZ_TARGETS:-$all_targets}

if [ -z "${QUORVEL_FUZZ_NO_BUILD:-}" ]; then
    CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S "$root" -B "$build" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF \
        -DQUORVEL_SANITIZE=address,undefined >/dev/null
    cmake --build "$build" --target quorvel_fuzzers -j "$jobs"
fi

work=$build/fuzz
seeds=$work/seeds
rm -rf "$seeds"
"$work/quorvel-fuzz-seeds" "$seeds" "$root/fuzz/corpus/json"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Keeps a minimised copy of a crash input as a regression input.
keep_crash() {
    local target=$1 bin=$2 crash=$3
    local dest_dir=$root/fuzz/regressions/$target
    local dest
    dest=$dest_dir/$(basename "$crash")
    mkdir -p "$dest_dir"
    echo "minimising $crash"
    if ! "$bin" -minimize_crash=1 -runs=20000 -max_total_time=120 -timeout=10 \
        -exact_artifact_path="$dest" "$crash" >"$work/logs/$target.minimize.log" 2>&1 ||
        [ ! -s "$dest" ]; then
        cp "$crash" "$dest"
    fi
    echo "kept as regression input: ${dest#"$root"/} (crash input left at $crash)"
}

# Replays the kept crash inputs, then fuzzes one target; writes its summary line to
# $work/logs/<target>.summary and fails when it found something.
run_target() {
    local target=$1 bin=$work/fuzz_$1 corpus=$work/corpus/$1 artifacts=$work/artifacts/$1
    local log=$work/logs/$1.log summary=$work/logs/$1.summary
    mkdir -p "$corpus" "$artifacts" "$seeds/$target"
    # The kept crash inputs must pass before anything new is searched for.
    mapfile -t kept < <(find "$root/fuzz/regressions/$target" -type f ! -name '.*' 2>/dev/null | sort)
    if [ ${#kept[@]} -gt 0 ] &&
        ! "$bin" -timeout=10 -rss_limit_mb=2048 "${kept[@]}" >"$work/logs/$target.replay.log" 2>&1; then
        echo "$target: a kept regression input fails; see $work/logs/$target.replay.log" >&2
        printf '%-18s %12s %8s  %s\n' "$target" "-" "-" "REGRESSION FAILS" >"$summary"
        return 1
    fi
    echo "fuzzing $target for ${seconds}s"
    local start status=0
    start=$(date +%s)
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" "$seeds/$target" >"$log" 2>&1 || status=$?
    local elapsed=$(($(date +%s) - start)) result=ok
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        result="CRASH (exit $status)"
        tail -n 40 "$log" >&2
        for crash in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
            [ -e "$crash" ] || continue
            keep_crash "$target" "$bin" "$crash"
        done
    fi
    printf '%-18s %12s %8s  %s\n' "$target" "${runs:-?}" "${elapsed}s" "$result" >"$summary"
    [ "$status" -eq 0 ]
}

mkdir -p "$work/logs"
for target in $targets; do
    if [ ! -x "$work/fuzz_$target" ]; then
        echo "missing fuzz target $work/fuzz_$target" >&2
        exit 1
    fi
    rm -f "$work/logs/$target.summary"
done

# Two targets at a time, one per core; each still gets its full time.
failed=0
parallel=${QUORVEL_FUZZ_PARALLEL:-2}
stage_start=$(date +%s)
running=0
for target in $targets; do
    if [ "$running" -ge "$parallel" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done

printf '\n%-18s %12s %8s  %s\n' target executions time result
for target in $targets; do
    cat "$work/logs/$target.summary" 2>/dev/null || printf '%-18s %12s %8s  %s\n' "$target" - - "NO RESULT"
    [ -s "$work/logs/$target.summary" ] || failed=1
done
printf 'wall-clock time of the fuzzing stage: %ss (%s targets at a time)\n' \
    "$(($(date +%s) - stage_start))" "$parallel"
if [ "$failed" -ne 0 ]; then
    echo "fuzzing found failures (logs in $work/logs)" >&2
    exit 1
fi
