#!/usr/bin/env bash
# Makes the certificates of the loopback key server in OUTDIR (RSA 2048, valid for 30 days):
#   ca.pem               the test CA that tests trust (--ca-file / FetchOptions::extraCaFile)
#   trusted.pem/.key     signed by the test CA for 127.0.0.1, ::1 and localhost
#   wronghost.pem/.key   signed by the test CA for wrong.example only
#   untrusted.pem/.key   self-signed for 127.0.0.1 and localhost: no one trusts it
set -euo pipefail

out=${1:?usage: make-test-pki.sh OUTDIR}
mkdir -p "$out" && cd "$out"
loopback="IP:127.0.0.1,IP:::1,DNS:localhost,DNS:127.0.0.1"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout ca.key -out ca.pem \
    -subj "/CN=Quorvel Test CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout untrusted.key \
    -out untrusted.pem -subj "/CN=127.0.0.1" -addext "subjectAltName=$loopback" 2>/dev/null

leaf() {  # name common-name subjectAltName
    openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=$2" 2>/dev/null
    printf 'basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
        "$3" >"$1.ext"
    openssl x509 -req -sha256 -days 30 -in "$1.csr" -CA ca.pem -CAkey ca.key \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}
leaf trusted 127.0.0.1 "$loopback"
leaf wronghost wrong.example "DNS:wrong.example"

echo "test PKI ready in $out"
