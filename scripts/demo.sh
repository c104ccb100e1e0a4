#!/usr/bin/env bash
# The main job on its built-in default: installs what is missing, builds quorvel-verify, and
# verifies a freshly signed sample PE and a tampered copy of it against a key server on
# loopback. Nothing leaves this machine:
#   1. a test CA and a key server on 127.0.0.1 (tests/keyserver) are started;
#   2. the test tooling signs a sample PE for the domain "127.0.0.1:PORT" with a demo key
#      (the product itself never signs) and publishes the key document at the well-known path;
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
cmake --build "$build" -j "$(nproc)" --target quorvel-verify quorvel-make-fixture >/dev/null

verify=$build/cli/quorvel-verify
fixture=$build/tests/support/quorvel-make-fixture
seed=5175f2b7a1c94e30d8b6f1e2a3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6  # demo key only

bash "$root/tests/keyserver/start-keyserver.sh" "$state" 300 >/dev/null
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["trusted"])' \
    "$state/ports.json")
domain=127.0.0.1:$port

"$fixture" signed-pe --seed "$seed" --domain "$domain" --out "$work/sample.exe"
key_id=$("$fixture" key-id --seed "$seed")
"$fixture" key-document --seed "$seed" --description "Quorvel demo key (loopback)" |
    python3 -c 'import json,sys; json.dump({"body": sys.stdin.read()}, sys.stdout)' |
    bash "$root/tests/keyserver/put-route.sh" "$state" "/.well-known/vantors/v1/$key_id"

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
