#!/usr/bin/env bash
# Starts the loopback key server in the background with a fresh state directory and test PKI,
# and returns once STATE/ports.json exists. Usage: start-keyserver.sh STATE [LIFETIME_SECONDS]
set -euo pipefail

state=${1:?usage: start-keyserver.sh STATE [LIFETIME_SECONDS]}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/stop-keyserver.sh" "$state" >/dev/null  # one left by an interrupted run
rm -rf "$state"
mkdir -p "$state"
if bash "$here/make-test-pki.sh" "$state/pki" >"$state/server.log" 2>&1; then
    # Detached from the test's output pipes, so that CTest does not wait for it.
    setsid python3 "$here/keyserver.py" --state-dir "$state" --pki-dir "$state/pki" \
        --lifetime "${2:-1800}" </dev/null >>"$state/server.log" 2>&1 &
    echo $! >"$state/server.pid"
    for _ in $(seq 1 300); do
        [ -f "$state/ports.json" ] && echo "key server ready: $(cat "$state/ports.json")" && exit 0
        kill -0 "$(cat "$state/server.pid")" 2>/dev/null || break
        sleep 0.1
    done
fi
echo "key server not ready:" >&2
cat "$state/server.log" >&2
bash "$here/stop-keyserver.sh" "$state"
exit 1
