#!/usr/bin/env bash
# The main job on its built-in default: installs what is missing, builds quorvel-sign and
# quorvel-verify, and verifies a freshly signed sample PE and a tampered copy of it against a
# key server on loopback. Nothing leaves this machine:
#   1. a test CA and a key server on 127.0.0.1 (tests/keyserver) are started;
#   2. as a publisher would: quorvel-sign keygen makes a demo key, quorvel-sign key-document
#      its key document, which is published at the well-known path it names, and
#      quorvel-sign sign signs an unsigned sample PE (made by the test tooling) for the
#      domain "127.0.0.1:PORT";
#   3. a copy of the sample gets one byte changed inside its signed image;
#   4. quorvel-verify --ca-file checks both: "Quorvel: verified", then "Quorvel: signature invalid";
#   5. the server is stopped.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVEL_BUILD_ROOT:-$root/build}/native
work=$(mktemp -d)
state=$work/keyserver
trap 'bash "$root/tests/keyserver/stop-keyserver.sh" "$state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

"$root/scripts/install-deps.sh" native
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvel-sign quorvel-verify quorvel-make-fixture >/dev/null

verify=$build/cli/quorvel-verify
sign=$build/signing/quorvel-sign/quorvel-sign
fixture=$build/tests/support/quorvel-make-fixture

bash "$root/tests/keyserver/start-keyserver.sh" "$state" 300 >/dev/null
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["trusted"])' \
    "$state/ports.json")
domain=127.0.0.1:$port

echo "Signing with quorvel-sign:"
key_id=$("$sign" keygen "$work/demo.key")
echo "  keygen: demo key $key_id"
"$sign" key-document --key "$work/demo.key" --description "Quorvel demo key (loopback)" \
    -o "$work/key.json" 2>"$work/publish-path"
path=$(grep -o '/.well-known/vantors/v1/[A-Za-z0-9_-]*' "$work/publish-path")
[ "$path" = "/.well-known/vantors/v1/$key_id" ] || {
    echo "demo: key-document names $path for key $key_id" >&2
    exit 1
}
python3 -c 'import json,sys; json.dump({"body": open(sys.argv[1]).read()}, sys.stdout)' \
    "$work/key.json" | bash "$root/tests/keyserver/put-route.sh" "$state" "$path"
echo "  key-document: published at $path"
"$fixture" unsigned-pe --out "$work/sample.exe"
"$sign" sign --key "$work/demo.key" --domain "$domain" "$work/sample.exe"

# One byte of the DOS stub: covered by the image digest.
cp "$work/sample.exe" "$work/tampered.exe"
printf '\x51' | dd of="$work/tampered.exe" bs=1 seek=100 conv=notrunc status=none

echo "Key server: https://$domain/.well-known/vantors/v1/$key_id"
echo
status=0
(cd "$work" && "$verify" --ca-file "$state/pki/ca.pem" sample.exe tampered.exe) || status=$?

# Exit status 1 is expected: the tampered copy does not verify. Check both verdicts.
json=$(cd "$work" && "$verify" --json --ca-file "$state/pki/ca.pem" sample.exe tampered.exe || true)
grep -q '"file":"sample.exe","kind":"verified","status":"Quorvel: verified"' <<<"$json" &&
    grep -q '"file":"tampered.exe","kind":"failed","status":"Quorvel: signature invalid"' <<<"$json" || {
    echo "demo: unexpected verdicts (exit status $status):" >&2
    echo "$json" >&2
    exit 1
}
echo
echo "Demo finished: the signed sample verifies, the tampered copy does not."
