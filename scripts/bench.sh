#!/usr/bin/env bash
# Performance figures of quorvel-verify on this machine.
#
# Usage: scripts/bench.sh [--runs N] [--size BYTES] [--no-micro] [--windows BUILD_DIR]
#
#   1. builds the native tree with optimisation and the benchmarks
#      (QUORVEL_BUILD_ROOT/bench, default build/bench);
#   2. runs the Google Benchmark micro-benchmarks (bench/: the image digest beside OpenSSL's
#      and libsodium's SHA-256, base64url, the key document parser, the payload search),
#      five repetitions, medians;
#   3. the whole-process comparison on one signed PE of --size bytes (default 512 MiB): a
#      loopback key server publishes its key, and each run times quorvel-verify (against that
#      server), `openssl dgst -sha256`, `sha256sum` and, when osslsigncode is installed,
#      `osslsigncode verify` of an Authenticode-signed copy, one after the other on the same
#      file; wall time and peak memory from /usr/bin/time; ratios per run, medians over
#      --runs runs (default 5). Counts the read calls of one verification with strace when
#      it is installed;
#   4. with --windows BUILD_DIR, also times BUILD_DIR/cli/quorvel-verify.exe under Wine on the
#      same file (a Windows build made with cmake/toolchain-mingw-w64.cmake), and the page there:
#      BUILD_DIR/bin/quorvel-properties-host.exe opens the file's Properties window on an Xvfb
#      display with the module's Quorvel tab, and reports when the tab shows and its verdict.
#   5. quorvel-verify --jobs 2 on two copies of the file, for peak memory.
#   6. the property page's own path natively (bench/page_path_bench.cpp: the domain preview, then
#      the job as the page's worker runs it) on the same file, in every run beside the tools
#      above, and on a small signed file: time to the preview, time to the verdict, peak memory.
# Then prints the figures against the performance goals:
#   (1) quorvel-verify wall time <= 1.15 x openssl dgst -sha256 of the same file (one read and
#       one SHA-256 pass), and its ratio to osslsigncode verify;
#   (2) the image digest >= 90 % of OpenSSL's SHA-256 throughput in memory;
#   (3) peak memory of a verification <= 32 MiB whatever the file's size; with --jobs 2 on two
#       files <= 64 MiB;
#   (4) the Windows build under Wine about as fast as the native build;
#   (5) the page's preview does not grow with the file, its verdict about as fast as
#       quorvel-verify, its memory independent of the file.
# Timings on a loaded machine are noisy: the load average is printed with the figures.
# Nothing leaves the machine; the key server listens on 127.0.0.1 only and stops at exit.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
size=$((512 * 1024 * 1024))
micro=1
windows_build=""
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --size) size=$2; shift 2 ;;
        --no-micro) micro=0; shift ;;
        --windows) windows_build=$(cd "$2" && pwd); shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
done
case "$runs" in ''|*[!0-9]*|0) echo "--runs needs a positive number" >&2; exit 2 ;; esac
case "$size" in ''|*[!0-9]*) echo "--size needs a number of bytes" >&2; exit 2 ;; esac

