#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh [native|windows|all]   (default: all)
# Idempotent: when everything is present it costs one dpkg query and no network.
set -euo pipefail

native=(cmake make g++ pkg-config python3 openssl ca-certificates
        libsodium-dev libcurl4-openssl-dev libssl-dev rapidjson-dev zlib1g-dev libp11-kit-dev
        softhsm2 opensc
        libgtest-dev libgmock-dev libbenchmark-dev
        clang libclang-rt-14-dev time
        dpkg-dev fakeroot lintian man-db)
windows=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
         wine wine64 xvfb imagemagick
         autoconf automake libtool dpkg-dev wixl msitools libp11-kit-dev)

case "${1:-all}" in
    native) wanted=("${native[@]}") ;;
    windows) wanted=("${windows[@]}") ;;
    all) wanted=("${native[@]}" "${windows[@]}") ;;
    *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The embedded font of the shell extension comes from the npm registry.
if [ "${1:-all}" != native ] && ! command -v npm >/dev/null; then
    echo "npm is required (Node.js with npm) to fetch the embedded font" >&2
    exit 1
fi
