#!/usr/bin/env bash
# Builds the MSI and checks it under Wine in a throw-away prefix:
#   check-msi-wine.sh WINDOWS_BUILD_DIR NATIVE_BUILD_DIR        (needs DISPLAY, e.g. Xvfb)
# msiexec /i /qn installs the files and the five registry values; the host program shows the
# Quorvel tab of a signed file through the installed registration; quorvel-verify.exe runs from
# the install folder; regsvr32 of the installed DLL writes exactly the values the MSI wrote;
# msiexec /x removes the files and the values. The MSI is signed with a throw-away key and the
# installed programs are verified offline.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
native=$(realpath "$2")
[ -n "${DISPLAY:-}" ] || { echo "check-msi-wine: DISPLAY is not set" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-msi-test.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    bash "$root/tests/keyserver/stop-keyserver.sh" "$work/keyserver" >/dev/null 2>&1 || true
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-msi-wine: $*" >&2; exit 1; }
step() { echo "check-msi-wine: $*"; }

# The five values as the prefix's registry file holds them: "[key] value=data", data in the
# file's notation, which tells a REG_SZ ("...") from every other type and size (hex(N):...).
registry_values() {
    wineserver -w
    awk '/^\[/ { key = $1; next } /^$/ { key = "" }
         key ~ /6B2D91C4-3E07-4A5F-8C1D-27E9F0A4B318|PropertySheetHandlers\\\\quorvel\]/ &&
         /^[@"]/ { print key, $0 }' "$WINEPREFIX/system.reg" | sort
}

cmake --build "$build" --target package >/dev/null
cmake --build "$native" --target quorvel-make-fixture quorvel-sign >/dev/null
# The MSI again, from the same staged files, signed with a throw-away release key.
programs="quorvel-shell-integration.dll quorvel-verify.exe quorvel-sign.exe"
signer=$native/signing/quorvel-sign/quorvel-sign
"$signer" keygen "$work/release.key" >/dev/null
"$signer" key-document --key "$work/release.key" -o "$work/release.json"
msi=$work/signed.msi
QUORVEL_SIGN_KEY=$work/release.key QUORVEL_SIGN_DOMAIN=release.test QUORVEL_SIGN_TOOL=$signer \
    sh "$root/packaging/windows/make-msi.sh" "$build/packaging/quorvel.wxs" \
    "$build/packaging/msi" "$msi" >/dev/null
installed="$WINEPREFIX/drive_c/Program Files/Quorvel"

wineboot -i >/dev/null 2>&1
# A crashing program ends at once instead of waiting in Wine's crash dialog.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
[ -z "$(registry_values)" ] || fail "the fresh prefix already has the values"
step "msiexec /i $(basename "$msi")"
wine msiexec /i "$(winepath -w "$msi")" /qn || fail "msiexec /i failed"
expected=$(printf '%s\n' $programs README.txt LICENSE.txt \
    licenses/{curl,libsodium,rapidjson,atkinson-hyperlegible,mingw-w64-runtime}.txt | sort)
[ "$(cd "$installed" && find . -type f | sed 's|^\./||' | sort)" = "$expected" ] ||
    fail "installed files: $(cd "$installed" && find . -type f)"
from_msi=$(registry_values)
[ "$(wc -l <<<"$from_msi")" = 5 ] || fail "values after msiexec /i:"$'\n'"$from_msi"

step "Quorvel tab through the installed registration"
bash "$root/tests/keyserver/start-keyserver.sh" "$work/keyserver" 600 >/dev/null
domain=127.0.0.1:$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["trusted"])' \
    "$work/keyserver/ports.json")
"$native/tests/support/quorvel-make-fixture" unsigned-pe --out "$work/signed.exe"
tab_key_id=$("$native/signing/quorvel-sign/quorvel-sign" keygen "$work/tab.key")
"$native/signing/quorvel-sign/quorvel-sign" sign --key "$work/tab.key" --domain "$domain" "$work/signed.exe"
"$native/signing/quorvel-sign/quorvel-sign" key-document --key "$work/tab.key" 2>/dev/null |
    python3 -c 'import json,sys; json.dump({"body": sys.stdin.read()}, sys.stdout)' |
    bash "$root/tests/keyserver/put-route.sh" "$work/keyserver" \
        "/.well-known/vantors/v1/$tab_key_id"
tab=$(wine "$build/bin/quorvel-properties-host.exe" --select-tab Quorvel \
    "$(winepath -w "$work/signed.exe")" | tr -d '\r')
grep -qx 'status: Quorvel: verified' <<<"$tab" || fail "the tab shows:"$'\n'"$tab"

verify='C:\Program Files\Quorvel\quorvel-verify.exe'
wine "$verify" --version >"$work/version" || fail "quorvel-verify.exe --version fails"
grep -qF "quorvel-verify $version" "$work/version" || fail "--version: $(cat "$work/version")"
# Every installed program carries the release signature.
for program in $programs; do
    wine "$verify" --offline --key-document "release.test=$(winepath -w "$work/release.json")" \
        "C:\\Program Files\\Quorvel\\$program" >"$work/verdict" || fail "$program: $(cat "$work/verdict")"
done

step "regsvr32 of the installed DLL"
wine regsvr32 /s 'C:\Program Files\Quorvel\quorvel-shell-integration.dll' || fail "regsvr32"
[ "$(registry_values)" = "$from_msi" ] ||
    fail "regsvr32 wrote:"$'\n'"$(registry_values)"$'\n'"the MSI wrote:"$'\n'"$from_msi"

step "msiexec /x"
wine msiexec /x "$(winepath -w "$msi")" /qn || fail "msiexec /x failed"
[ ! -e "$installed" ] || fail "left behind: $(cd "$installed" && find .)"
[ -z "$(registry_values)" ] || fail "values left behind:"$'\n'"$(registry_values)"
step "the MSI installs, registers and uninstalls cleanly"