build=${QUORVEL_BUILD_ROOT:-$root/build}/bench
work=$build/whole-process
state=$work/keyserver
wine_prefix=""
xvfb_pid=""
cleanup() {
    bash "$root/tests/keyserver/stop-keyserver.sh" "$state" >/dev/null 2>&1 || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
        rm -rf "$wine_prefix"
    fi
    rm -f "$work"/*.exe "$work/bench.key"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

"$root/scripts/install-deps.sh" native

# --- Build ------------------------------------------------------------------------------------
step "build ($build)"
# -O2: GCC 12 at -O3 reports a false -Wrestrict in std::string code of the CLI.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target quorvel_bench quorvel-page-bench quorvel-verify quorvel-sign \
    quorvel-make-fixture >/dev/null
verify=$build/cli/quorvel-verify
page=$build/bench/quorvel-page-bench
sign=$build/signing/quorvel-sign/quorvel-sign
fixture=$build/tests/support/quorvel-make-fixture

# --- Machine ----------------------------------------------------------------------------------
step "machine"
cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
sha_ni=no
grep -qw sha_ni /proc/cpuinfo && sha_ni=yes
thp=$(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)
echo "processors: $(nproc); CPU: $cpu; SHA extensions (sha_ni): $sha_ni"
echo "kernel: $(uname -r); transparent huge pages: $thp"
echo "OpenSSL: $(openssl version)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- Micro-benchmarks -------------------------------------------------------------------------
mkdir -p "$work"
micro_json=$work/micro.json
if [ "$micro" = 1 ]; then
    step "micro-benchmarks (5 repetitions, medians; CPU time)"
    "$build/bench/quorvel_bench" --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true --benchmark_display_aggregates_only=true \
        --benchmark_out="$micro_json" --benchmark_out_format=json 2>&1 |
        grep -E '^(BM_|Benchmark|-)' | grep -v '_mean\|_stddev\|_cv' || true
fi

# --- Whole-process comparison -----------------------------------------------------------------
step "whole-process comparison on a signed PE of $size bytes, $runs runs"
bash "$root/tests/keyserver/start-keyserver.sh" "$state" 3000 >/dev/null
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["trusted"])' \
    "$state/ports.json")
file=$work/signed.exe
key_id=$("$sign" keygen "$work/bench.key")
"$fixture" unsigned-pe --size "$size" --out "$file"
"$sign" sign --key "$work/bench.key" --domain "127.0.0.1:$port" "$file"
"$sign" key-document --key "$work/bench.key" --description "Benchmark key (loopback)" 2>/dev/null |
    python3 -c 'import json,sys; json.dump({"body": sys.stdin.read()}, sys.stdout)' |
    bash "$root/tests/keyserver/put-route.sh" "$state" "/.well-known/vantors/v1/$key_id"
file_bytes=$(stat -c %s "$file")
echo "file: $file_bytes bytes"

# Each tool must succeed on the file, or its time means nothing.
verdict=$("$verify" --json --ca-file "$state/pki/ca.pem" "$file")
grep -q '"kind":"verified"' <<<"$verdict" || { echo "quorvel-verify did not verify: $verdict" >&2; exit 1; }

# A small signed file for the page's path: the two-section image, signed for the same server.
small=$work/small.exe
"$fixture" unsigned-pe --out "$small"
"$sign" sign --key "$work/bench.key" --domain "127.0.0.1:$port" "$small"

tools=(quorvel_verify page_path page_path_small openssl_dgst sha256sum)
declare -A command
command[quorvel_verify]="$verify --ca-file $state/pki/ca.pem $file"
command[page_path]="$page $file $state/pki/ca.pem"
command[page_path_small]="$page $small $state/pki/ca.pem"
command[openssl_dgst]="openssl dgst -sha256 $file"
command[sha256sum]="sha256sum $file"

if command -v osslsigncode >/dev/null; then
    # An Authenticode-signed copy: the same image without its table, signed with a throw-away
    # certificate that the verify call is told to trust.
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Quorvel benchmark" -days 2 \
        -keyout "$work/authenticode-key.pem" -out "$work/authenticode-cert.pem" 2>/dev/null
    osslsigncode remove-signature -in "$file" -out "$work/unsigned.exe" >/dev/null
    osslsigncode sign -certs "$work/authenticode-cert.pem" -key "$work/authenticode-key.pem" \
        -h sha256 -in "$work/unsigned.exe" -out "$work/authenticode.exe" >/dev/null
    rm -f "$work/unsigned.exe"
    command[osslsigncode_verify]="osslsigncode verify -CAfile $work/authenticode-cert.pem -in $work/authenticode.exe"
    if ${command[osslsigncode_verify]} >/dev/null 2>&1; then
        tools+=(osslsigncode_verify)
    else
        echo "osslsigncode verify fails on the Authenticode copy; left out"
    fi
else
    echo "osslsigncode is not installed (Debian package osslsigncode): its column is skipped"
fi

if [ -n "$windows_build" ]; then
    exe=$windows_build/cli/quorvel-verify.exe
    if [ ! -f "$exe" ] || ! command -v wine >/dev/null; then
        echo "no $exe or no wine: the Windows column is skipped"
    else
        wine_prefix=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-bench-wine.XXXXXX")
        export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        host=$windows_build/bin/quorvel-properties-host.exe
        if [ -f "$host" ] && command -v Xvfb >/dev/null; then
            # The page as Explorer shows it: the properties host opens the Properties window on
            # an X display of its own (the prefix boots on it, or its first sheet may not come).
            Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
            xvfb_pid=$!
            for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
            export DISPLAY=":$(head -n 1 "$work/display")"
            dll=$windows_build/bin/quorvel-shell-integration.dll
            command[wine_page_path]="env WINEPREFIX=$wine_prefix wine $host --dll Z:${dll//\//\\} \
--select-tab Quorvel --timeout-ms 600000 Z:${file//\//\\}"
            tools+=(wine_page_path)
        fi
        WINEPREFIX=$wine_prefix wineboot -i >/dev/null 2>&1 || true
        # Schannel under Wine does not check certificates; the file is given as a Wine path.
        command[wine_quorvel_verify]="env WINEPREFIX=$wine_prefix wine $exe Z:${file//\//\\}"
        out=$(${command[wine_quorvel_verify]} 2>&1 || true)
        if grep -q 'Quorvel: verified' <<<"$out"; then
            tools+=(wine_quorvel_verify)
            # Wine's own start-up, to tell it apart: the same program on a file without
            # a signature (no fetch, a few bytes read).
            printf 'not a PE' >"$work/tiny.exe"
            command[wine_startup]="env WINEPREFIX=$wine_prefix wine $exe Z:${work//\//\\}\\tiny.exe"
            tools+=(wine_startup)
        else
            echo "quorvel-verify.exe under Wine did not verify; left out: $out"
        fi
    fi
fi

cat "$file" >/dev/null  # the file in the page cache for every tool alike
times=$work/times.txt
: >"$times"
: >"$work/page.txt"
for run in $(seq 1 "$runs"); do
    for tool in "${tools[@]}"; do
        status=0
        /usr/bin/time -f '%e %M' -o "$work/time.txt" ${command[$tool]} >"$work/out.txt" 2>&1 ||
            status=$?
        if [ "$status" != 0 ] && [ "$tool" != wine_startup ]; then
            echo "$tool failed in run $run (exit status $status): $(cat "$work/out.txt")" >&2
            exit 1
        fi
        echo "$run $tool $(tail -n 1 "$work/time.txt")" >>"$times"
        if [[ $tool == page_path* ]]; then
            echo "$tool $(cat "$work/out.txt")" >>"$work/page.txt"
        elif [ "$tool" = wine_page_path ]; then
            # Wall times do not count Wine's start-up: the host's own figures, from the call that
            # opens the sheet; peaks are the whole process's.
            grep -q '^status: Quorvel: verified' "$work/out.txt" ||
                { echo "the page under Wine did not verify: $(cat "$work/out.txt")" >&2; exit 1; }
            echo "$tool $(sed -n 's/^page-shown-ms: //p; s/^outcome-ms: //p' "$work/out.txt" |
                awk '{printf "%.3f ", $1 / 1000}') 0 $(cut -d' ' -f2 "$work/time.txt")" >>"$work/page.txt"
        fi
    done
    echo "run $run of $runs done (load average $(cut -d' ' -f1 /proc/loadavg))"
done

# Two files at once: each verification holds its own fixed buffer, not its file.
cp --reflink=auto "$file" "$work/signed-copy.exe"
/usr/bin/time -f '%e %M' -o "$work/time.txt" "$verify" --jobs 2 --ca-file "$state/pki/ca.pem" \
    "$file" "$work/signed-copy.exe" >/dev/null
jobs2_peak=$(tail -n 1 "$work/time.txt" | cut -d' ' -f2)
rm -f "$work/signed-copy.exe"

reads=""
if command -v strace >/dev/null; then
    reads=$(strace -f -e trace=openat,read,pread64,close -o "$work/strace.txt" \
        "$verify" --ca-file "$state/pki/ca.pem" "$file" >/dev/null 2>&1;
        python3 - "$work/strace.txt" "$file" <<'EOF'
# Counts the read calls on the file's descriptors between its open and close (descriptors
# belong to the process, whichever thread uses them).
import re, sys
path = sys.argv[2]
open_fds, reads, sizes, opens = {}, 0, [], 0
for line in open(sys.argv[1]):
    m = re.match(r'(\d+)\s+openat\(.*"(.*)".*= (\d+)', line)
    if m and m.group(2) == path:
        open_fds[m.group(3)] = True
        opens += 1
        continue
    m = re.match(r'(\d+)\s+close\((\d+)\)', line)
    if m:
        open_fds.pop(m.group(2), None)
        continue
    m = re.match(r'(\d+)\s+p?read(?:64)?\((\d+),.*= (\d+)', line)
    if m and m.group(2) in open_fds:
        reads += 1
        sizes.append(int(m.group(3)))
print(f"{opens} opens of the file, {reads} read calls, {sum(sizes)} bytes in all")
EOF
    )
fi

step "results"
python3 - "$times" "$file_bytes" "$micro_json" "$reads" "$(cut -d' ' -f1-3 /proc/loadavg)" "$jobs2_peak" \
    "$work/page.txt" "$(stat -c %s "$small")" <<'EOF'
import json, os, statistics, sys
times_path, file_bytes, micro_path, reads, load = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
jobs2_peak = int(sys.argv[6]) * 1024
page_path, small_bytes = sys.argv[7], int(sys.argv[8])
runs = {}
for line in open(times_path):
    run, tool, wall, peak = line.split()
    runs.setdefault(tool, {})[int(run)] = (float(wall), int(peak))
median = statistics.median
base = runs["openssl_dgst"]
print(f"{'tool':22} {'wall s (median)':>16} {'peak MiB':>10} {'x openssl dgst':>16}")
for tool, values in runs.items():
    walls = [w for w, _ in values.values()]
    peaks = [p for _, p in values.values()]
    ratios = [values[r][0] / base[r][0] for r in values if r in base and base[r][0] > 0]
    print(f"{tool:22} {median(walls):16.2f} {max(peaks) / 1024:10.1f} {median(ratios):16.2f}")
print(f"load average at the end: {load}")
if reads:
    print(f"read calls of one quorvel-verify run: {reads}")

def goal(number, text, met, figures):
    print(f"goal {number}: {text}: {'met' if met else 'NOT met'} ({figures})")

print()
q = runs["quorvel_verify"]
ratio1 = median([q[r][0] / base[r][0] for r in q if r in base])
goal(1, "quorvel-verify wall <= 1.15 x openssl dgst -sha256", ratio1 <= 1.15, f"{ratio1:.2f} x")
if "osslsigncode_verify" in runs:
    o = runs["osslsigncode_verify"]
    print(f"        against osslsigncode verify: "
          f"{median([q[r][0] / o[r][0] for r in q if r in o]):.2f} x its wall time")
if os.path.exists(micro_path):
    bench = json.load(open(micro_path))["benchmarks"]
    rate = {b["run_name"]: b["bytes_per_second"] for b in bench
            if b.get("aggregate_name") == "median" and "bytes_per_second" in b}
    digest, openssl = rate.get("BM_ImageDigest"), rate.get("BM_Sha256OpenSsl")
    sodium = rate.get("BM_Sha256Sodium")
    if digest and openssl:
        share = digest / openssl
        goal(2, "image digest >= 90 % of OpenSSL SHA-256 in memory", share >= 0.9,
             f"{share * 100:.0f} %: {digest / 2**20:.0f} vs {openssl / 2**20:.0f} MiB/s;"
             f" libsodium {sodium / 2**20:.0f} MiB/s")
else:
    print("goal 2: micro-benchmarks not run (--no-micro)")
peak = max(p for _, p in q.values()) * 1024
goal(3, "peak memory <= 32 MiB whatever the size", peak <= 32 * 2**20,
     f"{peak / 2**20:.1f} MiB for a {file_bytes / 2**20:.1f} MiB file")
goal(3, "peak memory with --jobs 2 on two such files <= 64 MiB", jobs2_peak <= 64 * 2**20,
     f"{jobs2_peak / 2**20:.1f} MiB")
if "wine_quorvel_verify" in runs:
    w = runs["wine_quorvel_verify"]
    ratio4 = median([w[r][0] / q[r][0] for r in w if r in q])
    startup = median([v[0] for v in runs.get("wine_startup", {}).values()] or [0.0])
    goal(4, "Windows build under Wine within 10 % of native", ratio4 <= 1.1,
         f"{ratio4:.2f} x native; Wine start-up alone {startup:.2f} s")
else:
    print("goal 4: not measured (give --windows BUILD_DIR)")

# The page's own path: preview, verdict (from the start of the preview), peaks in KiB.
page = {}
for line in open(page_path):
    tool, preview, verdict, preview_peak, peak = line.split()
    page.setdefault(tool, []).append((float(preview), float(verdict), int(preview_peak), int(peak)))
print()
for tool, size, where in (("page_path", file_bytes, ""), ("page_path_small", small_bytes, ""),
                          ("wine_page_path", file_bytes, " under Wine (page shown)")):
    rows = page.get(tool, [])
    if rows:
        shown = f"{size / 2**20:.1f} MiB" if size >= 2**20 else f"{size / 1024:.1f} KiB"
        preview_peak = max(r[2] for r in rows) / 1024
        print(f"page's path on {shown}{where}: preview {median([r[0] for r in rows]) * 1000:.2f} ms"
              + (f" (peak {preview_peak:.1f} MiB)" if preview_peak else "")
              + f", verdict {median([r[1] for r in rows]):.3f} s"
              f" (peak {max(r[3] for r in rows) / 1024:.1f} MiB)")
if "page_path" in page:
    verdict = median([r[1] for r in page["page_path"]])
    ratio5 = verdict / median([v[0] for v in q.values()])
    peak5 = max(r[3] for r in page["page_path"]) * 1024
    goal(5, "page's verdict within 1.15 x quorvel-verify, its peak <= 32 MiB",
         ratio5 <= 1.15 and peak5 <= 32 * 2**20,
         f"{ratio5:.2f} x quorvel-verify, {peak5 / 2**20:.1f} MiB")
EOF
