#!/usr/bin/env bash
# Makes the certificates of the loopback key server in OUTDIR:
#   ca.pem               the test CA that tests trust (--extraCaFile / FetchOptions::extraCaFile)
#   server.pem/.key      signed by the test CA for 127.0.0.1, ::1 and localhost
#   wronghost.pem/.key   signed by the test CA for wrong.example only
#   untrusted.pem/.key   for 127.0.0.1 and localhost, signed by a second CA nobody trusts
#   other-ca.pem         that second CA
# Keys are RSA 2048, certificates valid for 30 days from now.
set -euo pipefail

out=${1:?usage: make-test-pki.sh OUTDIR}
mkdir -p "$out"
cd "$out"

make_ca() {  # name subject
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
        -keyout "$1.key" -out "$1.pem" -subj "$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_leaf() {  # name ca subject subjectAltName
    openssl req -newkey rsa:2048 -nodes -sha256 \
        -keyout "$1.key" -out "$1.csr" -subj "$3" 2>/dev/null
    cat > "$1.ext" <<EXT
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$4
EXT
    openssl x509 -req -sha256 -days 30 -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

make_ca ca "/CN=Quorvel Test CA"
make_ca other-ca "/CN=Untrusted Test CA"
make_leaf server ca "/CN=127.0.0.1" "IP:127.0.0.1,IP:::1,DNS:localhost,DNS:127.0.0.1"
make_leaf wronghost ca "/CN=wrong.example" "DNS:wrong.example"
make_leaf untrusted other-ca "/CN=127.0.0.1" "IP:127.0.0.1,IP:::1,DNS:localhost,DNS:127.0.0.1"

openssl verify -CAfile ca.pem server.pem wronghost.pem >/dev/null
echo "test PKI ready in $out"
