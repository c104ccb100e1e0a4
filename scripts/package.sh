#!/usr/bin/env bash
# Builds the two packages for users, installing what is missing, into build/packages/:
#   quorvel-tools_<version>_amd64.deb  the command-line tools (native build, CPack DEB)
#   quorvel-<version>-x64.msi          the shell extension and the tools (MinGW-w64, wixl)
#
# Usage: scripts/package.sh [--sign-key FILE --sign-domain DOMAIN]
#
# With a release key (or QUORVEL_SIGN_KEY and QUORVEL_SIGN_DOMAIN in the environment) the PE
# files are signed with quorvel-sign for that domain before they go into the MSI. Without one
# the packages are built unsigned, and the script says so. Build trees: build/package-native,
# build/package-windows (QUORVEL_BUILD_ROOT overrides build/); the Windows dependencies are
# shared with the test command (build/windows/deps).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUORVEL_BUILD_ROOT:-$root/build}
jobs=${QUORVEL_JOBS:-2}
key=${QUORVEL_SIGN_KEY:-}
domain=${QUORVEL_SIGN_DOMAIN:-}
usage() { echo "usage: $0 [--sign-key FILE --sign-domain DOMAIN]" >&2; exit 2; }
while [ $# -gt 0 ]; do
    case $1 in
        --sign-key) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
        --sign-domain) [ $# -ge 2 ] || usage; domain=$2; shift 2 ;;
        *) usage ;;
    esac
done
if [ -n "$key" ]; then
    [ -n "$domain" ] || { echo "package: a signing key needs --sign-domain" >&2; exit 2; }
    [ -r "$key" ] || { echo "package: cannot read the key $key" >&2; exit 2; }
    key=$(realpath "$key")
fi

"$root/scripts/install-deps.sh" all

native=$out/package-native
windows=$out/package-windows
deps=${QUORVEL_WINDOWS_DEPS:-$out/windows/deps}
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$native" -j "$jobs" --target package

"$root/scripts/build-windows-deps.sh" "$deps"
cmake -S "$root" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_WINDOWS_DEPS="$deps" >/dev/null
if [ -n "$key" ]; then
    export QUORVEL_SIGN_KEY=$key QUORVEL_SIGN_DOMAIN=$domain
    export QUORVEL_SIGN_TOOL=$native/signing/quorvel-sign/quorvel-sign
else
    unset QUORVEL_SIGN_KEY
    echo "package: no signing key given (--sign-key): the packages are built unsigned"
fi
cmake --build "$windows" -j "$jobs" --target package

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
mkdir -p "$out/packages"
cp "$native/quorvel-tools_${version}_$(dpkg --print-architecture).deb" \
    "$windows/quorvel-${version}-x64.msi" "$out/packages/"
echo "Packages in $out/packages:"
ls -l "$out/packages"
