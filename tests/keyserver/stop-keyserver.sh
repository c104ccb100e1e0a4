#!/usr/bin/env bash
# Stops the key server that start-keyserver.sh started for STATE, by the pid it recorded and
# only while that pid is still this key server: TERM for about a second, then KILL.
# Usage: stop-keyserver.sh STATE
set -euo pipefail

state=${1:?usage: stop-keyserver.sh STATE}
[ -f "$state/server.pid" ] || exit 0
pid=$(cat "$state/server.pid")
for signal in TERM TERM TERM TERM TERM KILL; do
    tr "\0" " " 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "keyserver.py --state-dir $state " ||
        break
    kill "-$signal" "$pid" 2>/dev/null || true
    sleep 0.2
done
rm -f "$state/server.pid" && echo "key server $pid stopped"
