#!/usr/bin/env bash
# Stops the key server that start-keyserver.sh started for STATE (by the pid it recorded).
# Usage: stop-keyserver.sh STATE
set -euo pipefail

state=${1:?usage: stop-keyserver.sh STATE}
pidfile="$state/server.pid"
if [ ! -f "$pidfile" ]; then
    echo "no key server recorded in $state"
    exit 0
fi
pid=$(cat "$pidfile")

# Only a process that is still this key server is signalled (the pid may have been reused).
is_ours() {
    [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "keyserver.py --state-dir $state "
}

if is_ours; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
        is_ours || break
        sleep 0.1
    done
    if is_ours; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
fi
rm -f "$pidfile"
echo "key server $pid stopped"
