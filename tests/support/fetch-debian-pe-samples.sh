#!/bin/sh
# Downloads and unpacks the Debian packages whose EFI binaries (Authenticode-signed PE32+,
# unsigned PE32) the signature tests read. Usage: fetch-debian-pe-samples.sh DIR
# A package already unpacked below DIR is not fetched again. Fails loudly when a package
# cannot be downloaded.
set -eu

dest=${1:?usage: fetch-debian-pe-samples.sh DIR}
mkdir -p "$dest"

fetch() {
    package=$1
    wanted=$2
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
    dpkg-deb -x "$work"/"$package"_*.deb "$dest"
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
