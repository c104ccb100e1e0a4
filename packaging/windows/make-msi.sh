#!/bin/sh
# Builds the MSI from the configured WiX source and the folder of the files it ships.
#
#   make-msi.sh WXS STAGE OUT.msi
#
# With QUORVEL_SIGN_KEY (a key file of quorvel-sign) the PE files of STAGE are signed first,
# in a copy of STAGE, for the domain QUORVEL_SIGN_DOMAIN, by QUORVEL_SIGN_TOOL (default:
# quorvel-sign on PATH). Without a key the MSI carries the programs unsigned, and says so.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 WXS STAGE OUT.msi" >&2
    exit 2
fi
wxs=$(realpath "$1")
out=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$2/." "$work/"

if [ -n "${QUORVEL_SIGN_KEY:-}" ]; then
    if [ -z "${QUORVEL_SIGN_DOMAIN:-}" ]; then
        echo "make-msi: QUORVEL_SIGN_KEY needs QUORVEL_SIGN_DOMAIN, the release domain" >&2
        exit 2
    fi
    signer=${QUORVEL_SIGN_TOOL:-quorvel-sign}
    for pe in "$work"/*.dll "$work"/*.exe; do
        "$signer" sign --key "$QUORVEL_SIGN_KEY" --domain "$QUORVEL_SIGN_DOMAIN" \
            -o "$pe.signed" "$pe"
        mv "$pe.signed" "$pe"
    done
    echo "make-msi: programs signed for $QUORVEL_SIGN_DOMAIN"
else
    echo "make-msi: no signing key (QUORVEL_SIGN_KEY): the programs in the MSI are unsigned"
fi

(cd "$work" && wixl -a x64 -o "$out" "$wxs")
echo "make-msi: $out"
