#!/usr/bin/env bash
# Builds the Windows binaries with MinGW-w64 and runs their CTest suite under Wine.
#
# Usage: scripts/test-windows.sh [BUILD_DIR]        (default: build-win)
#
#   1. builds the static Windows dependencies from Debian's source packages (cached, keyed by
#      version: scripts/build-windows-deps.sh), below QUORVEL_WINDOWS_DEPS or BUILD_DIR/deps;
#   2. builds the native fixture makers and quorvel-sign and writes the Authenticode fixture
#      files, a key document and the signed file without its Quorvel signature, which need
#      OpenSSL and so cannot be made by the Windows build
#      (native tree: QUORVEL_NATIVE_BUILD or BUILD_DIR/native-tools, a tree of its own because
#      scripts/test.sh builds this in the background while it builds and tests build/native);
#   3. configures and builds BUILD_DIR with cmake/toolchain-mingw-w64.cmake, and its MSI (wixl);
#   4. starts an Xvfb display for the window tests and boots a throw-away Wine prefix on it
#      (wineboot -i, WINEDEBUG=-all, no crash dialog), runs ctest with wine as the emulator, then
#      tests/packaging/check-msi-wine.sh on the same display, and removes both again.
# QUORVEL_WINDOWS_STEPS=build does steps 1 to 3 only, =test step 4 only (scripts/test.sh
# builds in the background and tests later). Idempotent: a second run rebuilds only what
# changed. Exits non-zero when anything fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win}
mkdir -p "$build"
build=$(cd "$build" && pwd)
deps=${QUORVEL_WINDOWS_DEPS:-$build/deps}
native=${QUORVEL_NATIVE_BUILD:-$build/native-tools}
fixtures=$build/authenticode-fixtures
jobs=${QUORVEL_JOBS:-2}
steps=${QUORVEL_WINDOWS_STEPS:-all}
case $steps in
all | build | test) ;;
*)
    echo "QUORVEL_WINDOWS_STEPS must be all, build or test" >&2
    exit 2
    ;;
esac
started=$(date +%s)

step() { printf '[test-windows] %4d s  %s\n' "$(($(date +%s) - started))" "$*"; }

for tool in wine Xvfb x86_64-w64-mingw32-g++-posix cmake ctest wixl; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing: run scripts/install-deps.sh windows" >&2
        exit 1
    fi
done

if [ "$steps" != test ]; then
    step "dependencies"
    "$root/scripts/build-windows-deps.sh" "$deps"

    step "native fixture maker"
    cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$native" --target quorvel-authenticode-fixtures quorvel-make-fixture \
        quorvel-sign -j "$jobs" >/dev/null
    rm -rf "$fixtures"
    "$native/tests/windows/quorvel-authenticode-fixtures" "$fixtures"
    "$native/signing/quorvel-sign/quorvel-sign" key-document --key "$fixtures/authenticode-signed.key" \
        -o "$fixtures/authenticode-signed.json" 2>/dev/null
    # An Authenticode-signed file without a Quorvel signature, for quorvel-sign.exe to sign.
    "$native/signing/quorvel-sign/quorvel-sign" remove -o "$fixtures/authenticode-unsigned.exe" \
        "$fixtures/authenticode-signed.exe" >/dev/null

    step "Windows build"
    cmake -S "$root" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_WINDOWS_DEPS="$deps" \
        -DQUORVEL_AUTHENTICODE_FIXTURES="$fixtures" >/dev/null
    cmake --build "$build" -j "$jobs"
    cmake --build "$build" --target package >/dev/null

    # Everything else is linked statically: the DLL and the programs import Windows' own DLLs only.
    system=" advapi32 bcrypt comctl32 crypt32 gdi32 kernel32 msvcrt normaliz ole32 oleaut32 "
    system+="secur32 shell32 shlwapi user32 version wldap32 winmm ws2_32 "
    for file in bin/quorvel-shell-integration.dll bin/quorvel-properties-host.exe \
        cli/quorvel-verify.exe signing/quorvel-sign/quorvel-sign.exe; do
        imports=" $(x86_64-w64-mingw32-objdump -p "$build/$file" |
            sed -n 's/^\s*DLL Name: \(.*\)\.dll$/\1/ip' | tr '[:upper:]\n' '[:lower:] ')"
        [[ $imports == *" kernel32 "* ]] || { echo "no import table read from $file" >&2; exit 1; }
        for name in $imports; do
            if [[ $system != *" $name "* ]]; then
                echo "$file imports $name.dll, which is not one of Windows' own DLLs" >&2
                exit 1
            fi
        done
    done
fi
if [ "$steps" = build ]; then
    step "built"
    exit 0
fi

# --- Wine prefix and display, both removed at exit ------------------------------------------
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-wine.XXXXXX")
export WINEPREFIX
xvfb_pid=""
display_file=$(mktemp "${TMPDIR:-/tmp}/quorvel-display.XXXXXX")
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    # Stops the wine server of this prefix only.
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$display_file"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to the descriptor.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 1 100); do
    [ -s "$display_file" ] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "Xvfb did not start" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -s "$display_file" ]; then
    echo "Xvfb gave no display number within 10 s" >&2
    exit 1
fi
DISPLAY=":$(head -n 1 "$display_file")"
export DISPLAY
step "display $DISPLAY"

# The prefix boots on the display: booted without one, its desktop process came up without a
# display and about every second run's first property sheet was never created.
step "Wine prefix $WINEPREFIX"
wineboot -i >/dev/null 2>&1 || wine wineboot -i >/dev/null 2>&1
wineserver -w 2>/dev/null || true
# One wine server for the whole run: each test process then starts in well under a second,
# which the test discovery's time limit needs.
wineserver -p
# A crashing test program ends at once with its backtrace on stderr, instead of waiting in
# Wine's crash dialog until ctest's time limit.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true

step "ctest under Wine"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$jobs" || status=$?

step "MSI under Wine"
timeout 600 bash "$root/tests/packaging/check-msi-wine.sh" "$build" "$native" || status=1

step "finished in $(($(date +%s) - started)) s, exit status $status"
exit "$status"
