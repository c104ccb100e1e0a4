#!/usr/bin/env bash
# The verification job end to end on this machine, with nothing from outside:
#   1. starts the project's loopback HTTPS key server with a freshly generated test CA;
#   2. makes a PE file signed by a test key (quorvel-make-fixture, a test-only tool of the
#      build; the product itself never signs) whose payload names that server as its domain,
#      and publishes the key's document there;
#   3. makes a tampered copy of the file (one byte of its code changed);
#   4. runs quorvel-verify --ca-file on both: the first is "Quorvel: verified", the second
#      "Quorvel: signature invalid";
#   5. stops the server.
# Usage: cli/demo.sh BUILD_DIR   (a configured and built native build tree)
# Exit status: 0 when both verdicts are the expected ones.
set -euo pipefail

build=$(cd "${1:?usage: cli/demo.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
verify="$build/cli/quorvel-verify"
fixture="$build/tests/support/quorvel-make-fixture"
keyserver="$root/tests/keyserver"
for tool in "$verify" "$fixture"; do
    [ -x "$tool" ] || { echo "missing $tool: build the tree first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo.XXXXXX")
state="$work/keyserver"
cleanup() {
    bash "$keyserver/stop-keyserver.sh" "$state" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

bash "$keyserver/start-keyserver.sh" "$state" 300 >/dev/null
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["trusted"])' \
       "$state/ports.json")
domain="127.0.0.1:$port"
seed=$(printf '42%.0s' $(seq 32))  # the test key's 32-byte seed, in hex

"$fixture" signed-pe --seed "$seed" --domain "$domain" --out "$work/signed.exe"
key_id=$("$fixture" key-id --seed "$seed")
document=$("$fixture" key-document --seed "$seed" --description "Quorvel demo key")
route=$(python3 -c 'import json,sys; print(json.dumps({"body": sys.argv[1]}))' "$document")
echo "$route" | python3 "$keyserver/keyserver.py" --state-dir "$state" \
    --put-route "/.well-known/vantors/v1/$key_id" >/dev/null

cp "$work/signed.exe" "$work/tampered.exe"
python3 - "$work/tampered.exe" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0x500)  # inside the first section's code
    byte = f.read(1)[0]
    f.seek(0x500)
    f.write(bytes([byte ^ 0x01]))
PY

echo "Key server: https://$domain (test CA $state/pki/ca.pem)"
echo
set +e
"$verify" --ca-file "$state/pki/ca.pem" "$work/signed.exe" "$work/tampered.exe"
set -e
echo
verdicts=$("$verify" --json --ca-file "$state/pki/ca.pem" "$work/signed.exe" \
           "$work/tampered.exe" | python3 -c '
import json, sys
print(" / ".join(json.loads(line)["status"] for line in sys.stdin))') || true
if [ "$verdicts" = "Quorvel: verified / Quorvel: signature invalid" ]; then
    echo "As expected: the signed file verifies, the tampered copy does not."
else
    echo "Unexpected verdicts: $verdicts" >&2
    exit 1
fi
