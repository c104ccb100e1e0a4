#!/usr/bin/env bash
# Starts the loopback key server in the background with a fresh state directory and test PKI,
# and returns once STATE/ports.json exists. Usage: start-keyserver.sh STATE [LIFETIME_SECONDS]
set -euo pipefail

state=${1:?usage: start-keyserver.sh STATE [LIFETIME_SECONDS]}
lifetime=${2:-1800}
here=$(cd "$(dirname "$0")" && pwd)

# A server left behind by an interrupted run of this same fixture is stopped first.
if [ -f "$state/server.pid" ]; then
    bash "$here/stop-keyserver.sh" "$state" || true
fi
rm -rf "$state"
mkdir -p "$state/routes"

bash "$here/make-test-pki.sh" "$state/pki" >"$state/pki.log" 2>&1 || {
    cat "$state/pki.log" >&2
    exit 1
}

# Detached from the test's output pipes, so that CTest does not wait for it.
setsid python3 "$here/keyserver.py" --state-dir "$state" --pki-dir "$state/pki" \
    --lifetime "$lifetime" </dev/null >"$state/server.log" 2>&1 &
pid=$!
echo "$pid" >"$state/server.pid"

for _ in $(seq 1 300); do
    if [ -f "$state/ports.json" ]; then
        echo "key server $pid ready:"
        cat "$state/ports.json"
        exit 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "key server exited before it was ready:" >&2
        cat "$state/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "key server did not become ready within 30 s" >&2
cat "$state/server.log" >&2
bash "$here/stop-keyserver.sh" "$state" || true
exit 1
