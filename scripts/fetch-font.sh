#!/bin/sh
# Fetches the font that the property page draws the domain line in, "Atkinson Hyperlegible"
# Bold 1.006, from the npm registry and checks it. Nothing of it is kept in the repository.
#
#   scripts/fetch-font.sh OUTDIR
#
# Leaves OUTDIR/AtkinsonHyperlegible_700Bold.ttf and OUTDIR/LICENSE_FONT. The package tarball
# is cached in OUTDIR; a second run with a good cache does not touch the network.
set -eu

package='@expo-google-fonts/atkinson-hyperlegible'
version='0.4.1'
tarball='expo-google-fonts-atkinson-hyperlegible-0.4.1.tgz'
font_member='package/700Bold/AtkinsonHyperlegible_700Bold.ttf'
license_member='package/LICENSE_FONT'
font_bytes=54444
font_sha256='9ebfea858a99e61e2fc299d194ba55b87de4884094f86fdcb6fa0d510b9d77da'
license_sha256='f32d22b3908fcad2c86a74000614ec22e6a7f66ea7e867e616026a27aebdc143'

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)

check_file() { # file expected-sha256
    [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$2" ]
}

font="$out/AtkinsonHyperlegible_700Bold.ttf"
license="$out/LICENSE_FONT"
if check_file "$font" "$font_sha256" && check_file "$license" "$license_sha256"; then
    exit 0
fi

if [ ! -f "$out/$tarball" ]; then
    command -v npm >/dev/null 2>&1 || { echo "fetch-font: npm is needed" >&2; exit 1; }
    # npm pack writes the tarball into the current directory; keep npm's cache in the build tree.
    (cd "$out" && npm pack --silent --cache "$out/npm-cache" "$package@$version" >/dev/null)
fi

work="$out/unpacked"
rm -rf "$work"
mkdir -p "$work"
tar -xzf "$out/$tarball" -C "$work" "$font_member" "$license_member"

size=$(wc -c < "$work/$font_member" | tr -d ' ')
if [ "$size" != "$font_bytes" ]; then
    echo "fetch-font: $font_member has $size bytes, expected $font_bytes" >&2
    rm -f "$out/$tarball"
    exit 1
fi
if ! check_file "$work/$font_member" "$font_sha256"; then
    echo "fetch-font: SHA-256 of $font_member does not match" >&2
    rm -f "$out/$tarball"
    exit 1
fi
if ! check_file "$work/$license_member" "$license_sha256"; then
    echo "fetch-font: SHA-256 of $license_member does not match" >&2
    rm -f "$out/$tarball"
    exit 1
fi

cp "$work/$font_member" "$font"
cp "$work/$license_member" "$license"
rm -rf "$work"
