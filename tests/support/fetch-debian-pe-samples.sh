#!/bin/sh
# Usage: fetch-debian-pe-samples.sh DIR. Unpacks below DIR the Debian packages whose PE files
# the tests read: the EFI binaries of shim-signed and grub-efi-amd64-signed (Authenticode-signed
# PE32+), syslinux-efi (unsigned PE32), and a part of Wine's DLLs and programs (libwine). A
# package already unpacked is not fetched again; one that cannot be downloaded fails loudly.
set -eu
dest=${1:?usage: fetch-debian-pe-samples.sh DIR}
mkdir -p "$dest"

# fetch PACKAGE WANTED_FILE [PATTERN...]: unpacks the whole package, or only the given paths.
fetch() {
    package=$1 wanted=$2
    shift 2
    [ -f "$dest/$wanted" ] && { echo "$package: cached ($dest/$wanted)"; return 0; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && apt-get download "$package") ||
        { echo "ERROR: apt-get download $package failed; the real-file tests cannot run" >&2; exit 1; }
    dpkg-deb --fsys-tarfile "$work"/"$package"_*.deb | tar -x -C "$dest" --wildcards "$@"
    rm -rf "$work"
    trap - EXIT
    [ -f "$dest/$wanted" ] || { echo "ERROR: $package does not contain $wanted" >&2; exit 1; }
    echo "$package: unpacked $dest/$wanted"
}

fetch shim-signed usr/lib/shim/shimx64.efi.signed
fetch grub-efi-amd64-signed usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
fetch syslinux-efi usr/lib/SYSLINUX.EFI/efi32/syslinux.efi
wine=usr/lib/x86_64-linux-gnu/wine/x86_64-windows
fetch libwine "$wine/notepad.exe" "./$wine/[a-c]*.dll" "./$wine/*.exe"
