#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build statically with MinGW-w64 and installs
# them below PREFIX:
#   libsodium   from Debian's libsodium source package (autotools)
#   libcurl     from Debian's curl source package (CMake; Schannel, HTTP and HTTPS only)
#   GoogleTest  from Debian's googletest package (/usr/src/googletest)
#   RapidJSON   headers from Debian's rapidjson-dev (/usr/include/rapidjson)
# and the licence texts into PREFIX/licenses/ (curl-COPYING, libsodium-LICENSE,
# rapidjson-license.txt).
#
# Usage: scripts/build-windows-deps.sh PREFIX
#
# Sources come only from Debian's archives through apt. The result is keyed by the versions of
# the source packages, of the MinGW compiler and of this script: when PREFIX already holds a
# build with the same key, the script stops after a few apt queries.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 PREFIX" >&2
    exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
cache=$prefix/.cache
toolchain=$root/cmake/toolchain-mingw-w64.cmake
triplet=x86_64-w64-mingw32
jobs=${QUORVEL_JOBS:-2}
export DEBIAN_FRONTEND=noninteractive

log() { printf '[windows-deps] %s\n' "$*"; }

# --- Packages this script itself relies on --------------------------------------------------
needed=(dpkg-dev autoconf automake libtool make cmake rapidjson-dev googletest
        gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
missing=()
for package in "${needed[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- Source package indexes -----------------------------------------------------------------
# Debian images come without deb-src entries. Add one for the suites that are already
# configured, by copying the deb822 sources file with Types: deb-src.
has_deb_src() {
    grep -qsE '^[[:space:]]*Types:.*deb-src' /etc/apt/sources.list.d/*.sources && return 0
    grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}
source_known() {
    local listing
    listing=$(apt-cache showsrc "$1" 2>/dev/null || true)
    [[ $listing == *"Package: "* ]]
}

need_update=0
if ! has_deb_src; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        log "adding a deb-src entry for the configured Debian suites"
        sed -E 's/^([[:space:]]*)Types:.*/\1Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            >/etc/apt/sources.list.d/quorvel-deb-src.sources
    elif [ -f /etc/apt/sources.list ]; then
        log "adding deb-src lines for the configured Debian suites"
        sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list \
            >/etc/apt/sources.list.d/quorvel-deb-src.list
    else
        echo "no Debian apt sources found to derive a deb-src entry from" >&2
        exit 1
    fi
    need_update=1
fi
for package in libsodium curl rapidjson; do
    source_known "$package" || need_update=1
done
if [ $need_update -eq 1 ]; then
    log "apt-get update"
    apt-get update -qq
fi

# The version apt would fetch, from the name of its .dsc file (no download).
source_version() {
    local uris
    uris=$(apt-get source --print-uris -qq "$1" 2>/dev/null || true)
    sed -nE "s/^'[^']*' $1_([^ ]+)\\.dsc .*/\\1/p" <<<"$uris" | sed -n 1p
}
sodium_version=$(source_version libsodium)
curl_version=$(source_version curl)
rapidjson_version=$(source_version rapidjson)
for pair in "libsodium:$sodium_version" "curl:$curl_version" "rapidjson:$rapidjson_version"; do
    if [ -z "${pair#*:}" ]; then
        echo "cannot find the source package ${pair%%:*} in apt's indexes" >&2
        exit 1
    fi
done
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
rapidjson_dev_version=$(dpkg-query -W -f='${Version}' rapidjson-dev)
compiler_version=$($triplet-g++-posix -dumpfullversion 2>/dev/null || $triplet-g++-posix -dumpversion)
script_hash=$(cat "$0" "$toolchain" | sha256sum | cut -c1-16)

key="libsodium=$sodium_version curl=$curl_version rapidjson=$rapidjson_version"
key="$key googletest=$gtest_version rapidjson-dev=$rapidjson_dev_version"
key="$key mingw-g++=$compiler_version script=$script_hash"

if [ -f "$prefix/.key" ] && [ "$(cat "$prefix/.key")" = "$key" ]; then
    log "up to date ($key)"
    exit 0
fi
log "building for: $key"

# --- Fetch and unpack the source packages (kept in the cache per version) -------------------
fetch_source() { # package version -> prints the unpacked directory
    local package=$1 version=$2
    local dir=$cache/src/${package}_$version
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/download"
        (cd "$dir/download" && apt-get source --download-only -qq "$package=$version" >&2)
        # Unpacks the upstream source with Debian's patches applied.
        (cd "$dir" && dpkg-source --no-check -x download/"${package}_${version}".dsc tree >&2)
        touch "$dir/.unpacked"
    fi
    echo "$dir/tree"
}

sodium_src=$(fetch_source libsodium "$sodium_version")
curl_src=$(fetch_source curl "$curl_version")
rapidjson_src=$(fetch_source rapidjson "$rapidjson_version")

# Start from an empty prefix (apart from the cache) so that nothing stale survives.
find "$prefix" -mindepth 1 -maxdepth 1 ! -name .cache -exec rm -rf {} +
work=$cache/work
rm -rf "$work"
mkdir -p "$work"

# --- libsodium ------------------------------------------------------------------------------
log "libsodium $sodium_version"
cp -a "$sodium_src" "$work/libsodium"
(
    cd "$work/libsodium"
    ./autogen.sh -s >/dev/null 2>&1
    # No stack protector: it would pull in libssp, which is not linked statically.
    CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
        ./configure --host=$triplet --prefix="$prefix" --disable-shared --enable-static \
        --disable-ssp --with-pic=no >/dev/null
    make -j"$jobs" >/dev/null
    make install >/dev/null
)

# --- libcurl --------------------------------------------------------------------------------
# Schannel is the only TLS backend, HTTP and HTTPS the only protocols. Non-ASCII host names
# are converted with Windows' own IdnToAscii (USE_WIN32_IDN, links normaliz); no IDN library.
log "curl $curl_version"
cmake -S "$curl_src" -B "$work/curl" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=OFF \
    -DCURL_USE_WOLFSSL=OFF -DCURL_USE_BEARSSL=OFF -DCURL_USE_NSS=OFF \
    -DHTTP_ONLY=ON -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=ON \
    -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DENABLE_UNICODE=OFF >"$work/curl-configure.log"
cmake --build "$work/curl" -j "$jobs" >/dev/null
cmake --install "$work/curl" >/dev/null

# --- GoogleTest -----------------------------------------------------------------------------
log "googletest $gtest_version"
cmake -S /usr/src/googletest -B "$work/googletest" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON \
    -DINSTALL_GTEST=ON >/dev/null
cmake --build "$work/googletest" -j "$jobs" >/dev/null
cmake --install "$work/googletest" >/dev/null

# --- RapidJSON (header-only) ----------------------------------------------------------------
log "rapidjson headers from rapidjson-dev $rapidjson_dev_version"
mkdir -p "$prefix/include"
cp -a /usr/include/rapidjson "$prefix/include/"

# --- Licence texts --------------------------------------------------------------------------
mkdir -p "$prefix/licenses"
install -m 0644 "$curl_src/COPYING" "$prefix/licenses/curl-COPYING"
install -m 0644 "$sodium_src/LICENSE" "$prefix/licenses/libsodium-LICENSE"
install -m 0644 "$rapidjson_src/license.txt" "$prefix/licenses/rapidjson-license.txt"

rm -rf "$work"
echo "$key" >"$prefix/.key"
log "installed into $prefix"
