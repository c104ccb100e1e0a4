#!/usr/bin/env bash
# Gives the running key server a route: the route's JSON on standard input, written where the
# server looks for TARGET (STATE/routes/<hex of TARGET>.json), whole or not at all.
# Usage: put-route.sh STATE TARGET < route.json
set -euo pipefail
state=${1:?usage: put-route.sh STATE TARGET}
target=${2:?usage: put-route.sh STATE TARGET}
name=$(printf '%s' "$target" | od -An -v -tx1 | tr -d ' \n')
cat >"$state/routes/.tmp-$name"
mv "$state/routes/.tmp-$name" "$state/routes/$name.json"
