#!/bin/sh
# Downloads and unpacks the Debian packages whose PE files the signature tests read: the EFI
# binaries of shim-signed and grub-efi-amd64-signed (Authenticode-signed PE32+) and of
# syslinux-efi (unsigned PE32), and Wine's own DLLs and programs (libwine, which wine64 pulls
# in; only a part of them, to keep the unpacked tree small). Usage: fetch-debian-pe-samples.sh DIR
# A package already unpacked below DIR is not fetched again. Fails loudly when a package
# cannot be downloaded.
set -eu

dest=${1:?usage: fetch-debian-pe-samples.sh DIR}
mkdir -p "$dest"

# fetch PACKAGE WANTED_FILE [PATTERN...]: unpacks the whole package, or only the given paths.
fetch() {
    package=$1
    wanted=$2
    shift 2
    if [ -f "$dest/$wanted" ]; then
        echo "$package: cached ($dest/$wanted)"
        return 0
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    if ! (cd "$work" && apt-get download "$package"); then
        echo "ERROR: apt-get download $package failed; the real-file tests cannot run" >&2
        exit 1
    fi
    if [ $# -eq 0 ]; then
        dpkg-deb -x "$work"/"$package"_*.deb "$dest"
    else
        dpkg-deb --fsys-tarfile "$work"/"$package"_*.deb | tar -x -C "$dest" --wildcards "$@"
    fi
    rm -rf "$work"
    trap - EXIT
    if [ ! -f "$dest/$wanted" ]; then
        echo "ERROR: $package does not contain $wanted" >&2
        exit 1
    fi
    echo "$package: unpacked $dest/$wanted"
}

fetch shim-signed usr/lib/shim/shimx64.efi.signed
fetch grub-efi-amd64-signed usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
fetch syslinux-efi usr/lib/SYSLINUX.EFI/efi32/syslinux.efi
wine=usr/lib/x86_64-linux-gnu/wine/x86_64-windows
fetch libwine "$wine/notepad.exe" "./$wine/[a-c]*.dll" "./$wine/*.exe"
